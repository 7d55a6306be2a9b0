// SSE2 kernel: the x86-64 baseline, 16-byte vectors.
#include <emmintrin.h>

#include "simd/generic/classify.h"
#include "simd/generic/utf8.h"
#include "simd/x86/x86.h"

namespace tessary::index::simd {
namespace {

inline uint64_t eq_mask16(__m128i v, __m128i needle) {
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, needle)));
}

const uint8_t* sse2_find_byte(const uint8_t* p, const uint8_t* end, uint8_t c) {
  if (end - p < 16) {
    while (p < end && *p != c) ++p;
    return p;
  }
  const __m128i needle = _mm_set1_epi8(static_cast<char>(c));
  // Four vectors per step; only a hit is resolved to its position.
  while (end - p >= 64) {
    __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), needle);
    __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), needle);
    __m128i d = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), needle);
    __m128i e = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), needle);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(d, e))) != 0) {
      uint64_t m = static_cast<uint32_t>(_mm_movemask_epi8(a)) |
                   (uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(b))} << 16) |
                   (uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(d))} << 32) |
                   (uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(e))} << 48);
      return p + __builtin_ctzll(m);
    }
    p += 64;
  }
  while (end - p >= 16) {
    uint64_t m = eq_mask16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), needle);
    if (m != 0) return p + __builtin_ctzll(m);
    p += 16;
  }
  if (p < end) {
    // Last 16 bytes of the range; the bytes before p are known not to match.
    const uint8_t* q = end - 16;
    uint64_t m = eq_mask16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), needle);
    if (m != 0) return q + __builtin_ctzll(m);
  }
  return end;
}

struct Sse2Prim {
  static RawMasks classify64(const uint8_t* p) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    auto mask = [&](char ch) {
      const __m128i n = _mm_set1_epi8(ch);
      return eq_mask16(v0, n) | (eq_mask16(v1, n) << 16) | (eq_mask16(v2, n) << 32) |
             (eq_mask16(v3, n) << 48);
    };
    return RawMasks{mask('<'), mask('>'), mask('"'), mask('\'')};
  }
  // Log-step doubling: after step k every bit holds the XOR of the 2^k bits
  // at and below it.
  static uint64_t prefix_xor(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
  }
};

void sse2_classify(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                   uint64_t* quotes, uint8_t* state) {
  classify_full_blocks<Sse2Prim>(data, nblocks, lt, gt, quotes, state);
}

MarkupCounts sse2_count(const uint8_t* p, size_t n) { return count_with_blocks<Sse2Prim>(p, n); }

uint64_t sse2_prefix_xor(uint64_t x) { return Sse2Prim::prefix_xor(x); }

// Sixteen ASCII bytes at a time are widened in two stores; a block with any other byte is
// decoded a character at a time (SSE2 has no byte shuffle to pack variable-length forms).
Utf8Decoded sse2_decode_ucs2(const uint8_t* p, size_t n, uint16_t* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t bits = 0;
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(v) == 0) {
      if (cap - o < 16) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_unpacklo_epi8(v, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o + 8), _mm_unpackhi_epi8(v, zero));
      acc = _mm_or_si128(acc, v);
      i += 16;
      o += 16;
      continue;
    }
    const size_t stop = i + 16;
    while (i < stop) {
      if (!decode_one(p, n, i, out, cap, o, bits)) return {o, bits, false};
    }
  }
  alignas(16) uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  for (uint8_t b : lanes) bits |= b;
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

}  // namespace

const KernelOps kSse2Ops{Kernel::SSE2, sse2_find_byte, sse2_classify, sse2_count,
                         sse2_prefix_xor, sse2_decode_ucs2};

}  // namespace tessary::index::simd
