// Byte primitives of AVX2: 32-byte vectors, for the AVX2 kernel only. Internal linkage, like
// everything avx2.cpp includes: this code is compiled with AVX2 encodings and must never be
// merged with code the rest of the program runs on CPUs without AVX2.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace tessary::index::simd {
namespace {

struct Avx2 {
  using Vec = __m256i;
  static constexpr size_t kWidth = 32;

  static Vec load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static Vec splat(uint8_t c) { return _mm256_set1_epi8(static_cast<char>(c)); }
  static Vec eq(Vec v, uint8_t c) { return _mm256_cmpeq_epi8(v, splat(c)); }
  static Vec or_(Vec a, Vec b) { return _mm256_or_si256(a, b); }
  static Vec and_(Vec a, Vec b) { return _mm256_and_si256(a, b); }
  static Vec xor_(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
  static uint64_t bits(Vec m) { return static_cast<uint32_t>(_mm256_movemask_epi8(m)); }
  static bool any(Vec v) { return !_mm256_testz_si256(v, v); }
  static bool any_high(Vec v) { return _mm256_movemask_epi8(v) != 0; }
  static Vec max_(Vec a, Vec b) { return _mm256_max_epu8(a, b); }
  // The largest byte of the vector.
  static uint8_t max_lane(Vec v) {
    __m128i m = _mm_max_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(m));
  }

  // For the UTF-8 validator (generic/utf8_validate.h).
  static Vec table(const uint8_t (&t)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
  }
  static Vec lookup(Vec table, Vec idx) { return _mm256_shuffle_epi8(table, idx); }
  static Vec high_nibble(Vec v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), splat(0x0F)); }
  static Vec sat_sub(Vec a, Vec b) { return _mm256_subs_epu8(a, b); }
  template <int N>
  static Vec prev(Vec cur, Vec before) {
    return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(before, cur, 0x21), 16 - N);
  }
  // Non-zero after a saturating subtraction where a character is still open at the end of the
  // vector: a lead byte last, a three- or four-byte lead second to last, a four-byte lead third
  // to last.
  static Vec incomplete_limits() {
    return _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                            -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                            static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  }
};

}  // namespace
}  // namespace tessary::index::simd
