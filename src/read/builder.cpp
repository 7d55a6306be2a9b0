#include "read/builder.h"

#include <cstring>
#include <new>
#include <vector>

#include "index/lexer.h"
#include "index/structural_index.h"
#include "read/decode.h"
#include "read/scan.h"
#include "read/start_tag.h"
#include "read/text_accumulator.h"
#include "simd/bytes.h"
#include "storage/alloc_failure.h"
#include "storage/arena.h"
#include "storage/grow.h"
#include "storage/stack.h"

namespace tessary::read {

using index::LexOutcome;
using index::TagKind;
using storage::Arena;
using storage::AttrMap;
using storage::NodeFields;
using storage::NodeLayout;
using storage::SharedText;
using storage::SourceBuffer;
using Code = ReadError::Code;

namespace {

// The indexer's error, whose text is made as a string.
[[gnu::cold]] ReadError index_error(const index::StructuralIndexError& e) noexcept {
  try {
    return ReadError::at(Code::Index, e.offset, e.text());
  } catch (const std::bad_alloc&) {
    return ReadError::out_of_memory();
  }
}

// An element inside the root whose end tag has not been seen yet.
struct OpenElement {
  uint64_t name_start = 0;
  uint64_t name_length = 0;
  AttrMap attrs;
  TextAccumulator text;
  size_t first_child = 0;  // where its finished children start in the builder's `made_`
};

struct Range {
  uint64_t start, end;
};

// Receives the lexer's pieces in document order (index/lexer.h) and builds the tree as they
// come. Character data is kept until the next piece of markup and looked at only then (after
// that markup's own first check), so that what is reported, and in which order, is exactly
// what a walk over a finished index reports: text after the last piece of markup is never
// examined. Once the root is finished, or an error is found, the rest of the document is only
// lexed, since an error of the lexer anywhere in the document comes before any other.
class TreeBuilder {
 public:
  TreeBuilder(SourceBuffer* buffer, std::string_view root_tag, const NodeLayout& layout) noexcept
      : buffer_(buffer),
        doc_(buffer->data()),
        length_(buffer->length()),
        root_tag_(root_tag),
        layout_(layout),
        arena_(buffer->arena()),
        row_limit_(index::tag_row_limit()),
        // Pieces of markup take two bytes at least and never overlap, so a document of at most
        // twice the limit's bytes cannot pass it: its pieces are not counted.
        count_rows_(length_ / 2 > row_limit_) {}

  void text(uint64_t start, uint64_t end) noexcept {
    if (calm_ || (phase_ == Phase::Inside && !has_pending_)) [[likely]] {
      // A run with nothing to decode cannot fail: it joins the element's text at once.
      if (add_plain(start, end) != Plain::Special) return;
      pending_ = {start, end};
      set_pending(true);
    } else if (phase_ != Phase::Inside) {
      return;  // outside the root text is never examined
    } else if (!storage::try_push_back(more_pending_, Range{start, end})) [[unlikely]] {
      out_of_memory();
    }
  }

  [[gnu::always_inline]] void tag(TagKind kind, uint64_t s, uint64_t e, uint64_t name_start,
                                  uint64_t name_length) noexcept {
    if (calm_) [[likely]] {
      if (e >= length_) [[unlikely]] {
        fail(ReadError::at(Code::UnterminatedMarkup, s));
        return;
      }
    } else {
      if (count_rows_) [[unlikely]] count_row(s);
      if (phase_ >= Phase::Done) return;
      if (!before_markup(s, e)) return;
    }
    switch (kind) {
      case TagKind::Open: open_tag(s, e, name_start, name_length); break;
      case TagKind::Close: end_tag(s, e, name_start, name_length); break;
      case TagKind::SelfClose: self_closing_tag(s, e, name_start, name_length); break;
      case TagKind::Comment:
        if (!(e >= s + 6 && doc_[e - 2] == '-' && doc_[e - 1] == '-' && doc_[e] == '>')) {
          fail(ReadError::at(Code::UnterminatedComment, s));
        }
        break;
      case TagKind::ProcessingInstruction:
        if (!(e > 0 && doc_[e - 1] == '?' && doc_[e] == '>')) fail(ReadError::at(Code::UnterminatedInstruction, s));
        break;
      case TagKind::CData: break;  // reported through cdata()
    }
  }

