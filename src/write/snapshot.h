// The writer's copy of a Node tree: engine-side records that no longer refer to any Python
// object, so the serializer can run without the interpreter lock.
#pragma once

#include <cstdint>

#include "module/errors.h"
#include "storage/element_record.h"

namespace tessary::write {

// Deep copy of the tree under `node` (a Node the caller holds a shared borrow of), taken with
// the interpreter lock held. Shared text ranges stay ranges (one more buffer reference each),
// attribute maps keep their table layout and so their order, and a Node that occurs several
// times is copied at every occurrence. Walks the tree with a work list, not recursion.
// `size_hint`, when given, receives an estimate of the output size (before escaping and
// indentation), used to size the output buffer once.
module::Result<storage::ElementRecord> snapshot_tree(PyObject* node, uint64_t* size_hint = nullptr);

}  // namespace tessary::write
