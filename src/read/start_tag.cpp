#include "read/start_tag.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "read/decode.h"
#include "read/scan.h"
#include "simd/bytes.h"
#include "storage/grow.h"

namespace tessary::read {

using storage::Arena;
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
  kFastNameEnd = 8,  // ends an attribute name on the fast path: those of kNameEnd, '/', '>', 0
};

constexpr auto kByteClass = [] {
  struct Table {
    uint8_t v[256];
  } t{};
  for (unsigned char c : {' ', '\t', '\n', '\r', '\f'}) t.v[c] |= kSpace | kNameEnd;
  for (unsigned char c : {'=', '"', '\''}) t.v[c] |= kNameEnd;
  for (unsigned char c : {'"', '\'', '<', '&', '\t', '\n', '\r'}) t.v[c] |= kValueStop;
  for (unsigned char c : {' ', '\t', '\n', '\r', '\f', '=', '"', '\'', '/', '>', '\0'}) t.v[c] |= kFastNameEnd;
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
// byte is at document offset `base`: its decoded text in the arena, or false with `error` set.
[[gnu::noinline]] bool decode_value(const char* doc, const char* v, const char* special, const char* vend, uint64_t base,
                                    Arena& arena, SharedText& out, ReadError& error) noexcept {
  const char* lt = *special == '<' ? special : find_lt(special + 1, vend);
  if (lt != vend) {
    error = ReadError::at(Code::LtInValue, static_cast<uint64_t>(lt - doc));
    return false;
  }
  const size_t n = static_cast<size_t>(vend - v);
  auto* into = static_cast<char*>(arena.allocate(n));
  if (into == nullptr) {
    error = ReadError::out_of_memory();
    return false;
  }
  size_t written = 0;
  if (decode_into(v, n, static_cast<size_t>(special - v), base, DecodeMode::Attribute, into, written, error) ==
      DecodeStatus::Failed) {
    return false;
  }
  arena.shrink_last(into + written);
  out = SharedText::unowned(into, written, index::max_byte(reinterpret_cast<const uint8_t*>(into), written));
  return true;
}

// The position of the first key in scratch[0, n) equal to one before it, or n.
[[gnu::cold]] size_t first_repeat(const std::vector<AttrEntry>& scratch) noexcept {
  const size_t n = scratch.size();
  auto same = [&](size_t i, size_t j) { return scratch[i].key.view() == scratch[j].key.view(); };
  if (n <= 64) {
    for (size_t i = 1; i < n; ++i)
      for (size_t j = 0; j < i; ++j)
        if (same(i, j)) return i;
    return n;
  }
  // Many attributes: sorted by key, then position; the second of each run of equal keys is
  // its first repetition.
  std::vector<uint32_t> order;
  if (!storage::try_reserve(order, n)) return n;
  for (size_t i = 0; i < n; ++i) order.push_back(static_cast<uint32_t>(i));
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const std::string_view x = scratch[a].key.view(), y = scratch[b].key.view();
    return x != y ? x < y : a < b;
  });
  size_t best = n;
  for (size_t k = 1; k < n; ++k) {
    if (same(order[k], order[k - 1]) && (k < 2 || !same(order[k - 1], order[k - 2])) && order[k] < best)
      best = order[k];
  }
  return best;
}

[[gnu::cold]] ReadError duplicate(const std::vector<AttrEntry>& scratch, size_t i) {
  const SharedText& key = scratch[i].key;
  return ReadError::at(Code::DuplicateAttribute, key.range_start(), key.view());
}

// The error of a tag whose attributes were read up to a problem `e`: a repetition among the
// attributes before it comes first, since attributes are checked in document order.
[[gnu::cold]] ReadError first_error(const std::vector<AttrEntry>& scratch, ReadError e) {
  const size_t dup = first_repeat(scratch);
  if (dup < scratch.size()) return duplicate(scratch, dup);
  return e;  // moved, never copied: a copy of its texts could fail
}

}  // namespace

