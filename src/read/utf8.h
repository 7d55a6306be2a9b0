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

inline bool all_white_space(const char* p, size_t length) noexcept {
  return leading_white_space(p, length) == length;
}

}  // namespace tessary::read
