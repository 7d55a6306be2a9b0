// UTF-8 decoding: the scalar twin against code points encoded here, and every vector kernel
// against the scalar twin over the same bytes (lengths around the block edges, every
// single-byte change in a block, tight capacities, random texts).
#include <cstring>
#include <random>
#include <string>

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

// A code point of at most `max` (0x7F, 0xFF, 0xFFFF or 0x10FFFF), mostly ASCII, in runs.
uint32_t random_char(std::mt19937_64& rng, uint32_t max) {
  const unsigned r = static_cast<unsigned>(rng() % 16);
  uint32_t c;
  if (r < 8 || max < 0x80) c = 0x20 + static_cast<uint32_t>(rng() % 0x5F);
  else if (r < 11) c = 0x80 + static_cast<uint32_t>(rng() % 0x780);   // two bytes
  else if (r < 15) c = 0x800 + static_cast<uint32_t>(rng() % 0xF800);  // three bytes
  else c = 0x10000 + static_cast<uint32_t>(rng() % 0x100000);         // four bytes
  return c > max ? c % (max + 1) : c;
}

std::string random_text(std::mt19937_64& rng, size_t chars, uint32_t max, std::u32string* cps = nullptr) {
  std::string s;
  for (size_t i = 0; i < chars; ++i) {
    const uint32_t c = random_char(rng, max);
    put_utf8(s, c);
    if (cps) cps->push_back(c);
  }
  return s;
}

template <class T>
struct Run {
  Utf8Decoded r;
  std::vector<T> out;
};

template <class T>
Run<T> run(const std::string& s, size_t capacity, Kernel k) {
  Run<T> x;
  // Sentinels after the capacity catch a write past it.
  x.out.assign(capacity + 32, T(0x5A));
  x.r = decode_utf8(bytes(s), s.size(), x.out.data(), capacity, k);
  for (size_t i = capacity; i < capacity + 32; ++i) CHECK_MSG(x.out[i] == T(0x5A), "write past capacity");
  x.out.resize(capacity);
  return x;
}

template <class T>
void same_as_scalar(const std::string& s, size_t capacity, const char* what) {
  const Run<T> a = run<T>(s, capacity, Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    if (k == Kernel::Scalar) continue;
    const Run<T> b = run<T>(s, capacity, k);
    CHECK_MSG(a.r.ok == b.r.ok, kernel_name(k) << " " << what << ": ok " << a.r.ok << " vs " << b.r.ok
                                               << " (" << s.size() << " bytes, capacity " << capacity << ")");
    if (a.r.ok && b.r.ok) {
      CHECK_MSG(a.r.units == b.r.units && a.r.bits == b.r.bits &&
                    std::equal(a.out.begin(), a.out.begin() + a.r.units, b.out.begin()),
                kernel_name(k) << " " << what << ": different units (" << s.size() << " bytes)");
    }
  }
}

template <class T>
void all_kernels_all_capacities(const std::string& s, const char* what) {
  const Utf8Shape shape = measure_utf8(bytes(s), s.size());
  same_as_scalar<T>(s, shape.chars, what);
  if (shape.chars > 0) same_as_scalar<T>(s, shape.chars - 1, what);
  same_as_scalar<T>(s, s.size() + 17, what);
}

}  // namespace

