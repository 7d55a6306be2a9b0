// AVX2 + PCLMULQDQ kernel: 32-byte vectors, carry-less multiply for the
// prefix XOR. This translation unit is compiled with -mavx2 -mpclmul and is
// only entered after the CPU check in cpu.cpp.
#include <immintrin.h>

#include "simd/generic/classify.h"
#include "simd/generic/utf8.h"
#include "simd/generic/utf8_encode.h"
#include "simd/generic/utf8_validate.h"
#include "simd/x86/avx2.h"
#include "simd/x86/x86.h"

namespace tessary::index::simd {
namespace {

inline uint64_t eq_mask32(__m256i v, uint8_t c) { return Avx2::bits(Avx2::eq(v, c)); }

inline __m256i load32(const uint8_t* p) { return Avx2::load(p); }

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
  // Two vectors (64 bytes) per step; only a hit is resolved to its position.
  while (end - p >= 64) {
    const __m256i a = Avx2::eq(load32(p), c);
    const __m256i b = Avx2::eq(load32(p + 32), c);
    if (Avx2::any(Avx2::or_(a, b))) return p + __builtin_ctzll(Avx2::bits(a) | (Avx2::bits(b) << 32));
    p += 64;
  }
  if (end - p >= 32) {
    uint64_t m = eq_mask32(load32(p), c);
    if (m != 0) return p + __builtin_ctzll(m);
    p += 32;
  }
  if (p < end) {
    // Last 32 bytes of the range; the bytes before p are known not to match.
    const uint8_t* q = end - 32;
    uint64_t m = eq_mask32(load32(q), c);
    if (m != 0) return q + __builtin_ctzll(m);
  }
  return end;
}

struct Avx2Prim {
  static RawMasks classify64(const uint8_t* p) {
    const __m256i lo = load32(p);
    const __m256i hi = load32(p + 32);
    auto mask = [&](uint8_t ch) { return eq_mask32(lo, ch) | (eq_mask32(hi, ch) << 32); };
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

inline __m256i widen16(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen bytes per step. An ASCII step widens them; any other step computes, for each of the
// sixteen positions, the value of a character starting there as if it were a one-, two- or
// three-byte form (from the byte and the two after it), checks that continuation bytes sit
// exactly where the lead bytes say, and packs the values of the positions that start a
// character to the front with a table shuffle per half.
Utf8Decoded avx2_decode_ucs2(const uint8_t* p, size_t n, uint16_t* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t carry = 0;  // continuation bytes the last step's final character still expects
  __m256i acc = _mm256_setzero_si256();
  const __m256i sm64 = _mm256_set1_epi8(-64);
  const __m256i sm33 = _mm256_set1_epi8(-33);
  const __m256i sm17 = _mm256_set1_epi8(-17);
  const __m256i w3f = _mm256_set1_epi16(0x3F);
  const __m256i w1f = _mm256_set1_epi16(0x1F);
  const __m256i wc0 = _mm256_set1_epi16(0xC0);
  const __m256i w80 = _mm256_set1_epi16(0x80);
  const __m256i wdf = _mm256_set1_epi16(0xDF);
  while (n - i >= 32) {
    const __m256i raw = load32(p + i);
    if (carry == 0 && _mm256_movemask_epi8(raw) == 0) {
      // Thirty-two ASCII bytes.
      if (cap - o < 32) break;
      const __m256i w0 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(raw));
      const __m256i w1 = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(raw, 1));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), w0);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 16), w1);
      acc = _mm256_or_si256(acc, _mm256_or_si256(w0, w1));
      i += 32;
      o += 32;
      continue;
    }
    if (cap - o < 16) break;
    const uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(raw));
    if (carry == 0 && (high & 0xFFFF) == 0) {
      // Sixteen ASCII bytes before the first that is not (text with a character from another
      // script every few words).
      const __m256i w0 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(raw));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), w0);
      acc = _mm256_or_si256(acc, w0);
      i += 16;
      o += 16;
      continue;
    }
    // As signed bytes: continuation bytes are below -64, lead bytes of two-byte forms -64..-33,
    // of three-byte forms -32..-17, and bytes from 0xF0 up -16..-1.
    const uint32_t cont = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(sm64, raw)));
    const uint32_t ge_e0 = high & static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(raw, sm33)));
    const uint32_t lead4 = high & static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(raw, sm17)));
    const uint32_t lead2 = high & ~cont & ~ge_e0;
    const uint32_t lead3 = ge_e0 & ~lead4;
    // A four-byte form is left to the byte-at-a-time tail: only an overlong one fits 16 bits, and
    // the tail decodes it to what it spells, as the twin does.
    if ((lead4 & 0xFFFF) != 0) break;
    if (!check_step(cont, lead2, lead3, 16, carry)) return {o, 0, false};
    const __m256i b0 = widen16(p + i);
    const __m256i b1 = widen16(p + i + 1);
    const __m256i b2 = widen16(p + i + 2);
    const __m256i t1 = _mm256_slli_epi16(_mm256_and_si256(b1, w3f), 6);
    const __m256i v2 = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(b0, w1f), 6), _mm256_and_si256(b1, w3f));
    const __m256i v3 = _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(b0, 12), t1), _mm256_and_si256(b2, w3f));
    const __m256i is_ascii = _mm256_cmpgt_epi16(w80, b0);
    const __m256i is_three = _mm256_cmpgt_epi16(b0, wdf);
    __m256i val = _mm256_blendv_epi8(v2, v3, is_three);
    val = _mm256_blendv_epi8(val, b0, is_ascii);
    const __m256i is_cont = _mm256_cmpeq_epi16(_mm256_and_si256(b0, wc0), w80);
    acc = _mm256_or_si256(acc, _mm256_andnot_si256(is_cont, val));
    const uint32_t keep = ~cont & 0xFFFF;
    const uint32_t lo = keep & 0xFF, hi = keep >> 8;
    const __m256i shuffle = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kPackTable.idx[lo]))),
        _mm_load_si128(reinterpret_cast<const __m128i*>(kPackTable.idx[hi])), 1);
    const __m256i packed = _mm256_shuffle_epi8(val, shuffle);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm256_castsi256_si128(packed));
    o += static_cast<size_t>(__builtin_popcount(lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm256_extracti128_si256(packed, 1));
    o += static_cast<size_t>(__builtin_popcount(hi));
    i += 16;
  }
  // The last step's final character may end in the next bytes (already read and decoded from):
  // they must be continuation bytes, and are stepped over.
  for (; carry != 0; carry >>= 1, ++i) {
    if ((p[i] & 0xC0) != 0x80) return {o, 0, false};
  }
  alignas(32) uint16_t lanes[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  uint32_t bits = 0;
  for (uint16_t u : lanes) bits |= u;
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

// For lane mask m (bit j: keep 32-bit lane j of 8), the lane indices that pack the kept lanes to
// the front. The rest repeat the first kept lane, so that every lane of the packed vector holds a
// value that is written (a step that passes the structure check keeps a lane in every four).
struct PackTable32 {
  alignas(8) uint8_t idx[256][8];
  constexpr PackTable32() : idx() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned k = 0;
      for (unsigned j = 0; j < 8; ++j) {
        if (m & (1u << j)) idx[m][k++] = static_cast<uint8_t>(j);
      }
      for (unsigned x = k; x < 8; ++x) idx[m][x] = k > 0 ? idx[m][0] : 0;
    }
  }
};
constexpr PackTable32 kPackTable32{};

