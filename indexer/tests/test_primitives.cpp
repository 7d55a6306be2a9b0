// The inline byte primitives (simd/bytes.h) of this CPU and the SWAR fallback against their
// byte-at-a-time twins (simd/byteset.h): every length around the 8/16/32/64-byte edges, every
// single-byte change in a block, random bytes, and ranges that end at an unreadable page.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "harness.h"
#include "simd/bytes.h"

namespace {

using tessary::simd::find_any_scalar;
using tessary::simd::find_any_with;
using tessary::simd::for_each_match_scalar;
using tessary::simd::for_each_match_with;
using Native = tessary::simd::Native;
using Swar = tessary::simd::swar::Arch;

// The sets the reader and the writer search for, and two that take other paths: bytes with the
// high bit set, and a set with nine distinct high nibbles (too many for the nibble tables).
template <uint8_t... Cs>
struct Set {};
using LtAmp = Set<'<', '&'>;
using AttrSpecial = Set<'<', '&', '\t', '\n', '\r'>;
using TextEscape = Set<'&', '<', '>', '"', '\''>;
using AttrEscape = Set<'&', '<', '>', '"', '\'', '\t', '\n', '\r'>;
using One = Set<'<'>;
using High = Set<0x00, 0x80, 0xFF, 0xC3>;
using Nibbles = Set<0x05, 0x15, 0x25, 0x35, 0x45, 0x55, 0x65, 0x75, 0x85>;

// Bytes drawn mostly from the members of the sets, their neighbours and high bytes.
std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
  static const uint8_t alphabet[] = {'<', '&', '>', '"', '\'', '\t', '\n', '\r', 'a', ' ', 0x00, 0x80,
                                     0xFF, 0xC3, 0x05, 0x85, 0x3C | 0x80, 0x0B, 0x3D, 0x25};
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    const uint64_t r = rng();
    b = (r & 7) == 0 ? static_cast<uint8_t>(r >> 8) : alphabet[(r >> 8) % sizeof alphabet];
  }
  return v;
}

template <class A, uint8_t... Cs>
std::vector<size_t> matches_with(const uint8_t* p, size_t n, size_t stop_after) {
  std::vector<size_t> out;
  const bool done = for_each_match_with<A, Cs...>(p, n, [&](size_t at) {
    out.push_back(at);
    return out.size() < stop_after;
  });
  if (done != (out.size() < stop_after)) out.push_back(~size_t{0});  // a wrong result
  return out;
}

template <uint8_t... Cs>
std::vector<size_t> matches_scalar(const uint8_t* p, size_t n, size_t stop_after) {
  std::vector<size_t> out;
  const bool done = for_each_match_scalar<Cs...>(p, n, [&](size_t at) {
    out.push_back(at);
    return out.size() < stop_after;
  });
  if (done != (out.size() < stop_after)) out.push_back(~size_t{0});
  return out;
}

// Every search of one architecture against the twin on [p, p + n), from every start (or every
// few starts when `all_starts` is false).
template <class A, uint8_t... Cs>
void compare(Set<Cs...>, const char* arch, const uint8_t* p, size_t n, bool all_starts) {
  for (size_t from = 0; from <= n; from += all_starts ? 1 : 13) {
    const uint8_t* want = find_any_scalar<Cs...>(p + from, p + n);
    const uint8_t* got = find_any_with<A, Cs...>(p + from, p + n);
    CHECK_MSG(want == got, arch << " find_any from " << from << " of " << n << ": " << (got - p)
                                << " instead of " << (want - p));
  }
  const std::vector<size_t> all = matches_scalar<Cs...>(p, n, ~size_t{0});
  CHECK_MSG((matches_with<A, Cs...>(p, n, ~size_t{0}) == all), arch << " for_each_match over " << n);
  // A walk stopped by the callback stops at the same match.
  for (size_t stop : {size_t{1}, size_t{2}, all.size()}) {
    if (stop == 0) continue;
    CHECK_MSG((matches_with<A, Cs...>(p, n, stop) == matches_scalar<Cs...>(p, n, stop)),
              arch << " for_each_match stopped after " << stop << " of " << n);
  }
}