TEST(scalar_decodes_what_was_encoded) {
  std::mt19937_64 rng(11);
  for (uint32_t max : {0x7Fu, 0xFFu, 0xFFFFu, 0x10FFFFu}) {
    for (int t = 0; t < 300; ++t) {
      std::u32string cps;
      const std::string s = random_text(rng, rng() % 300, max, &cps);
      const Utf8Shape shape = measure_utf8(bytes(s), s.size());
      CHECK_EQ(shape.chars, cps.size());
      uint32_t bits = 0;
      for (char32_t c : cps) bits |= c;
      std::vector<uint32_t> out(cps.size());
      const Utf8Decoded r = decode_utf8(bytes(s), s.size(), out.data(), out.size(), Kernel::Scalar);
      CHECK(r.ok);
      CHECK_EQ(r.units, cps.size());
      CHECK_EQ(r.bits, bits);
      CHECK(std::equal(out.begin(), out.end(), cps.begin()));
      // Narrower units take the text exactly when its characters fit them.
      std::vector<uint16_t> o16(cps.size());
      CHECK_EQ(decode_utf8(bytes(s), s.size(), o16.data(), o16.size(), Kernel::Scalar).ok, bits <= 0xFFFF);
      std::vector<uint8_t> o8(cps.size());
      CHECK_EQ(decode_utf8(bytes(s), s.size(), o8.data(), o8.size(), Kernel::Scalar).ok, bits <= 0xFF);
      CHECK(unit_width_for(shape.max_byte) >= (bits > 0xFFFF ? 4u : bits > 0xFF ? 2u : 1u));
    }
  }
}

TEST(scalar_rejects_malformed_forms) {
  const char* bad[] = {"\x80", "a\xBF", "\xC3", "\xE6\x9D", "\xF0\x9F\x98", "\xC3\x41", "\xE6\x41\x80",
                       "\xF8\x80\x80\x80\x80", "\xFF", "\xF4\x90\x80\x80" /* above 0x10FFFF */};
  for (const char* b : bad) {
    const std::string s(b);
    std::vector<uint32_t> out(16);
    CHECK_MSG(!decode_utf8(bytes(s), s.size(), out.data(), out.size(), Kernel::Scalar).ok, "accepted " << s);
  }
  // Overlong forms and surrogates decode to what they spell.
  const std::string s("\xC0\x81\xED\xA0\x80");
  std::vector<uint16_t> out(2);
  const Utf8Decoded r = decode_utf8(bytes(s), s.size(), out.data(), 2, Kernel::Scalar);
  CHECK(r.ok);
  CHECK_EQ(out[0], 1u);
  CHECK_EQ(out[1], 0xD800u);
}

TEST(kernels_match_scalar_at_every_length) {
  std::mt19937_64 rng(12);
  for (uint32_t max : {0x7Fu, 0xFFu, 0xFFFFu, 0x10FFFFu}) {
    const std::string base = random_text(rng, 400, max);
    for (size_t n = 0; n <= 200; ++n) {
      // Every length, cut anywhere (so sometimes inside a character).
      const std::string s = base.substr(0, n);
      all_kernels_all_capacities<uint16_t>(s, "prefix");
      all_kernels_all_capacities<uint8_t>(s, "prefix");
      all_kernels_all_capacities<uint32_t>(s, "prefix");
    }
  }
}

TEST(kernels_match_scalar_for_every_single_byte_change) {
  std::mt19937_64 rng(13);
  const uint8_t values[] = {0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC3, 0xC4, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF8, 0xFF};
  for (uint32_t max : {0x7Fu, 0xFFFFu, 0x10FFFFu}) {
    const std::string base = random_text(rng, 70, max);
    for (size_t at = 0; at < base.size() && at < 96; ++at) {
      for (uint8_t v : values) {
        std::string s = base;
        s[at] = static_cast<char>(v);
        same_as_scalar<uint16_t>(s, s.size(), "changed byte");
        same_as_scalar<uint8_t>(s, s.size(), "changed byte");
        same_as_scalar<uint32_t>(s, s.size(), "changed byte");
      }
    }
  }
}

TEST(kernels_match_scalar_on_overlong_four_byte_forms) {
  // An overlong four-byte form spells a value that fits 16 bits: the twin decodes it, so every
  // kernel must, wherever in a vector step it falls and whatever precedes it.
  for (size_t at = 0; at < 70; ++at) {
    for (const char* prefix : {"", "\xC3\xA9", "\xE6\x9D\xB1"}) {
      std::string s = std::string(at, 'a') + prefix + "\xF0\x80\x80\x80" + std::string(40, 'b') + "\xC3\xA9";
      same_as_scalar<uint16_t>(s, s.size(), "overlong four-byte form");
      same_as_scalar<uint32_t>(s, s.size(), "overlong four-byte form");
      s = std::string(at, 'a') + prefix + "\xF0\x8F\xBF\xBF" + std::string(40, 'b');
      same_as_scalar<uint16_t>(s, s.size(), "overlong four-byte form");
    }
  }
}