inline __m256i widen32(const uint8_t* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Values of the characters that would start at the sixteen positions at p, as one-, two-, three-
// or four-byte forms by their first byte: positions 0-7 in the 32-bit lanes of `first`, 8-15 in
// `second`. `r` holds the sixteen bytes at p, `e0` and `f0` the bytes of r from 0xE0 and from 0xF0
// up as bytes with bit 7 set. The values are computed in two halves of sixteen bits, the low
// sixteen bits and the five above (four-byte forms only; a byte from 0xF8 up gets 0x20 or more
// there, a value above 0x10FFFF); 64-bit quarters are reordered so that interleaving the halves
// within 128-bit lanes puts the positions in order.
inline void values16(const uint8_t* p, __m128i r, __m128i e0, __m128i f0, __m256i& first, __m256i& second) {
  const __m256i b0 = _mm256_cvtepu8_epi16(r);
  const __m256i m3f = _mm256_set1_epi16(0x3F);
  const __m256i c1 = _mm256_and_si256(widen16(p + 1), m3f);
  const __m256i c2 = _mm256_and_si256(widen16(p + 2), m3f);
  const __m256i c3 = _mm256_and_si256(widen16(p + 3), m3f);
  // Five payload bits of the lead: exactly those of a two-byte lead, and of a three-byte lead (its
  // bit 4 is clear); those of a four-byte lead are shifted out of the low sixteen bits.
  const __m256i v2 = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(b0, _mm256_set1_epi16(0x1F)), 6), c1);
  const __m256i v3 = _mm256_or_si256(_mm256_slli_epi16(v2, 6), c2);
  const __m256i v4 = _mm256_or_si256(_mm256_slli_epi16(v3, 6), c3);
  // Sign-extended, a byte with bit 7 set is a negative 16-bit lane: the blend masks.
  const __m256i four = _mm256_cvtepi8_epi16(f0);
  __m256i low = _mm256_blendv_epi8(v2, v3, _mm256_cvtepi8_epi16(e0));
  low = _mm256_blendv_epi8(low, v4, four);
  low = _mm256_blendv_epi8(b0, low, _mm256_cvtepi8_epi16(r));
  const __m256i high = _mm256_and_si256(
      _mm256_srai_epi16(four, 15), _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(b0, _mm256_set1_epi16(0x0F)), 2), _mm256_srli_epi16(c1, 4)));
  low = _mm256_permute4x64_epi64(low, 0xD8);
  const __m256i hi = _mm256_permute4x64_epi64(high, 0xD8);
  first = _mm256_unpacklo_epi16(low, hi);
  second = _mm256_unpackhi_epi16(low, hi);
}

