// UTF-8 to fixed-width code units: what building a Python str from UTF-8 text needs. A str
// stores its characters in units of one, two or four bytes, the narrowest that holds its largest
// character; `measure_utf8` finds how many characters a text has and bounds the largest, and
// `decode_utf8` writes the units.
//
// Pure functions of their input, like the rest of the library; the vector kernels give results
// identical to the byte-at-a-time twin.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/mod.h"

namespace tessary::index {

struct Utf8Shape {
  uint64_t chars;    // bytes that are not continuation bytes (0x80..0xBF): the characters
  uint8_t max_byte;  // the largest byte: below 0x80 ASCII, below 0xC4 Latin-1, below 0xF0 the BMP
};
Utf8Shape measure_utf8(const uint8_t* p, size_t n);
// The largest byte of [p, p + n) (0 when empty).
uint8_t max_byte(const uint8_t* p, size_t n);

// Unit width needed for text whose largest byte is `max_byte`, assuming no overlong forms:
// 1 (ASCII or Latin-1), 2 or 4.
inline unsigned unit_width_for(uint8_t max_byte) { return max_byte < 0xC4 ? 1 : max_byte < 0xF0 ? 2 : 4; }

struct Utf8Decoded {
  size_t units;   // code units written
  uint32_t bits;  // OR of every unit written: its highest set bit gives the narrowest width
  bool ok;        // false: the bytes are not UTF-8 whose characters fit the unit, or they would
                  // need more than `capacity` units. `units`, `bits` and the output are then
                  // unspecified.
};

// Decodes [p, p + n) into `out`, which has room for `capacity` units; nothing is written past
// them. A character is one to four bytes: a lead byte (0x00..0x7F, 0xC0..0xF7) and the
// continuation bytes (0x80..0xBF) its form asks for; its value is computed from the payload bits
// as written, so overlong forms and surrogates decode to what they spell (a Python str may hold
// lone surrogates). Values above 0x10FFFF, or above what the unit holds, fail.
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint8_t* out, size_t capacity);
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint16_t* out, size_t capacity);
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint32_t* out, size_t capacity);
// The same with a chosen kernel (an unavailable one is replaced by the scalar twin).
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint8_t* out, size_t capacity, Kernel k);
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint16_t* out, size_t capacity, Kernel k);
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint32_t* out, size_t capacity, Kernel k);

}  // namespace tessary::index