TEST(kernels_match_scalar_on_random_texts) {
  std::mt19937_64 rng(14);
  for (int t = 0; t < 400; ++t) {
    const uint32_t max = (t & 3) == 0 ? 0x7F : (t & 3) == 1 ? 0x7FF : (t & 3) == 2 ? 0xFFFF : 0x10FFFF;
    std::string s = random_text(rng, rng() % 3000, max);
    if (t % 5 == 0 && !s.empty()) s[rng() % s.size()] = static_cast<char>(rng());  // sometimes broken
    all_kernels_all_capacities<uint16_t>(s, "random");
    all_kernels_all_capacities<uint32_t>(s, "random");
    // Mostly ASCII with Latin-1 now and then, the text 8-bit units hold.
    std::string latin = random_text(rng, rng() % 3000, (t & 1) ? 0x7F : 0xFF);
    if (t % 5 == 1 && !latin.empty()) latin[rng() % latin.size()] = static_cast<char>(rng());
    all_kernels_all_capacities<uint8_t>(latin, "random Latin-1");
  }
}

TEST(measure_and_max_byte_find_characters_and_top_byte) {
  std::mt19937_64 rng(15);
  for (int t = 0; t < 50; ++t) {
    std::string s = random_text(rng, rng() % 40000, 0x10FFFF);
    uint64_t chars = 0;
    uint8_t top = 0;
    for (unsigned char c : s) {
      chars += (c & 0xC0) != 0x80;
      top = c > top ? c : top;
    }
    const Utf8Shape m = measure_utf8(bytes(s), s.size());
    CHECK_EQ(m.chars, chars);
    CHECK_EQ(count_chars(bytes(s), s.size()), chars);
    CHECK_EQ(unsigned{m.max_byte}, unsigned{top});
    CHECK_EQ(unsigned{max_byte(bytes(s), s.size())}, unsigned{top});
  }
  // Counted a word at a time: every length and offset around the word, and runs long enough
  // (all continuation bytes, or none) that a byte's count would overflow if never added up.
  const std::string mixed = random_text(rng, 300, 0x10FFFF);
  for (size_t at = 0; at < 9; ++at) {
    for (size_t n = 0; at + n <= mixed.size(); ++n) {
      CHECK_EQ(count_chars(bytes(mixed) + at, n), measure_utf8(bytes(mixed) + at, n).chars);
    }
  }
  for (const char c : {'\x80', '\xBF', 'a', '\xC3', '\xFF'}) {
    const std::string run(8 * 255 * 3 + 5, c);
    CHECK_EQ(count_chars(bytes(run), run.size()), measure_utf8(bytes(run), run.size()).chars);
  }
}

// ---- 32-bit units: four-byte forms decoded inside the vector step ------------------------------

namespace {

// Every kernel gives the twin's result exactly, failures included: ok, units, bits and the units
// written up to `units`.
void ucs4_same_as_twin(const std::string& s, size_t capacity, const char* what) {
  const Run<uint32_t> a = run<uint32_t>(s, capacity, Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    if (k == Kernel::Scalar) continue;
    const Run<uint32_t> b = run<uint32_t>(s, capacity, k);
    CHECK_MSG(a.r.ok == b.r.ok && a.r.units == b.r.units && a.r.bits == b.r.bits &&
                  std::equal(a.out.begin(), a.out.begin() + a.r.units, b.out.begin()),
              kernel_name(k) << " " << what << ": ok " << a.r.ok << "/" << b.r.ok << " units " << a.r.units << "/"
                             << b.r.units << " bits " << a.r.bits << "/" << b.r.bits << " (" << s.size()
                             << " bytes, capacity " << capacity << ")");
  }
}

// Text like an annotation file: words of one script (two- or three-byte forms), emoji (four-byte
// forms, sometimes joined) every few characters, ASCII markup between.
std::string emoji_text(std::mt19937_64& rng, size_t chars) {
  std::string s;
  const uint32_t script = rng() % 2 ? 0x4E00 : 0x0430;
  while (s.size() < chars * 3) {
    switch (rng() % 6) {
      case 0: s += "<a cp=\""; break;
      case 1: s += "\">"; break;
      case 2:
      case 3: for (int k = rng() % 4; k >= 0; --k) put_utf8(s, script + rng() % 64); break;
      default:
        for (int k = rng() % 3; k >= 0; --k) {
          put_utf8(s, 0x1F300 + rng() % 0x700);
          if (rng() % 4 == 0) put_utf8(s, 0x200D);
        }
    }
  }
  return s;
}

}  // namespace

