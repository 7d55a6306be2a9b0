// Byte primitives of SSE2, the x86-64 baseline: 16-byte vectors. A compare result is 0xFF in
// each matching byte; `bits` moves it to a mask with one bit per byte.
//
// Never include this from a translation unit compiled for a wider instruction set (avx2.cpp):
// these are ordinary inline functions, and a copy compiled with AVX2 encodings could be the one
// the linker keeps for the whole program.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/generic/groups.h"

namespace tessary::simd::sse2 {

struct Arch {
  using Vec = __m128i;
  static constexpr size_t kWidth = 16;
  static constexpr unsigned kShift = 0;  // log2 of the bits of `bits` per byte

  static Vec load(const uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void store(uint8_t* p, Vec v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  // The vector of two words' bytes, `a`'s first (each word's bytes in memory order).
  static Vec from_words(uint64_t a, uint64_t b) noexcept {
    return _mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a));
  }
  static Vec splat(uint8_t c) noexcept { return _mm_set1_epi8(static_cast<char>(c)); }
  static Vec eq(Vec v, uint8_t c) noexcept { return _mm_cmpeq_epi8(v, splat(c)); }
  static Vec or_(Vec a, Vec b) noexcept { return _mm_or_si128(a, b); }
  static Vec and_(Vec a, Vec b) noexcept { return _mm_and_si128(a, b); }
  // Bytes that differ in one bit are compared together (generic/groups.h).
  template <uint8_t C, uint8_t... Cs>
  static Vec eq_any(Vec v) noexcept {
    return eq_grouped<Arch, C, Cs...>(v);
  }
  static uint64_t bits(Vec m) noexcept { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
  static bool any(Vec m) noexcept { return _mm_movemask_epi8(m) != 0; }
  static bool any_high(Vec v) noexcept { return _mm_movemask_epi8(v) != 0; }
  static Vec max_(Vec a, Vec b) noexcept { return _mm_max_epu8(a, b); }
  // The largest byte of the vector.
  static uint8_t max_lane(Vec v) noexcept {
    v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(v));
  }
  static Vec zero() noexcept { return _mm_setzero_si128(); }
  // `acc` plus `w` in each byte where the compare result `m` matched (lanes wrap at 256).
  static Vec add_weight(Vec acc, Vec m, uint8_t w) noexcept { return _mm_add_epi8(acc, _mm_and_si128(m, splat(w))); }
  // The sum of the vector's bytes.
  static uint64_t sum_lanes(Vec v) noexcept {
    const __m128i s = _mm_sad_epu8(v, _mm_setzero_si128());
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
  }
  // Four compare results of consecutive vectors as one mask, bit i for byte i.
  static uint64_t bitmask64(Vec a, Vec b, Vec c, Vec d) noexcept {
    return bits(a) | (bits(b) << 16) | (bits(c) << 32) | (bits(d) << 48);
  }
};

}  // namespace tessary::simd::sse2
