#include "write/snapshot.h"

#include <utility>
#include <vector>

#include "entities/node.h"

namespace tessary::write {

using entities::NodeObject;
using entities::SharedBorrow;
using storage::ElementRecord;

namespace {

// Copies a node's own fields; its children are copied by the caller's walk.
void copy_fields(ElementRecord& to, const NodeObject* from) {
  to.name = from->name.copy();
  to.text = from->text.copy();
  to.attrs = from->attrs.copy();
  // Reserved up front: records are filled in place and must not move while their subtree is
  // being copied.
  to.children.reserve(static_cast<size_t>(from->child_count));
}

}  // namespace

module::Result<ElementRecord> snapshot_tree(PyObject* node) {
  if (!entities::is_node(node)) return module::type_mismatch(node, "Node");
  struct Frame {
    const NodeObject* node;
    ElementRecord* record;
    Py_ssize_t next;
    SharedBorrow borrow;  // empty for the root, which the caller keeps borrowed
  };
  ElementRecord root;
  const NodeObject* n = entities::as_node(node);
  copy_fields(root, n);
  if (n->child_count == 0) return root;
  std::vector<Frame> stack;
  stack.push_back({n, &root, 0, SharedBorrow()});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.node->child_count) {
      stack.pop_back();
      continue;
    }
    PyObject* child = f.node->children[f.next++];
    module::Result<SharedBorrow> b = entities::borrow_node(child);
    if (!b) return b.take_error();  // `root` and what was copied so far are released
    ElementRecord& rec = f.record->children.emplace_back();
    const NodeObject* c = entities::as_node(child);
    copy_fields(rec, c);
    if (c->child_count > 0) stack.push_back({c, &rec, 0, std::move(*b)});
  }
  return root;
}

}  // namespace tessary::write
