#include "read/builder.h"

#include <cstring>
#include <new>
#include <vector>

#include "index/structural_index.h"
#include "index/utf8.h"
#include "read/decode.h"
#include "read/scan.h"
#include "read/start_tag.h"
#include "read/text_accumulator.h"
#include "storage/alloc_failure.h"
#include "storage/grow.h"

namespace tessary::read {

using index::all_white_space;
using index::leading_white_space;
using index::StructuralIndex;
using index::trailing_white_space;
using index::TagKind;
using storage::FlatElement;
using storage::FlatTree;
using storage::SharedText;
using storage::SourceBuffer;
using Code = ReadError::Code;

namespace {

inline std::string_view slice(const char* doc, uint64_t start, uint64_t end) noexcept {
  return {doc + start, static_cast<size_t>(end - start)};
}

// The indexer's error, whose text is made as a string.
[[gnu::cold]] ReadError index_error(const index::StructuralIndexError& e) noexcept {
  try {
    return ReadError::at(Code::Index, e.offset, e.text());
  } catch (const std::bad_alloc&) {
    return ReadError::out_of_memory();
  }
}

constexpr size_t kFinishedReserveMax = size_t{1} << 22;  // elements (64 bytes each)

// An element inside the root whose end tag has not been seen yet.
struct OpenElement {
  FlatElement element;  // its child_count counts the children finished so far
  TextAccumulator text;
};

class Builder {
 public:
  Builder(SourceBuffer* buffer, std::string_view root_tag) noexcept
      : buffer_(buffer), doc_(buffer->data()), length_(buffer->length()), root_tag_(root_tag) {}
  // Takes the references of the texts made without them, before the members holding those
  // texts are destroyed (on success they have moved into the result by then).
  ~Builder() {
    if (uncounted_ != 0) buffer_->retain_n(uncounted_);
  }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  BuildResult run() noexcept;

 private:
  // What one row of the index led to. The handlers of the frequent rows are inlined into the
  // loop over the rows, which keeps the builder's state in registers.
  enum class Step : uint8_t { Next, RootDone, Failed };

  bool index_document() noexcept;
  [[gnu::always_inline]] inline Step row(size_t k) noexcept;
  [[gnu::always_inline]] inline Step open_tag(size_t k) noexcept;
  [[gnu::always_inline]] inline Step end_tag(size_t k) noexcept;
  [[gnu::always_inline]] inline Step self_closing_tag(size_t k) noexcept;
  Step cdata_section(size_t k) noexcept;
  // The checks of a comment or processing instruction, which have no further effect.
  Step comment(size_t k) noexcept;
  Step instruction(size_t k) noexcept;

  // Consumes the text rows that start before `limit`, adding those inside the root to the
  // innermost open element.
  bool take_text_before(uint64_t limit) noexcept;
  bool add_text(uint64_t start, uint64_t end) noexcept;
  // Closes the innermost open element: RootDone when it was the root.
  [[gnu::always_inline]] inline Step close_innermost() noexcept;

  Step fail(ReadError e) noexcept {
    error_ = std::move(e);
    return Step::Failed;
  }
  bool name_is_root(const index::NameRange& n) const noexcept {
    return n.length == root_tag_.size() && std::memcmp(doc_ + n.start, root_tag_.data(), root_tag_.size()) == 0;
  }
  OpenElement& top() noexcept { return open_[depth_ - 1]; }
  bool inside_root() const noexcept { return depth_ != 0; }
  // The entry for a new innermost element, or null when the stack cannot grow.
  OpenElement* push() noexcept {
    if (depth_ == open_.size() && !storage::try_push_back(open_, OpenElement())) return nullptr;
    OpenElement& e = open_[depth_++];
    e.element.child_count = 0;
    return &e;
  }
  // A finished element inside the root: appended in post-order, counted by its parent. False,
  // with the error set, when the list cannot grow.
  [[gnu::always_inline]] bool append_finished(FlatElement&& e) noexcept {
    if (!storage::try_push_back(tree_.elements, std::move(e))) [[unlikely]] return out_of_memory(e);
    if (depth_ != 0) ++top().element.child_count;
    return true;
  }
  // The element that could not be kept may hold ranges whose references are not taken yet:
  // they are taken before it is released, and the build ends.
  [[gnu::cold, gnu::noinline]] bool out_of_memory(FlatElement& e) noexcept {
    buffer_->retain_n(uncounted_);
    uncounted_ = 0;
    e = FlatElement();
    error_ = ReadError::out_of_memory();
    return false;
  }

