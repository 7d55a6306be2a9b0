#include "read/text_accumulator.h"

#include "index/utf8.h"

namespace tessary::read {

using index::all_white_space;
using index::leading_white_space;
using index::trailing_white_space;
using storage::SharedText;
using storage::SourceBuffer;

void TextAccumulator::append_slice(const char* doc, uint64_t start, uint64_t end) noexcept {
  if (start == end) return;
  const bool blank = all_white_space(doc + start, static_cast<size_t>(end - start));
  if (state_ == State::None || blank_) {
    // Leading white space is trimmed anyway: the new piece stands for everything so far.
    owned_ = OwnedBytes();
    state_ = State::Slice;
    start_ = start;
    end_ = end;
    blank_ = blank;
    return;
  }
  if (blank && !pending_) {
    // Trailing white space is trimmed anyway unless more text follows: hold it back.
    pending_ = true;
    pend_start_ = start;
    pend_end_ = end;
    return;
  }
  materialize(doc, static_cast<size_t>(end - start));
  owned_.append(doc + start, static_cast<size_t>(end - start));
}

void TextAccumulator::append_owned(const char* doc, OwnedBytes&& piece) noexcept {
  if (piece.empty()) return;
  const bool blank = all_white_space(piece.data(), piece.size());
  if (state_ == State::None || blank_) {
    owned_ = std::move(piece);
    state_ = State::Owned;
    blank_ = blank;
    return;
  }
  materialize(doc, piece.size());
  owned_.append(piece.view());
}

void TextAccumulator::materialize(const char* doc, size_t extra) noexcept {
  const size_t held = pending_ ? static_cast<size_t>(pend_end_ - pend_start_) : 0;
  if (state_ == State::Slice) {
    const size_t n = static_cast<size_t>(end_ - start_);
    OwnedBytes joined(n + held + extra);
    joined.append(doc + start_, n);
    owned_ = std::move(joined);
    state_ = State::Owned;
  }
  if (pending_) {
    owned_.append(doc + pend_start_, held);
    pending_ = false;
  }
}

SharedText TextAccumulator::take_text(const char* doc, SourceBuffer* buffer, uint64_t& uncounted) noexcept {
  const State state = state_;
  const bool blank = blank_;
  state_ = State::None;
  blank_ = pending_ = false;
  if (state == State::None || blank) {
    owned_ = OwnedBytes();
    return SharedText();
  }
  if (state == State::Slice) {
    const size_t n = static_cast<size_t>(end_ - start_);
    const size_t lead = leading_white_space(doc + start_, n);
    const size_t trail = trailing_white_space(doc + start_ + lead, n - lead);
    ++uncounted;
    return SharedText::shared_uncounted(buffer, start_ + lead, end_ - trail);
  }
  const size_t n = owned_.size();
  const size_t lead = leading_white_space(owned_.data(), n);
  const size_t trail = trailing_white_space(owned_.data() + lead, n - lead);
  if (lead + trail == n) {
    owned_ = OwnedBytes();
    return SharedText();
  }
  owned_.keep_range(lead, n - lead - trail);
  return owned_.into_text();
}

}  // namespace tessary::read
