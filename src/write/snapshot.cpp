#include "write/snapshot.h"

#include <utility>
#include <vector>

#include "entities/node.h"

namespace tessary::write {

using entities::NodeObject;
using entities::SharedBorrow;
using storage::ElementRecord;

namespace {

// Copies a node's own fields; its children are copied by the caller's walk. Returns about how
// many bytes the element takes in the output before escaping and indentation (two tags, its
// text, a line feed, and a typical size per attribute, which saves visiting the attributes):
// only advice for sizing the output buffer.
uint64_t copy_fields(ElementRecord& to, const NodeObject* from) {
  uint64_t bytes = 2 * static_cast<uint64_t>(from->name.size()) + 6 + from->text.size() +
                   20 * static_cast<uint64_t>(from->attrs.size());
  to.name = from->name.copy();
  to.text = from->text.copy();
  // A node's map never changes, so the snapshot shares its table (counted) instead of copying
  // it: the same table, so the same order.
  to.attrs = from->attrs.share();
  // Reserved up front: records are filled in place and must not move while their subtree is
  // being copied.
  to.children.reserve(static_cast<size_t>(from->child_count()));
  return bytes;
}

}  // namespace

module::Result<ElementRecord> snapshot_tree(PyObject* node, uint64_t* size_hint) {
  if (!entities::is_node(node)) return module::type_mismatch(node, "Node");
  struct Frame {
    const NodeObject* node;
    ElementRecord* record;
    Py_ssize_t next;
    SharedBorrow borrow;  // empty for the root, which the caller keeps borrowed
  };
  ElementRecord root;
  const NodeObject* n = entities::as_node(node);
  // A tree read from one document shares that document's buffer: take the copies' references
  // on it in batches. The root node, borrowed by the caller, keeps the buffer alive meanwhile.
  storage::SourceBuffer::ReserveScope reserve(n->name.buffer());
  uint64_t bytes = copy_fields(root, n);
  if (size_hint != nullptr) *size_hint = bytes;
  if (n->child_count() == 0) return root;
  std::vector<Frame> stack;
  stack.push_back({n, &root, 0, SharedBorrow()});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.node->child_count()) {
      stack.pop_back();
      continue;
    }
    PyObject* child = f.node->children()[f.next++];
    module::Result<SharedBorrow> b = entities::borrow_node(child);
    if (!b) return b.take_error();  // `root` and what was copied so far are released
    ElementRecord& rec = f.record->children.emplace_back();
    const NodeObject* c = entities::as_node(child);
    bytes += copy_fields(rec, c);
    if (c->child_count() > 0) stack.push_back({c, &rec, 0, std::move(*b)});
  }
  if (size_hint != nullptr) *size_hint = bytes;
  return root;
}

}  // namespace tessary::write