template <uint8_t... Cs>
void compare_short(Set<Cs...>, const uint8_t* p, size_t n) {
  // 'a' is in none of the sets.
  if (n < 16) {
    const bool want = tessary::simd::any_in_scalar<Cs...>(p, n);
    CHECK_MSG((tessary::simd::swar::any_in_short<'a', Cs...>(p, n) == want), "swar any_in_short over " << n);
    CHECK_MSG((tessary::simd::any_in_short<'a', Cs...>(p, n) == want), "native any_in_short over " << n);
    CHECK_MSG((tessary::simd::any_in_short_with<Swar, 'a', Cs...>(p, n) == want), "swar any_in_short_with over " << n);
    bool high = false;
    for (size_t i = 0; i < n; ++i) high |= p[i] >= 0x80;
    CHECK_MSG(tessary::simd::swar::any_high_in_short(p, n) == high, "any_high_in_short over " << n);
  }
}

template <class S>
void compare_all_archs(S set, const uint8_t* p, size_t n, bool all_starts) {
  compare<Native>(set, "native", p, n, all_starts);
  compare<Swar>(set, "swar", p, n, all_starts);
  compare_short(set, p, n);
}

// Tallies: the writer's weights of escaped bytes (disjoint groups of weight 3, 4 and 5) and one
// group holding high bytes, each with and without the UTF-8 counts, on one architecture.
using tessary::simd::ByteTally;
using tessary::simd::Weighted;
using TextWeights = std::tuple<Weighted<3, '<', '>'>, Weighted<4, '&'>, Weighted<5, '"', '\''>>;
using AttrWeights = std::tuple<Weighted<3, '<', '>', '\t'>, Weighted<4, '&', '\r', '\n'>, Weighted<5, '"', '\''>>;
using HighWeights = std::tuple<Weighted<127, 0x80, 0xFF, 0xC3>, Weighted<1, 0x00>>;

bool same(const ByteTally& a, const ByteTally& b) {
  return a.weight == b.weight && a.continuations == b.continuations && a.max_byte == b.max_byte;
}

template <class A, bool Utf8, class... G>
void compare_tally(std::tuple<G...>, const char* arch, const uint8_t* p, size_t n) {
  const ByteTally want = tessary::simd::tally_scalar<Utf8, G...>(p, n);
  const ByteTally got = tessary::simd::tally_with<A, Utf8, G...>(p, n);
  CHECK_MSG(same(want, got), arch << " tally (utf8 " << Utf8 << ") over " << n << ": " << got.weight << "/"
                                  << got.continuations << "/" << int(got.max_byte) << " instead of " << want.weight
                                  << "/" << want.continuations << "/" << int(want.max_byte));
}

template <class A>
void compare_tallies(const char* arch, const uint8_t* p, size_t n) {
  compare_tally<A, true>(TextWeights{}, arch, p, n);
  compare_tally<A, false>(TextWeights{}, arch, p, n);
  compare_tally<A, true>(AttrWeights{}, arch, p, n);
  compare_tally<A, false>(AttrWeights{}, arch, p, n);
  compare_tally<A, true>(HighWeights{}, arch, p, n);
}

// The name-end searches: a byte at most Low, or in the set.
template <uint8_t Low, uint8_t... Cs>
struct LowSet {};
using StartNameEnd = LowSet<0x20, '/', '>'>;
using EndNameEnd = LowSet<0x20, '>'>;
using LowOrHigh = LowSet<0x7F, 0xFF>;

template <class A, uint8_t Low, uint8_t... Cs>
void compare_low(LowSet<Low, Cs...>, const char* arch, const uint8_t* p, size_t n, bool all_starts) {
  for (size_t from = 0; from <= n; from += all_starts ? 1 : 13) {
    const uint8_t* want = tessary::simd::find_low_or_any_scalar<Low, Cs...>(p + from, p + n);
    const uint8_t* got = tessary::simd::find_low_or_any_with<A, Low, Cs...>(p + from, p + n);
    CHECK_MSG(want == got, arch << " find_low_or_any from " << from << " of " << n << ": " << (got - p)
                                << " instead of " << (want - p));
  }
}

template <class S>
void compare_low_all_archs(S set, const uint8_t* p, size_t n, bool all_starts) {
  compare_low<Native>(set, "native", p, n, all_starts);
  compare_low<Swar>(set, "swar", p, n, all_starts);
}

