#include "read/start_tag.h"

#include <cstring>
#include <string_view>

#include "read/decode.h"
#include "read/owned_bytes.h"
#include "read/scan.h"

namespace tessary::read {

using index::StructuralIndex;
using index::TagKind;
using storage::AttrEntry;
using storage::AttrMap;
using storage::SharedText;
using storage::SourceBuffer;
using Code = ReadError::Code;

namespace {

// Byte classes for start-tag parsing, one table lookup per byte.
enum : uint8_t {
  kSpace = 1,      // ASCII white space: tab, line feed, form feed, carriage return, space
  kNameEnd = 2,    // ends an attribute name: white space, '=', '"', '\''
  kValueStop = 4,  // needs a look inside a value: '"', '\'', '<', '&', tab, line feed, carriage return
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
inline bool value_stop(unsigned char c) noexcept { return kByteClass.v[c] & kValueStop; }

inline std::string_view slice(const char* doc, uint64_t start, uint64_t end) noexcept {
  return {doc + start, static_cast<size_t>(end - start)};
}

// The attributes of one start tag, read from its attribute area in document order. They are
// gathered in `scratch` first and put in the map together, which sizes the map once and lets
// the key hashes be computed side by side.
class AttributeReader {
 public:
  AttributeReader(const char* doc, SourceBuffer* buffer, std::vector<AttrEntry>& scratch, uint64_t start,
                  uint64_t end) noexcept
      : doc_(doc), buffer_(buffer), scratch_(scratch), p_(start), last_(start), end_(end) {
    scratch_.clear();
  }

  // Reads every attribute, then moves them into `out`. On failure sets `error` and keeps
  // nothing.
  bool read_all(AttrMap& out, ReadError& error) noexcept {
    for (;;) {
      while (p_ < end_ && ascii_space(at(p_))) ++p_;
      if (p_ == end_) break;
      if (!read_one()) return fail(error);
    }
    take_references();
    if (scratch_.empty()) return true;
    AttrMap attrs(scratch_.size());
    const size_t dup = attrs.fill_unique(scratch_.data(), scratch_.size());
    if (dup < scratch_.size()) {
      error = duplicate(dup);
      scratch_.clear();
      return false;
    }
    scratch_.clear();
    out = std::move(attrs);
    return true;
  }

  // Ranges made for this tag whose buffer references are still to be taken (see
  // take_references); the caller counts its own ranges of the tag here too.
  uint64_t uncounted = 0;

 private:
  unsigned char at(uint64_t i) const noexcept { return static_cast<unsigned char>(doc_[i]); }

  // Takes the buffer references of every range made for this tag in one step, before anything
  // in `scratch` can be released or kept.
  void take_references() noexcept {
    if (uncounted != 0) buffer_->retain_n(uncounted);
    uncounted = 0;
  }

  ReadError duplicate(size_t i) const {
    const SharedText& key = scratch_[i].key;
    return ReadError::at(Code::DuplicateAttribute, key.range_start(), key.view());
  }

  // Reports the error found, unless an earlier attribute was repeated: attributes are checked
  // in document order, so that repetition is the first error.
  bool fail(ReadError& error) noexcept {
    take_references();
    if (scratch_.size() > 1) {
      AttrMap seen(scratch_.size());
      const size_t dup = seen.fill_unique(scratch_.data(), scratch_.size());
      if (dup < scratch_.size()) error_ = duplicate(dup);
    }
    scratch_.clear();
    error = std::move(error_);
    return false;
  }

  bool problem(Code code, uint64_t offset, std::string_view name = {}) {
    error_ = ReadError::at(code, offset, name);
    return false;
  }