// avx2_decode_ucs2 for 32-bit units, with four-byte forms decoded in the step: the value of each
// of sixteen positions as a one- to four-byte form, the structure check, and a lane permutation
// per eight positions that packs the values of the positions starting a character to the front.
// A value above 0x10FFFF is found from the largest unit written, once at the end. Any failure is
// handed to the twin from the start, which gives its result exactly.
Utf8Decoded avx2_decode_ucs4(const uint8_t* p, size_t n, uint32_t* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t carry = 0;
  __m256i acc8 = _mm256_setzero_si256();  // the OR of the ASCII bytes widened
  __m256i acc = _mm256_setzero_si256();   // the OR of the other units written
  __m256i top = _mm256_setzero_si256();   // their largest
  while (n - i >= 32) {
    const __m256i raw = load32(p + i);
    const uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(raw));
    if (carry == 0 && (high & 0xFFFF) == 0) {
      // Sixteen ASCII bytes, or thirty-two.
      const __m128i lo = _mm256_castsi256_si128(raw);
      if (high == 0 && cap - o >= 32) {
        const __m128i hi = _mm256_extracti128_si256(raw, 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), _mm256_cvtepu8_epi32(lo));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 8), _mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 16), _mm256_cvtepu8_epi32(hi));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 24), _mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8)));
        acc8 = _mm256_or_si256(acc8, raw);
        i += 32;
        o += 32;
        continue;
      }
      if (cap - o < 16) break;
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), _mm256_cvtepu8_epi32(lo));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 8), _mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)));
      acc8 = _mm256_or_si256(acc8, _mm256_zextsi128_si256(lo));
      i += 16;
      o += 16;
      continue;
    }
    if (cap - o < 16) break;
    // Shifted left by k within 16-bit lanes, bit 7 of a byte is its bit 7 - k: the bytes from 0xC0,
    // 0xE0 and 0xF0 up are those with bit 7 set in c0, e0 and f0.
    const __m128i r = _mm256_castsi256_si128(raw);
    const __m128i c0 = _mm_and_si128(r, _mm_slli_epi16(r, 1));
    const __m128i e0 = _mm_and_si128(c0, _mm_slli_epi16(r, 2));
    const __m128i f0 = _mm_and_si128(e0, _mm_slli_epi16(r, 3));
    const uint32_t ge_c0 = static_cast<uint32_t>(_mm_movemask_epi8(c0));
    const uint32_t cont = high & 0xFFFF & ~ge_c0;
    if (!check_step_ge(cont, ge_c0, static_cast<uint32_t>(_mm_movemask_epi8(e0)),
                       static_cast<uint32_t>(_mm_movemask_epi8(f0)), 16, carry))
      return decode_scalar_from(p, n, 0, out, cap, 0, 0);
    const uint32_t keep = ~cont & 0xFFFF;
    const uint32_t lo = keep & 0xFF, hi = keep >> 8;
    __m256i w0, w1;
    values16(p + i, r, e0, f0, w0, w1);
    const __m256i v0 = _mm256_permutevar8x32_epi32(w0, widen32(kPackTable32.idx[lo]));
    const __m256i v1 = _mm256_permutevar8x32_epi32(w1, widen32(kPackTable32.idx[hi]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), v0);
    o += static_cast<size_t>(__builtin_popcount(lo));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), v1);
    o += static_cast<size_t>(__builtin_popcount(hi));
    acc = _mm256_or_si256(acc, _mm256_or_si256(v0, v1));
    top = _mm256_max_epu32(top, _mm256_max_epu32(v0, v1));
    i += 16;
  }
  // The last step's final character may end in the next bytes (already read and decoded from):
  // they must be continuation bytes, and are stepped over.
  for (; carry != 0; carry >>= 1, ++i) {
    if ((p[i] & 0xC0) != 0x80) return decode_scalar_from(p, n, 0, out, cap, 0, 0);
  }
  alignas(32) uint32_t lanes[8], tops[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(tops), top);
  __m128i ascii = _mm_or_si128(_mm256_castsi256_si128(acc8), _mm256_extracti128_si256(acc8, 1));
  ascii = _mm_or_si128(ascii, _mm_srli_si128(ascii, 8));
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_or_si256(acc, _mm256_cvtepu8_epi32(ascii)));
  uint32_t bits = 0, max = 0;
  for (int k = 0; k < 8; ++k) {
    bits |= lanes[k];
    max = tops[k] > max ? tops[k] : max;
  }
  if (max > 0x10FFFF) return decode_scalar_from(p, n, 0, out, cap, 0, 0);
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

