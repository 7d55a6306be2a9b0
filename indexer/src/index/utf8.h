// UTF-8 text: validation (whole, or piece by piece as it arrives), White_Space at the ends of a
// text, and decoding to fixed-width code units, which is what building a Python str needs. A str
// stores its characters in units of one, two or four bytes, the narrowest that holds its largest
// character; `measure_utf8` finds how many characters a text has and bounds the largest, and
// `decode_utf8` writes the units. `encode_utf8` goes the other way, from a str's units to UTF-8.
//
// Pure functions of their input, like the rest of the library; the vector kernels give results
// identical to the byte-at-a-time twin.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/structural_index.h"

namespace tessary::index {

struct Utf8Shape {
  uint64_t chars;    // bytes that are not continuation bytes (0x80..0xBF): the characters
  uint8_t max_byte;  // the largest byte: below 0x80 ASCII, below 0xC4 Latin-1, below 0xF0 the BMP
};
Utf8Shape measure_utf8(const uint8_t* p, size_t n);
// The characters of [p, p + n): measure_utf8(p, n).chars, counted eight bytes at a time.
uint64_t count_chars(const uint8_t* p, size_t n);
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
// The same into units of `width` bytes (1, 2 or 4) at `out`, which has room for `capacity` such
// units and the alignment of the unit.
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, void* out, unsigned width, size_t capacity);
// The same with a chosen kernel (an unavailable one is replaced by the scalar twin).
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint8_t* out, size_t capacity, Kernel k);
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint16_t* out, size_t capacity, Kernel k);
Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint32_t* out, size_t capacity, Kernel k);

// ---- encoding ----------------------------------------------------------------------------------

// The code units of a Python str (1, 2 or 4 bytes each, one character per unit) to UTF-8.
struct Utf8Encoded {
  size_t bytes;  // ok: the bytes written; otherwise the index (in units) of the first unit that
                 // cannot be encoded
  bool ok;       // false: a unit is a surrogate (0xD800..0xDFFF) or above 0x10FFFF. What was
                 // written to `out` is then unspecified.
};

// Encodes units[0, n) to `out`, which has room for 2n bytes (1-byte units), 3n (2-byte units)
// or 4n (4-byte units); nothing is written past that bound, though bytes between the end of
// the text and the bound may be.
Utf8Encoded encode_utf8(const uint8_t* units, size_t n, uint8_t* out);
Utf8Encoded encode_utf8(const uint16_t* units, size_t n, uint8_t* out);
Utf8Encoded encode_utf8(const uint32_t* units, size_t n, uint8_t* out);
// The same with a chosen kernel (an unavailable one is replaced by the scalar twin).
Utf8Encoded encode_utf8(const uint8_t* units, size_t n, uint8_t* out, Kernel k);
Utf8Encoded encode_utf8(const uint16_t* units, size_t n, uint8_t* out, Kernel k);
Utf8Encoded encode_utf8(const uint32_t* units, size_t n, uint8_t* out, Kernel k);

// ---- validation -------------------------------------------------------------------------------

// The offset of the first byte that does not begin a valid UTF-8 character, walking the
// characters in order (the lead byte of an overlong form, a surrogate, a value above U+10FFFF or
// a truncated sequence; a stray continuation byte; a byte that never occurs), or `length` when
// all of it is valid.
size_t find_invalid_utf8(const uint8_t* data, size_t length);
size_t find_invalid_utf8(const uint8_t* data, size_t length, Kernel k);

// Validation of a text that arrives in pieces (a file as it is read, say), with the result
// find_invalid_utf8 gives for the whole text. A character that a piece boundary cuts is held
// back (at most three bytes) and checked when the next piece completes it.
class Utf8Validator {
 public:
  Utf8Validator();
  explicit Utf8Validator(Kernel k);  // an unavailable kernel is replaced by the scalar twin

  // Checks the next piece. False once the text is known to be invalid; error_offset() then
  // says where, and later pieces are ignored.
  bool feed(const uint8_t* p, size_t n);
  // Ends the text: false when it is invalid, a character left open by the last piece included.
  bool finish();
  // Offset in the whole text of the first invalid byte, once feed or finish returned false.
  uint64_t error_offset() const { return error_; }
  // The largest byte of the text (0 when empty), once finish returned true: found by the same
  // pass that validates, so a text read once is looked at once.
  uint8_t max_byte() const { return max_; }

 private:
  bool fail(uint64_t at);
  void note_max(uint8_t m) { max_ = m > max_ ? m : max_; }

  size_t (*validate_)(const uint8_t*, size_t, uint8_t*);
  uint64_t seen_ = 0;     // bytes fed so far
  uint64_t held_at_ = 0;  // offset of held_[0] in the text
  uint8_t held_[4] = {};  // the start of a character that the last piece cut
  uint8_t held_len_ = 0;
  bool failed_ = false;
  uint8_t max_ = 0;
  uint64_t error_ = 0;
};

// ---- White_Space ------------------------------------------------------------------------------

// Number of bytes of White_Space characters (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000; not Python's isspace, which also
// counts U+001C..U+001F) at the start / end of the valid UTF-8 text `p`.
size_t leading_white_space(const char* p, size_t length);
size_t trailing_white_space(const char* p, size_t length);
inline bool all_white_space(const char* p, size_t length) { return leading_white_space(p, length) == length; }

// Whether a character whose UTF-8 form begins / ends with the byte c (0x80 or above) can be one of
// those: only C2 (U+0085, U+00A0) and E1..E3 lead one, and each ends in 0x80..0x8A, 0x9F, 0xA0,
// 0xA8, 0xA9 or 0xAF. Most other characters are told apart by this byte alone.
inline bool may_begin_white_space(uint8_t c) { return c == 0xC2 || static_cast<unsigned>(c - 0xE1) <= 2u; }
inline bool may_end_white_space(uint8_t c) {
  return c <= 0x8A || c == 0x9F || c == 0xA0 || c == 0xA8 || c == 0xA9 || c == 0xAF;
}

}  // namespace tessary::index