  void cdata(uint64_t s, uint64_t e, uint64_t) noexcept {
    if (count_rows_) [[unlikely]] count_row(s);
    if (phase_ >= Phase::Done) return;
    if (!before_markup(s, e)) return;
    if (!(e > 1 && doc_[e - 2] == ']' && doc_[e - 1] == ']' && doc_[e] == '>')) {
      fail(ReadError::at(Code::UnterminatedCData, s));
      return;
    }
    if (phase_ == Phase::Inside && s + 9 < e - 2) {
      if (!top().text.append_slice(arena_, doc_, s + 9, e - 2)) out_of_memory();
    }
  }

  // Reads a start tag in one pass where it can (parse_start_tag_fast): its attributes wait in
  // fast_attrs_ for the tag's report, which follows at once.
  bool start_tag_fast(uint64_t s, uint64_t name_end, uint64_t& end, TagKind& kind) noexcept {
    if (phase_ == Phase::Outside) {
      // Outside the root an open tag's attributes are not read, unless it is the root.
      if (!name_is_root(s + 1, name_end - (s + 1))) return false;
    } else if (phase_ != Phase::Inside) {
      return false;
    }
    if (name_end == s + 1) return false;
    // A tag without attributes ends right after its name.
    const char c = doc_[name_end];
    if (c == '>') {
      end = name_end;
      kind = TagKind::Open;
      fast_tag_ = s;
      return true;
    }
    if (c == '/' && name_end + 1 < length_ && doc_[name_end + 1] == '>') {
      end = name_end + 1;
      kind = TagKind::SelfClose;
      fast_tag_ = s;
      return true;
    }
    bool self_closing;
    if (!parse_start_tag_fast(doc_, length_, name_end, buffer_, arena_, fast_attrs_, end, self_closing)) {
      fast_attrs_ = AttrMap();
      return false;
    }
    kind = self_closing ? TagKind::SelfClose : TagKind::Open;
    fast_tag_ = s;
    return true;
  }

  BuildResult finish(const LexOutcome& lexed) noexcept;

 private:
  // Outside: before the root. Inside: within it. Done: the root is finished. Failed: error_.
  enum class Phase : uint8_t { Outside, Inside, Done, Failed };

  // What every piece of markup checks first, then the character data before it. False when
  // that failed.
  [[gnu::always_inline]] bool before_markup(uint64_t s, uint64_t e) noexcept {
    if (e >= length_) [[unlikely]] {
      fail(ReadError::at(Code::UnterminatedMarkup, s));
      return false;
    }
    if (has_pending_) return take_pending();
    return true;
  }
  bool take_pending() noexcept;
  bool add_text(uint64_t start, uint64_t end) noexcept {
    const Plain r = add_plain(start, end);
    return r == Plain::Special ? add_decoded(start, end) : r == Plain::Added;
  }
  // Adds [start, end) to the innermost element's text when nothing in it needs decoding.
  enum class Plain : uint8_t { Added, Special, Failed };
  inline Plain add_plain(uint64_t start, uint64_t end) noexcept;
  // Adds [start, end), which holds a '&' or '<', decoded. False on an error.
  bool add_decoded(uint64_t start, uint64_t end) noexcept;

