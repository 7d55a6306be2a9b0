#include "read/builder.h"

#include <cstring>
#include <string>
#include <vector>

#include "read/decode.h"
#include "read/scan.h"
#include "read/utf8.h"

namespace tessary::read {

using index::StructuralIndex;
using index::TagKind;
using storage::AttrMap;
using storage::FlatElement;
using storage::FlatTree;
using storage::SharedText;
using storage::SourceBuffer;

namespace {

// Byte classes for start-tag parsing, one table lookup per byte.
enum : uint8_t {
  kSpace = 1,        // ASCII white space: tab, line feed, form feed, carriage return, space
  kNameEnd = 2,      // ends an attribute name: white space, '=', '"', '\''
  kValueStop = 4,    // needs a look inside a value: '"', '\'', '<', '&', tab, line feed, carriage return
};

constexpr auto kByteClass = [] {
  struct Table {
    uint8_t v[256];
  } t{};
  for (unsigned char c : {' ', '\t', '\n', '\r', '\f'}) t.v[c] |= kSpace | kNameEnd;
  for (unsigned char c : {'=', '"', '\''}) t.v[c] |= kNameEnd;
  for (unsigned char c : {'"', '\'', '<', '&', '\t', '\n', '\r'}) t.v[c] |= kValueStop;
  return t;
}();

inline bool ascii_space(unsigned char c) noexcept { return kByteClass.v[c] & kSpace; }
inline bool name_end(unsigned char c) noexcept { return kByteClass.v[c] & kNameEnd; }

inline std::string_view slice(const char* doc, uint64_t start, uint64_t end) noexcept {
  return {doc + start, static_cast<size_t>(end - start)};
}

inline std::string quoted(std::string_view prefix, std::string_view name, std::string_view suffix) {
  std::string s;
  s.reserve(prefix.size() + name.size() + suffix.size());
  s.append(prefix).append(name).append(suffix);
  return s;
}

}  // namespace

// ---- text accumulation ---------------------------------------------------------------------

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

SharedText TextAccumulator::finish(const char* doc, SourceBuffer* buffer) noexcept {
  uint64_t adopted = 0;
  SharedText t = finish_adopting(doc, buffer, adopted);
  if (adopted != 0) buffer->retain_n(adopted);
  return t;
}

SharedText TextAccumulator::finish_adopting(const char* doc, SourceBuffer* buffer, uint64_t& adopted) noexcept {
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
    ++adopted;
    return SharedText::shared_adopting(buffer, start_ + lead, end_ - trail);
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

void append_text(OpenElement& entry, const char* doc, TextPiece piece) noexcept {
  if (auto* s = std::get_if<TextSlice>(&piece)) {
    entry.text.append_slice(doc, s->start, s->end);
  } else {
    entry.text.append_owned(doc, std::move(std::get<OwnedBytes>(piece)));
  }
}

// ---- start tags ----------------------------------------------------------------------------

bool start_tag_name(const StructuralIndex& idx, size_t k, StartTagName& out, ReadError& error) noexcept {
  const index::NameRange name = idx.tag_names[k];
  const uint64_t s = idx.tag_starts[k];
  if (name.length == 0) {
    error = ReadError::positioned("expected element name after '<'", s);
    return false;
  }
  out.name_start = name.start;
  out.name_end = name.start + name.length;
  out.attrs_start = out.name_end;
  out.attrs_end = idx.tag_ends[k] - (idx.tag_kinds[k] == TagKind::SelfClose ? 1 : 0);
  if (out.attrs_end < out.attrs_start) out.attrs_end = out.attrs_start;
  return true;
}

bool parse_start_tag(const char* doc, const StructuralIndex& idx, size_t k, SourceBuffer* buffer, FlatElement& out,
                     std::vector<storage::AttrEntry>& scratch, ReadError& error) noexcept {
  StartTagName tag;
  if (!start_tag_name(idx, k, tag, error)) return false;
  out.name = SharedText::shared_adopting(buffer, tag.name_start, tag.name_end);
  const uint64_t end = tag.attrs_end;
  uint64_t p = tag.attrs_start;
  uint64_t last = p;
  const char* const area_end = doc + end;
  // The attributes are gathered first and put in the map together, which sizes the map once
  // and lets the key hashes be computed side by side.
  scratch.clear();
  // Shared ranges made for this tag whose buffer references are still to be taken: taken in
  // one step before anything in `scratch` can be released or kept.
  uint64_t adopted = 1;  // the name's
  auto take_refs = [&] {
    if (adopted != 0) buffer->retain_n(adopted);
    adopted = 0;
  };
  auto duplicate = [&](size_t i) {
    const SharedText& key = scratch[i].key;
    return ReadError::positioned(quoted("duplicate attribute '", key.view(), "'"), key.range_start());
  };
  // An error found in a later attribute is reported only when no earlier one was repeated,
  // since attributes are checked in document order.
  auto fail = [&](ReadError e) {
    take_refs();
    if (scratch.size() > 1) {
      AttrMap seen(scratch.size());
      const size_t dup = seen.fill_unique(scratch.data(), scratch.size());
      if (dup < scratch.size()) e = duplicate(dup);
    }
    scratch.clear();
    error = std::move(e);
    return false;
  };
  for (;;) {
    while (p < end && ascii_space(static_cast<unsigned char>(doc[p]))) ++p;
    if (p == end) break;
    if (p == last) return fail(ReadError::positioned("expected whitespace before attribute", p));
    const uint64_t key_start = p;
    while (p < end && !name_end(static_cast<unsigned char>(doc[p]))) ++p;
    const uint64_t key_end = p;
    if (key_start == key_end) return fail(ReadError::positioned("expected attribute name", p));
    const std::string_view key = slice(doc, key_start, key_end);
    while (p < end && ascii_space(static_cast<unsigned char>(doc[p]))) ++p;
    if (p == end || doc[p] != '=') {
      return fail(ReadError::positioned(quoted("attribute '", key, "' has no value"), key_start));
    }
    ++p;
    while (p < end && ascii_space(static_cast<unsigned char>(doc[p]))) ++p;
    if (p == end || (doc[p] != '"' && doc[p] != '\'')) {
      return fail(ReadError::positioned(quoted("value of attribute '", key, "' is not quoted"), p));
    }
    const char quote = doc[p];
    const uint64_t value_start = p + 1;
    // Most values are short and plain: one pass finds the closing quote and whether anything
    // in between needs decoding; longer or unusual values fall back to vector searches.
    const char* v = doc + value_start;
    const char* q = v;
    while (q < area_end && !(kByteClass.v[static_cast<unsigned char>(*q)] & kValueStop)) ++q;
    const char* special = nullptr;  // the first byte needing decoding, when there is one
    const char* vend;
    if (q < area_end && *q == quote) {
      vend = q;
    } else {
      const void* close = std::memchr(q, quote, static_cast<size_t>(area_end - q));
      if (close == nullptr) return fail(ReadError::positioned("unterminated attribute value", value_start));
      vend = static_cast<const char*>(close);
      if (q < vend) {
        special = find_attr_special(q, vend);
        if (special == vend) special = nullptr;
      }
    }
    const uint64_t value_end = static_cast<uint64_t>(vend - doc);

    if (special == nullptr) {
      // The common case: key and value both verbatim. Their buffer references are taken for
      // the whole tag at once (see `adopted`).
      scratch.push_back({SharedText::shared_adopting(buffer, key_start, key_end),
                         SharedText::shared_adopting(buffer, value_start, value_end)});
      adopted += 2;
    } else {
      const char* lt = *special == '<' ? special : find_lt(special + 1, vend);
      if (lt != vend) {
        return fail(ReadError::positioned("'<' is not allowed in attribute values", static_cast<uint64_t>(lt - doc)));
      }
      OwnedBytes decoded;
      ReadError decode_error;
      if (decode_from(v, static_cast<size_t>(vend - v), static_cast<size_t>(special - v), value_start,
                      DecodeMode::Attribute, decoded, decode_error) == DecodeStatus::Failed) {
        return fail(std::move(decode_error));
      }
      scratch.push_back({SharedText::shared_adopting(buffer, key_start, key_end), decoded.into_text()});
      adopted += 1;
    }
    p = last = value_end + 1;
  }
  take_refs();
  if (!scratch.empty()) {
    AttrMap attrs(scratch.size());
    const size_t dup = attrs.fill_unique(scratch.data(), scratch.size());
    if (dup < scratch.size()) {
      error = duplicate(dup);
      scratch.clear();
      return false;
    }
    scratch.clear();
    out.attrs = std::move(attrs);
  }
  return true;
}

// ---- the tree ------------------------------------------------------------------------------

namespace {

constexpr size_t kFinishedReserveMax = size_t{1} << 22;  // elements (64 bytes each)

class Builder {
 public:
  Builder(SourceBuffer* buffer, std::string_view root_tag) noexcept
      : buffer_(buffer), doc_(buffer->data()), length_(buffer->length()), root_tag_(root_tag) {}
  // Takes the references of the texts made without them, before the members holding those
  // texts are destroyed (on success they have moved into the result by then).
  ~Builder() {
    if (adopted_ != 0) buffer_->retain_n(adopted_);
  }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  BuildResult run() noexcept;

 private:
  // Consumes the text rows that start before `limit`, adding those inside the root to the
  // innermost open element.
  bool take_text_before(uint64_t limit) noexcept;
  bool add_text(uint64_t start, uint64_t end) noexcept;
  // Finishes the innermost open element; returns true when it was the root.
  bool close_innermost() noexcept;

  bool name_is_root(const index::NameRange& n) const noexcept {
    return n.length == root_tag_.size() && std::memcmp(doc_ + n.start, root_tag_.data(), root_tag_.size()) == 0;
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
  OpenElement& top() noexcept { return open_[depth_ - 1]; }
  bool inside_root() const noexcept { return depth_ != 0; }
  OpenElement& push() noexcept {
    if (depth_ == open_.size()) open_.emplace_back();
    OpenElement& e = open_[depth_++];
    e.element.child_count = 0;
    return e;
  }
  // A finished element inside the root: appended in post-order, counted by its parent.
  void finish(FlatElement&& e) noexcept {
    tree_.elements.push_back(std::move(e));
    if (depth_ != 0) ++top().element.child_count;
  }
  std::vector<index::NameRange> outer_names_;    // start tags before the root, not yet closed
  FlatTree tree_;                                 // the root's finished elements, in post-order
  std::vector<storage::AttrEntry> attr_scratch_;  // one start tag's attributes, before its map is made
  ReadError error_;
  uint64_t adopted_ = 0;  // texts made without taking their buffer reference (see ~Builder)
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
    error_ = ReadError::positioned("unexpected '<'", static_cast<uint64_t>(lt - doc_));
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

bool Builder::close_innermost() noexcept {
  OpenElement& top = this->top();
  FlatElement& e = top.element;
  e.text = top.text.finish_adopting(doc_, buffer_, adopted_);
  const bool root = depth_ == 1;
  FlatElement done = std::move(e);
  --depth_;
  finish(std::move(done));
  return root;
}

BuildResult Builder::run() noexcept {
  index::IndexResult indexed =
      index::build_structural_index(reinterpret_cast<const uint8_t*>(doc_), static_cast<size_t>(length_));
  if (!indexed.ok()) {
    const index::StructuralIndexError& e = *indexed.error;
    if (e.kind == index::StructuralIndexError::Kind::TruncatedInput) {
      return ReadError::positioned("unexpected end of document", length_);
    }
    return ReadError::index(e.text(), e.offset);
  }
  idx_ = std::move(indexed.index);

  const size_t rows = idx_.tag_count();
  // Room for as many elements as there are tags (bounded), so the list is not regrown and
  // moved as it fills. Pages not used are never touched.
  tree_.elements.reserve(rows < kFinishedReserveMax ? rows : kFinishedReserveMax);
  for (size_t k = 0; k < rows; ++k) {
    const uint64_t s = idx_.tag_starts[k];
    const uint64_t e = idx_.tag_ends[k];
    if (e >= length_) return ReadError::positioned("unterminated markup", s);
    if (!take_text_before(s)) return std::move(error_);
    switch (idx_.tag_kinds[k]) {
      case TagKind::Open: {
        if (!inside_root() && !name_is_root(idx_.tag_names[k])) {
          // Outside the root only the name is checked; the attributes are not parsed.
          StartTagName tag;
          if (!start_tag_name(idx_, k, tag, error_)) return std::move(error_);
          outer_names_.push_back(idx_.tag_names[k]);
          break;
        }
        if (!parse_start_tag(doc_, idx_, k, buffer_, push().element, attr_scratch_, error_)) return std::move(error_);
        break;
      }
      case TagKind::Close: {
        const index::NameRange name = idx_.tag_names[k];
        const std::string_view found = slice(doc_, name.start, name.start + name.length);
        const uint64_t rest = name.start + name.length;
        if (rest < e && !all_white_space(doc_ + rest, static_cast<size_t>(e - rest))) {
          return ReadError::positioned(quoted("malformed end tag </", found, ">"), s);
        }
        std::string_view expected;
        if (inside_root()) {
          expected = top().element.name.view();
        } else if (!outer_names_.empty()) {
          const index::NameRange& o = outer_names_.back();
          expected = slice(doc_, o.start, o.start + o.length);
        } else {
          return ReadError::positioned(quoted("unexpected end tag </", found, ">"), s);
        }
        if (expected != found) {
          std::string m;
          m.reserve(expected.size() + found.size() + 20);
          m.append("expected </").append(expected).append(">, found </").append(found).append(">");
          return ReadError::positioned(std::move(m), s);
        }
        if (!inside_root()) {
          outer_names_.pop_back();
        } else if (close_innermost()) {
          return std::move(tree_);
        }
        break;
      }
      case TagKind::SelfClose: {
        // Parsed wherever it stands, so its attributes are checked outside the root too.
        FlatElement rec;
        if (!parse_start_tag(doc_, idx_, k, buffer_, rec, attr_scratch_, error_)) return std::move(error_);
        if (inside_root()) {
          finish(std::move(rec));
        } else if (name_is_root(idx_.tag_names[k])) {
          tree_.elements.clear();
          tree_.elements.push_back(std::move(rec));
          return std::move(tree_);
        }
        break;
      }
      case TagKind::Comment:
        if (!(e >= s + 6 && doc_[e - 2] == '-' && doc_[e - 1] == '-' && doc_[e] == '>')) {
          return ReadError::positioned("unterminated comment", s);
        }
        break;
      case TagKind::CData: {
        if (!(e > 1 && doc_[e - 2] == ']' && doc_[e - 1] == ']' && doc_[e] == '>')) {
          return ReadError::positioned("unterminated CDATA section", s);
        }
        if (inside_root() && s + 9 < e - 2) top().text.append_slice(doc_, s + 9, e - 2);
        // The section's own content row needs no examination.
        const auto& texts = idx_.text_ranges;
        while (text_cursor_ < texts.size() && texts[text_cursor_].start < e) ++text_cursor_;
        break;
      }
      case TagKind::ProcessingInstruction:
        if (!(e > 0 && doc_[e - 1] == '?' && doc_[e] == '>')) {
          return ReadError::positioned("unterminated processing instruction", s);
        }
        break;
    }
  }
  if (inside_root()) return ReadError::never_closed(top().element.name.view());
  return ReadError::root_not_found(root_tag_);
}

}  // namespace

BuildResult build_tree(SourceBuffer* buffer, std::string_view root_tag) noexcept {
  // Every name, key and unchanged value takes a buffer reference: take them in batches.
  SourceBuffer::ReserveScope reserve(buffer);
  Builder b(buffer, root_tag);
  return b.run();
}

}  // namespace tessary::read
