// Byte primitives in a 64-bit word (SIMD within a register): the fallback for CPUs without a
// vector unit this library knows, and the word-wide checks of short ranges on every CPU.
//
// A vector is eight bytes, the first byte in the lowest bits whatever the host's byte order. A
// compare result holds 0x80 in each byte that matched and 0 elsewhere (exact: no false bits),
// so `bits` has one bit per matching byte and the byte's index is its bit's index / 8.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/generic/groups.h"

namespace tessary::simd::swar {

struct Arch {
  using Vec = uint64_t;
  static constexpr size_t kWidth = 8;
  static constexpr unsigned kShift = 3;  // log2 of the bits of `bits` per byte

  static constexpr uint64_t kOnes = 0x0101010101010101ull;
  static constexpr uint64_t kHigh = 0x8080808080808080ull;
  static constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

  static Vec load(const uint8_t* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
  }
  static void store(uint8_t* p, Vec v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
  }
  // 0x80 exactly in the zero bytes of x.
  static constexpr Vec zero_bytes(Vec x) noexcept { return ~(((x & kLow7) + kLow7) | x | kLow7); }
  static constexpr Vec splat(uint8_t c) noexcept { return kOnes * c; }
  static constexpr Vec eq(Vec v, uint8_t c) noexcept { return zero_bytes(v ^ (kOnes * c)); }
  static constexpr Vec or_(Vec a, Vec b) noexcept { return a | b; }
  static constexpr Vec and_(Vec a, Vec b) noexcept { return a & b; }
  // Bytes that differ in one bit are compared together (generic/groups.h).
  template <uint8_t... Cs>
  static constexpr Vec eq_any(Vec v) noexcept {
    return eq_grouped<Arch, Cs...>(v);
  }
  static constexpr uint64_t bits(Vec m) noexcept { return m; }
  static constexpr bool any(Vec m) noexcept { return m != 0; }
  static constexpr bool any_high(Vec v) noexcept { return (v & kHigh) != 0; }
  // Byte-wise maximum and the largest byte, a byte at a time (this is the fallback).
  static constexpr Vec max_(Vec a, Vec b) noexcept {
    Vec r = 0;
    for (unsigned s = 0; s < 64; s += 8) {
      const uint64_t x = (a >> s) & 0xFF, y = (b >> s) & 0xFF;
      r |= (x > y ? x : y) << s;
    }
    return r;
  }
  static constexpr uint8_t max_lane(Vec v) noexcept {
    uint8_t m = 0;
    for (unsigned s = 0; s < 64; s += 8) m = static_cast<uint8_t>((v >> s) & 0xFF) > m ? static_cast<uint8_t>((v >> s) & 0xFF) : m;
    return m;
  }
  static constexpr Vec zero() noexcept { return 0; }
  // `acc` plus `w` in each byte where the compare result `m` (0x80 per match) matched; lanes
  // must not pass 255, which the callers' block sizes ensure.
  static constexpr Vec add_weight(Vec acc, Vec m, uint8_t w) noexcept { return acc + (m >> 7) * w; }
  // The sum of the vector's bytes.
  static constexpr uint64_t sum_lanes(Vec v) noexcept {
    uint64_t s = 0;
    for (unsigned k = 0; k < 64; k += 8) s += (v >> k) & 0xFF;
    return s;
  }
};

// Gathers the n bytes at p (0 < n < 16) into two words, overlapping so that nothing outside
// [p, p + n) is read (a byte seen twice changes nothing to a test of whether some byte matches);
// ranges shorter than four bytes are padded with `filler`.
inline void gather_short(const uint8_t* p, size_t n, uint8_t filler, uint64_t& a, uint64_t& b) noexcept {
  if (n >= 8) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = b = x | (uint64_t{y} << 32);
  } else {
    a = b = uint64_t{p[0]} | (uint64_t{p[n / 2]} << 8) | (uint64_t{p[n - 1]} << 16) |
            (Arch::kOnes * filler) << 24;
  }
}

// Whether any of the n bytes at p (n < 16) is in the set; `Filler` is a byte outside the set.
template <uint8_t Filler, uint8_t... Cs>
inline bool any_in_short(const uint8_t* p, size_t n) noexcept {
  if (n == 0) return false;
  uint64_t a, b;
  gather_short(p, n, Filler, a, b);
  // Byte order does not matter: only whether some byte matches.
  return Arch::any(Arch::or_(Arch::eq_any<Cs...>(a), Arch::eq_any<Cs...>(b)));
}

// Whether any of the n bytes at p (n < 16) is 0x80 or above. Reads only [p, p + n).
inline bool any_high_in_short(const uint8_t* p, size_t n) noexcept {
  if (n == 0) return false;
  uint64_t a, b;
  gather_short(p, n, 0, a, b);
  return Arch::any_high(a | b);
}

}  // namespace tessary::simd::swar
