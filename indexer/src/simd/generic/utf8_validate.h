// UTF-8 validation: the byte-at-a-time twin, and the vector algorithm written once over an
// architecture's primitives. Internal linkage only, as in classify.h.
//
// A text is valid when it splits into characters of one to four bytes with no overlong form, no
// surrogate (U+D800..U+DFFF) and nothing above U+10FFFF. Both return the offset of the first
// byte that does not begin a valid character, walking the characters in order (the lead byte
// of a malformed, truncated or out-of-range sequence; a stray continuation byte), or the length
// when the whole text is valid. Both also give the largest byte of the text (when it is valid),
// which a caller that reads a text once needs as well, at the cost of a max per vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessary::index::simd {
namespace {

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Checks the character starting at d[i] (i < n); advances i past it, or returns false with i
// left at its first byte.
inline bool valid_step(const uint8_t* d, size_t n, size_t& i) {
  const uint8_t c = d[i];
  if (c < 0x80) {
    ++i;
    return true;
  }
  if (c < 0xC2) return false;  // a continuation byte, or an overlong two-byte form (C0, C1)
  if (c < 0xE0) {
    if (i + 1 >= n || !is_continuation(d[i + 1])) return false;
    i += 2;
    return true;
  }
  if (c < 0xF0) {
    if (i + 2 >= n) return false;
    const uint8_t c1 = d[i + 1];
    const uint8_t lo = c == 0xE0 ? 0xA0 : 0x80;  // E0 80..9F is overlong
    const uint8_t hi = c == 0xED ? 0x9F : 0xBF;  // ED A0..BF are surrogates
    if (c1 < lo || c1 > hi || !is_continuation(d[i + 2])) return false;
    i += 3;
    return true;
  }
  if (c < 0xF5) {
    if (i + 3 >= n) return false;
    const uint8_t c1 = d[i + 1];
    const uint8_t lo = c == 0xF0 ? 0x90 : 0x80;  // F0 80..8F is overlong
    const uint8_t hi = c == 0xF4 ? 0x8F : 0xBF;  // F4 90.. is above U+10FFFF
    if (c1 < lo || c1 > hi || !is_continuation(d[i + 2]) || !is_continuation(d[i + 3])) return false;
    i += 4;
    return true;
  }
  return false;  // F5..FF never occur
}

// The scalar twin, from a character boundary i on: sixteen ASCII bytes per step where it can
// (a word test), else a character at a time.
inline size_t validate_scalar_from(const uint8_t* d, size_t n, size_t i) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  while (i + 16 <= n) {
    uint64_t a, b;
    std::memcpy(&a, d + i, 8);
    std::memcpy(&b, d + i + 8, 8);
    if (((a | b) & kHigh) == 0) {
      i += 16;
      continue;
    }
    const size_t stop = i + 16;
    while (i < stop)
      if (!valid_step(d, n, i)) return i;
  }
  while (i < n)
    if (!valid_step(d, n, i)) return i;
  return n;
}

// The largest byte of d[from, n) (0 when empty): the twin of the vectors' running maximum.
inline uint8_t max_from(const uint8_t* d, size_t n, size_t from) {
  uint8_t m = 0;
  for (size_t i = from; i < n; ++i) m = d[i] > m ? d[i] : m;
  return m;
}

// The scalar twin of the validators with the largest byte: `*max` is that of the whole text
// when it is valid (unspecified otherwise).
inline size_t validate_scalar_max(const uint8_t* d, size_t n, uint8_t* max) {
  const size_t bad = validate_scalar_from(d, n, 0);
  *max = bad == n ? max_from(d, n, 0) : 0;
  return bad;
}

// A character boundary at or before `at`, given that [0, at) is valid apart from possibly one
// character that `at` cuts: in a valid text every byte that is not a continuation byte starts a
// character, so the last such byte among the three before `at` is one, and when all three are
// continuation bytes the character they end finishes right before `at`.
inline size_t boundary_before(const uint8_t* d, size_t at) {
  for (size_t back = 1; back <= 3 && back <= at; ++back)
    if (!is_continuation(d[at - back])) return at - back;
  return at;
}

// The vector algorithm (after Keiser and Lemire's lookup scheme): every byte is classified
// together with the byte before it by three 16-entry table lookups, on the high and low nibble
// of the previous byte and the high nibble of this one; the ANDed entries are non-zero exactly
// where the pair cannot occur in valid text (too short or too long a sequence, an overlong form,
// a surrogate, a value above U+10FFFF) or where two continuation bytes meet. Those pairs must be
// exactly the third and fourth bytes of long forms, which the two bytes before each position
// say. The vector only says whether a 64-byte block holds an error; the byte-at-a-time twin then
// finds it, starting at a character boundary just before the block.
//
// `U` supplies, for vectors of kWidth bytes (kWidth divides 64):
//   Vec, load(p), splat(c), table(const uint8_t[16]) (a lookup table, replicated as needed)
//   lookup(table, idx)  per-byte table lookup, idx in 0..15
//   high_nibble(v)      each byte shifted right by 4
//   and_, or_, xor_, sat_sub (unsigned saturating subtraction)
//   prev<N>(cur, prev)  cur shifted N bytes later, the last N bytes of prev coming in first
//   any(v)              any byte non-zero;   any_high(v)  any byte of 0x80 or above
//   max_(a, b)          per-byte unsigned maximum;   max_lane(v)  the largest byte of v
template <class U>
struct Utf8Blocks {
  using Vec = typename U::Vec;
  static constexpr size_t kPerBlock = 64 / U::kWidth;

