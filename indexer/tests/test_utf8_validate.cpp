// UTF-8 validation: the byte-at-a-time twin against spelled-out cases, every kernel against the
// twin over the same bytes (every length around the block edges, every single-byte change in a
// block, random texts, ranges ending at an unreadable page), the piece-by-piece validator
// against the whole-text answer (and the largest byte it finds against max_byte), and the
// White_Space helpers.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "index/utf8.h"
#include "support.h"

using namespace support;

namespace {

void put_utf8(std::string& s, uint32_t c) {
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Valid text of every length class, mostly ASCII in runs, with the characters next to the
// excluded ranges (U+D7FF, U+E000, U+FFFF, U+10000, U+10FFFF) among the others.
std::string valid_text(std::mt19937_64& rng, size_t chars, unsigned ascii_share) {
  static const uint32_t edges[] = {0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF};
  std::string s;
  for (size_t i = 0; i < chars; ++i) {
    const unsigned r = static_cast<unsigned>(rng() % 16);
    uint32_t c;
    if (r < ascii_share) c = 0x20 + static_cast<uint32_t>(rng() % 0x5F);
    else if (r == 15) c = edges[rng() % 10];
    else if (r % 3 == 0) c = 0x80 + static_cast<uint32_t>(rng() % 0x780);
    else if (r % 3 == 1) c = 0x800 + static_cast<uint32_t>(rng() % 0xD000);
    else c = 0x10000 + static_cast<uint32_t>(rng() % 0x100000);
    put_utf8(s, c);
  }
  return s;
}

size_t twin(const std::string& s) { return find_invalid_utf8(bytes(s), s.size(), Kernel::Scalar); }

void kernels_agree(const uint8_t* p, size_t n, const char* what) {
  const size_t want = find_invalid_utf8(p, n, Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    const size_t got = find_invalid_utf8(p, n, k);
    CHECK_MSG(got == want, kernel_name(k) << " " << what << ": " << got << " instead of " << want << " (" << n
                                          << " bytes)");
    // The same kernel through the validator, which also reports the largest byte.
    Utf8Validator v(k);
    const bool ok = v.feed(p, n) && v.finish();
    CHECK_MSG(ok == (want == n), kernel_name(k) << " " << what << " as one piece: valid " << ok);
    if (ok) {
      CHECK_MSG(v.max_byte() == max_byte(p, n), kernel_name(k) << " " << what << ": largest byte "
                                                                << int(v.max_byte()) << " instead of "
                                                                << int(max_byte(p, n)));
    }
  }
  CHECK_MSG(find_invalid_utf8(p, n) == want, "best kernel " << what);
}

void kernels_agree(const std::string& s, const char* what) { kernels_agree(bytes(s), s.size(), what); }

// Feeds the text in pieces cut at `cuts` (ascending offsets) and compares with the whole.
void pieces_agree(const std::string& s, const std::vector<size_t>& cuts, Kernel k) {
  Utf8Validator v(k);
  size_t at = 0;
  bool ok = true;
  for (size_t cut : cuts) {
    ok = v.feed(bytes(s) + at, cut - at) && ok;
    at = cut;
  }
  ok = v.feed(bytes(s) + at, s.size() - at) && ok;
  ok = v.finish() && ok;
  const size_t want = twin(s);
  CHECK_MSG(ok == (want == s.size()), kernel_name(k) << " pieces: valid " << ok << " (" << s.size() << " bytes, "
                                                     << cuts.size() + 1 << " pieces)");
  if (!ok) CHECK_MSG(v.error_offset() == want, kernel_name(k) << " pieces: error at " << v.error_offset()
                                                                << " instead of " << want);
  if (ok) CHECK_MSG(v.max_byte() == max_byte(bytes(s), s.size()), kernel_name(k) << " pieces: largest byte "
                                                                                 << int(v.max_byte()));
}

}  // namespace

TEST(twin_finds_the_first_invalid_character) {
  struct Case {
    const char* bytes;
    size_t length;
    size_t want;  // == length: valid
  };
  const Case cases[] = {
      {"", 0, 0},
      {"plain", 5, 5},
      {"\xC3\xA9", 2, 2},                  // é
      {"\xE2\x82\xAC", 3, 3},              // €
      {"\xF0\x9F\x98\x80", 4, 4},          // U+1F600
      {"\xED\x9F\xBF", 3, 3},              // U+D7FF, below the surrogates
      {"\xEE\x80\x80", 3, 3},              // U+E000, above them
      {"\xF4\x8F\xBF\xBF", 4, 4},          // U+10FFFF
      {"ab\x80", 3, 2},                    // a stray continuation byte
      {"\xC0\x80", 2, 0},                  // overlong two-byte forms
      {"x\xC1\xBF", 3, 1},
      {"\xE0\x9F\xBF", 3, 0},              // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", 4, 0},          // overlong four-byte form
      {"\xED\xA0\x80", 3, 0},              // a surrogate
      {"a\xED\xBF\xBF", 4, 1},
      {"\xF4\x90\x80\x80", 4, 0},          // above U+10FFFF
      {"\xF5\x80\x80\x80", 4, 0},
      {"\xFF", 1, 0},
      {"ok\xE6\x9D", 4, 2},                // truncated at the end
      {"\xE6\x41\x80", 3, 0},              // a lead byte followed by ASCII: the lead is reported
      {"\xC3\xA9\xC3", 3, 2},
      {"a\0b", 3, 3},                      // NUL is a character like any other
  };
  for (const Case& c : cases) {
    const std::string s(c.bytes, c.length);
    CHECK_MSG(twin(s) == c.want, "twin on case " << (&c - cases) << ": " << twin(s) << " instead of " << c.want);
    kernels_agree(s, "spelled-out case");
    // The same case after a block of ASCII and after a block of other characters, so that it
    // lands where the vector kernels look at whole blocks.
    for (const std::string& lead : {std::string(61, 'a'), std::string(64, 'b'), std::string(66, 'c')}) {
      kernels_agree(lead + s, "case after a block");
      kernels_agree(lead + s + std::string(70, 'z'), "case inside the text");
    }
  }
}

TEST(kernels_match_twin_at_every_length) {
  std::mt19937_64 rng(31);
  for (unsigned share : {0u, 8u, 14u}) {
    const std::string base = valid_text(rng, 400, share);
    for (size_t n = 0; n <= 260 && n <= base.size(); ++n) {
      // Every prefix: cut anywhere, so sometimes inside a character.
      kernels_agree(bytes(base), n, "prefix");
    }
  }
}

TEST(kernels_match_twin_for_every_single_byte_change) {
  std::mt19937_64 rng(32);
  const uint8_t values[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                            0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFF};
  for (unsigned share : {0u, 10u, 16u}) {
    const std::string base = valid_text(rng, 90, share);
    for (size_t at = 0; at < base.size() && at < 3 * 64 + 3; ++at) {
      for (uint8_t v : values) {
        std::string s = base;
        s[at] = static_cast<char>(v);
        kernels_agree(s, "changed byte");
      }
    }
  }
}

TEST(kernels_match_twin_on_random_texts) {
  std::mt19937_64 rng(33);
  for (int t = 0; t < 400; ++t) {
    std::string s = valid_text(rng, rng() % 4000, static_cast<unsigned>(rng() % 17));
    const int breaks = t % 4;  // a quarter stay valid
    for (int b = 0; b < breaks && !s.empty(); ++b) s[rng() % s.size()] = static_cast<char>(rng());
    kernels_agree(s, "random");
  }
}

TEST(kernels_read_nothing_past_the_end) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  CHECK(mem != MAP_FAILED);
  if (mem == MAP_FAILED) return;
  uint8_t* base = static_cast<uint8_t*>(mem);
  CHECK_EQ(mprotect(base + page, page, PROT_NONE), 0);
  std::mt19937_64 rng(34);
  for (size_t n = 0; n <= 300; ++n) {
    const std::string s = valid_text(rng, n, 4).substr(0, n);
    uint8_t* p = base + page - s.size();
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    kernels_agree(p, s.size(), "at the page end");
  }
  munmap(mem, 2 * page);
}