void compare_every_set(const uint8_t* p, size_t n, bool all_starts) {
  compare_low_all_archs(StartNameEnd{}, p, n, all_starts);
  compare_low_all_archs(EndNameEnd{}, p, n, all_starts);
  compare_low_all_archs(LowOrHigh{}, p, n, all_starts);
  compare_tallies<Native>("native", p, n);
  compare_tallies<Swar>("swar", p, n);
  compare_all_archs(LtAmp{}, p, n, all_starts);
  compare_all_archs(AttrSpecial{}, p, n, all_starts);
  compare_all_archs(TextEscape{}, p, n, all_starts);
  compare_all_archs(AttrEscape{}, p, n, all_starts);
  compare_all_archs(One{}, p, n, all_starts);
  compare_all_archs(High{}, p, n, all_starts);
  compare_all_archs(Nibbles{}, p, n, all_starts);
}

}  // namespace

TEST(searches_match_the_twin_at_every_length) {
  std::mt19937_64 rng(21);
  for (size_t n = 0; n <= 3 * 64 + 1; ++n) {
    for (int round = 0; round < 3; ++round) {
      const std::vector<uint8_t> v = random_bytes(rng, n);
      compare_every_set(v.data(), n, n <= 70);
    }
  }
}

TEST(searches_match_the_twin_for_every_single_byte_change) {
  // A base without any member, so that the changed byte is the only match (or, for bytes that
  // are no member, there is none), at every position of two blocks.
  std::vector<uint8_t> base(2 * 64 + 7, 'x');
  const uint8_t values[] = {'<', '&', '>', '"', '\'', '\t', '\n', '\r', 0x00, 0x80, 0xFF, 0xC3, 0x05, 0x85,
                            0x95, '<' | 0x80, '&' | 0x80, '<' ^ 1, '\t' ^ 0x10, 0x0B, 0x0C, ' ', '!',
                            '/', 0x7F};
  for (size_t pos = 0; pos < base.size(); ++pos) {
    for (uint8_t value : values) {
      base[pos] = value;
      compare_every_set(base.data(), base.size(), false);
      // The same change in a range whose end is the changed byte or one past it.
      compare_every_set(base.data(), pos + 1, false);
    }
    base[pos] = 'x';
  }
  // Which byte matched must also come out right when every byte of a vector matches.
  const std::vector<uint8_t> all(80, '<');
  compare_every_set(all.data(), all.size(), true);
}

TEST(searches_match_the_twin_on_random_bytes) {
  std::mt19937_64 rng(22);
  for (int t = 0; t < 300; ++t) {
    const std::vector<uint8_t> v = random_bytes(rng, rng() % 5000);
    compare_every_set(v.data(), v.size(), false);
  }
}

TEST(searches_read_nothing_past_the_end) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  CHECK(mem != MAP_FAILED);
  if (mem == MAP_FAILED) return;
  uint8_t* base = static_cast<uint8_t*>(mem);
  CHECK_EQ(mprotect(base + page, page, PROT_NONE), 0);
  std::mt19937_64 rng(23);
  for (size_t n = 0; n <= 200; ++n) {
    uint8_t* p = base + page - n;
    const std::vector<uint8_t> v = random_bytes(rng, n);
    if (n != 0) std::memcpy(p, v.data(), n);
    compare_every_set(p, n, n < 40);
  }
  munmap(mem, 2 * page);
}

