// The character data of one element under construction. Pieces are joined in document order
// and the whole is trimmed of Unicode white space when the element ends. A single piece stays
// a range of the document; the text is copied only when a second piece must be joined to it.
// Two shortcuts keep white-space-only pieces (indentation between child elements) from
// forcing a copy, without changing the trimmed result: a piece arriving while everything so far
// is white space replaces it, and one white-space range after non-blank text is held back and
// joined only if more text follows it.
#pragma once

#include <cstdint>

#include "read/owned_bytes.h"
#include "storage/shared_text.h"
#include "storage/source_buffer.h"

namespace tessary::read {

class TextAccumulator {
 public:
  // Appends the document bytes [start, end).
  void append_slice(const char* doc, uint64_t start, uint64_t end) noexcept;
  // Appends a decoded piece.
  void append_owned(const char* doc, OwnedBytes&& piece) noexcept;
  // The trimmed text: a range of the buffer for a single piece, owned for a joined or decoded
  // one, absent when there is none or it is all white space. Leaves the accumulator empty.
  // A range takes no buffer reference: `uncounted` is incremented instead, and the caller takes
  // that many references before any of them can be given back.
  storage::SharedText take_text(const char* doc, storage::SourceBuffer* buffer, uint64_t& uncounted) noexcept;

 private:
  enum class State : uint8_t { None, Slice, Owned };
  // Turns a range into an owned copy and joins the held-back white space.
  void materialize(const char* doc, size_t extra) noexcept;

  State state_ = State::None;
  bool blank_ = false;    // everything so far is white space
  bool pending_ = false;  // a white-space range waits in [pend_start_, pend_end_)
  uint64_t start_ = 0, end_ = 0;
  uint64_t pend_start_ = 0, pend_end_ = 0;
  OwnedBytes owned_;
};

}  // namespace tessary::read
