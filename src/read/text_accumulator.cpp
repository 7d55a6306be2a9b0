#include "read/text_accumulator.h"

#include <cstring>

namespace tessary::read {

using storage::Arena;
using storage::SharedText;
using storage::SourceBuffer;

bool TextAccumulator::join_slice(Arena& arena, const char* doc, uint64_t start, uint64_t end, bool blank) noexcept {
  if (blank && !pending_) {
    // Trailing white space is trimmed anyway unless more text follows: hold it back.
    pending_ = true;
    pend_start_ = start;
    pend_end_ = end;
    return true;
  }
  const size_t n = static_cast<size_t>(end - start);
  if (!materialize(arena, doc, n)) return false;
  return append_owned(arena, doc + start, n);
}

bool TextAccumulator::append_decoded(Arena& arena, const char* doc, char* p, size_t n) noexcept {
  if (n == 0) return true;
  const bool blank = all_white_space(p, n);
  if (state_ == State::None || blank_) {
    state_ = State::Owned;
    owned_ = p;
    len_ = cap_ = n;
    blank_ = blank;
    pending_ = false;
    return true;
  }
  if (!materialize(arena, doc, n)) return false;
  return append_owned(arena, p, n);
}

bool TextAccumulator::append_owned(Arena& arena, const char* s, size_t n) noexcept {
  if (cap_ - len_ < n) {
    // Grow into a new piece of the arena; the old one is left behind.
    size_t cap = cap_ * 2;
    if (cap < len_ + n) cap = len_ + n;
    if (cap < len_) return false;
    auto* q = static_cast<char*>(arena.allocate(cap));
    if (q == nullptr) return false;
    std::memcpy(q, owned_, len_);
    owned_ = q;
    cap_ = cap;
  }
  std::memcpy(owned_ + len_, s, n);
  len_ += n;
  return true;
}

bool TextAccumulator::materialize(Arena& arena, const char* doc, size_t extra) noexcept {
  const size_t held = pending_ ? static_cast<size_t>(pend_end_ - pend_start_) : 0;
  if (state_ == State::Slice) {
    const size_t n = static_cast<size_t>(end_ - start_);
    const size_t cap = n + held + extra;
    if (cap < n) return false;
    auto* q = static_cast<char*>(arena.allocate(cap));
    if (q == nullptr) return false;
    std::memcpy(q, doc + start_, n);
    owned_ = q;
    len_ = n;
    cap_ = cap;
    state_ = State::Owned;
  }
  if (pending_) {
    if (!append_owned(arena, doc + pend_start_, held)) return false;
    pending_ = false;
  }
  return true;
}

SharedText TextAccumulator::take_other_text(SourceBuffer* buffer) noexcept {
  const State state = state_;
  const bool blank = blank_;
  state_ = State::None;
  blank_ = pending_ = false;
  if (state == State::None || blank) return SharedText();
  if (state == State::Slice) return SharedText::shared_unowned(buffer, kept_start_, kept_end_);
  const size_t n = len_;
  const size_t lead = leading_white_space(owned_, n);
  const size_t trail = trailing_white_space(owned_ + lead, n - lead);
  if (lead + trail == n) return SharedText();
  const size_t kept = n - lead - trail;
  // Moved to the front rather than pointed into: the text's address must stay even.
  if (lead != 0) std::memmove(owned_, owned_ + lead, kept);
  return SharedText::unowned(owned_, kept, index::max_byte(reinterpret_cast<const uint8_t*>(owned_), kept));
}

}  // namespace tessary::read
