#include "read/start_tag.h"

#include <cstring>
#include <string_view>

#include "read/decode.h"
#include "read/owned_bytes.h"
#include "read/scan.h"
#include "storage/grow.h"

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

// The closing quote of a value starting at `v`, or null when [v, area_end) has none; `special`
// is set to the first byte before it needing decoding, if any. Most values are short and plain:
// one pass finds the closing quote and whether anything in between needs decoding; longer or
// unusual values fall back to vector searches.
inline const char* find_value_end(const char* v, const char* area_end, char quote, const char*& special) noexcept {
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

// A value with something to decode in [v, vend), the first of it at `special`, whose first
// byte is at document offset `base`: its decoded text, or false with `error` set.
[[gnu::noinline]] bool decode_value(const char* doc, const char* v, const char* special, const char* vend, uint64_t base,
                  SharedText& out, ReadError& error) noexcept {
  const char* lt = *special == '<' ? special : find_lt(special + 1, vend);
  if (lt != vend) {
    error = ReadError::at(Code::LtInValue, static_cast<uint64_t>(lt - doc));
    return false;
  }
  OwnedBytes decoded;
  if (decode_from(v, static_cast<size_t>(vend - v), static_cast<size_t>(special - v), base, DecodeMode::Attribute,
                  decoded, error) == DecodeStatus::Failed) {
    return false;
  }
  out = decoded.into_text();
  return true;
}

[[gnu::cold]] ReadError duplicate(const std::vector<AttrEntry>& scratch, size_t i) {
  const SharedText& key = scratch[i].key;
  return ReadError::at(Code::DuplicateAttribute, key.range_start(), key.view());
}

// The error of a tag whose attributes were read up to a problem `e`: a repetition among the
// attributes before it comes first, since attributes are checked in document order. Empties
// `scratch`.
[[gnu::cold]] ReadError first_error(std::vector<AttrEntry>& scratch, ReadError e) {
  if (scratch.size() > 1) {
    AttrMap seen(scratch.size());
    const size_t dup = seen.fill_unique(scratch.data(), scratch.size());
    if (dup < scratch.size()) e = duplicate(scratch, dup);
  }
  scratch.clear();
  return e;
}

// Moves the attributes gathered in `scratch` into `out`, or fails on the first repeated name.
[[gnu::always_inline]] inline bool into_map(std::vector<AttrEntry>& scratch, AttrMap& out, ReadError& error) noexcept {
  if (scratch.empty()) return true;
  AttrMap attrs(scratch.size());
  const size_t dup = attrs.fill_unique(scratch.data(), scratch.size());
  if (dup < scratch.size()) {
    error = duplicate(scratch, dup);
    scratch.clear();
    return false;
  }
  scratch.clear();
  out = std::move(attrs);
  return true;
}

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

// The attributes are gathered in `scratch` first and put in the map together, which sizes the
// map once and lets the key hashes be computed side by side.
bool parse_start_tag(const char* doc, const StructuralIndex& idx, size_t k, SourceBuffer* buffer,
                     storage::FlatElement& out, std::vector<AttrEntry>& scratch, ReadError& error) noexcept {
  StartTagName tag;
  if (!start_tag_name(idx, k, tag, error)) return false;
  out.name = SharedText::shared_uncounted(buffer, tag.name_start, tag.name_end);
  const uint64_t end = tag.attrs_end;
  const char* const area_end = doc + end;
  uint64_t p = tag.attrs_start;
  uint64_t last = p;  // where the previous attribute ended: white space must follow it
  scratch.clear();
  // Ranges made for this tag whose buffer references are still to be taken: taken in one step
  // before anything in `scratch` can be released or kept.
  uint64_t uncounted = 1;  // the name's
  auto take_references = [&] {
    if (uncounted != 0) buffer->retain_n(uncounted);
    uncounted = 0;
  };
  auto fail = [&](ReadError e) {
    take_references();
    error = first_error(scratch, std::move(e));
    return false;
  };
  for (;;) {
    while (p < end && ascii_space(static_cast<unsigned char>(doc[p]))) ++p;
    if (p == end) break;
    if (p == last) return fail(ReadError::at(Code::ExpectedWhitespace, p));
    const uint64_t key_start = p;
    while (p < end && !name_end(static_cast<unsigned char>(doc[p]))) ++p;
    const uint64_t key_end = p;
    if (key_start == key_end) return fail(ReadError::at(Code::ExpectedAttributeName, p));
    const std::string_view key = slice(doc, key_start, key_end);
    while (p < end && ascii_space(static_cast<unsigned char>(doc[p]))) ++p;
    if (p == end || doc[p] != '=') return fail(ReadError::at(Code::AttributeWithoutValue, key_start, key));
    ++p;
    while (p < end && ascii_space(static_cast<unsigned char>(doc[p]))) ++p;
    if (p == end || (doc[p] != '"' && doc[p] != '\'')) return fail(ReadError::at(Code::UnquotedValue, p, key));
    const uint64_t value_start = p + 1;
    const char* special = nullptr;  // the first byte needing decoding, when there is one
    const char* vend = find_value_end(doc + value_start, area_end, doc[p], special);
    if (vend == nullptr) return fail(ReadError::at(Code::UnterminatedValue, value_start));
    const uint64_t value_end = static_cast<uint64_t>(vend - doc);
    // Room first, so that no range is made that could not be kept.
    if (scratch.size() == scratch.capacity() &&
        !storage::try_reserve(scratch, scratch.empty() ? 8 : scratch.size() * 2)) [[unlikely]] {
      return fail(ReadError::out_of_memory());
    }
    if (special == nullptr) {
      // The common case: key and value both verbatim.
      scratch.push_back({SharedText::shared_uncounted(buffer, key_start, key_end),
                         SharedText::shared_uncounted(buffer, value_start, value_end)});
      uncounted += 2;
    } else {
      SharedText value;
      ReadError decode_error;
      if (!decode_value(doc, doc + value_start, special, vend, value_start, value, decode_error)) {
        return fail(std::move(decode_error));
      }
      scratch.push_back({SharedText::shared_uncounted(buffer, key_start, key_end), std::move(value)});
      uncounted += 1;
    }
    p = last = value_end + 1;
  }
  take_references();
  return into_map(scratch, out.attrs, error);
}

}  // namespace tessary::read
