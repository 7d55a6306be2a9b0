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

}  // namespace tessary::storage