  // Bits of the classification: the names say which pair of bytes sets them.
  static constexpr uint8_t kTooShort = 1 << 0;   // a lead byte followed by a lead byte or ASCII
  static constexpr uint8_t kTooLong = 1 << 1;    // ASCII followed by a continuation byte
  static constexpr uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
  static constexpr uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5..FF 90..BF
  static constexpr uint8_t kSurrogate = 1 << 4;  // ED A0..BF
  static constexpr uint8_t kOverlong2 = 1 << 5;  // C0..C1 80..BF
  static constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
  static constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
  static constexpr uint8_t kTwoConts = 1 << 7;      // a continuation byte after another
  static constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

  static constexpr uint8_t kByte1High[16] = {
      // 0_______ : ASCII
      kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
      // 10______ : continuation
      kTwoConts, kTwoConts, kTwoConts, kTwoConts,
      // 1100____, 1101____ : two-byte leads
      kTooShort | kOverlong2, kTooShort,
      // 1110____ : three-byte leads
      kTooShort | kOverlong3 | kSurrogate,
      // 1111____ : four-byte leads and bytes that never occur
      kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
  static constexpr uint8_t kByte1Low[16] = {
      kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ____0000
      kCarry | kOverlong2,                            // ____0001
      kCarry,
      kCarry,
      kCarry | kTooLarge,  // ____0100
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // ____1101
      kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000};
  static constexpr uint8_t kByte2High[16] = {
      // ________ 0_______ : ASCII
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      // ________ 1000____
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
      // ________ 1001____
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
      // ________ 101_____
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      // ________ 11______ : a lead byte
      kTooShort, kTooShort, kTooShort, kTooShort};

  Vec byte1_high = U::table(kByte1High);
  Vec byte1_low = U::table(kByte1Low);
  Vec byte2_high = U::table(kByte2High);
  Vec low_nibble = U::splat(0x0F);
  Vec top_bit = U::splat(0x80);
  Vec third_sub = U::splat(0xE0 - 0x80);   // saturating subtraction: only 111_____ stays >= 0x80
  Vec fourth_sub = U::splat(0xF0 - 0x80);  // only 1111____ stays >= 0x80
  Vec prev = U::splat(0);
  Vec error = U::splat(0);

  void check(Vec cur) {
    const Vec prev1 = U::template prev<1>(cur, prev);
    const Vec sc = U::and_(U::and_(U::lookup(byte1_high, U::high_nibble(prev1)),
                                   U::lookup(byte1_low, U::and_(prev1, low_nibble))),
                           U::lookup(byte2_high, U::high_nibble(cur)));
    const Vec prev2 = U::template prev<2>(cur, prev);
    const Vec prev3 = U::template prev<3>(cur, prev);
    const Vec must23 = U::and_(U::or_(U::sat_sub(prev2, third_sub), U::sat_sub(prev3, fourth_sub)), top_bit);
    error = U::or_(error, U::xor_(must23, sc));
    prev = cur;
  }
};

// `*max` gets the largest byte of the text when it is valid (unspecified otherwise).
template <class U>
size_t validate_blocks(const uint8_t* d, size_t n, uint8_t* max) {
  using B = Utf8Blocks<U>;
  B st;
  typename U::Vec top = U::splat(0);
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    typename U::Vec v[B::kPerBlock];
    typename U::Vec all = U::load(d + i);
    typename U::Vec most = all;
    v[0] = all;
    for (size_t k = 1; k < B::kPerBlock; ++k) {
      v[k] = U::load(d + i + k * U::kWidth);
      all = U::or_(all, v[k]);
      most = U::max_(most, v[k]);
    }
    top = U::max_(top, most);
    if (!U::any_high(all)) {
      // ASCII: valid unless the block before ended inside a character.
      if (U::any_high(st.prev) && U::any(U::sat_sub(st.prev, U::incomplete_limits()))) break;
      st.prev = v[B::kPerBlock - 1];
      continue;
    }
    for (size_t k = 0; k < B::kPerBlock; ++k) st.check(v[k]);
    if (U::any(st.error)) break;
  }
  // The rest (and the block that holds an error, if any) a character at a time, from the start of
  // the character that runs into it.
  const size_t from = boundary_before(d, i);
  const size_t bad = validate_scalar_from(d, n, from);
  const uint8_t vec_max = U::max_lane(top), rest_max = max_from(d, n, from);
  *max = vec_max > rest_max ? vec_max : rest_max;
  return bad;
}

}  // namespace
}  // namespace tessary::index::simd