TEST(searches_find_known_positions) {
  // Results spelled out, so that a twin and a kernel that are wrong the same way still fail.
  const char text[] = "abc&def<ghi\tjkl\"mno'pqr>stu\nvwx\ryz";
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  const size_t n = sizeof text - 1;
  auto at = [&](const uint8_t* q) { return static_cast<size_t>(q - p); };
  CHECK_EQ(at(find_any_with<Native, '<', '&'>(p, p + n)), 3u);
  CHECK_EQ(at(find_any_with<Native, '<', '&'>(p + 4, p + n)), 7u);
  CHECK_EQ(at(find_any_with<Native, '\t', '\n', '\r'>(p, p + n)), 11u);
  CHECK_EQ(at(find_any_with<Swar, '\r'>(p, p + n)), 31u);
  CHECK_EQ(at(find_any_with<Native, 'Z'>(p, p + n)), n);
  CHECK_EQ(at(tessary::simd::find_low_or_any_with<Native, 0x20, '>'>(p, p + n)), 11u);  // the tab
  CHECK_EQ(at(tessary::simd::find_low_or_any_with<Native, 0x20, '>'>(p + 12, p + n)), 23u);
  CHECK_EQ(at(tessary::simd::find_low_or_any_with<Swar, 0x20, '"'>(p + 12, p + n)), 15u);
  CHECK_EQ(at(tessary::simd::find_low_or_any_with<Native, 0x08, 0xFF>(p, p + n)), n);
  const std::vector<size_t> want{3, 7, 15, 19, 23};
  CHECK((matches_with<Native, '&', '<', '>', '"', '\''>(p, n, ~size_t{0}) == want));
  CHECK((matches_with<Swar, '&', '<', '>', '"', '\''>(p, n, ~size_t{0}) == want));
  CHECK(!(tessary::simd::swar::any_in_short<'a', '<'>(p, 7)));
  CHECK((tessary::simd::swar::any_in_short<'a', '<'>(p, 8)));
  CHECK((tessary::simd::swar::any_in_short<'a', 'b'>(p, 2)));
  CHECK(!(tessary::simd::swar::any_in_short<'a', 'b'>(p, 0)));
  CHECK(!(tessary::simd::any_in_short<'a', '<'>(p, 7)));
  CHECK((tessary::simd::any_in_short<'a', '<'>(p, 8)));
  CHECK((tessary::simd::any_in_short<'a', '&', '\r'>(p + 4, 1)) == false);
  CHECK((tessary::simd::any_in_short<'a', '&', '\r'>(p + 3, 1)));
  CHECK((tessary::simd::any_in_short<'a', '\r'>(p + 20, 12)));  // the range's last byte
  CHECK(!(tessary::simd::any_in_short<'a', '\r'>(p + 20, 11)));
  // The overlapping last vector of a search: matches in the part seen twice count once.
  const std::vector<size_t> tail{7, 15, 19, 23};
  CHECK((matches_with<Native, '<', '>', '"', '\''>(p + 0, 24, ~size_t{0}) == tail));
}

TEST(tallies_give_known_counts) {
  // Counts spelled out, over a range long enough for the vector loop and its blocks: 5000
  // repetitions of a 16-byte piece with one of each text-escaped byte and a two-byte character.
  const char piece[] = "a&b<c>d\"e'f\xC3\xA9ghi";
  static_assert(sizeof piece - 1 == 16);
  std::vector<uint8_t> v;
  for (int i = 0; i < 5000; ++i) v.insert(v.end(), piece, piece + 16);
  v.push_back(0xF0);  // in the tail, past the last whole vector
  for (auto t : {tessary::simd::tally_with<Native, true, Weighted<3, '<', '>'>, Weighted<4, '&'>, Weighted<5, '"', '\''>>(
                     v.data(), v.size()),
                 tessary::simd::tally_with<Swar, true, Weighted<3, '<', '>'>, Weighted<4, '&'>, Weighted<5, '"', '\''>>(
                     v.data(), v.size())}) {
    CHECK_EQ(t.weight, 5000u * (3 + 3 + 4 + 5 + 5));
    CHECK_EQ(t.continuations, 5000u);
    CHECK_EQ(int(t.max_byte), 0xF0);
  }
  const ByteTally empty = tessary::simd::tally_with<Native, true, Weighted<1, 'a'>>(v.data(), 0);
  CHECK(empty.weight == 0 && empty.continuations == 0 && empty.max_byte == 0);
}

namespace {

// short_text on every architecture against its twin, for each length up to the vector width,
// over bytes read from `p` (which has at least 16 readable bytes).
void compare_short_text(const uint8_t* p, const char* what) {
  for (size_t n = 0; n <= 16; ++n) {
    const tessary::simd::ShortText want = tessary::simd::short_text_scalar(p, n);
    auto same = [&](const tessary::simd::ShortText& got) {
      return got.lead == want.lead && got.trail == want.trail && got.special == want.special;
    };
    if (n <= Native::kWidth) CHECK_MSG(same(tessary::simd::short_text_with<Native>(p, n)), what << " native n=" << n);
    if (n <= Swar::kWidth) CHECK_MSG(same(tessary::simd::short_text_with<Swar>(p, n)), what << " swar n=" << n);
  }
}

}  // namespace