// ---- encoding a str's units to UTF-8 ----------------------------------------------------------

inline __m128i load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m256i splat16(uint16_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }

// The furthest a block's stores reach past the output position it starts at: sixteen units of
// three bytes are packed four at a time, each group stored as sixteen bytes (36 + 16). The
// vector loops stop when less room than this is left, and the twin writes the rest exactly.
constexpr size_t kEncodeReach = 52;

// Sixteen units below 0x800, not all ASCII: each 16-bit lane gets its one or two bytes (the
// first in the low byte), and a table shuffle per eight units packs them.
inline void encode2_16(__m256i u, uint8_t* out, size_t& o) {
  const __m256i ascii = _mm256_cmpeq_epi16(_mm256_and_si256(u, splat16(0xFF80)), _mm256_setzero_si256());
  const __m256i lead = _mm256_or_si256(_mm256_srli_epi16(u, 6), splat16(0xC0));
  const __m256i cont = _mm256_or_si256(_mm256_and_si256(u, splat16(0x3F)), splat16(0x80));
  const __m256i lanes = _mm256_blendv_epi8(_mm256_or_si256(lead, _mm256_slli_epi16(cont, 8)), u, ascii);
  // A byte per unit, 0xFF where it is ASCII: the units of each half in bits 0-7 and 16-23.
  const uint32_t a = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(ascii, _mm256_setzero_si256())));
  const uint32_t k0 = ~a & 0xFF, k1 = (~a >> 16) & 0xFF;
  const __m256i packed = _mm256_shuffle_epi8(lanes, _mm256_set_m128i(load128(kEncode2.idx[k1]), load128(kEncode2.idx[k0])));
  // Lengths from the keys, not the table: the next store's address then waits on no load.
  const size_t o1 = o + 8 + static_cast<size_t>(__builtin_popcount(k0));
  store128(out + o, _mm256_castsi256_si128(packed));
  store128(out + o1, _mm256_extracti128_si256(packed, 1));
  o = o1 + 8 + static_cast<size_t>(__builtin_popcount(k1));
}

