#include "read/compact.h"

#include <cstring>

#include "index/utf8.h"
#include "storage/attr_map.h"
#include "storage/node_fields.h"
#include "storage/pages.h"
#include "storage/stack.h"

namespace tessary::read {

namespace {

using storage::AttrEntry;
using storage::NodeFields;
using storage::NodeLayout;
using storage::SharedText;
using storage::SourceBuffer;

NodeFields* fields_of(void* node) noexcept {
  return reinterpret_cast<NodeFields*>(static_cast<char*>(node) + NodeLayout::kFieldsOffset);
}
uint64_t children_of(void* node) noexcept { return static_cast<uint64_t*>(node)[NodeLayout::kHeaderWords - 1]; }
void** child_array(void* node) noexcept { return reinterpret_cast<void**>(fields_of(node) + 1); }

// Calls visit(text, is_node_text) for every text of every node of the tree, parents before
// children, until a call returns false. False when a call did, or when the walk's stack could
// not grow. `work` is the walk's stack, empty: a second walk of the same tree with the same
// stack never needs it to grow, so it cannot fail.
// `bytes`, when given, is the buffer the texts are ranges of: while the walk visits one node it
// asks for the bytes of the next one's name and text, which lie anywhere in the document (the
// nodes themselves are asked for as they are put on the stack).
template <class Visit>
bool each_text(void* root, storage::Stack<void*, 64>& work, const char* bytes, Visit&& visit) noexcept {
  if (!work.push(root)) return false;
  while (!work.empty()) {
    void* node = work.back();
    work.pop();
    NodeFields* f = fields_of(node);
    if (bytes != nullptr && !work.empty()) {
      const NodeFields* next = fields_of(work.back());
      __builtin_prefetch(bytes + next->name.range_start());
      __builtin_prefetch(bytes + next->text.range_start());  // only advice, whatever the text's form
      __builtin_prefetch(next->attrs.table_address());
    }
    if (!visit(f->name, false)) return false;
    size_t count;
    AttrEntry* e = f->attrs.entries_to_relayout(count);
    for (size_t i = 0; i < count; ++i) {
      if (!visit(e[i].key, false) || !visit(e[i].value, false)) return false;
    }
    if (!visit(f->text, true)) return false;
    // Children are pushed last first, so they are taken in document order.
    void** kids = child_array(node);
    for (uint64_t i = children_of(node); i > 0; --i) {
      __builtin_prefetch(fields_of(kids[i - 1]));
      if (!work.push(kids[i - 1])) return false;
    }
  }
  return true;
}

// Character positions of byte offsets in valid UTF-8, found by counting from the last one asked
// for: the texts are visited roughly in document order, so the counting covers the document
// about once.
class CharCursor {
 public:
  explicit CharCursor(const char* data) noexcept : data_(reinterpret_cast<const uint8_t*>(data)) {}
  uint64_t at(uint64_t byte) noexcept {
    if (byte >= byte_) {
      char_ += index::count_chars(data_ + byte_, byte - byte_);
    } else {
      char_ -= index::count_chars(data_ + byte, byte_ - byte);
    }
    byte_ = byte;
    return char_;
  }