TEST(ucs4_kernels_match_twin_at_every_length_and_capacity) {
  std::mt19937_64 rng(21);
  const std::string texts[] = {emoji_text(rng, 100), random_text(rng, 150, 0x10FFFF),
                               std::string(40, 'a') + emoji_text(rng, 60)};
  for (const std::string& base : texts) {
    for (size_t n = 0; n <= 220 && n <= base.size(); ++n) {
      const std::string s = base.substr(0, n);  // cut anywhere, so sometimes inside a character
      const size_t chars = measure_utf8(bytes(s), s.size()).chars;
      for (size_t cap : {chars, chars + 17, chars / 2, size_t{0}, size_t{15}, size_t{16}, size_t{17}, size_t{33}})
        ucs4_same_as_twin(s, cap, "prefix");
      if (chars > 0) ucs4_same_as_twin(s, chars - 1, "prefix, one unit short");
    }
  }
}

TEST(ucs4_kernels_match_twin_for_every_single_byte_change) {
  std::mt19937_64 rng(22);
  const uint8_t values[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0, 0xC3, 0xDF, 0xE0, 0xED,
                            0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFF};
  for (size_t lead : {0, 5, 16}) {  // ASCII before the block moves it across the step phases
    const std::string base = std::string(lead, 'x') + emoji_text(rng, 40);
    for (size_t at = lead; at < base.size() && at < lead + 100; ++at) {
      for (uint8_t v : values) {
        std::string s = base;
        s[at] = static_cast<char>(v);
        ucs4_same_as_twin(s, s.size(), "changed byte");
      }
    }
  }
}

TEST(ucs4_kernels_match_twin_at_the_edges_of_the_four_byte_range) {
  // The largest character, the first value past it, leads that begin nothing, overlong forms
  // and surrogates (which decode to what they spell), at every phase of a step.
  const char* forms[] = {"\xF4\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF7\xBF\xBF\xBF",
                         "\xF8\x88\x80\x80\x80", "\xF0\x80\x80\x80", "\xF0\x90\x80\x80", "\xED\xA0\x80",
                         "\xF0\x9F\x98",  "\xF0\x9F\x98\xC3\xA9"};
  for (const char* form : forms) {
    for (size_t at = 0; at < 40; ++at) {
      const std::string s = std::string(at, 'a') + "\xE6\x9D\xB1" + form + "\xF0\x9F\x98\x80" + std::string(40, 'b');
      ucs4_same_as_twin(s, s.size(), "edge form");
    }
  }
}

TEST(ucs4_kernels_match_twin_on_random_documents) {
  std::mt19937_64 rng(23);
  for (int t = 0; t < 300; ++t) {
    std::string s = t % 2 ? emoji_text(rng, rng() % 2000) : random_text(rng, rng() % 2000, 0x10FFFF);
    if (t % 4 == 0 && !s.empty()) s[rng() % s.size()] = static_cast<char>(rng());  // sometimes broken
    const size_t chars = measure_utf8(bytes(s), s.size()).chars;
    ucs4_same_as_twin(s, chars, "random");
    ucs4_same_as_twin(s, chars > 0 ? rng() % chars : 0, "random, short of room");
  }
}