TEST(validator_in_pieces_matches_the_whole_text) {
  std::mt19937_64 rng(35);
  for (int t = 0; t < 600; ++t) {
    std::string s = valid_text(rng, rng() % 600, static_cast<unsigned>(rng() % 17));
    if (t % 3 != 0 && !s.empty()) s[rng() % s.size()] = static_cast<char>(0x80 + rng() % 0x80);
    if (t % 7 == 0 && !s.empty()) s.pop_back();  // sometimes cut inside the last character
    std::vector<size_t> cuts;
    const size_t pieces = rng() % 12;
    for (size_t i = 0; i < pieces; ++i) cuts.push_back(s.empty() ? 0 : rng() % (s.size() + 1));
    std::sort(cuts.begin(), cuts.end());  // equal cuts make empty pieces
    for (Kernel k : available_kernels()) pieces_agree(s, cuts, k);
  }
  // One byte at a time, across every kind of character and error.
  const std::string mixed = std::string("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80") + "b";
  std::vector<size_t> every;
  for (size_t i = 1; i < mixed.size(); ++i) every.push_back(i);
  pieces_agree(mixed, every, Kernel::Scalar);
  pieces_agree(mixed + "\xE2\x82", every, Kernel::Scalar);
  pieces_agree(mixed + "\xED\xA0\x80" + mixed, every, Kernel::Scalar);
}