  void open_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length) noexcept;
  void end_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length) noexcept;
  void self_closing_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length) noexcept;
  // Parses the name and attributes of a start tag into `open` (its first_child left alone).
  bool start_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length, bool self_closing,
                 AttrMap& attrs) noexcept;
  // Writes a finished element's node into the arena, its children the last `count` of made_
  // (which it replaces); the node's address, or null when the arena has no room.
  void* make_node(uint64_t name_start, uint64_t name_length, SharedText&& text, AttrMap&& attrs,
                  size_t first_child) noexcept;
  void close_innermost() noexcept;

  // Whether two names of the document, `a` before `b`, are the same bytes: short ones as one
  // word each when the document has room past them (past b's, so past a's too).
  bool same_name(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    const size_t n = a.size();
    if (n <= 8 && b.data() + 8 <= doc_ + length_) {
      uint64_t x, y;
      std::memcpy(&x, a.data(), 8);
      std::memcpy(&y, b.data(), 8);
      // The bytes past the name are shifted out (n is at least 1: an element's name never is
      // empty, and the sizes are equal).
      return n != 0 && ((x ^ y) << (64 - 8 * n)) == 0;
    }
    return std::memcmp(a.data(), b.data(), n) == 0;
  }
  bool name_is_root(uint64_t start, uint64_t length) const noexcept {
    return length == root_tag_.size() && std::memcmp(doc_ + start, root_tag_.data(), root_tag_.size()) == 0;
  }
  OpenElement& top() noexcept { return *top_; }

  void fail(ReadError e) noexcept {
    error_ = std::move(e);
    set_phase(Phase::Failed);
  }
  void set_phase(Phase p) noexcept {
    phase_ = p;
    calm_ = phase_ == Phase::Inside && !has_pending_ && !count_rows_;
  }
  void set_pending(bool pending) noexcept {
    has_pending_ = pending;
    calm_ = phase_ == Phase::Inside && !has_pending_ && !count_rows_;
  }
  [[gnu::cold, gnu::noinline]] void out_of_memory() noexcept { fail(ReadError::out_of_memory()); }
  [[gnu::noinline]] void count_row(uint64_t s) noexcept {
    if (++rows_ == row_limit_ + 1) first_past_limit_ = s;
  }

  SourceBuffer* buffer_;
  const char* doc_;
  uint64_t length_;
  std::string_view root_tag_;
  NodeLayout layout_;
  Arena& arena_;  // the document's
  Phase phase_ = Phase::Outside;
  // Inside the root, no character data waiting and pieces not counted: what a piece of markup
  // mostly finds, checked at once (set_phase and set_pending keep it).
  bool calm_ = false;
  // Character data waiting for the next piece of markup: one range, and any more in order
  // (only declarations, which are not reported, come between two of them).
  bool has_pending_ = false;
  Range pending_{0, 0};
  std::vector<Range> more_pending_;
  // Open elements, the root at the bottom: entries [0, depth_) are in use. Entries above stay
  // allocated and are reused by the next start tag.
  storage::Stack<OpenElement, 32> open_;
  size_t depth_ = 0;
  OpenElement* top_ = nullptr;  // &open_[depth_ - 1] while depth_ > 0: one load where the text goes
  std::vector<index::NameRange> outer_names_;  // start tags before the root, not yet closed
  storage::Stack<void*, 128> made_;            // finished nodes not yet given to their parent
  std::vector<storage::AttrEntry> attr_scratch_;
  // The attributes of the start tag at fast_tag_, read by start_tag_fast.
  AttrMap fast_attrs_;
  uint64_t fast_tag_ = ~uint64_t{0};
  void* root_ = nullptr;
  uint64_t nodes_ = 0;
  uint64_t decoded_bytes_ = 0;  // document bytes read into decoded texts
  uint64_t rows_ = 0;  // pieces of markup, as the index would count its rows
  size_t row_limit_;
  bool count_rows_;
  uint64_t first_past_limit_ = 0;
  ReadError error_;
};

[[gnu::always_inline]] inline TreeBuilder::Plain TreeBuilder::add_plain(uint64_t start, uint64_t end) noexcept {
  const char* p = doc_ + start;
  const size_t n = static_cast<size_t>(end - start);
  size_t lead, trail;
  if (n == 1 && static_cast<uint8_t>(*p) < 0x80) {
    // One ASCII byte, most often the line break between two elements: white space or not.
    if (*p == '&') return Plain::Special;
    lead = ascii_white_space(static_cast<uint8_t>(*p)) ? 1 : 0;
    trail = 0;
  } else if (n <= simd::kShortText && length_ - start >= simd::kShortText) [[likely]] {
    // Most runs are short (a word, a number, the indentation before a tag): one vector tells
    // whether there is anything to decode and how much white space each end has.
    const simd::ShortText t = simd::short_text(reinterpret_cast<const uint8_t*>(p), n);
    if (t.special) return Plain::Special;
    lead = t.lead;
    trail = t.trail;
    // A byte from 0x80 up where the ASCII white space stops may begin more white space.
    if (lead < n) {
      const auto first = static_cast<uint8_t>(p[lead]), last = static_cast<uint8_t>(p[n - 1 - trail]);
      if (first >= 0x80 && index::may_begin_white_space(first)) [[unlikely]] {
        lead += index::leading_white_space(p + lead, n - lead);
      }
      if (last >= 0x80 && index::may_end_white_space(last)) [[unlikely]] trail = trailing_white_space(p + lead, n - lead);
    } else {
      trail = 0;
    }
  } else {
    if (find_lt_or_amp(p, p + n) != p + n) return Plain::Special;
    lead = leading_white_space(p, n);
    trail = lead == n ? 0 : trailing_white_space(p + lead, n - lead);
  }
  if (!top().text.append_slice(arena_, doc_, start, end, lead, trail)) [[unlikely]] {
    out_of_memory();
    return Plain::Failed;
  }
  return Plain::Added;
}

