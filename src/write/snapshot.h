// What the writer needs of a Node tree, read with the interpreter lock held, so the serializer
// can run without it: for each element in document order (pre-order), its name, its text, a view
// of its attribute map and its number of children, all in one array.
//
// The names, texts and attribute tables stay where the nodes keep them; the snapshot only points
// at them. That is safe for the whole write call: the caller holds the root, every node holds its
// children, and a node's name, text and attribute map never change while it lives.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "module/errors.h"
#include "storage/attr_map.h"

namespace tessary::write {

struct SnapElement {
  const char* name;
  uint64_t name_size;
  const char* text;
  uint64_t text_size;
  storage::AttrMap::View attrs;
  uint64_t child_count;
  bool has_text;  // false: the element has no text (which differs from an empty one)
  // Character-boundary checks left for the writer, which reads these bytes anyway (see
  // SharedText::bounded_view): the name's in bits 0-1, the text's in bits 2-3.
  uint8_t edges;

  std::string_view name_view() const noexcept { return {name, static_cast<size_t>(name_size)}; }
  std::string_view text_view() const noexcept { return {text, static_cast<size_t>(text_size)}; }
};

// Elements in blocks of a fixed size rather than one growing array: growing never copies, and
// blocks this small come from the allocator's heap, which keeps them for the next write instead
// of handing fresh zeroed pages from the kernel each time.
class SnapElements {
 public:
  static constexpr size_t kBlock = 1024;

  void push_back(const SnapElement& e) {
    if (count_ % kBlock == 0) blocks_.emplace_back().reserve(kBlock);
    blocks_.back().push_back(e);
    ++count_;
  }
  size_t size() const noexcept { return count_; }
  const SnapElement& operator[](size_t i) const noexcept { return blocks_[i / kBlock][i % kBlock]; }

 private:
  std::vector<std::vector<SnapElement>> blocks_;
  size_t count_ = 0;
};

struct Snapshot {
  SnapElements elements;  // pre-order: an element, then each child's subtree in order
  // About how large the output is before escaping and indentation: advice for sizing buffers.
  uint64_t size_hint = 0;
  // The sum of every element's depth (the root's is 0): indentation is about twice this times
  // the indent.
  uint64_t depth_sum = 0;
  // At least the largest byte of any name, key, value or text: the kind of str the output needs.
  uint8_t max_byte = 0;
};

// Reads the tree under `node` (a Node the caller holds a shared borrow of), checking that every
// name and text range lies inside its buffer as it goes (the rest of the check, on bytes the
// writer reads anyway, is left to it). A Node that occurs several times is listed at every occurrence. Walks the
// tree with a work list, not recursion.
module::Result<Snapshot> snapshot_tree(PyObject* node);

}  // namespace tessary::write