TEST(short_text_matches_the_twin) {
  // Runs made of the bytes that matter (each white-space byte, the two specials, bytes that
  // are almost one of them, high bytes) at every length, and every single-byte change.
  const uint8_t alphabet[] = {' ', '\t', '\n', 0x0B, '\f', '\r', '&', '<', 'a', 0x08, 0x0E, 0x1F, 0x21,
                              0xA0, 0x85, 0x80, 0xFF, '&' | 0x80, '<' ^ 1, 0x00};
  std::mt19937_64 rng(24);
  for (int t = 0; t < 4000; ++t) {
    uint8_t buf[32];
    const int mode = t % 4;  // white-space heavy, mixed, uniform random, all one byte
    for (uint8_t& b : buf) {
      if (mode == 0) b = (rng() % 4 != 0) ? alphabet[rng() % 6] : alphabet[rng() % sizeof alphabet];
      else if (mode == 1) b = alphabet[rng() % sizeof alphabet];
      else b = static_cast<uint8_t>(rng());
    }
    if (mode == 3) std::memset(buf, alphabet[rng() % sizeof alphabet], sizeof buf);
    compare_short_text(buf, "random");
  }
  uint8_t base[32];
  std::memset(base, ' ', sizeof base);
  for (size_t pos = 0; pos < 16; ++pos) {
    for (uint8_t v : alphabet) {
      base[pos] = v;
      compare_short_text(base, "one change");
    }
    base[pos] = ' ';
  }
  // Known answers.
  const auto* p = reinterpret_cast<const uint8_t*>("\n  ab&c \t..............");
  const tessary::simd::ShortText t = tessary::simd::short_text_with<Native>(p, 9);
  CHECK(t.lead == 3 && t.trail == 2 && t.special);
  const tessary::simd::ShortText u = tessary::simd::short_text_with<Native>(p, 3);
  CHECK(u.lead == 3 && u.trail == 3 && !u.special);
}

namespace {

// The tag marks of the 64 bytes at p by this CPU's vectors and by SWAR (which uses the twin),
// against the twin.
void compare_tag_marks(const uint8_t* p) {
  const uint64_t want = tessary::simd::tag_marks_scalar(p);
  CHECK_MSG(tessary::simd::tag_marks(p) == want, "native tag_marks: " << tessary::simd::tag_marks(p) << " not " << want);
  CHECK_MSG(tessary::simd::tag_marks_with<Native>(p) == want, "tag_marks_with<Native>");
  CHECK_MSG(tessary::simd::tag_marks_with<Swar>(p) == want, "tag_marks_with<Swar>");
}

}  // namespace

TEST(tag_marks_match_the_twin_for_every_byte_at_every_position) {
  // Every byte value at every position of a block, in a block of name bytes and in one of white
  // space (all marks), and at every start offset of the block in a longer buffer.
  for (uint8_t fill : {uint8_t{'x'}, uint8_t{' '}}) {
    std::vector<uint8_t> base(64 + 64, fill);
    for (size_t start = 0; start < 64; start += 7) {
      for (size_t pos = 0; pos < 64; ++pos) {
        for (unsigned value = 0; value < 256; ++value) {
          base[start + pos] = static_cast<uint8_t>(value);
          compare_tag_marks(base.data() + start);
        }
        base[start + pos] = fill;
      }
    }
  }
}

TEST(tag_marks_match_the_twin_on_random_bytes_and_tags) {
  std::mt19937_64 rng(23);
  for (int t = 0; t < 2000; ++t) {
    const std::vector<uint8_t> v = random_bytes(rng, 64 + t % 64);
    for (size_t start = 0; start + 64 <= v.size(); start += 5) compare_tag_marks(v.data() + start);
  }
  const char* tag = R"( id="1" lat='-12.5' k="a&amp;b" v="x y/z" sp = "q"> <a b="c"/>  trailing bytes)";
  const auto* p = reinterpret_cast<const uint8_t*>(tag);
  compare_tag_marks(p);
  // Known marks: white space, quotes, '=', '/', '>', '&'; names and plain value bytes are not.
  const uint64_t m = tessary::simd::tag_marks(p);
  CHECK((m & 1) != 0);                   // ' '
  CHECK((m & (uint64_t{1} << 1)) == 0);  // 'i'
  CHECK((m & (uint64_t{1} << 3)) != 0);  // '='
  CHECK((m & (uint64_t{1} << 4)) != 0);  // '"'
  CHECK((m & (uint64_t{1} << 5)) == 0);  // '1'
  CHECK((m & (uint64_t{1} << 13)) == 0);  // '-'
  CHECK((m & (uint64_t{1} << 16)) == 0);  // '.'
  CHECK((m & (uint64_t{1} << 18)) != 0);  // '\''
}

