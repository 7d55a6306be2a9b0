#include "index/utf8.h"

#include "simd/generic/utf8.h"
#include "simd/kernels.h"

namespace tessary::index {

Utf8Shape measure_utf8(const uint8_t* p, size_t n) {
  // Blocks of at most 255 * 64 bytes keep the per-lane counters of the vectorised loop small.
  uint64_t cont = 0;
  uint8_t top = 0;
  size_t i = 0;
  while (i < n) {
    const size_t end = n - i > 16320 ? i + 16320 : n;
    uint32_t c = 0;
    uint8_t m = 0;
    for (size_t j = i; j < end; ++j) {
      c += static_cast<int8_t>(p[j]) < -64;  // 0x80..0xBF
      m = p[j] > m ? p[j] : m;
    }
    cont += c;
    top = m > top ? m : top;
    i = end;
  }
  return {n - cont, top};
}

uint8_t max_byte(const uint8_t* p, size_t n) {
  uint8_t m = 0;
  for (size_t i = 0; i < n; ++i) m = p[i] > m ? p[i] : m;
  return m;
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint8_t* out, size_t capacity, Kernel) {
  return simd::decode_scalar_from(p, n, 0, out, capacity, 0, 0);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint16_t* out, size_t capacity, Kernel k) {
  return simd::ops_or_scalar(k).decode_ucs2(p, n, out, capacity);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint32_t* out, size_t capacity, Kernel) {
  return simd::decode_scalar_from(p, n, 0, out, capacity, 0, 0);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint8_t* out, size_t capacity) {
  return simd::decode_scalar_from(p, n, 0, out, capacity, 0, 0);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint16_t* out, size_t capacity) {
  static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
  return best.decode_ucs2(p, n, out, capacity);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint32_t* out, size_t capacity) {
  return simd::decode_scalar_from(p, n, 0, out, capacity, 0, 0);
}

}  // namespace tessary::index