// Four 32-bit lanes, each holding bytes [lead of a three-byte form, second byte, last byte,
// ASCII unit] of one character (the second byte is the lead of a two-byte form when the
// character is below 0x800): for key m (bits 2j and 2j + 1: lane j's character is at least 0x80,
// at least 0x800), the byte shuffle that packs the bytes of each form to the front: byte 3 for
// ASCII, bytes 1-2 for a two-byte form, bytes 0-2 for a three-byte one. A group of four takes
// four bytes and one more per bit of its key. 0x80 (a zero byte) fills the rest.
struct Encode3PickTable {
  alignas(16) uint8_t idx[256][16];
  constexpr Encode3PickTable() : idx() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned k = 0;
      for (unsigned j = 0; j < 4; ++j) {
        const unsigned extra = ((m >> (2 * j)) & 1) + ((m >> (2 * j + 1)) & 1);
        if (extra == 0) idx[m][k++] = static_cast<uint8_t>(4 * j + 3);
        for (unsigned b = 3 - (extra + 1); extra > 0 && b < 3; ++b) idx[m][k++] = static_cast<uint8_t>(4 * j + b);
      }
      for (unsigned x = k; x < 16; ++x) idx[m][x] = 0x80;
    }
  }
};
constexpr Encode3PickTable kEncode3Pick{};

// Sixteen units of the BMP without surrogates: each unit's bytes in the four of a 32-bit lane
// that kEncode3Pick picks from, four units per 128 bits, built from two vectors of 16-bit lanes
// with no blend: the unit's form only decides which bytes the table shuffle keeps. The shuffles
// work within 128-bit halves, so the interleaves give units 0-3 and 8-11 in w0, 4-7 and 12-15 in
// w1.
inline void encode3_16(__m256i u, uint8_t* out, size_t& o) {
  const __m256i two = _mm256_cmpeq_epi16(_mm256_and_si256(u, splat16(0xF800)), _mm256_setzero_si256());  // below 0x800
  // The lead of a three-byte form, and above it 0x80 | (u >> 6 & 0x3F), with bit 6 set below
  // 0x800 (then u >> 6 is below 0x20, and this is 0xC0 | u >> 6, the lead of a two-byte form).
  const __m256i lead_mid = _mm256_or_si256(
      _mm256_or_si256(_mm256_srli_epi16(u, 12), _mm256_and_si256(_mm256_slli_epi16(u, 2), splat16(0x3F00))),
      _mm256_or_si256(_mm256_and_si256(two, splat16(0x4000)), splat16(0x80E0)));
  // The last byte of a two- or three-byte form, and above it the unit's low byte (all of an
  // ASCII unit).
  const __m256i last_ascii = _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(u, splat16(0x3F)), splat16(0x80)),
                                             _mm256_slli_epi16(u, 8));
  const __m256i w0 = _mm256_unpacklo_epi16(lead_mid, last_ascii);
  const __m256i w1 = _mm256_unpackhi_epi16(lead_mid, last_ascii);
  // Bits 2j and 2j + 1: unit j is at least 0x80 (the minimum with 0x80 sets bit 7 of the low
  // byte then, and only then), at least 0x800.
  const uint32_t m = static_cast<uint32_t>(_mm256_movemask_epi8(
      _mm256_or_si256(_mm256_min_epu16(u, splat16(0x80)), _mm256_andnot_si256(two, splat16(0xFF00)))));
  const uint32_t k0 = m & 0xFF, k1 = (m >> 8) & 0xFF, k2 = (m >> 16) & 0xFF, k3 = m >> 24;
  const __m256i p0 = _mm256_shuffle_epi8(w0, _mm256_set_m128i(load128(kEncode3Pick.idx[k2]), load128(kEncode3Pick.idx[k0])));
  const __m256i p1 = _mm256_shuffle_epi8(w1, _mm256_set_m128i(load128(kEncode3Pick.idx[k3]), load128(kEncode3Pick.idx[k1])));
  // Computed from the mask, the store addresses wait on no table load.
  const size_t o1 = o + 4 + static_cast<size_t>(__builtin_popcount(k0));
  const size_t o2 = o1 + 4 + static_cast<size_t>(__builtin_popcount(k1));
  const size_t o3 = o2 + 4 + static_cast<size_t>(__builtin_popcount(k2));
  store128(out + o, _mm256_castsi256_si128(p0));
  store128(out + o1, _mm256_castsi256_si128(p1));
  store128(out + o2, _mm256_extracti128_si256(p0, 1));
  store128(out + o3, _mm256_extracti128_si256(p1, 1));
  o = o3 + 4 + static_cast<size_t>(__builtin_popcount(k3));
}