namespace {

// find_masked by this CPU's vectors and by SWAR against the twin, from every start for short
// ranges, for a mask of high bits (four-byte UTF-8 leads) and one of scattered bits.
template <uint8_t Mask>
void compare_masked(const uint8_t* p, size_t n) {
  for (size_t from = 0; from <= n; from += (n <= 70 ? 1 : 17)) {
    const uint8_t* want = tessary::simd::find_masked_scalar<Mask>(p + from, p + n);
    CHECK_MSG(tessary::simd::find_masked<Mask>(p + from, p + n) == want,
              "native find_masked<" << int(Mask) << "> from " << from << " of " << n);
    CHECK_MSG((tessary::simd::find_masked_with<Swar, Mask>(p + from, p + n) == want),
              "swar find_masked<" << int(Mask) << "> from " << from << " of " << n);
  }
}

void compare_masks(const uint8_t* p, size_t n) {
  compare_masked<0xF0>(p, n);
  compare_masked<0x81>(p, n);
}

}  // namespace

TEST(find_masked_matches_the_twin) {
  std::mt19937_64 rng(24);
  // Every length around the vector edges, of UTF-8-like bytes.
  for (size_t n = 0; n <= 3 * 64 + 1; ++n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>((rng() & 3) == 0 ? 0xC0 | (rng() & 0x3F) : rng() & 0x7F);
    compare_masks(v.data(), n);
  }
  // Every byte value at every position of two blocks of ASCII, in the whole range and in one that
  // ends at the changed byte.
  std::vector<uint8_t> base(2 * 64 + 7, 'x');
  for (size_t pos = 0; pos < base.size(); ++pos) {
    for (unsigned value = 0x70; value < 256; value += 3) {
      base[pos] = static_cast<uint8_t>(value);
      compare_masks(base.data(), base.size());
      compare_masks(base.data(), pos + 1);
    }
    base[pos] = 'x';
  }
  // Random bytes of any value.
  for (int t = 0; t < 300; ++t) {
    const std::vector<uint8_t> v = random_bytes(rng, rng() % 3000);
    compare_masks(v.data(), v.size());
  }
  const auto* p = reinterpret_cast<const uint8_t*>("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 and more text after it");
  const size_t n = std::strlen(reinterpret_cast<const char*>(p));
  CHECK_EQ(static_cast<size_t>(tessary::simd::find_masked<0xF0>(p, p + n) - p), 10u);
}

namespace {

// eq_any of one architecture for all 256 byte values in one place of a vector, against the twin.
template <class A, uint8_t... Cs>
void compare_eq_any(Set<Cs...>, const char* arch) {
  for (unsigned value = 0; value < 256; ++value) {
    uint8_t block[64];
    std::memset(block, value == 'x' ? 'y' : 'x', sizeof block);
    block[A::kWidth - 1] = static_cast<uint8_t>(value);
    const bool found = A::any(A::template eq_any<Cs...>(A::load(block)));
    if (found != tessary::simd::ByteSet<Cs...>::contains(static_cast<uint8_t>(value))) {
      std::fprintf(stderr, "%s: eq_any wrong for byte 0x%02X\n", arch, value);
      CHECK(false);
    }
  }
}

template <class S>
void compare_eq_any_archs(S set) {
  compare_eq_any<Native>(set, "native");
  compare_eq_any<Swar>(set, "swar");
}

}  // namespace

TEST(eq_any_matches_exactly_its_set) {
  // Bytes one bit apart are compared together (<>, &', tab and CR); a set with the same byte
  // twice, chains of one-bit neighbours, and bytes 0x00 and 0xFF.
  compare_eq_any_archs(AttrEscape{});
  compare_eq_any_archs(TextEscape{});
  compare_eq_any_archs(High{});
  compare_eq_any_archs(Nibbles{});
  compare_eq_any_archs(Set<'<', '<', '>', '>'>{});
  compare_eq_any_archs(Set<0x00, 0x01, 0x03, 0x07, 0x0F>{});
  compare_eq_any_archs(Set<0xFF, 0xFE, 0x7F, 0x80>{});
}
