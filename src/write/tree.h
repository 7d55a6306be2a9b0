// The tree the writer reads: the Node objects themselves, read where they are, without the
// interpreter lock and without a copy. That is safe for the whole write call: the caller holds
// the root, every node holds its children, a node's name, text, attribute map and children never
// change while it lives, and the walk reads only those fields (never a reference count, never a
// Python API). Every child of a Node is a Node: the class admits no other.
//
// The serializer walks the tree with a stack of open elements (write/serializer.cpp): memory in
// proportion to the tree's depth only, so a write needs nothing of the size of the tree beyond
// its output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entities/node.h"

namespace tessary::write {

using Element = entities::NodeObject;

inline const Element* child_at(const Element* e, Py_ssize_t i) noexcept {
  return reinterpret_cast<const Element*>(e->children()[i]);
}

// Asks the processor to start loading what writing `e` reads first: the node, in which its
// fields and the head of its child array lie.
inline void prefetch_node(const Element* e) noexcept {
  __builtin_prefetch(e);
  __builtin_prefetch(reinterpret_cast<const char*>(e) + 64);
}

// Asks for all the memory of a small subtree. The reader makes an element's attribute table
// when the element starts and its node when it ends, both in the document's arena, so the
// subtree of a node with attributes lies between its table and the node itself, its descendants
// in the order the writer visits them. A node without attributes starts its subtree with that of
// its first child, whose node ends it: the range is taken to begin a little before that node,
// where a leaf child's own table would be. Up to 4 KiB is asked for, a line at a time; a node
// laid out any other way (made by hand, or a larger subtree) is left to the walk's other
// prefetches. Only advice: nothing is read from the range here.
inline void prefetch_subtree(const Element* e) noexcept {
  auto from = reinterpret_cast<uintptr_t>(e->attrs.table_address());
  const auto to = reinterpret_cast<uintptr_t>(e);
  if (from == 0) {
    if (e->child_count() == 0) return;
    from = reinterpret_cast<uintptr_t>(e->children()[0]) - 128;
  }
  if (from >= to || to - from > 4096) return;
  for (uintptr_t p = from; p < to; p += 64) __builtin_prefetch(reinterpret_cast<const void*>(p));
}

}  // namespace tessary::write
