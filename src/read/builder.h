// The tree builder: walks the structural index of a document in order, checks each piece of
// markup, parses start tags and their attributes, joins and decodes character data, and
// returns the tree (in post-order, storage::FlatTree) of the first element whose name is the
// requested root tag. Plain engine code: it never touches a Python object and runs without the
// interpreter lock.
#pragma once

#include <string_view>
#include <variant>

#include "read/read_error.h"
#include "storage/flat_tree.h"
#include "storage/source_buffer.h"

namespace tessary::read {

// The result of a build: the root's tree, or the first error found.
using BuildResult = std::variant<storage::FlatTree, ReadError>;

// Builds the tree of the first element named `root_tag` in the document held by `buffer`
// (the caller keeps its own reference on the buffer for the call).
BuildResult build_tree(storage::SourceBuffer* buffer, std::string_view root_tag) noexcept;

}  // namespace tessary::read