TEST(validator_stops_at_the_first_error) {
  Utf8Validator v;
  CHECK(v.feed(bytes("ab\xC3"), 3));
  CHECK(!v.feed(bytes("\x41zz"), 3));  // the held lead byte is not followed by a continuation
  CHECK_EQ(v.error_offset(), 2u);
  CHECK(!v.feed(bytes("ok"), 2));  // ignored once failed
  CHECK(!v.finish());
  CHECK_EQ(v.error_offset(), 2u);

  Utf8Validator open;
  CHECK(open.feed(bytes("xyz\xF0\x9F"), 5));
  CHECK(open.feed(bytes(""), 0));
  CHECK(open.feed(bytes("\x98"), 1));
  CHECK(!open.finish());  // the text ends inside a character
  CHECK_EQ(open.error_offset(), 3u);

  Utf8Validator done;
  CHECK(done.feed(bytes("\xF0\x9F"), 2));
  CHECK(done.feed(bytes("\x98\x80!"), 3));
  CHECK(done.finish());
}

TEST(white_space_at_the_ends) {
  // U+3000, U+0085, U+00A0, U+2028 and the ASCII ones are White_Space; U+001C, U+180E and U+200B
  // are not.
  const std::string ws = "\xE3\x80\x80\xC2\x85 \t\n\x0B\x0C\r\xC2\xA0\xE2\x80\xA8";
  const std::string word = "x\xC3\xA9y";
  CHECK_EQ(leading_white_space((ws + word + ws).data(), ws.size() * 2 + word.size()), ws.size());
  CHECK_EQ(trailing_white_space((ws + word + ws).data(), ws.size() * 2 + word.size()), ws.size());
  CHECK(all_white_space(ws.data(), ws.size()));
  CHECK(all_white_space("", 0));
  for (const char* not_ws : {"\x1C", "\xE1\xA0\x8E", "\xE2\x80\x8B", "\xC3\xA9"}) {
    std::string s(1, ' ');
    s.append(not_ws).push_back(' ');
    CHECK_EQ(leading_white_space(s.data(), s.size()), 1u);
    CHECK_EQ(trailing_white_space(s.data(), s.size()), 1u);
    CHECK(!all_white_space(s.data(), s.size()));
  }
  // A character cut at the end of the range is not counted.
  CHECK_EQ(leading_white_space("\xE3\x80", 2), 0u);
  CHECK_EQ(trailing_white_space("a\x80\x80", 3), 0u);
}

TEST(white_space_is_never_ruled_out_by_its_first_or_last_byte) {
  // Every character of two bytes or more that is White_Space passes both quick tests, so a reader
  // that calls the full test only past them misses none.
  std::string form;
  for (uint32_t c = 0x80; c < 0x10000; ++c) {
    if (c >= 0xD800 && c < 0xE000) continue;
    form.clear();
    if (c < 0x800) {
      form += static_cast<char>(0xC0 | (c >> 6));
    } else {
      form += static_cast<char>(0xE0 | (c >> 12));
      form += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    form += static_cast<char>(0x80 | (c & 0x3F));
    if (leading_white_space(form.data(), form.size()) == 0) continue;
    CHECK(may_begin_white_space(static_cast<uint8_t>(form.front())));
    CHECK(may_end_white_space(static_cast<uint8_t>(form.back())));
  }
  // And they rule out most letters: é, CJK and kana.
  CHECK(!may_begin_white_space(0xC3));
  CHECK(!may_begin_white_space(0xE6));
  CHECK(!may_end_white_space(0xA9 + 1));
}

TEST(decoding_by_width_matches_the_typed_forms) {
  std::mt19937_64 rng(36);
  for (int t = 0; t < 100; ++t) {
    const std::string s = valid_text(rng, rng() % 500, static_cast<unsigned>(rng() % 17));
    const size_t cap = measure_utf8(bytes(s), s.size()).chars;
    std::vector<uint8_t> a8(cap + 1), b8(cap + 1);
    std::vector<uint16_t> a16(cap + 1), b16(cap + 1);
    std::vector<uint32_t> a32(cap + 1), b32(cap + 1);
    const Utf8Decoded x8 = decode_utf8(bytes(s), s.size(), a8.data(), cap, Kernel::Scalar);
    const Utf8Decoded y8 = decode_utf8(bytes(s), s.size(), static_cast<void*>(b8.data()), 1, cap);
    CHECK(x8.ok == y8.ok && (!x8.ok || (x8.units == y8.units && x8.bits == y8.bits && a8 == b8)));
    const Utf8Decoded x16 = decode_utf8(bytes(s), s.size(), a16.data(), cap, Kernel::Scalar);
    const Utf8Decoded y16 = decode_utf8(bytes(s), s.size(), static_cast<void*>(b16.data()), 2, cap);
    CHECK(x16.ok == y16.ok && (!x16.ok || (x16.units == y16.units && x16.bits == y16.bits && a16 == b16)));
    const Utf8Decoded x32 = decode_utf8(bytes(s), s.size(), a32.data(), cap, Kernel::Scalar);
    const Utf8Decoded y32 = decode_utf8(bytes(s), s.size(), static_cast<void*>(b32.data()), 4, cap);
    CHECK(x32.ok && y32.ok && x32.units == y32.units && x32.bits == y32.bits && a32 == b32);
  }
}