bool TreeBuilder::add_decoded(uint64_t start, uint64_t end) noexcept {
  const char* p = doc_ + start;
  const char* e = doc_ + end;
  const size_t n = static_cast<size_t>(end - start);
  OpenElement& top = this->top();
  // The lexer ends character data at its first '<', so a run holds none past its first '&' (the
  // check of the first special byte costs nothing; a scan of the rest would cost a pass).
  const char* q = find_lt_or_amp(p, e);
  if (q != e && *q == '<') [[unlikely]] {
    fail(ReadError::at(Code::UnexpectedLt, static_cast<uint64_t>(q - doc_)));
    return false;
  }
  auto* into = static_cast<char*>(arena_.allocate(n));
  if (into == nullptr) [[unlikely]] {
    out_of_memory();
    return false;
  }
  size_t written = 0;
  ReadError err;
  if (decode_into(p, n, static_cast<size_t>(q - p), start, DecodeMode::Text, into, written, err) ==
      DecodeStatus::Failed) {
    fail(std::move(err));
    return false;
  }
  arena_.shrink_last(into + written);
  decoded_bytes_ += n;
  if (!top.text.append_decoded(arena_, doc_, into, written)) [[unlikely]] {
    out_of_memory();
    return false;
  }
  return true;
}

bool TreeBuilder::take_pending() noexcept {
  set_pending(false);
  if (!add_text(pending_.start, pending_.end)) return false;
  if (!more_pending_.empty()) [[unlikely]] {
    for (const Range& r : more_pending_) {
      if (!add_text(r.start, r.end)) return false;
    }
    more_pending_.clear();
  }
  return true;
}

[[gnu::always_inline]] inline bool TreeBuilder::start_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length, bool self_closing,
                            AttrMap& attrs) noexcept {
  if (name_length == 0) {
    fail(ReadError::at(Code::ExpectedElementName, s));
    return false;
  }
  if (fast_tag_ == s) {
    attrs = std::move(fast_attrs_);
    fast_tag_ = ~uint64_t{0};
    return true;
  }
  const uint64_t area_start = name_start + name_length;
  uint64_t area_end = e - (self_closing ? 1 : 0);
  if (area_end < area_start) area_end = area_start;
  if (area_start == area_end) return true;
  ReadError err;
  if (!parse_attributes(doc_, area_start, area_end, buffer_, arena_, attrs, attr_scratch_, err)) {
    fail(std::move(err));
    return false;
  }
  return true;
}

[[gnu::always_inline]] inline void* TreeBuilder::make_node(uint64_t name_start, uint64_t name_length, SharedText&& text, AttrMap&& attrs,
                             size_t first_child) noexcept {
  const size_t count = made_.size() - first_child;
  auto* w = static_cast<uint64_t*>(arena_.allocate(NodeLayout::bytes(count)));
  if (w == nullptr) [[unlikely]] return nullptr;
  w[0] = layout_.header[0];
  w[1] = layout_.header[1];
  w[2] = count;
  auto* f = reinterpret_cast<NodeFields*>(reinterpret_cast<char*>(w) + NodeLayout::kFieldsOffset);
  new (f) NodeFields{SharedText::shared_unowned(buffer_, name_start, name_start + name_length), std::move(text),
                     std::move(attrs), 0, buffer_};
  void** children = reinterpret_cast<void**>(f + 1);
  void* const* from = made_.data() + first_child;
  if (count <= 8) {
    for (size_t i = 0; i < count; ++i) children[i] = from[i];
  } else {
    std::memcpy(static_cast<void*>(children), from, count * sizeof(void*));
  }
  made_.truncate(first_child);
  ++nodes_;
  return w;
}

[[gnu::always_inline]] inline void TreeBuilder::open_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length) noexcept {
  if (phase_ == Phase::Outside && !name_is_root(name_start, name_length)) {
    // Outside the root only the name is checked; the attributes are not parsed.
    if (name_length == 0) {
      fail(ReadError::at(Code::ExpectedElementName, s));
      return;
    }
    if (!storage::try_push_back(outer_names_, index::NameRange{name_start, name_length})) out_of_memory();
    return;
  }
  if (depth_ == open_.size() && !open_.push()) [[unlikely]] {
    out_of_memory();
    return;
  }
  OpenElement& open = open_[depth_];
  if (!start_tag(s, e, name_start, name_length, false, open.attrs)) return;
  open.name_start = name_start;
  open.name_length = name_length;
  open.first_child = made_.size();
  ++depth_;
  top_ = &open;
  if (phase_ != Phase::Inside) set_phase(Phase::Inside);
}

