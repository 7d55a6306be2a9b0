// UTF-8 checks used by the reader: validating a file's bytes, and Unicode White_Space (not
// Python's isspace, which also counts U+001C..U+001F) at the ends of a text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::read {

// The offset of the first byte that does not begin a valid UTF-8 sequence (an overlong form,
// a surrogate, a value above U+10FFFF, a stray continuation byte or a truncated sequence), or
// `length` when all of it is valid.
size_t find_invalid_utf8(const uint8_t* data, size_t length) noexcept;

// Number of bytes of White_Space characters at the start / end of the valid UTF-8 text `p`.
size_t leading_white_space(const char* p, size_t length) noexcept;
size_t trailing_white_space(const char* p, size_t length) noexcept;

// Line (from 1) and column (from 0, in code points) of byte `offset` of the UTF-8 text `p`,
// for error messages. A line ends at "\n", at "\r\n" (one line end) or at a lone "\r", as
// in XML's end-of-line handling. With `skip_bom`, a leading byte-order mark is not counted (a
// file's text, as decoding it gives it). Made only when an error is reported: one pass over
// the bytes before `offset` (clamped to `length`).
struct TextPosition {
  uint64_t line;
  uint64_t column;
};
TextPosition text_position(const char* p, size_t length, uint64_t offset, bool skip_bom) noexcept;

inline bool all_white_space(const char* p, size_t length) noexcept {
  return leading_white_space(p, length) == length;
}

}  // namespace tessary::read
