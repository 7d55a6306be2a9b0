// Byte-at-a-time twins of the vector primitives. They define the results the
// vector kernels must reproduce exactly, and serve CPUs without a vector
// kernel.
#include "simd/generic/utf8.h"
#include "simd/generic/utf8_encode.h"
#include "simd/generic/utf8_validate.h"
#include "simd/kernels.h"

namespace tessary::index::simd {
namespace {

const uint8_t* scalar_find_byte(const uint8_t* p, const uint8_t* end, uint8_t c) {
  // Four bytes per step, then the remainder.
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

// The three-state quote machine, one byte at a time.
void scalar_classify(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                     uint64_t* quotes, uint8_t* state_io) {
  uint8_t state = *state_io;
  for (size_t w = 0; w < nblocks; ++w) {
    uint64_t l = 0, g = 0, q = 0;
    const uint8_t* block = data + 64 * w;
    for (unsigned b = 0; b < 64; ++b) {
      uint8_t c = block[b];
      uint64_t bit = uint64_t{1} << b;
      if (c == '"' || c == '\'') q |= bit;
      switch (state) {
        case kOutside:
          if (c == '"') state = kInDouble;
          else if (c == '\'') state = kInSingle;
          else if (c == '<') l |= bit;
          else if (c == '>') g |= bit;
          break;
        case kInDouble:
          if (c == '"') state = kOutside;
          break;
        default:
          if (c == '\'') state = kOutside;
          break;
      }
    }
    lt[w] = l;
    gt[w] = g;
    if (quotes != nullptr) quotes[w] = q;
  }
  *state_io = state;
}

MarkupCounts scalar_count(const uint8_t* p, size_t n) {
  MarkupCounts c{0, 0};
  for (size_t i = 0; i < n; ++i) {
    c.lt += p[i] == '<';
    c.dq += p[i] == '"';
  }
  return c;
}

uint64_t scalar_prefix_xor(uint64_t x) {
  uint64_t out = 0, acc = 0;
  for (unsigned i = 0; i < 64; ++i) {
    acc ^= (x >> i) & 1;
    out |= acc << i;
  }
  return out;
}

Utf8Decoded scalar_decode_ucs2(const uint8_t* p, size_t n, uint16_t* out, size_t capacity) {
  return decode_scalar_from(p, n, 0, out, capacity, 0, 0);
}

Utf8Decoded scalar_decode_ucs4(const uint8_t* p, size_t n, uint32_t* out, size_t capacity) {
  return decode_scalar_from(p, n, 0, out, capacity, 0, 0);
}

size_t scalar_validate_utf8(const uint8_t* p, size_t n, uint8_t* max) { return validate_scalar_max(p, n, max); }

Utf8Encoded scalar_encode_ucs1(const uint8_t* units, size_t n, uint8_t* out) {
  return encode_scalar_from(units, n, 0, out, 0);
}

Utf8Encoded scalar_encode_ucs2(const uint16_t* units, size_t n, uint8_t* out) {
  return encode_scalar_from(units, n, 0, out, 0);
}

Utf8Encoded scalar_encode_ucs4(const uint32_t* units, size_t n, uint8_t* out) {
  return encode_scalar_from(units, n, 0, out, 0);
}

const KernelOps kScalarOps{Kernel::Scalar, scalar_find_byte, scalar_classify, scalar_count,
                           scalar_prefix_xor, scalar_decode_ucs2, scalar_decode_ucs4,
                           scalar_validate_utf8, scalar_encode_ucs1, scalar_encode_ucs2,
                           scalar_encode_ucs4};

}  // namespace

const KernelOps* scalar_kernel_ops() { return &kScalarOps; }

}  // namespace tessary::index::simd