[[gnu::always_inline]] inline void TreeBuilder::close_innermost() noexcept {
  OpenElement& top = this->top();
  SharedText text = top.text.take_text(buffer_);
  void* node = make_node(top.name_start, top.name_length, std::move(text), std::move(top.attrs), top.first_child);
  if (node == nullptr) [[unlikely]] {
    out_of_memory();
    return;
  }
  if (--depth_ == 0) {
    root_ = node;
    set_phase(Phase::Done);
    return;
  }
  --top_;
  if (!made_.push(node)) [[unlikely]] out_of_memory();
}

[[gnu::always_inline]] inline void TreeBuilder::end_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length) noexcept {
  const std::string_view found(doc_ + name_start, static_cast<size_t>(name_length));
  const uint64_t rest = name_start + name_length;
  if (rest < e && !all_white_space(doc_ + rest, static_cast<size_t>(e - rest))) {
    fail(ReadError::at(Code::MalformedEndTag, s, found));
    return;
  }
  std::string_view expected;
  if (phase_ == Phase::Inside) {
    const OpenElement& t = top();
    expected = std::string_view(doc_ + t.name_start, static_cast<size_t>(t.name_length));
  } else if (!outer_names_.empty()) {
    const index::NameRange& o = outer_names_.back();
    expected = std::string_view(doc_ + o.start, static_cast<size_t>(o.length));
  } else {
    fail(ReadError::at(Code::UnexpectedEndTag, s, found));
    return;
  }
  if (!same_name(expected, found)) {
    fail(ReadError::at(Code::MismatchedEndTag, s, expected, found));
    return;
  }
  if (phase_ == Phase::Inside) {
    close_innermost();
  } else {
    outer_names_.pop_back();
  }
}

[[gnu::always_inline]] inline void TreeBuilder::self_closing_tag(uint64_t s, uint64_t e, uint64_t name_start, uint64_t name_length) noexcept {
  // Parsed wherever it stands, so its attributes are checked outside the root too.
  AttrMap attrs;
  if (!start_tag(s, e, name_start, name_length, true, attrs)) return;
  if (phase_ == Phase::Outside && !name_is_root(name_start, name_length)) return;
  void* node = make_node(name_start, name_length, SharedText(), std::move(attrs), made_.size());
  if (node == nullptr) [[unlikely]] {
    out_of_memory();
    return;
  }
  if (phase_ == Phase::Outside) {
    root_ = node;
    set_phase(Phase::Done);
    return;
  }
  if (!made_.push(node)) [[unlikely]] out_of_memory();
}

BuildResult TreeBuilder::finish(const LexOutcome& lexed) noexcept {
  // Running out of memory ends the build whatever else there is to report.
  if (phase_ == Phase::Failed && error_.code == Code::OutOfMemory) return std::move(error_);
  if (storage::allocation_failed()) [[unlikely]] return ReadError::out_of_memory();
  // The lexer's errors come first: an index of the whole document is what they describe.
  if (lexed.kind == LexOutcome::Kind::Unclosed) {
    return index_error({index::StructuralIndexError::Kind::UnclosedTag, lexed.at});
  }
  if (lexed.kind == LexOutcome::Kind::Truncated) return ReadError::at(Code::UnexpectedEnd, length_);
  if (rows_ > row_limit_) [[unlikely]] {
    return index_error({index::StructuralIndexError::Kind::TooManyTags, first_past_limit_});
  }
  switch (phase_) {
    case Phase::Failed: return std::move(error_);
    case Phase::Done:
      // Every node holds a reference on the document, whose arena they are in.
      buffer_->retain_n(nodes_);
      buffer_->set_tree(root_, nodes_, decoded_bytes_);
      return BuiltTree{root_, nodes_};
    case Phase::Inside: {
      const OpenElement& t = top();
      return ReadError::of(Code::NeverClosed, std::string_view(doc_ + t.name_start, static_cast<size_t>(t.name_length)));
    }
    case Phase::Outside: break;
  }
  return ReadError::of(Code::RootNotFound, root_tag_);
}

}  // namespace

BuildResult build_tree(SourceBuffer* buffer, std::string_view root_tag, const NodeLayout& layout) noexcept {
  // An allocation that failed where the build had no error path of its own left a smaller but
  // valid result behind: finish() fails the build instead.
  storage::AllocationFailureScope allocation;
  TreeBuilder b(buffer, root_tag, layout);
  const auto* d = reinterpret_cast<const uint8_t*>(buffer->data());
  const LexOutcome lexed = index::lex_sequential(d, buffer->length(), 0, index::InlineFind{}, b);
  return b.finish(lexed);
}

}  // namespace tessary::read