// The attributes are gathered in `scratch` first and put in the map together, which sizes the
// map once.
bool parse_attributes(const char* doc, uint64_t start, uint64_t end, SourceBuffer* buffer, Arena& arena,
                      AttrMap& out, std::vector<AttrEntry>& scratch, ReadError& error) noexcept {
  const char* const area_end = doc + end;
  uint64_t p = start;
  uint64_t last = p;  // where the previous attribute ended: white space must follow it
  scratch.clear();
  auto fail = [&](ReadError e) {
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
    if (scratch.size() == scratch.capacity() &&
        !storage::try_reserve(scratch, scratch.empty() ? 8 : scratch.size() * 2)) [[unlikely]] {
      return fail(ReadError::out_of_memory());
    }
    SharedText value;
    if (special == nullptr) {
      // The common case: key and value both verbatim.
      value = SharedText::shared_unowned(buffer, value_start, value_end);
    } else {
      ReadError decode_error;
      if (!decode_value(doc, doc + value_start, special, vend, value_start, arena, value, decode_error)) {
        return fail(std::move(decode_error));
      }
    }
    scratch.push_back({SharedText::shared_unowned(buffer, key_start, key_end), std::move(value)});
    p = last = value_end + 1;
  }
  if (scratch.empty()) return true;
  const AttrMap::ArenaFill filled = AttrMap::in_arena(arena, scratch.data(), scratch.size(), out);
  if (filled.status == AttrMap::ArenaFill::Status::Ok) return true;
  if (filled.status == AttrMap::ArenaFill::Status::Duplicate) {
    error = duplicate(scratch, filled.at);
  } else {
    error = ReadError::out_of_memory();
  }
  return false;
}

