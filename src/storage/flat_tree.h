// The reader's result: the elements of one tree laid out in post-order, every element after
// all of its descendants. The children of an element are the `child_count` subtrees that end
// just before it, in document order. A whole tree is one allocation, given back as one, and
// converting it into Nodes bottom-up needs only a stack of finished results.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/attr_map.h"
#include "storage/shared_text.h"

namespace tessary::storage {

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

}  // namespace tessary::storage