// Sixteen 16-bit units: ASCII packed to bytes, else by the widest form any of them needs. False,
// with nothing written, when one is a surrogate.
inline bool encode16(__m256i u, uint8_t* out, size_t& o) {
  if (_mm256_testz_si256(u, splat16(0xFF80))) {
    store128(out + o, _mm_packus_epi16(_mm256_castsi256_si128(u), _mm256_extracti128_si256(u, 1)));
    o += 16;
    return true;
  }
  if (_mm256_testz_si256(u, splat16(0xF800))) {
    encode2_16(u, out, o);
    return true;
  }
  const __m256i surrogate = _mm256_cmpeq_epi16(_mm256_and_si256(u, splat16(0xF800)), splat16(0xD800));
  if (!_mm256_testz_si256(surrogate, surrogate)) return false;
  encode3_16(u, out, o);
  return true;
}

// Thirty-two Latin-1 units per step: ASCII stored as it is, sixteen at a time otherwise, widened
// to 16-bit lanes and encoded as one- and two-byte forms (a Latin-1 unit never fails).
Utf8Encoded avx2_encode_ucs1(const uint8_t* units, size_t n, uint8_t* out) {
  const size_t cap = 2 * n;
  size_t i = 0, o = 0;
  while (n - i >= 32 && cap - o >= 64) {
    const __m256i raw = load32(units + i);
    const uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(raw));
    if (high == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), raw);
      i += 32;
      o += 32;
      continue;
    }
    const __m128i halves[2] = {_mm256_castsi256_si128(raw), _mm256_extracti128_si256(raw, 1)};
    for (int h = 0; h < 2; ++h) {
      if (((high >> (16 * h)) & 0xFFFF) == 0) {
        store128(out + o, halves[h]);
        o += 16;
      } else {
        encode2_16(_mm256_cvtepu8_epi16(halves[h]), out, o);
      }
    }
    i += 32;
  }
  return encode_scalar_from(units, n, i, out, o);
}

// Asks for the cache line 2 KB past p (a line of units per step of the loop below) to be in L1
// by the time the loop gets there. Every step branches on its units' forms, and in mixed text
// that branch is mispredicted now and then; with the units still on their way from L3, each
// such branch is resolved only when they arrive, and the hardware prefetchers alone do not bring
// them close enough (mostly-ascii-ucs2 and cjk-ucs2 of 20M units about 15% faster). The address
// is computed as an integer: it may lie past the units, which a prefetch never faults on.
inline void prefetch_ahead(const uint16_t* p) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + 2048));
}

