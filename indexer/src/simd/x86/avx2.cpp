// AVX2 + PCLMULQDQ kernel: 32-byte vectors, carry-less multiply for the
// prefix XOR. This translation unit is compiled with -mavx2 -mpclmul and is
// only entered after the CPU check in cpu.cpp.
#include <immintrin.h>

#include "simd/generic/classify.h"
#include "simd/x86/x86.h"

namespace tessary::index::simd {
namespace {

inline uint64_t eq_mask32(__m256i v, __m256i needle) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, needle)));
}

inline __m256i load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

const uint8_t* avx2_find_byte(const uint8_t* p, const uint8_t* end, uint8_t c) {
  if (end - p < 32) {
    if (end - p >= 16) {
      const __m128i n = _mm_set1_epi8(static_cast<char>(c));
      uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), n)));
      if (m != 0) return p + __builtin_ctz(m);
      const uint8_t* q = end - 16;
      m = static_cast<uint32_t>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), n)));
      return m != 0 ? q + __builtin_ctz(m) : end;
    }
    while (p < end && *p != c) ++p;
    return p;
  }
  const __m256i needle = _mm256_set1_epi8(static_cast<char>(c));
  // Two vectors (64 bytes) per step; only a hit is resolved to its position.
  while (end - p >= 64) {
    __m256i a = _mm256_cmpeq_epi8(load32(p), needle);
    __m256i b = _mm256_cmpeq_epi8(load32(p + 32), needle);
    if (!_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_or_si256(a, b))) {
      uint64_t m = static_cast<uint32_t>(_mm256_movemask_epi8(a)) |
                   (uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(b))} << 32);
      return p + __builtin_ctzll(m);
    }
    p += 64;
  }
  if (end - p >= 32) {
    uint64_t m = eq_mask32(load32(p), needle);
    if (m != 0) return p + __builtin_ctzll(m);
    p += 32;
  }
  if (p < end) {
    // Last 32 bytes of the range; the bytes before p are known not to match.
    const uint8_t* q = end - 32;
    uint64_t m = eq_mask32(load32(q), needle);
    if (m != 0) return q + __builtin_ctzll(m);
  }
  return end;
}

struct Avx2Prim {
  static RawMasks classify64(const uint8_t* p) {
    const __m256i lo = load32(p);
    const __m256i hi = load32(p + 32);
    auto mask = [&](char ch) {
      const __m256i n = _mm256_set1_epi8(ch);
      return eq_mask32(lo, n) | (eq_mask32(hi, n) << 32);
    };
    return RawMasks{mask('<'), mask('>'), mask('"'), mask('\'')};
  }
  // Carry-less multiplication by all ones: bit i of the product's low half
  // is the XOR of bits 0..i of x.
  static uint64_t prefix_xor(uint64_t x) {
    __m128i product = _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)),
                                           _mm_set1_epi8(-1), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
  }
};

void avx2_classify(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                   uint64_t* quotes, uint8_t* state) {
  classify_full_blocks<Avx2Prim>(data, nblocks, lt, gt, quotes, state);
}

MarkupCounts avx2_count(const uint8_t* p, size_t n) { return count_with_blocks<Avx2Prim>(p, n); }

uint64_t avx2_prefix_xor(uint64_t x) { return Avx2Prim::prefix_xor(x); }

}  // namespace

const KernelOps kAvx2Ops{Kernel::AVX2, avx2_find_byte, avx2_classify, avx2_count,
                         avx2_prefix_xor};

}  // namespace tessary::index::simd
