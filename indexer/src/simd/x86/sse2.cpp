// SSE2 kernel: the x86-64 baseline, 16-byte vectors.
#include <emmintrin.h>

#include "simd/generic/classify.h"
#include "simd/generic/utf8.h"
#include "simd/generic/utf8_encode.h"
#include "simd/generic/utf8_validate.h"
#include "simd/x86/sse2.h"
#include "simd/x86/x86.h"

namespace tessary::index::simd {
namespace {

using V = tessary::simd::sse2::Arch;

const uint8_t* sse2_find_byte(const uint8_t* p, const uint8_t* end, uint8_t c) {
  if (end - p < 16) {
    while (p < end && *p != c) ++p;
    return p;
  }
  // Four vectors per step; only a hit is resolved to its position.
  while (end - p >= 64) {
    const V::Vec a = V::eq(V::load(p), c), b = V::eq(V::load(p + 16), c);
    const V::Vec d = V::eq(V::load(p + 32), c), e = V::eq(V::load(p + 48), c);
    if (V::any(V::or_(V::or_(a, b), V::or_(d, e)))) return p + __builtin_ctzll(V::bitmask64(a, b, d, e));
    p += 64;
  }
  while (end - p >= 16) {
    const uint64_t m = V::bits(V::eq(V::load(p), c));
    if (m != 0) return p + __builtin_ctzll(m);
    p += 16;
  }
  if (p < end) {
    // Last 16 bytes of the range; the bytes before p are known not to match.
    const uint8_t* q = end - 16;
    const uint64_t m = V::bits(V::eq(V::load(q), c));
    if (m != 0) return q + __builtin_ctzll(m);
  }
  return end;
}

struct Sse2Prim {
  static RawMasks classify64(const uint8_t* p) {
    const V::Vec v0 = V::load(p), v1 = V::load(p + 16), v2 = V::load(p + 32), v3 = V::load(p + 48);
    auto mask = [&](uint8_t ch) { return V::bitmask64(V::eq(v0, ch), V::eq(v1, ch), V::eq(v2, ch), V::eq(v3, ch)); };
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

// SSE2 has no byte shuffle for the table lookups of the vector validator: 64 ASCII bytes are
// passed per step, and a block with any other byte is checked a character at a time. The
// largest byte is kept over every whole block looked at, whichever way it was checked.
size_t sse2_validate_utf8(const uint8_t* p, size_t n, uint8_t* max) {
  size_t i = 0;
  V::Vec top = V::splat(0);
  while (i + 64 <= n) {
    const V::Vec a = V::load(p + i), b = V::load(p + i + 16), c = V::load(p + i + 32), d = V::load(p + i + 48);
    top = V::max_(top, V::max_(V::max_(a, b), V::max_(c, d)));
    if (!V::any_high(V::or_(V::or_(a, b), V::or_(c, d)))) {
      i += 64;
      continue;
    }
    // A character may run past the block; the next step starts after it. The bytes it takes
    // from the next block are continuation bytes, below its lead byte: the maximum stays whole.
    const size_t stop = i + 64;
    while (i < stop)
      if (!valid_step(p, n, i)) return i;
  }
  const size_t bad = validate_scalar_from(p, n, i);
  const uint8_t vec_max = V::max_lane(top), rest_max = max_from(p, n, i);
  *max = vec_max > rest_max ? vec_max : rest_max;
  return bad;
}

// Sixteen ASCII bytes widened into 16- or 32-bit units.
inline void store_widened(__m128i v, uint16_t* out) {
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
}
inline void store_widened(__m128i v, uint32_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
}

// Sixteen ASCII bytes at a time are widened; a block with any other byte is decoded a
// character at a time (SSE2 has no byte shuffle to pack variable-length forms). A failure is
// decoded again by the twin from the start, whose result it returns.
template <class T>
Utf8Decoded sse2_decode_wide(const uint8_t* p, size_t n, T* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t bits = 0;
  __m128i acc = _mm_setzero_si128();
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(v) == 0) {
      if (cap - o < 16) break;
      store_widened(v, out + o);
      acc = _mm_or_si128(acc, v);
      i += 16;
      o += 16;
      continue;
    }
    const size_t stop = i + 16;
    while (i < stop) {
      if (!decode_one(p, n, i, out, cap, o, bits)) return decode_scalar_from(p, n, 0, out, cap, 0, 0);
    }
  }
  alignas(16) uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  for (uint8_t b : lanes) bits |= b;
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

Utf8Decoded sse2_decode_ucs2(const uint8_t* p, size_t n, uint16_t* out, size_t cap) {
  return sse2_decode_wide(p, n, out, cap);
}
Utf8Decoded sse2_decode_ucs4(const uint8_t* p, size_t n, uint32_t* out, size_t cap) {
  return sse2_decode_wide(p, n, out, cap);
}

// ---- encoding a str's units to UTF-8 ----------------------------------------------------------
// SSE2 has no byte shuffle to pack forms of different lengths: blocks of ASCII units are narrowed
// and stored whole, any other block is encoded a unit at a time.

inline bool all_ascii16(__m128i v) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))),
                                           _mm_setzero_si128())) == 0xFFFF;
}

Utf8Encoded sse2_encode_ucs1(const uint8_t* units, size_t n, uint8_t* out) {
  size_t i = 0, o = 0;
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
    if (_mm_movemask_epi8(v) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), v);
      o += 16;
    } else {
      size_t bad;
      encode_block_scalar(units, i, 16, out, o, &bad);  // a Latin-1 unit never fails
    }
    i += 16;
  }
  return encode_scalar_from(units, n, i, out, o);
}

// Eight units per step, sixteen when all of them are ASCII.
Utf8Encoded sse2_encode_ucs2(const uint16_t* units, size_t n, uint8_t* out) {
  size_t i = 0, o = 0;
  while (n - i >= 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
    if (n - i >= 16) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i + 8));
      if (all_ascii16(_mm_or_si128(a, b))) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(a, b));
        i += 16;
        o += 16;
        continue;
      }
    }
    if (all_ascii16(a)) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(a, a));
      o += 8;
    } else {
      size_t bad;
      if (!encode_block_scalar(units, i, 8, out, o, &bad)) return {bad, false};
    }
    i += 8;
  }
  return encode_scalar_from(units, n, i, out, o);
}

// Eight units per step.
Utf8Encoded sse2_encode_ucs4(const uint32_t* units, size_t n, uint8_t* out) {
  size_t i = 0, o = 0;
  while (n - i >= 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i + 4));
    const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi32(~0x7F));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) == 0xFFFF) {
      // Below 0x80, the signed saturation of packs keeps every unit as it is.
      const __m128i w = _mm_packs_epi32(a, b);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(w, w));
      o += 8;
    } else {
      size_t bad;
      if (!encode_block_scalar(units, i, 8, out, o, &bad)) return {bad, false};
    }
    i += 8;
  }
  return encode_scalar_from(units, n, i, out, o);
}

}  // namespace

const KernelOps kSse2Ops{Kernel::SSE2, sse2_find_byte, sse2_classify, sse2_count,
                         sse2_prefix_xor, sse2_decode_ucs2, sse2_decode_ucs4,
                         sse2_validate_utf8, sse2_encode_ucs1, sse2_encode_ucs2,
                         sse2_encode_ucs4};

}  // namespace tessary::index::simd