 private:
  const uint8_t* data_;
  uint64_t byte_ = 0;
  uint64_t char_ = 0;
};

// Whether the start of a document, p[0, n), holds at least kTextPerElement characters of text
// (CDATA content included) per start tag. Markup is skipped from '<' to the next '>', which is
// all a sample needs; it starts outside any markup.
template <class T>
bool mostly_text_in(const T* p, size_t n) noexcept {
  constexpr size_t kSample = size_t{1} << 14;
  constexpr char kCdata[] = "<![CDATA[";
  if (n > kSample) n = kSample;
  // With this many start tags the sample cannot hold enough text: an element-dense document
  // (the usual kind) is told apart without reading the rest of it.
  const uint64_t max_tags = n / kTextPerElement;
  uint64_t tags = 0, text = 0;
  size_t i = 0;
  while (i < n) {
    if (p[i] != '<') {
      ++text;
      ++i;
      continue;
    }
    size_t k = 1;
    while (k < 9 && i + k < n && p[i + k] == static_cast<T>(kCdata[k])) ++k;
    if (k == 9) {
      for (i += 9; i < n && !(p[i] == ']' && i + 2 < n && p[i + 1] == ']' && p[i + 2] == '>'); ++i) ++text;
      i += 3;
      continue;
    }
    if (i + 1 < n && p[i + 1] != '/' && p[i + 1] != '!' && p[i + 1] != '?' && ++tags >= max_tags) return false;
    while (i < n && p[i] != '>') ++i;
    ++i;
  }
  return text >= kTextPerElement * (tags + 1);
}

// Below this many bytes of document per element, the bytes are kept without looking.
constexpr uint64_t kBytesPerNodeMin = 128;

}  // namespace

void give_up_unused_bytes(SourceBuffer* doc, void* root) noexcept {
  if (root == nullptr || !doc->owns_text()) return;
  // A tree of many elements for its size (most real documents) refers to much of it, names
  // alone taking a tenth or more: not worth a walk to find out.
  if (doc->length() < doc->tree_nodes() * kBytesPerNodeMin) return;
  const uintptr_t word = reinterpret_cast<uintptr_t>(doc) | 3;  // this document's uncounted ranges
  auto is_range = [&](const SharedText& t) { return t.buffer_word() == word && !t.is_chars(); };
  const bool has_chars = doc->chars() != nullptr;
  auto is_long_text = [&](const SharedText& t, bool node_text) {
    return has_chars && node_text && t.range_end() - t.range_start() >= kCharRangeMin;
  };
  // What the tree may keep: at most the bytes not read into decoded texts, and no walk is needed
  // to know that is little enough. Otherwise a walk counts it.
  storage::Stack<void*, 64> work;
  uint64_t kept = doc->length() - doc->decoded_bytes();
  if (kept > doc->length() / 4) {
    // The count stops as soon as it passes the quarter: a tree that refers to most of its
    // document (many attributes, say) is known for one after a part of the walk.
    kept = 0;
    const uint64_t most = doc->length() / 4;
    const bool walked = each_text(root, work, nullptr, [&](const SharedText& t, bool node_text) {
      if (is_range(t) && !is_long_text(t, node_text)) kept += t.range_end() - t.range_start();
      return kept <= most;
    });
    if (!walked) return;
  }

  // Room for a whole 16-byte copy at the end (see below), and the 0 after the text. Pages, not
  // the C library's allocator, for the reason the arena's chunks are (storage/pages.h); those
  // past what the copies fill are never touched, so they cost no memory (in small pages: `kept`
  // may be only a bound).
  size_t capacity = kept + 16;
  char* bytes = static_cast<char*>(storage::map_pages(capacity, false));
  if (bytes == nullptr) return;  // the tree keeps the whole form, as it would have anyway
  const char* old = doc->data();
  const uint64_t old_length = doc->length();
  CharCursor chars(old);
  uint64_t at = 0;
  each_text(root, work, old, [&](SharedText& t, bool node_text) {
    if (!is_range(t)) return true;
    const uint64_t start = t.range_start(), end = t.range_end();
    if (is_long_text(t, node_text)) {
      const uint64_t first = chars.at(start);
      t = SharedText::source_chars(doc, first, chars.at(end));
      return true;
    }
    // Most ranges are names and short values: one fixed 16-byte copy where the old bytes have
    // that many, the rest overwritten by the next range.
    if (end - start <= 16 && start + 16 <= old_length) {
      std::memcpy(bytes + at, old + start, 16);
    } else {
      std::memcpy(bytes + at, old + start, end - start);
    }
    t.move_range(at);
    at += end - start;
    return true;
  });
  doc->replace_text(bytes, at, capacity);
}

bool mostly_text(const void* chars, unsigned width, size_t n) noexcept {
  switch (width) {
    case 1: return mostly_text_in(static_cast<const uint8_t*>(chars), n);
    case 2: return mostly_text_in(static_cast<const uint16_t*>(chars), n);
    default: return mostly_text_in(static_cast<const uint32_t*>(chars), n);
  }
}

}  // namespace tessary::read