  SourceBuffer* buffer_;
  const char* doc_;
  uint64_t length_;
  std::string_view root_tag_;
  StructuralIndex idx_;
  size_t text_cursor_ = 0;
  // Open elements, the root at the bottom: entries [0, depth_) are in use. Entries above stay
  // allocated (their elements were moved out) and are reused by the next start tag.
  std::vector<OpenElement> open_;
  size_t depth_ = 0;
  std::vector<index::NameRange> outer_names_;    // start tags before the root, not yet closed
  FlatTree tree_;                                 // the root's finished elements, in post-order
  std::vector<storage::AttrEntry> attr_scratch_;  // one start tag's attributes, before its map is made
  ReadError error_;
  uint64_t uncounted_ = 0;  // texts made without taking their buffer reference (see ~Builder)
};

bool Builder::add_text(uint64_t start, uint64_t end) noexcept {
  const char* p = doc_ + start;
  const char* e = doc_ + end;
  const char* q = find_lt_or_amp(p, e);
  OpenElement& top = this->top();
  if (q == e) {
    top.text.append_slice(doc_, start, end);
    return true;
  }
  const char* lt = *q == '<' ? q : find_lt(q + 1, e);
  if (lt != e) {
    error_ = ReadError::at(Code::UnexpectedLt, static_cast<uint64_t>(lt - doc_));
    return false;
  }
  OwnedBytes decoded;
  if (decode_from(p, static_cast<size_t>(e - p), static_cast<size_t>(q - p), start, DecodeMode::Text, decoded,
                  error_) == DecodeStatus::Failed) {
    return false;
  }
  top.text.append_owned(doc_, std::move(decoded));
  return true;
}

bool Builder::take_text_before(uint64_t limit) noexcept {
  const auto& texts = idx_.text_ranges;
  while (text_cursor_ < texts.size() && texts[text_cursor_].start < limit) {
    const index::TextRange& t = texts[text_cursor_++];
    if (!inside_root()) continue;
    if (!add_text(t.start, t.end)) return false;
  }
  return true;
}

Builder::Step Builder::close_innermost() noexcept {
  OpenElement& top = this->top();
  FlatElement& e = top.element;
  e.text = top.text.take_text(doc_, buffer_, uncounted_);
  const bool root = depth_ == 1;
  FlatElement done = std::move(e);
  --depth_;
  if (!append_finished(std::move(done))) return Step::Failed;
  return root ? Step::RootDone : Step::Next;
}

bool Builder::index_document() noexcept {
  index::IndexResult indexed =
      index::build_structural_index(reinterpret_cast<const uint8_t*>(doc_), static_cast<size_t>(length_));
  if (!indexed.ok()) {
    const index::StructuralIndexError& e = *indexed.error;
    if (e.kind == index::StructuralIndexError::Kind::TruncatedInput) {
      error_ = ReadError::at(Code::UnexpectedEnd, length_);
    } else if (e.kind == index::StructuralIndexError::Kind::OutOfMemory) {
      error_ = ReadError::out_of_memory();
    } else {
      error_ = index_error(e);
    }
    return false;
  }
  idx_ = std::move(indexed.index);
  return true;
}

Builder::Step Builder::open_tag(size_t k) noexcept {
  if (!inside_root() && !name_is_root(idx_.tag_names[k])) {
    // Outside the root only the name is checked; the attributes are not parsed.
    StartTagName tag;
    if (!start_tag_name(idx_, k, tag, error_)) return Step::Failed;
    if (!storage::try_push_back(outer_names_, idx_.tag_names[k])) return fail(ReadError::out_of_memory());
    return Step::Next;
  }
  OpenElement* open = push();
  if (open == nullptr) return fail(ReadError::out_of_memory());
  if (!parse_start_tag(doc_, idx_, k, buffer_, open->element, attr_scratch_, error_)) return Step::Failed;
  return Step::Next;
}

Builder::Step Builder::end_tag(size_t k) noexcept {
  const uint64_t s = idx_.tag_starts[k];
  const uint64_t e = idx_.tag_ends[k];
  const index::NameRange name = idx_.tag_names[k];
  const std::string_view found = slice(doc_, name.start, name.start + name.length);
  const uint64_t rest = name.start + name.length;
  if (rest < e && !all_white_space(doc_ + rest, static_cast<size_t>(e - rest))) {
    return fail(ReadError::at(Code::MalformedEndTag, s, found));
  }
  std::string_view expected;
  if (inside_root()) {
    expected = top().element.name.view();
  } else if (!outer_names_.empty()) {
    const index::NameRange& o = outer_names_.back();
    expected = slice(doc_, o.start, o.start + o.length);
  } else {
    return fail(ReadError::at(Code::UnexpectedEndTag, s, found));
  }
  if (expected != found) return fail(ReadError::at(Code::MismatchedEndTag, s, expected, found));
  if (!inside_root()) {
    outer_names_.pop_back();
    return Step::Next;
  }
  return close_innermost();
}

Builder::Step Builder::self_closing_tag(size_t k) noexcept {
  // Parsed wherever it stands, so its attributes are checked outside the root too.
  FlatElement rec;
  if (!parse_start_tag(doc_, idx_, k, buffer_, rec, attr_scratch_, error_)) return Step::Failed;
  if (inside_root()) {
    if (!append_finished(std::move(rec))) return Step::Failed;
  } else if (name_is_root(idx_.tag_names[k])) {
    tree_.elements.clear();
    if (!append_finished(std::move(rec))) return Step::Failed;
    return Step::RootDone;
  }
  return Step::Next;
}

Builder::Step Builder::comment(size_t k) noexcept {
  const uint64_t s = idx_.tag_starts[k];
  const uint64_t e = idx_.tag_ends[k];
  if (!(e >= s + 6 && doc_[e - 2] == '-' && doc_[e - 1] == '-' && doc_[e] == '>')) {
    return fail(ReadError::at(Code::UnterminatedComment, s));
  }
  return Step::Next;
}

Builder::Step Builder::cdata_section(size_t k) noexcept {
  const uint64_t s = idx_.tag_starts[k];
  const uint64_t e = idx_.tag_ends[k];
  if (!(e > 1 && doc_[e - 2] == ']' && doc_[e - 1] == ']' && doc_[e] == '>')) {
    return fail(ReadError::at(Code::UnterminatedCData, s));
  }
  if (inside_root() && s + 9 < e - 2) top().text.append_slice(doc_, s + 9, e - 2);
  // The section's own content row needs no examination.
  const auto& texts = idx_.text_ranges;
  while (text_cursor_ < texts.size() && texts[text_cursor_].start < e) ++text_cursor_;
  return Step::Next;
}

Builder::Step Builder::instruction(size_t k) noexcept {
  const uint64_t s = idx_.tag_starts[k];
  const uint64_t e = idx_.tag_ends[k];
  if (!(e > 0 && doc_[e - 1] == '?' && doc_[e] == '>')) {
    return fail(ReadError::at(Code::UnterminatedInstruction, s));
  }
  return Step::Next;
}

Builder::Step Builder::row(size_t k) noexcept {
  const uint64_t s = idx_.tag_starts[k];
  if (idx_.tag_ends[k] >= length_) return fail(ReadError::at(Code::UnterminatedMarkup, s));
  if (!take_text_before(s)) return Step::Failed;
  switch (idx_.tag_kinds[k]) {
    case TagKind::Open: return open_tag(k);
    case TagKind::Close: return end_tag(k);
    case TagKind::SelfClose: return self_closing_tag(k);
    case TagKind::Comment: return comment(k);
    case TagKind::CData: return cdata_section(k);
    case TagKind::ProcessingInstruction: return instruction(k);
  }
  return Step::Next;
}

BuildResult Builder::run() noexcept {
  if (!index_document()) return std::move(error_);
  const size_t rows = idx_.tag_count();
  // Room for as many elements as there are tags (bounded), so the list is not regrown and
  // moved as it fills. Pages not used are never touched.
  // (Without that room the list grows as it fills.)
  (void)storage::try_reserve(tree_.elements, rows < kFinishedReserveMax ? rows : kFinishedReserveMax);
  for (size_t k = 0; k < rows; ++k) {
    switch (row(k)) {
      case Step::Next: break;
      case Step::RootDone: return std::move(tree_);
      case Step::Failed: return std::move(error_);
    }
  }
  if (inside_root()) return ReadError::of(Code::NeverClosed, top().element.name.view());
  return ReadError::of(Code::RootNotFound, root_tag_);
}

}  // namespace

BuildResult build_tree(SourceBuffer* buffer, std::string_view root_tag) noexcept {
  // An allocation that failed where the build had no error path (copying a text, growing an
  // attribute table) left a smaller but valid result behind: it is released, and the build
  // fails instead.
  storage::AllocationFailureScope allocation;
  BuildResult built = [&] {
    // Every name, key and unchanged value takes a buffer reference: take them in batches. The
    // builder takes those it still owes when it goes, before the result can be released.
    SourceBuffer::ReserveScope reserve(buffer);
    Builder b(buffer, root_tag);
    return b.run();
  }();
  if (allocation.failed()) [[unlikely]] return ReadError::out_of_memory();
  return built;
}

}  // namespace tessary::read
