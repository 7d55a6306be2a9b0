// AArch64 Advanced SIMD kernel.
#include <arm_neon.h>
#include <sys/auxv.h>

#include "simd/generic/classify.h"
#include "simd/generic/utf8.h"
#include "simd/generic/utf8_encode.h"
#include "simd/generic/utf8_validate.h"
#include "simd/neon/neon.h"

#ifndef HWCAP_PMULL
#define HWCAP_PMULL (1 << 4)
#endif

namespace tessary::index::simd {
namespace {

using V = tessary::simd::neon::Arch;

const uint8_t* neon_find_byte(const uint8_t* p, const uint8_t* end, uint8_t c) {
  // Four vectors per step; only a hit is resolved to its position.
  while (end - p >= 64) {
    const V::Vec a = V::eq(V::load(p), c), b = V::eq(V::load(p + 16), c);
    const V::Vec d = V::eq(V::load(p + 32), c), e = V::eq(V::load(p + 48), c);
    if (V::any(V::or_(V::or_(a, b), V::or_(d, e)))) {
      const V::Vec parts[4] = {a, b, d, e};
      for (int i = 0; i < 4; ++i) {
        const uint64_t m = V::bits(parts[i]);
        if (m != 0) return p + 16 * i + (__builtin_ctzll(m) >> V::kShift);
      }
    }
    p += 64;
  }
  while (end - p >= 16) {
    const uint64_t m = V::bits(V::eq(V::load(p), c));
    if (m != 0) return p + (__builtin_ctzll(m) >> V::kShift);
    p += 16;
  }
  // Fewer than 16 bytes: four per step.
  while (end - p >= 4) {
    if (p[0] == c) return p;
    if (p[1] == c) return p + 1;
    if (p[2] == c) return p + 2;
    if (p[3] == c) return p + 3;
    p += 4;
  }
  while (p < end && *p != c) ++p;
  return p;
}

inline RawMasks neon_classify64(const uint8_t* p) {
  const V::Vec v0 = V::load(p), v1 = V::load(p + 16), v2 = V::load(p + 32), v3 = V::load(p + 48);
  auto mask = [&](uint8_t ch) { return V::bitmask64(V::eq(v0, ch), V::eq(v1, ch), V::eq(v2, ch), V::eq(v3, ch)); };
  return RawMasks{mask('<'), mask('>'), mask('"'), mask('\'')};
}

// Polynomial multiply by all ones (PMULL, present on nearly every AArch64
// core): bit i of the low half of the product is the XOR of bits 0..i.
__attribute__((target("+crypto"))) uint64_t pmull_prefix_xor(uint64_t x) {
  poly128_t product = vmull_p64(static_cast<poly64_t>(x), static_cast<poly64_t>(~uint64_t{0}));
  return static_cast<uint64_t>(product);
}

// Log-step doubling, for cores without PMULL.
inline uint64_t shift_prefix_xor(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

struct NeonPmullPrim {
  static RawMasks classify64(const uint8_t* p) { return neon_classify64(p); }
  static uint64_t prefix_xor(uint64_t x) { return pmull_prefix_xor(x); }
};

struct NeonShiftPrim {
  static RawMasks classify64(const uint8_t* p) { return neon_classify64(p); }
  static uint64_t prefix_xor(uint64_t x) { return shift_prefix_xor(x); }
};

void neon_classify_pmull(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                         uint64_t* quotes, uint8_t* state) {
  classify_full_blocks<NeonPmullPrim>(data, nblocks, lt, gt, quotes, state);
}

void neon_classify_shift(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                         uint64_t* quotes, uint8_t* state) {
  classify_full_blocks<NeonShiftPrim>(data, nblocks, lt, gt, quotes, state);
}

MarkupCounts neon_count(const uint8_t* p, size_t n) {
  return count_with_blocks<NeonShiftPrim>(p, n);
}

uint64_t neon_shift_prefix_xor(uint64_t x) { return shift_prefix_xor(x); }

// Bit j set when byte j of the comparison result is all ones.
inline uint32_t bit_mask16(uint8x16_t m) {
  const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t t = vandq_u8(m, weights);
  return vaddv_u8(vget_low_u8(t)) | (static_cast<uint32_t>(vaddv_u8(vget_high_u8(t))) << 8);
}

// Sixteen ASCII bytes are widened at once; otherwise eight positions per step: the value of a
// character starting at each position as a one-, two- or three-byte form, a check that
// continuation bytes sit exactly where the lead bytes say, and a table lookup that packs the
// values of the positions starting a character to the front.
Utf8Decoded neon_decode_ucs2(const uint8_t* p, size_t n, uint16_t* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t carry = 0;
  uint8x16_t acc8 = vdupq_n_u8(0);
  uint16x8_t acc16 = vdupq_n_u16(0);
  while (n - i >= 16) {
    const uint8x16_t v = vld1q_u8(p + i);
    if (carry == 0 && vmaxvq_u8(v) < 0x80) {
      if (cap - o < 16) break;
      vst1q_u16(out + o, vmovl_u8(vget_low_u8(v)));
      vst1q_u16(out + o + 8, vmovl_high_u8(v));
      acc8 = vorrq_u8(acc8, v);
      i += 16;
      o += 16;
      continue;
    }
    if (cap - o < 8) break;
    const uint32_t cont = bit_mask16(vceqq_u8(vandq_u8(v, vdupq_n_u8(0xC0)), vdupq_n_u8(0x80)));
    const uint32_t lead2 = bit_mask16(vceqq_u8(vandq_u8(v, vdupq_n_u8(0xE0)), vdupq_n_u8(0xC0)));
    const uint32_t lead3 = bit_mask16(vceqq_u8(vandq_u8(v, vdupq_n_u8(0xF0)), vdupq_n_u8(0xE0)));
    const uint32_t lead4 = bit_mask16(vcgeq_u8(v, vdupq_n_u8(0xF0)));
    // A four-byte form is left to the byte-at-a-time tail: only an overlong one fits 16 bits, and
    // the tail decodes it to what it spells, as the twin does.
    if ((lead4 & 0xFF) != 0) break;
    if (!check_step(cont, lead2, lead3, 8, carry)) return {o, 0, false};
    const uint16x8_t b0 = vmovl_u8(vget_low_u8(v));
    const uint16x8_t b1 = vmovl_u8(vget_low_u8(vextq_u8(v, v, 1)));
    const uint16x8_t b2 = vmovl_u8(vget_low_u8(vextq_u8(v, v, 2)));
    const uint16x8_t m3f = vdupq_n_u16(0x3F);
    const uint16x8_t v2 = vorrq_u16(vshlq_n_u16(vandq_u16(b0, vdupq_n_u16(0x1F)), 6), vandq_u16(b1, m3f));
    const uint16x8_t v3 =
        vorrq_u16(vorrq_u16(vshlq_n_u16(b0, 12), vshlq_n_u16(vandq_u16(b1, m3f), 6)), vandq_u16(b2, m3f));
    uint16x8_t val = vbslq_u16(vcgtq_u16(b0, vdupq_n_u16(0xDF)), v3, v2);
    val = vbslq_u16(vcltq_u16(b0, vdupq_n_u16(0x80)), b0, val);
    const uint16x8_t is_cont = vceqq_u16(vandq_u16(b0, vdupq_n_u16(0xC0)), vdupq_n_u16(0x80));
    acc16 = vorrq_u16(acc16, vbicq_u16(val, is_cont));
    const uint32_t keep = ~cont & 0xFF;
    const uint8x16_t packed = vqtbl1q_u8(vreinterpretq_u8_u16(val), vld1q_u8(kPackTable.idx[keep]));
    vst1q_u8(reinterpret_cast<uint8_t*>(out + o), packed);
    o += static_cast<size_t>(__builtin_popcount(keep));
    i += 8;
  }
  for (; carry != 0; carry >>= 1, ++i) {
    if ((p[i] & 0xC0) != 0x80) return {o, 0, false};
  }
  uint16_t lanes[8];
  vst1q_u16(lanes, vorrq_u16(acc16, vmovl_u8(vget_low_u8(vorrq_u8(acc8, vextq_u8(acc8, acc8, 8))))));
  uint32_t bits = 0;
  for (uint16_t u : lanes) bits |= u;
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

// Byte k of the result holds the bit mask (bit j: byte j all ones) of the low eight bytes of
// compare result m_k: four masks for three pairwise adds.
inline uint32_t bit_masks8x4(uint8x16_t m0, uint8x16_t m1, uint8x16_t m2, uint8x16_t m3) {
  const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t a = vandq_u8(vcombine_u8(vget_low_u8(m0), vget_low_u8(m1)), weights);
  const uint8x16_t b = vandq_u8(vcombine_u8(vget_low_u8(m2), vget_low_u8(m3)), weights);
  uint8x16_t s = vpaddq_u8(a, b);
  s = vpaddq_u8(s, s);
  s = vpaddq_u8(s, s);
  return vgetq_lane_u32(vreinterpretq_u32_u8(s), 0);
}

// For lane mask m (bit j: keep 32-bit lane j of 4), the byte shuffle that packs the kept lanes to
// the front; 0x80 (a zero byte for the table lookup) fills the rest.
struct PackTable32 {
  alignas(16) uint8_t idx[16][16];
  constexpr PackTable32() : idx() {
    for (unsigned m = 0; m < 16; ++m) {
      unsigned k = 0;
      for (unsigned j = 0; j < 4; ++j) {
        if (m & (1u << j)) {
          for (unsigned b = 0; b < 4; ++b) idx[m][4 * k + b] = static_cast<uint8_t>(4 * j + b);
          ++k;
        }
      }
      for (unsigned x = 4 * k; x < 16; ++x) idx[m][x] = 0x80;
    }
  }
};
constexpr PackTable32 kPackTable32{};

// neon_decode_ucs2 for 32-bit units, with four-byte forms decoded in the step: eight positions
// per step, each valued as a one- to four-byte form by its first byte in two 16-bit halves (the
// low sixteen bits and the five above), interleaved into 32-bit lanes and packed four lanes at a
// time. A byte from 0xF8 up counts as a four-byte lead whose value lies above 0x10FFFF; such a
// value is found from the largest unit written, once at the end. Any failure is handed to the
// twin from the start, which gives its result exactly.
Utf8Decoded neon_decode_ucs4(const uint8_t* p, size_t n, uint32_t* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t carry = 0;
  uint8x16_t acc8 = vdupq_n_u8(0);   // the OR of the ASCII bytes widened
  uint32x4_t acc = vdupq_n_u32(0);   // the OR of the other units written
  uint32x4_t top = vdupq_n_u32(0);   // their largest
  while (n - i >= 16) {
    const uint8x16_t v = vld1q_u8(p + i);
    if (carry == 0 && vmaxvq_u8(v) < 0x80) {
      if (cap - o < 16) break;
      const uint16x8_t lo = vmovl_u8(vget_low_u8(v)), hi = vmovl_high_u8(v);
      vst1q_u32(out + o, vmovl_u16(vget_low_u16(lo)));
      vst1q_u32(out + o + 4, vmovl_high_u16(lo));
      vst1q_u32(out + o + 8, vmovl_u16(vget_low_u16(hi)));
      vst1q_u32(out + o + 12, vmovl_high_u16(hi));
      acc8 = vorrq_u8(acc8, v);
      i += 16;
      o += 16;
      continue;
    }
    if (cap - o < 8) break;
    const uint8x16_t ge_c0 = vcgeq_u8(v, vdupq_n_u8(0xC0));
    const uint32_t masks = bit_masks8x4(vandq_u8(vcgeq_u8(v, vdupq_n_u8(0x80)), vmvnq_u8(ge_c0)), ge_c0,
                                        vcgeq_u8(v, vdupq_n_u8(0xE0)), vcgeq_u8(v, vdupq_n_u8(0xF0)));
    const uint32_t cont = masks & 0xFF;
    if (!check_step_ge(cont, (masks >> 8) & 0xFF, (masks >> 16) & 0xFF, masks >> 24, 8, carry))
      return decode_scalar_from(p, n, 0, out, cap, 0, 0);
    const uint16x8_t b0 = vmovl_u8(vget_low_u8(v));
    const uint16x8_t m3f = vdupq_n_u16(0x3F);
    const uint16x8_t c1 = vandq_u16(vmovl_u8(vget_low_u8(vextq_u8(v, v, 1))), m3f);
    const uint16x8_t c2 = vandq_u16(vmovl_u8(vget_low_u8(vextq_u8(v, v, 2))), m3f);
    const uint16x8_t c3 = vandq_u16(vmovl_u8(vget_low_u8(vextq_u8(v, v, 3))), m3f);
    const uint16x8_t v2 = vorrq_u16(vshlq_n_u16(vandq_u16(b0, vdupq_n_u16(0x1F)), 6), c1);
    // The low sixteen bits of a three-byte form (all of it) and of a four-byte form.
    const uint16x8_t v3 = vorrq_u16(vshlq_n_u16(v2, 6), c2);
    const uint16x8_t v4 = vorrq_u16(vshlq_n_u16(v3, 6), c3);
    const uint16x8_t four = vcgtq_u16(b0, vdupq_n_u16(0xEF));
    uint16x8_t low = vbslq_u16(four, v4, vbslq_u16(vcgtq_u16(b0, vdupq_n_u16(0xDF)), v3, v2));
    low = vbslq_u16(vcltq_u16(b0, vdupq_n_u16(0x80)), b0, low);
    // The bits above: three of the lead (four from 0xF8 up) and two of the first continuation.
    const uint16x8_t high =
        vandq_u16(four, vorrq_u16(vshlq_n_u16(vandq_u16(b0, vdupq_n_u16(0x0F)), 2), vshrq_n_u16(c1, 4)));
    const uint32x4_t w0 = vreinterpretq_u32_u16(vzip1q_u16(low, high));
    const uint32x4_t w1 = vreinterpretq_u32_u16(vzip2q_u16(low, high));
    const uint32_t keep = ~cont & 0xFF;
    const uint32_t k0 = keep & 0xF, k1 = keep >> 4;
    const uint32x4_t p0 = vreinterpretq_u32_u8(vqtbl1q_u8(vreinterpretq_u8_u32(w0), vld1q_u8(kPackTable32.idx[k0])));
    const uint32x4_t p1 = vreinterpretq_u32_u8(vqtbl1q_u8(vreinterpretq_u8_u32(w1), vld1q_u8(kPackTable32.idx[k1])));
    vst1q_u32(out + o, p0);
    o += static_cast<size_t>(__builtin_popcount(k0));
    vst1q_u32(out + o, p1);
    o += static_cast<size_t>(__builtin_popcount(k1));
    acc = vorrq_u32(acc, vorrq_u32(p0, p1));
    top = vmaxq_u32(top, vmaxq_u32(p0, p1));
    i += 8;
  }
  for (; carry != 0; carry >>= 1, ++i) {
    if ((p[i] & 0xC0) != 0x80) return decode_scalar_from(p, n, 0, out, cap, 0, 0);
  }
  if (vmaxvq_u32(top) > 0x10FFFF) return decode_scalar_from(p, n, 0, out, cap, 0, 0);
  uint32_t lanes[4];
  vst1q_u32(lanes, acc);
  uint8_t ascii[16];
  vst1q_u8(ascii, acc8);
  uint32_t bits = 0;
  for (uint32_t u : lanes) bits |= u;
  for (uint8_t b : ascii) bits |= b;
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

// ---- encoding a str's units to UTF-8 ----------------------------------------------------------

// Eight units below 0x800: each 16-bit lane gets its one or two bytes (the first in the low
// byte), and a table lookup packs them.
inline void encode2_8(uint16x8_t u, uint8_t* out, size_t& o) {
  const uint16x8_t ascii = vcltq_u16(u, vdupq_n_u16(0x80));
  const uint16x8_t lead = vorrq_u16(vshrq_n_u16(u, 6), vdupq_n_u16(0xC0));
  const uint16x8_t cont = vorrq_u16(vandq_u16(u, vdupq_n_u16(0x3F)), vdupq_n_u16(0x80));
  const uint16x8_t lanes = vbslq_u16(ascii, u, vorrq_u16(lead, vshlq_n_u16(cont, 8)));
  const uint16x8_t weights = {1, 2, 4, 8, 16, 32, 64, 128};
  const unsigned k = vaddvq_u16(vbicq_u16(weights, ascii));
  vst1q_u8(out + o, vqtbl1q_u8(vreinterpretq_u8_u16(lanes), vld1q_u8(kEncode2.idx[k])));
  o += kEncode2.len[k];
}

// Eight units of the BMP without surrogates: each unit's one to three bytes go to a 32-bit lane
// (the first byte lowest), and a table lookup per four units packs them.
inline void encode3_8(uint16x8_t u, uint8_t* out, size_t& o) {
  const uint16x8_t m3f = vdupq_n_u16(0x3F), m80 = vdupq_n_u16(0x80);
  const uint16x8_t ascii = vcltq_u16(u, m80);
  const uint16x8_t two = vcltq_u16(u, vdupq_n_u16(0x800));  // below 0x800
  const uint16x8_t last = vorrq_u16(vandq_u16(u, m3f), m80);
  const uint16x8_t mid = vorrq_u16(vandq_u16(vshrq_n_u16(u, 6), m3f), m80);
  const uint16x8_t lead2 = vorrq_u16(vshrq_n_u16(u, 6), vdupq_n_u16(0xC0));
  const uint16x8_t lead3 = vorrq_u16(vshrq_n_u16(u, 12), vdupq_n_u16(0xE0));
  const uint16x8_t first = vbslq_u16(ascii, u, vbslq_u16(two, lead2, lead3));
  const uint16x8_t second = vbslq_u16(two, last, mid);
  const uint16x8_t low = vorrq_u16(first, vshlq_n_u16(second, 8));
  const uint8x16_t w0 = vreinterpretq_u8_u16(vzip1q_u16(low, last));
  const uint8x16_t w1 = vreinterpretq_u8_u16(vzip2q_u16(low, last));
  // Two bits per unit, at 2j within each four: at least 0x80, at least 0x800.
  const uint16x8_t cls = vorrq_u16(vbicq_u16(vdupq_n_u16(1), ascii), vbicq_u16(vdupq_n_u16(2), two));
  const int16x8_t shifts = {0, 2, 4, 6, 0, 2, 4, 6};
  const uint16x8_t keys = vshlq_u16(cls, shifts);
  const unsigned k0 = vaddv_u16(vget_low_u16(keys)), k1 = vaddv_u16(vget_high_u16(keys));
  vst1q_u8(out + o, vqtbl1q_u8(w0, vld1q_u8(kEncode3.idx[k0])));
  o += kEncode3.len[k0];
  vst1q_u8(out + o, vqtbl1q_u8(w1, vld1q_u8(kEncode3.idx[k1])));
  o += kEncode3.len[k1];
}

// Eight 16-bit units, not all ASCII, whose largest is `max`. False, with nothing written, when one
// is a surrogate.
inline bool encode8(uint16x8_t u, uint16_t max, uint8_t* out, size_t& o) {
  if (max < 0x800) {
    encode2_8(u, out, o);
    return true;
  }
  if (vmaxvq_u16(vceqq_u16(vandq_u16(u, vdupq_n_u16(0xF800)), vdupq_n_u16(0xD800))) != 0) return false;
  encode3_8(u, out, o);
  return true;
}

// The furthest a block's stores reach past the output position it starts at: eight units of
// three bytes packed four at a time, each group stored as sixteen bytes (12 + 16).
constexpr size_t kEncodeReach = 28;

// Sixteen Latin-1 units per step: ASCII stored as it is, else widened and encoded as one- and
// two-byte forms (a Latin-1 unit never fails).
Utf8Encoded neon_encode_ucs1(const uint8_t* units, size_t n, uint8_t* out) {
  size_t i = 0, o = 0;
  while (n - i >= 16) {
    const uint8x16_t v = vld1q_u8(units + i);
    if (vmaxvq_u8(v) < 0x80) {
      vst1q_u8(out + o, v);
      o += 16;
    } else {
      encode2_8(vmovl_u8(vget_low_u8(v)), out, o);
      encode2_8(vmovl_high_u8(v), out, o);
    }
    i += 16;
  }
  return encode_scalar_from(units, n, i, out, o);
}

// Eight units per step (sixteen when all of them are ASCII). A block with a surrogate is handed
// to the twin from its start, which reports the first one.
Utf8Encoded neon_encode_ucs2(const uint16_t* units, size_t n, uint8_t* out) {
  const size_t cap = 3 * n;
  size_t i = 0, o = 0;
  while (n - i >= 8 && cap - o >= kEncodeReach) {
    const uint16x8_t u = vld1q_u16(units + i);
    if (n - i >= 16) {
      const uint16x8_t u2 = vld1q_u16(units + i + 8);
      if (vmaxvq_u16(vorrq_u16(u, u2)) < 0x80) {
        vst1q_u8(out + o, vcombine_u8(vmovn_u16(u), vmovn_u16(u2)));
        i += 16;
        o += 16;
        continue;
      }
    }
    const uint16_t max = vmaxvq_u16(u);
    if (max < 0x80) {
      vst1_u8(out + o, vmovn_u16(u));
      o += 8;
    } else if (!encode8(u, max, out, o)) {
      return encode_scalar_from(units, n, i, out, o);
    }
    i += 8;
  }
  return encode_scalar_from(units, n, i, out, o);
}

// Eight units per step: those all in the BMP are narrowed to 16 bits and encoded as
// neon_encode_ucs2 does; a block with a supplementary character (or a unit above 0x10FFFF) is
// encoded a unit at a time.
Utf8Encoded neon_encode_ucs4(const uint32_t* units, size_t n, uint8_t* out) {
  const size_t cap = 4 * n;
  size_t i = 0, o = 0;
  while (n - i >= 8 && cap - o >= kEncodeReach) {
    const uint32x4_t a = vld1q_u32(units + i), b = vld1q_u32(units + i + 4);
    const uint32_t max = vmaxvq_u32(vmaxq_u32(a, b));
    if (max < 0x10000) {
      const uint16x8_t u = vcombine_u16(vmovn_u32(a), vmovn_u32(b));
      if (max < 0x80) {
        vst1_u8(out + o, vmovn_u16(u));
        o += 8;
      } else if (!encode8(u, static_cast<uint16_t>(max), out, o)) {
        return encode_scalar_from(units, n, i, out, o);
      }
    } else {
      size_t bad;
      if (!encode_block_scalar(units, i, 8, out, o, &bad)) return {bad, false};
    }
    i += 8;
  }
  return encode_scalar_from(units, n, i, out, o);
}

size_t neon_validate_utf8(const uint8_t* p, size_t n, uint8_t* max) { return validate_blocks<V>(p, n, max); }

const KernelOps kNeonPmullOps{Kernel::NEON, neon_find_byte, neon_classify_pmull, neon_count,
                              pmull_prefix_xor, neon_decode_ucs2, neon_decode_ucs4,
                              neon_validate_utf8, neon_encode_ucs1, neon_encode_ucs2,
                              neon_encode_ucs4};
const KernelOps kNeonShiftOps{Kernel::NEON, neon_find_byte, neon_classify_shift, neon_count,
                              neon_shift_prefix_xor, neon_decode_ucs2, neon_decode_ucs4,
                              neon_validate_utf8, neon_encode_ucs1, neon_encode_ucs2,
                              neon_encode_ucs4};

}  // namespace

const KernelOps* neon_kernel_ops() {
  static const bool pmull = (getauxval(AT_HWCAP) & HWCAP_PMULL) != 0;
  return pmull ? &kNeonPmullOps : &kNeonShiftOps;
}

}  // namespace tessary::index::simd