  // One attribute: its name, '=' and its quoted value, from p_ (not white space) on.
  bool read_one() noexcept {
    if (p_ == last_) return problem(Code::ExpectedWhitespace, p_);
    const uint64_t key_start = p_;
    while (p_ < end_ && !name_end(at(p_))) ++p_;
    const uint64_t key_end = p_;
    if (key_start == key_end) return problem(Code::ExpectedAttributeName, p_);
    const std::string_view key = slice(doc_, key_start, key_end);
    while (p_ < end_ && ascii_space(at(p_))) ++p_;
    if (p_ == end_ || doc_[p_] != '=') return problem(Code::AttributeWithoutValue, key_start, key);
    ++p_;
    while (p_ < end_ && ascii_space(at(p_))) ++p_;
    if (p_ == end_ || (doc_[p_] != '"' && doc_[p_] != '\'')) return problem(Code::UnquotedValue, p_, key);
    const char quote = doc_[p_];
    const uint64_t value_start = p_ + 1;
    const char* special = nullptr;  // the first byte needing decoding, when there is one
    const char* vend = find_value_end(doc_ + value_start, quote, special);
    if (vend == nullptr) return problem(Code::UnterminatedValue, value_start);
    const uint64_t value_end = static_cast<uint64_t>(vend - doc_);
    if (special == nullptr) {
      // The common case: key and value both verbatim.
      scratch_.push_back({SharedText::shared_uncounted(buffer_, key_start, key_end),
                          SharedText::shared_uncounted(buffer_, value_start, value_end)});
      uncounted += 2;
    } else if (!add_decoded(key_start, key_end, value_start, special, vend)) {
      return false;
    }
    p_ = last_ = value_end + 1;
    return true;
  }

  // The closing quote of a value starting at `v`, or null when the area has none; `special` is
  // set to the first byte before it needing decoding, if any. Most values are short and plain:
  // one pass finds the closing quote and whether anything in between needs decoding; longer or
  // unusual values fall back to vector searches.
  const char* find_value_end(const char* v, char quote, const char*& special) const noexcept {
    const char* const area_end = doc_ + end_;
    const char* q = v;
    while (q < area_end && !value_stop(static_cast<unsigned char>(*q))) ++q;
    if (q < area_end && *q == quote) return q;
    const void* close = std::memchr(q, quote, static_cast<size_t>(area_end - q));
    if (close == nullptr) return nullptr;
    const char* vend = static_cast<const char*>(close);
    if (q < vend) {
      special = find_attr_special(q, vend);
      if (special == vend) special = nullptr;
    }
    return vend;
  }

  // A value with something to decode in [v, vend), the first of it at `special`.
  bool add_decoded(uint64_t key_start, uint64_t key_end, uint64_t value_start, const char* special,
                   const char* vend) noexcept {
    const char* v = doc_ + value_start;
    const char* lt = *special == '<' ? special : find_lt(special + 1, vend);
    if (lt != vend) return problem(Code::LtInValue, static_cast<uint64_t>(lt - doc_));
    OwnedBytes decoded;
    if (decode_from(v, static_cast<size_t>(vend - v), static_cast<size_t>(special - v), value_start,
                    DecodeMode::Attribute, decoded, error_) == DecodeStatus::Failed) {
      return false;
    }
    scratch_.push_back({SharedText::shared_uncounted(buffer_, key_start, key_end), decoded.into_text()});
    uncounted += 1;
    return true;
  }

  const char* doc_;
  SourceBuffer* buffer_;
  std::vector<AttrEntry>& scratch_;
  uint64_t p_;
  uint64_t last_;  // where the previous attribute ended (white space must follow it)
  uint64_t end_;
  ReadError error_;
};

}  // namespace

bool start_tag_name(const StructuralIndex& idx, size_t k, StartTagName& out, ReadError& error) noexcept {
  const index::NameRange name = idx.tag_names[k];
  const uint64_t s = idx.tag_starts[k];
  if (name.length == 0) {
    error = ReadError::at(Code::ExpectedElementName, s);
    return false;
  }
  out.name_start = name.start;
  out.name_end = name.start + name.length;
  out.attrs_start = out.name_end;
  out.attrs_end = idx.tag_ends[k] - (idx.tag_kinds[k] == TagKind::SelfClose ? 1 : 0);
  if (out.attrs_end < out.attrs_start) out.attrs_end = out.attrs_start;
  return true;
}

bool parse_start_tag(const char* doc, const StructuralIndex& idx, size_t k, SourceBuffer* buffer,
                     storage::FlatElement& out, std::vector<AttrEntry>& scratch, ReadError& error) noexcept {
  StartTagName tag;
  if (!start_tag_name(idx, k, tag, error)) return false;
  AttributeReader attrs(doc, buffer, scratch, tag.attrs_start, tag.attrs_end);
  out.name = SharedText::shared_uncounted(buffer, tag.name_start, tag.name_end);
  attrs.uncounted = 1;  // the name's reference is taken with the attributes'
  return attrs.read_all(out.attrs, error);
}

}  // namespace tessary::read
