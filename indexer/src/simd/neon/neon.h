// Byte primitives of AArch64 Advanced SIMD (NEON): 16-byte vectors. A compare result is 0xFF in
// each matching byte. NEON has no instruction that moves one bit per byte out of a vector;
// `bits` narrows each 16-bit lane by 4 instead, giving four bits per byte of which the top one
// is kept (`kShift` 2: a byte's index is its bit's index / 4), and `bitmask64` sums lane weights
// pairwise when a whole 64-byte block needs one bit per byte.
#pragma once

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

namespace tessary::simd::neon {

// Nibble tables that test membership in a set of bytes with two table lookups: every distinct
// high nibble of the set gets a bit of its own in `hi`, and `lo[n]` holds the bits of the high
// nibbles that occur with low nibble n. A byte is in the set exactly when the entries of its two
// nibbles share a bit. Needs at most eight distinct high nibbles.
template <uint8_t... Cs>
struct NibbleTables {
  uint8_t lo[16];
  uint8_t hi[16];
  bool fits;
  static constexpr NibbleTables make() {
    NibbleTables t{};
    unsigned groups = 0;
    for (uint8_t c : {Cs...}) {
      const unsigned h = c >> 4;
      if (t.hi[h] == 0) {
        if (groups == 8) return NibbleTables{};
        t.hi[h] = static_cast<uint8_t>(1u << groups++);
      }
    }
    for (uint8_t c : {Cs...}) t.lo[c & 15] = static_cast<uint8_t>(t.lo[c & 15] | t.hi[c >> 4]);
    t.fits = true;
    return t;
  }
};

struct Arch {
  using Vec = uint8x16_t;
  static constexpr size_t kWidth = 16;
  static constexpr unsigned kShift = 2;  // log2 of the bits of `bits` per byte

  static Vec load(const uint8_t* p) noexcept { return vld1q_u8(p); }
  static void store(uint8_t* p, Vec v) noexcept { vst1q_u8(p, v); }
  // The vector of two words' bytes, `a`'s first (each word's bytes in memory order).
  static Vec from_words(uint64_t a, uint64_t b) noexcept {
    return vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(a), vcreate_u64(b)));
  }
  static Vec splat(uint8_t c) noexcept { return vdupq_n_u8(c); }
  static Vec eq(Vec v, uint8_t c) noexcept { return vceqq_u8(v, vdupq_n_u8(c)); }
  static Vec or_(Vec a, Vec b) noexcept { return vorrq_u8(a, b); }
  static Vec and_(Vec a, Vec b) noexcept { return vandq_u8(a, b); }
  static Vec xor_(Vec a, Vec b) noexcept { return veorq_u8(a, b); }
  // Up to three bytes: a compare per byte. More: two table lookups, which cost the same
  // whatever the size of the set.
  template <uint8_t C, uint8_t... Cs>
  static Vec eq_any(Vec v) noexcept {
    constexpr NibbleTables<C, Cs...> t = NibbleTables<C, Cs...>::make();
    if constexpr (sizeof...(Cs) >= 3 && t.fits) {
      const Vec lo = vqtbl1q_u8(vld1q_u8(t.lo), vandq_u8(v, vdupq_n_u8(0x0F)));
      const Vec hi = vqtbl1q_u8(vld1q_u8(t.hi), vshrq_n_u8(v, 4));
      return vtstq_u8(lo, hi);
    } else {
      Vec m = eq(v, C);
      ((m = or_(m, eq(v, Cs))), ...);
      return m;
    }
  }
  static uint64_t nibble_mask(Vec m) noexcept {
    const uint8x8_t narrowed = vshrn_n_u16(vreinterpretq_u16_u8(m), 4);
    return vget_lane_u64(vreinterpret_u64_u8(narrowed), 0);
  }
  static uint64_t bits(Vec m) noexcept { return nibble_mask(m) & 0x8888888888888888ull; }
  static bool any(Vec m) noexcept { return vmaxvq_u8(m) != 0; }
  static bool any_high(Vec v) noexcept { return vmaxvq_u8(v) >= 0x80; }
  static Vec max_(Vec a, Vec b) noexcept { return vmaxq_u8(a, b); }
  // The largest byte of the vector.
  static uint8_t max_lane(Vec v) noexcept { return vmaxvq_u8(v); }
  static Vec zero() noexcept { return vdupq_n_u8(0); }
  // `acc` plus `w` in each byte where the compare result `m` matched (lanes wrap at 256).
  static Vec add_weight(Vec acc, Vec m, uint8_t w) noexcept { return vaddq_u8(acc, vandq_u8(m, vdupq_n_u8(w))); }
  // The sum of the vector's bytes.
  static uint64_t sum_lanes(Vec v) noexcept { return vaddlvq_u8(v); }
  // Four compare results of consecutive vectors as one mask, bit i for byte i: each result
  // ANDed with the lane weights 1, 2, ..., 128 and summed pairwise down to a byte per 8 bytes.
  static uint64_t bitmask64(Vec a, Vec b, Vec c, Vec d) noexcept {
    const Vec weights = vreinterpretq_u8_u64(vdupq_n_u64(0x8040201008040201ull));
    const Vec ab = vpaddq_u8(vandq_u8(a, weights), vandq_u8(b, weights));
    const Vec cd = vpaddq_u8(vandq_u8(c, weights), vandq_u8(d, weights));
    Vec abcd = vpaddq_u8(ab, cd);
    abcd = vpaddq_u8(abcd, abcd);
    return vgetq_lane_u64(vreinterpretq_u64_u8(abcd), 0);
  }

  // For the UTF-8 validator (generic/utf8_validate.h).
  static Vec table(const uint8_t (&t)[16]) noexcept { return vld1q_u8(t); }
  static Vec lookup(Vec table, Vec idx) noexcept { return vqtbl1q_u8(table, idx); }
  static Vec high_nibble(Vec v) noexcept { return vshrq_n_u8(v, 4); }
  static Vec sat_sub(Vec a, Vec b) noexcept { return vqsubq_u8(a, b); }
  template <int N>
  static Vec prev(Vec cur, Vec before) noexcept {
    return vextq_u8(before, cur, 16 - N);
  }
  // Non-zero after a saturating subtraction where a character is still open at the end of the
  // vector: a lead byte last, a three- or four-byte lead second to last, a four-byte lead third
  // to last.
  static Vec incomplete_limits() noexcept {
    static constexpr uint8_t limits[16] = {255, 255, 255, 255, 255, 255, 255, 255,
                                           255, 255, 255, 255, 255, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};
    return vld1q_u8(limits);
  }
};

}  // namespace tessary::simd::neon
