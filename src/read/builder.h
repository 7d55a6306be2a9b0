// The tree builder: lexes a document (index/lexer.h) and, as each piece of markup is found,
// checks it, parses start tags and their attributes, joins and decodes character data, and
// writes the nodes of the first element whose name is the requested root tag straight into
// the document's arena (storage/node_fields.h), children before parents. Plain engine code: it
// never touches a Python object and runs without the interpreter lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "read/read_error.h"
#include "storage/node_fields.h"
#include "storage/source_buffer.h"

namespace tessary::read {

// A built tree: the root node's object address. Its nodes are in the arena the buffer now
// holds, and each holds one reference on the buffer.
struct BuiltTree {
  void* root = nullptr;
  uint64_t nodes = 0;  // how many nodes the tree has
};

// The result of a build: the root's tree, or the first error found.
using BuildResult = std::variant<BuiltTree, ReadError>;

// Builds the tree of the first element named `root_tag` in the document held by `buffer` (the
// caller keeps its own reference on the buffer for the call), its nodes laid out as `layout`
// says.
BuildResult build_tree(storage::SourceBuffer* buffer, std::string_view root_tag,
                       const storage::NodeLayout& layout) noexcept;

}  // namespace tessary::read
