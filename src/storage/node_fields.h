// What every Node holds after its object header, and how the reader lays nodes out in a
// document's arena.
//
// A node made from Python (the constructor, from_dict) is an object of its own: it owns its
// texts and attribute table, and holds one reference on each child. A node made by the reader
// lives in its document's arena (storage/arena.h), written there in post-order while the
// document is parsed, without the interpreter lock: its texts are ranges of the document that
// hold no reference (SharedText::shared_unowned) or bytes in the arena (SharedText::unowned),
// its attribute table is in the arena, and the node itself holds one reference on the document,
// which keeps the arena. Such a node is released by giving back its children and that one
// reference; its memory goes with the arena.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "storage/attr_map.h"
#include "storage/shared_text.h"
#include "storage/source_buffer.h"

namespace tessary::storage {

struct NodeFields {
  SharedText name;
  SharedText text;  // absent when the element has none
  AttrMap attrs;
  std::atomic<int64_t> borrow;  // active shared borrows; -1 would be an exclusive borrow
  // The document whose arena holds this node (the node holds one reference on it), or null for
  // a node allocated on its own.
  SourceBuffer* document;
};

// A node in an arena: the object header (kHeaderWords words: the two the module layer gives,
// which make the memory an object of the Node class, then the number of children), the fields,
// then the children's object addresses.
struct NodeLayout {
  static constexpr size_t kHeaderWords = 3;
  uint64_t header[2] = {0, 0};

  static constexpr size_t kFieldsOffset = 8 * kHeaderWords;
  static constexpr size_t bytes(size_t children) noexcept {
    return kFieldsOffset + sizeof(NodeFields) + 8 * children;
  }
};

}  // namespace tessary::storage
