// Line and column of a byte offset, for the position of a reader error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::read {

// Line (from 1) and column (from 0, in code points) of byte `offset` of the UTF-8 text `p`.
// A line ends at "\n", at "\r\n" (one line end) or at a lone "\r", as in XML's end-of-line
// handling. With `skip_bom`, a leading byte-order mark is not counted (a file's text, as
// decoding it gives it). Made only when an error is reported: one pass over the bytes before
// `offset` (clamped to `length`).
struct TextPosition {
  uint64_t line;
  uint64_t column;
};
TextPosition text_position(const char* p, size_t length, uint64_t offset, bool skip_bom) noexcept;

}  // namespace tessary::read
