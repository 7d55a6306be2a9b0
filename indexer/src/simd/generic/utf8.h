// The byte-at-a-time UTF-8 decoder every kernel shares: the whole decoder of the scalar twin, and
// the tail (and fallback) of the vector ones. Internal linkage only, as in classify.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "index/utf8.h"

namespace tessary::index::simd {
namespace {

template <class T>
constexpr uint32_t unit_max() {
  return sizeof(T) == 1 ? 0xFF : sizeof(T) == 2 ? 0xFFFF : 0x10FFFF;
}

// Decodes one character at p[i] (i < n); advances i and o. False when the bytes there are not a
// character that fits T, or there is no room.
template <class T>
inline bool decode_one(const uint8_t* p, size_t n, size_t& i, T* out, size_t cap, size_t& o, uint32_t& bits) {
  const uint32_t b = p[i];
  uint32_t u;
  size_t len;
  if (b < 0x80) {
    u = b;
    len = 1;
  } else if (b < 0xC0) {
    return false;  // a continuation byte where a character should start
  } else if (b < 0xE0) {
    if (n - i < 2 || (p[i + 1] & 0xC0) != 0x80) return false;
    u = ((b & 0x1F) << 6) | (p[i + 1] & 0x3Fu);
    len = 2;
  } else if (b < 0xF0) {
    if (n - i < 3 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80) return false;
    u = ((b & 0x0F) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
    len = 3;
  } else if (b < 0xF8) {
    if (n - i < 4 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80 || (p[i + 3] & 0xC0) != 0x80)
      return false;
    u = ((b & 0x07) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
    len = 4;
  } else {
    return false;
  }
  if (u > unit_max<T>() || o >= cap) return false;
  out[o++] = static_cast<T>(u);
  bits |= u;
  i += len;
  return true;
}

// Decodes p[i, n) from unit o on: eight ASCII bytes at a time where it can, else one character.
template <class T>
inline Utf8Decoded decode_scalar_from(const uint8_t* p, size_t n, size_t i, T* out, size_t cap, size_t o,
                                      uint32_t bits) {
  while (i < n) {
    if (n - i >= 8 && cap - o >= 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        for (int k = 0; k < 8; ++k) out[o + k] = p[i + k];
        w |= w >> 32;
        w |= w >> 16;
        w |= w >> 8;
        bits |= static_cast<uint32_t>(w & 0xFF);
        i += 8;
        o += 8;
        continue;
      }
    }
    if (!decode_one(p, n, i, out, cap, o, bits)) return {o, bits, false};
  }
  return {o, bits, true};
}

// decode_scalar_from for 8-bit units from the start, with ASCII copied a vector at a time
// (architecture A's primitives): a vector of bytes below 0x80 is stored whole, anything else is
// decoded a character at a time past that vector's end. The same result as the twin.
template <class A>
inline Utf8Decoded decode_latin1_with(const uint8_t* p, size_t n, uint8_t* out, size_t cap) {
  size_t i = 0, o = 0;
  uint32_t bits = 0;
  typename A::Vec seen = A::zero();  // the OR of the vectors stored
  while (n - i >= A::kWidth && cap - o >= A::kWidth) {
    const typename A::Vec v = A::load(p + i);
    if (!A::any_high(v)) {
      A::store(out + o, v);
      seen = A::or_(seen, v);
      i += A::kWidth;
      o += A::kWidth;
      continue;
    }
    const size_t stop = i + A::kWidth;
    while (i < stop) {
      if (!decode_one(p, n, i, out, cap, o, bits)) return {o, bits, false};
    }
  }
  uint8_t lanes[A::kWidth];
  A::store(lanes, seen);
  for (uint8_t b : lanes) bits |= b;
  return decode_scalar_from(p, n, i, out, cap, o, bits);
}

// For unit mask m (bit j: keep 16-bit lane j of 8), the byte shuffle that packs the kept lanes
// to the front; 0x80 (a zero byte for both x86 and NEON table lookups) fills the rest.
struct PackTable {
  alignas(16) uint8_t idx[256][16];
  constexpr PackTable() : idx() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned k = 0;
      for (unsigned j = 0; j < 8; ++j) {
        if (m & (1u << j)) {
          idx[m][2 * k] = static_cast<uint8_t>(2 * j);
          idx[m][2 * k + 1] = static_cast<uint8_t>(2 * j + 1);
          ++k;
        }
      }
      for (unsigned x = 2 * k; x < 16; ++x) idx[m][x] = 0x80;
    }
  }
};
inline constexpr PackTable kPackTable{};

// Checks the structure of 16 (or 8) positions given bit masks of continuation bytes and lead
// bytes of two- and three-byte forms (bit j: byte j, j up to the step plus two), and the
// continuations the previous step left expected at positions 0 and 1. Returns false when a
// continuation byte is missing or unclaimed; else leaves in `carry` the continuations this step
// expects beyond its end.
inline bool check_step(uint32_t cont, uint32_t lead2, uint32_t lead3, unsigned step, uint32_t& carry) {
  const uint32_t in_step = (1u << step) - 1;
  lead2 &= in_step;
  lead3 &= in_step;
  const uint32_t expected = carry | (lead2 << 1) | (lead3 << 1) | (lead3 << 2);
  if ((expected & in_step) != (cont & in_step)) return false;
  carry = expected >> step;
  return true;
}

// check_step for the 32-bit decoders, which take four-byte forms in line. The lead bytes are given
// as the masks of bytes from 0xC0, 0xE0 and 0xF0 up (bytes from 0xF8 up count as four-byte leads
// here; their values come out above 0x10FFFF, which the decoders reject). A character carries up
// to three continuation bytes into the next step.
inline bool check_step_ge(uint32_t cont, uint32_t ge_c0, uint32_t ge_e0, uint32_t ge_f0, unsigned step,
                          uint32_t& carry) {
  const uint32_t in_step = (1u << step) - 1;
  const uint32_t expected = carry | ((ge_c0 & in_step) << 1) | ((ge_e0 & in_step) << 2) | ((ge_f0 & in_step) << 3);
  if ((expected & in_step) != (cont & in_step)) return false;
  carry = expected >> step;
  return true;
}

}  // namespace
}  // namespace tessary::index::simd
