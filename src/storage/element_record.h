// One element of the engine-side tree: built by the reader, copied from Nodes for the writer.
#pragma once

#include <vector>

#include "storage/attr_map.h"
#include "storage/shared_text.h"

namespace tessary::storage {

struct ElementRecord {
  SharedText name;
  SharedText text;  // absent when the element has none
  std::vector<ElementRecord> children;
  AttrMap attrs;

  ElementRecord() noexcept = default;
  ElementRecord(ElementRecord&&) noexcept = default;
  ElementRecord& operator=(ElementRecord&& o) noexcept {
    if (this != &o) {
      release_children();
      name = std::move(o.name);
      text = std::move(o.text);
      children = std::move(o.children);
      attrs = std::move(o.attrs);
    }
    return *this;
  }
  ElementRecord(const ElementRecord&) = delete;
  ElementRecord& operator=(const ElementRecord&) = delete;
  ~ElementRecord() { release_children(); }

  // Releases the subtree with a work list, so a tree of any depth is freed without recursion.
  void release_children() noexcept;
};

// One element of a tree laid out in post-order (every element after all of its descendants):
// the reader's result. The children of an element are the `child_count` subtrees that end
// just before it, in document order. A whole tree is one allocation, given back as one, and
// converting it bottom-up needs only a stack of finished results.
struct FlatElement {
  SharedText name;
  SharedText text;  // absent when the element has none
  AttrMap attrs;
  uint64_t child_count = 0;
};

// A post-order tree; the last element is the root.
struct FlatTree {
  std::vector<FlatElement> elements;
};

// The same tree with children held by value.
ElementRecord nest(FlatTree&& tree) noexcept;

}  // namespace tessary::storage