// The tag is read as the grammar of a well-formed start tag has it, and anything else gives up
// (returns false, having made nothing that needs releasing): then the tag's end is found by the
// lexer's own walk and its attributes by parse_attributes, which report any problem exactly.
// What it accepts ends where that walk ends: outside quoted values it passes only white space,
// names (which hold no quote, '/' or '>') and '=', so the walk stops at the same opening quotes,
// skips to the same closing ones, and ends at the same '>' or "/>".
bool parse_start_tag_fast(const char* doc, uint64_t length, uint64_t name_end, SourceBuffer* buffer, Arena& arena,
                          AttrMap& out, uint64_t& end, bool& self_closing) noexcept {
  // An attribute as found: the key's range, and the value's range or its decoded text.
  struct Raw {
    uint64_t key_start, key_end;
    uint64_t value_start, value_end;  // the range, or (decoded) the length and largest byte
    const char* decoded;              // null for a range
  };
  Raw raw[AttrMap::kLinearMax];
  size_t n = 0;
  bool decoded = false;  // some value was decoded: not every text is a range of the buffer
  const auto* d = reinterpret_cast<const uint8_t*>(doc);
  uint64_t p = name_end;
  // The tag marks (simd::tag_marks) of the 64 bytes at `block`, kept while the attributes
  // they cover are read. None yet: a start past every offset, so that p - block is never below
  // 64 (it wraps to p + 65).
  uint64_t block = ~uint64_t{0} - simd::kTagBlock;
  uint64_t block_marks = 0;
  // The 0 byte after the document (storage::SourceBuffer) ends every loop here: it is neither
  // white space nor part of a name, so reaching it gives up like any other surprise.
  for (;;) {
    uint8_t c = d[p];
    uint64_t marks;  // the tag marks from the attribute's first byte on, when the block covers it
    if (c == ' ' && p + 1 - block < simd::kTagBlock && ((marks = block_marks >> (p + 1 - block)) & 1) == 0) {
      // One space, then a byte that is no mark: the next name, the common way between attributes.
      c = d[++p];
      goto attribute;
    }
    if (!(kByteClass.v[c] & kSpace)) {
      if (c == '>') {
        end = p;
        self_closing = false;
        break;
      }
      if (c == '/' && d[p + 1] == '>') {
        end = p + 1;
        self_closing = true;
        break;
      }
      return false;  // no white space before an attribute, or something else amiss
    }
    do c = d[++p];
    while (kByteClass.v[c] & kSpace);
    if (c == '>' || c == '/') continue;
    marks = p - block < simd::kTagBlock ? block_marks >> (p - block) : 0;
  attribute:
    if (n == AttrMap::kLinearMax) return false;  // many attributes: the general path
    Raw& r = raw[n];
    r.key_start = p;
    // The first tag mark from p on, when the block holds one, is where the name ends.
    if (marks == 0 && p + simd::kTagBlock <= length) {
      block = p;
      block_marks = simd::tag_marks(d + p);
      marks = block_marks;
    }
    const uint64_t e = marks != 0 ? static_cast<uint64_t>(__builtin_ctzll(marks)) : 0;
    const uint8_t* stop = nullptr;  // the value's first byte that needs a look, once found
    if (e != 0 && d[p + e] == '=' && (d[p + e + 1] == '"' || d[p + e + 1] == '\'')) {
      // The common form, name="value": the name ends at the first mark (names hold none), and
      // the value's stops are marks too, so only the block's marks in it are looked at.
      r.key_end = p + e;
      c = d[p + e + 1];
      r.value_start = p + e + 2;
      const uint64_t skip = r.value_start - block;
      for (uint64_t rest = skip < simd::kTagBlock ? block_marks >> skip : 0; rest != 0; rest &= rest - 1) {
        const uint8_t* at = d + r.value_start + __builtin_ctzll(rest);
        const uint8_t b = *at;
        if (b == c || b == '<' || b == '&' || b == '\t' || b == '\n' || b == '\r') {
          stop = at;
          break;
        }
      }
      if (stop == nullptr) {
        // No stop in the block: the search goes on after it.
        const uint64_t from = skip < simd::kTagBlock ? block + simd::kTagBlock : r.value_start;
        stop = c == '"' ? simd::find_any<'"', '<', '&', '\t', '\n', '\r'>(d + from, d + length)
                        : simd::find_any<'\'', '<', '&', '\t', '\n', '\r'>(d + from, d + length);
      }
    } else {
      while (!(kByteClass.v[c] & kFastNameEnd)) c = d[++p];
      r.key_end = p;
      if (r.key_start == r.key_end) return false;
      while (kByteClass.v[c] & kSpace) c = d[++p];
      if (c != '=') return false;
      do c = d[++p];
      while (kByteClass.v[c] & kSpace);
      if (c != '"' && c != '\'') return false;
      r.value_start = p + 1;
      stop = c == '"' ? simd::find_any<'"', '<', '&', '\t', '\n', '\r'>(d + r.value_start, d + length)
                      : simd::find_any<'\'', '<', '&', '\t', '\n', '\r'>(d + r.value_start, d + length);
    }
    if (stop == d + length || *stop == '<') return false;
    if (*stop == c) {
      r.value_end = static_cast<uint64_t>(stop - d);
      r.decoded = nullptr;
      p = r.value_end + 1;
    } else {
      const uint8_t* close = c == '"' ? simd::find_any<'"', '<'>(stop, d + length) : simd::find_any<'\'', '<'>(stop, d + length);
      if (close == d + length || *close == '<') return false;
      const uint64_t value_end = static_cast<uint64_t>(close - d);
      SharedText value;
      ReadError ignored;
      if (!decode_value(doc, doc + r.value_start, reinterpret_cast<const char*>(stop), doc + value_end, r.value_start,
                        arena, value, ignored)) {
        return false;
      }
      r.decoded = value.view().data();
      decoded = true;
      r.value_start = value.size();
      r.value_end = value.max_byte_bound();
      p = value_end + 1;
    }
    ++n;
  }
  if (n == 0) return true;
  // A repeated name is reported by the general path. Names are told apart first by a bit
  // chosen by their length, first and last byte; a name whose bit an earlier one has is
  // compared with those names only, chained by bit. A single name repeats nothing.
  uint64_t seen = 0;
  uint8_t last_with[64];           // the latest name with each bit, where `seen` has it
  uint8_t before[AttrMap::kLinearMax];  // the name before each with the same bit; itself when none
  for (size_t i = 0; n > 1 && i < n; ++i) {
    const Raw& r = raw[i];
    const uint64_t len = r.key_end - r.key_start;
    const unsigned h = static_cast<unsigned>((len * 7 + d[r.key_start] * 3 + d[r.key_end - 1]) & 63);
    if ((seen >> h) & 1) {
      for (size_t j = last_with[h];; j = before[j]) {
        if (raw[j].key_end - raw[j].key_start == len &&
            std::memcmp(doc + raw[j].key_start, doc + r.key_start, static_cast<size_t>(len)) == 0) {
          return false;
        }
        if (before[j] == j) break;
      }
      before[i] = last_with[h];
    } else {
      before[i] = static_cast<uint8_t>(i);
    }
    last_with[h] = static_cast<uint8_t>(i);
    seen |= uint64_t{1} << h;
  }
  AttrMap::LinearFill fill;
  if (!AttrMap::start_linear(arena, n, fill)) return false;
  if (!decoded) {
    // The common case: every key and value a range of the buffer.
    AttrEntry* slot = fill.slots;
    for (uint64_t m = fill.occupied; m != 0; m &= m - 1) {
      const Raw& r = raw[fill.item_at[__builtin_ctzll(m)]];
      new (slot++) AttrEntry{SharedText::shared_unowned(buffer, r.key_start, r.key_end),
                             SharedText::shared_unowned(buffer, r.value_start, r.value_end)};
    }
    AttrMap::finish_linear(fill, out, buffer);
    return true;
  }
  AttrEntry* slot = fill.slots;
  for (uint64_t m = fill.occupied; m != 0; m &= m - 1) {
    const Raw& r = raw[fill.item_at[__builtin_ctzll(m)]];
    new (slot++) AttrEntry{
        SharedText::shared_unowned(buffer, r.key_start, r.key_end),
        r.decoded == nullptr ? SharedText::shared_unowned(buffer, r.value_start, r.value_end)
                             : SharedText::unowned(r.decoded, static_cast<size_t>(r.value_start),
                                                   static_cast<uint8_t>(r.value_end))};
  }
  AttrMap::finish_linear(fill, out, nullptr);
  return true;
}

}  // namespace tessary::read
