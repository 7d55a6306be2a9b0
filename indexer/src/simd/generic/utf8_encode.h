// Encoding the code units of a Python str (1, 2 or 4 bytes each) to UTF-8: the unit-at-a-time
// encoder every kernel shares (the whole of the scalar twin, and the tail and fallback of the
// vector ones), and the byte shuffles the vector kernels pack their lanes with. Internal linkage
// only, as in utf8.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/utf8.h"

namespace tessary::index::simd {
namespace {

// Writes the UTF-8 form of c at out[o] and advances o. False (nothing written) when c is a
// surrogate or above 0x10FFFF.
inline bool encode_one(uint32_t c, uint8_t* out, size_t& o) {
  if (c < 0x80) {
    out[o++] = static_cast<uint8_t>(c);
  } else if (c < 0x800) {
    out[o++] = static_cast<uint8_t>(0xC0 | (c >> 6));
    out[o++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    if ((c & 0xF800) == 0xD800) return false;
    out[o++] = static_cast<uint8_t>(0xE0 | (c >> 12));
    out[o++] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[o++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
  } else if (c <= 0x10FFFF) {
    out[o++] = static_cast<uint8_t>(0xF0 | (c >> 18));
    out[o++] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    out[o++] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[o++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
  } else {
    return false;
  }
  return true;
}

// Encodes units[i, n) to out from byte o on, a unit at a time. The scalar twin is this from the
// start; a vector kernel hands it its tail, and the rest of the text from a block that fails, so
// that its result is the twin's.
template <class T>
inline Utf8Encoded encode_scalar_from(const T* units, size_t n, size_t i, uint8_t* out, size_t o) {
  for (; i < n; ++i) {
    if (!encode_one(units[i], out, o)) return {i, false};
  }
  return {o, true};
}

// Encodes units[i, i + count) from byte o on; on a unit that cannot be encoded, stores its index
// in *bad and returns false. The vector kernels' fallback for a block they do not take whole.
template <class T>
inline bool encode_block_scalar(const T* units, size_t i, size_t count, uint8_t* out, size_t& o, size_t* bad) {
  for (size_t k = 0; k < count; ++k) {
    if (!encode_one(units[i + k], out, o)) {
      *bad = i + k;
      return false;
    }
  }
  return true;
}

// Eight 16-bit lanes, each holding a character of one or two bytes (the first in the low byte):
// for key m (bit j: lane j is two bytes), the byte shuffle that packs the bytes written to the
// front, and their number. 0x80 (a zero byte for both x86 and NEON table lookups) fills the rest.
struct Encode2Table {
  alignas(16) uint8_t idx[256][16];
  uint8_t len[256];
  constexpr Encode2Table() : idx(), len() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned k = 0;
      for (unsigned j = 0; j < 8; ++j) {
        idx[m][k++] = static_cast<uint8_t>(2 * j);
        if (m & (1u << j)) idx[m][k++] = static_cast<uint8_t>(2 * j + 1);
      }
      len[m] = static_cast<uint8_t>(k);
      for (unsigned x = k; x < 16; ++x) idx[m][x] = 0x80;
    }
  }
};
inline constexpr Encode2Table kEncode2{};

// Four 32-bit lanes, each holding a character of one to three bytes (the first in the low
// byte): for key m (bits 2j and 2j + 1: lane j's character is at least 0x80, at least 0x800),
// the byte shuffle that packs the bytes written to the front, and their number.
struct Encode3Table {
  alignas(16) uint8_t idx[256][16];
  uint8_t len[256];
  constexpr Encode3Table() : idx(), len() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned k = 0;
      for (unsigned j = 0; j < 4; ++j) {
        const unsigned bytes = 1 + ((m >> (2 * j)) & 1) + ((m >> (2 * j + 1)) & 1);
        for (unsigned b = 0; b < bytes; ++b) idx[m][k++] = static_cast<uint8_t>(4 * j + b);
      }
      len[m] = static_cast<uint8_t>(k);
      for (unsigned x = k; x < 16; ++x) idx[m][x] = 0x80;
    }
  }
};
inline constexpr Encode3Table kEncode3{};

}  // namespace
}  // namespace tessary::index::simd
