// The character data of one element under construction. Pieces are joined in document order
// and the whole is trimmed of Unicode white space when the element ends. A single piece stays
// a range of the document; the text is copied (into the document's arena) only when a second
// piece must be joined to it. Two shortcuts keep white-space-only pieces (indentation between
// child elements) from forcing a copy, without changing the trimmed result: a piece arriving
// while everything so far is white space replaces it, and one white-space range after
// non-blank text is held back and joined only if more text follows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/utf8.h"
#include "storage/arena.h"
#include "storage/shared_text.h"
#include "storage/source_buffer.h"

namespace tessary::read {

// Unicode white space at the ends of a text, a byte at a time for ASCII: the common case of
// indentation and plain words needs no decoding.
inline bool ascii_white_space(uint8_t c) noexcept { return c == 0x20 || static_cast<unsigned>(c - 9) <= 4u; }

inline size_t leading_white_space(const char* p, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<uint8_t>(p[i]);
    if (c >= 0x80) return index::may_begin_white_space(c) ? i + index::leading_white_space(p + i, n - i) : i;
    if (!ascii_white_space(c)) return i;
  }
  return n;
}

inline size_t trailing_white_space(const char* p, size_t n) noexcept {
  for (size_t end = n; end > 0; --end) {
    const auto c = static_cast<uint8_t>(p[end - 1]);
    if (c >= 0x80) return index::may_end_white_space(c) ? (n - end) + index::trailing_white_space(p, end) : n - end;
    if (!ascii_white_space(c)) return n - end;
  }
  return n;
}

inline bool all_white_space(const char* p, size_t n) noexcept { return leading_white_space(p, n) == n; }

class TextAccumulator {
 public:
  // Appends the document bytes [start, end), of which the first `lead` and the last `trail` are
  // white space (lead is the length when all are). False when the arena has no room for the join.
  [[gnu::always_inline]] bool append_slice(storage::Arena& arena, const char* doc, uint64_t start, uint64_t end,
                                           uint64_t lead, uint64_t trail) noexcept {
    if (start == end) return true;
    if (state_ == State::None || blank_) {
      // Leading white space is trimmed anyway: the new piece stands for everything so far.
      state_ = State::Slice;
      start_ = start;
      end_ = end;
      kept_start_ = start + lead;
      kept_end_ = end - trail;
      blank_ = lead == end - start;
      pending_ = false;
      return true;
    }
    return join_slice(arena, doc, start, end, lead == end - start);
  }
  // The same, measuring the white space itself.
  bool append_slice(storage::Arena& arena, const char* doc, uint64_t start, uint64_t end) noexcept {
    const size_t n = static_cast<size_t>(end - start);
    const size_t lead = leading_white_space(doc + start, n);
    const size_t trail = lead == n ? 0 : trailing_white_space(doc + start + lead, n - lead);
    return append_slice(arena, doc, start, end, lead, trail);
  }
  // Appends a decoded piece of `n` bytes at `p`, an even address in the arena, which it may
  // take over as the text itself. False when the arena has no room for the join.
  bool append_decoded(storage::Arena& arena, const char* doc, char* p, size_t n) noexcept;
  // The trimmed text: a range of the buffer (holding no reference: see
  // SharedText::shared_unowned) for a single piece, bytes in the arena for a joined or decoded
  // one, absent when there is none or it is all white space. Leaves the accumulator empty.
  [[gnu::always_inline]] storage::SharedText take_text(storage::SourceBuffer* buffer) noexcept {
    if (state_ == State::Slice && !blank_) {
      state_ = State::None;
      pending_ = false;
      return storage::SharedText::shared_unowned(buffer, kept_start_, kept_end_);
    }
    return take_other_text(buffer);
  }

 private:
  enum class State : uint8_t { None, Slice, Owned };
  // take_text for anything but a single piece that is not all white space.
  storage::SharedText take_other_text(storage::SourceBuffer* buffer) noexcept;
  // append_slice after text that is not all white space.
  bool join_slice(storage::Arena& arena, const char* doc, uint64_t start, uint64_t end, bool blank) noexcept;
  // Makes the text owned with room for `extra` more bytes, joining the held-back white space.
  bool materialize(storage::Arena& arena, const char* doc, size_t extra) noexcept;
  bool append_owned(storage::Arena& arena, const char* s, size_t n) noexcept;

  State state_ = State::None;
  bool blank_ = false;    // everything so far is white space
  bool pending_ = false;  // a white-space range waits in [pend_start_, pend_end_)
  uint64_t start_ = 0, end_ = 0;
  uint64_t kept_start_ = 0, kept_end_ = 0;  // State::Slice: the range without its white space
  uint64_t pend_start_ = 0, pend_end_ = 0;
  char* owned_ = nullptr;  // State::Owned: the text so far, in the arena
  size_t len_ = 0, cap_ = 0;
};

}  // namespace tessary::read