// Thirty-two units per step, by the widest form any of them needs: up to two bytes (ASCII
// included) as two blocks of encode2_16, else as two of encode3_16. Prose that is mostly ASCII
// with a word from another script every few dozen characters has most steps below 0x800 and a
// three-byte one now and then, so this branch is taken the same way most of the time, where one
// on "all ASCII" would go either way and be mispredicted about every other step. A step with a
// surrogate is handed to the twin from its start, which reports the first one. After four ASCII
// steps in a row the text is taken to be in a long ASCII run, and steps are stored at once until
// one is not ASCII. Then at most one block of sixteen.
Utf8Encoded avx2_encode_ucs2(const uint16_t* units, size_t n, uint8_t* out) {
  const size_t cap = 3 * n;
  size_t i = 0, o = 0;
  uint32_t ascii_steps = 0;  // bit k: the step k + 1 steps back was ASCII (arithmetic, not a branch)
  while (n - i >= 32 && cap - o >= 48 + kEncodeReach) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i + 16));
    const __m256i ab = _mm256_or_si256(a, b);
    prefetch_ahead(units + i);
    if (_mm256_testz_si256(ab, splat16(0xF800))) {
      encode2_16(a, out, o);
      encode2_16(b, out, o);
      i += 32;
      ascii_steps = (ascii_steps << 1) | static_cast<uint32_t>(_mm256_testz_si256(ab, splat16(0xFF80)));
      if ((ascii_steps & 0xF) != 0xF) continue;
      ascii_steps = 0;
      while (n - i >= 32 && cap - o >= 48 + kEncodeReach) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i + 16));
        if (!_mm256_testz_si256(_mm256_or_si256(c, d), splat16(0xFF80))) break;
        // packus interleaves the 128-bit halves of its operands; the permutation restores order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), _mm256_permute4x64_epi64(_mm256_packus_epi16(c, d), 0xD8));
        i += 32;
        o += 32;
      }
      continue;
    }
    ascii_steps = 0;
    const __m256i f8 = splat16(0xF800), d8 = splat16(0xD800);
    const __m256i surrogate = _mm256_or_si256(_mm256_cmpeq_epi16(_mm256_and_si256(a, f8), d8),
                                              _mm256_cmpeq_epi16(_mm256_and_si256(b, f8), d8));
    if (!_mm256_testz_si256(surrogate, surrogate)) return encode_scalar_from(units, n, i, out, o);
    encode3_16(a, out, o);
    encode3_16(b, out, o);
    i += 32;
  }
  while (n - i >= 16 && cap - o >= kEncodeReach) {
    if (!encode16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i)), out, o))
      return encode_scalar_from(units, n, i, out, o);
    i += 16;
  }
  return encode_scalar_from(units, n, i, out, o);
}

// Sixteen units per step: those all in the BMP are narrowed to 16 bits and encoded as
// avx2_encode_ucs2 does; a block with a supplementary character (or a unit above 0x10FFFF) is
// encoded a unit at a time.
Utf8Encoded avx2_encode_ucs4(const uint32_t* units, size_t n, uint8_t* out) {
  const size_t cap = 4 * n;
  size_t i = 0, o = 0;
  while (n - i >= 16 && cap - o >= kEncodeReach) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i + 8));
    if (_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi32(static_cast<int>(0xFFFF0000u)))) {
      // Every unit fits 16 bits, which packus keeps as they are.
      const __m256i u = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
      if (!encode16(u, out, o)) return encode_scalar_from(units, n, i, out, o);
    } else {
      size_t bad;
      if (!encode_block_scalar(units, i, 16, out, o, &bad)) return {bad, false};
    }
    i += 16;
  }
  return encode_scalar_from(units, n, i, out, o);
}

}  // namespace

size_t avx2_validate_utf8(const uint8_t* p, size_t n, uint8_t* max) { return validate_blocks<Avx2>(p, n, max); }

const KernelOps kAvx2Ops{Kernel::AVX2, avx2_find_byte, avx2_classify, avx2_count,
                         avx2_prefix_xor, avx2_decode_ucs2, avx2_decode_ucs4,
                         avx2_validate_utf8, avx2_encode_ucs1, avx2_encode_ucs2,
                         avx2_encode_ucs4};

}  // namespace tessary::index::simd
