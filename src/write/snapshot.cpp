#include "write/snapshot.h"

#include <utility>

#include "entities/node.h"

namespace tessary::write {

using entities::NodeObject;
using entities::SharedBorrow;

namespace {

// Appends the element of `n`. False when a text range is not valid.
bool add(Snapshot& s, const NodeObject* n) {
  std::string_view name, text;
  unsigned name_edges = 0, text_edges = 0;
  if (!n->name.bounded_view(&name, &name_edges)) return false;
  const bool has_text = n->text.present();
  if (has_text && !n->text.bounded_view(&text, &text_edges)) return false;
  // Attribute ranges are checked as they are written (the serializer reads them there anyway).
  s.elements.push_back({name.data(), name.size(), text.data(), text.size(), n->attrs.view(),
                        static_cast<uint64_t>(n->child_count()), has_text,
                        static_cast<uint8_t>(name_edges | (text_edges << 2))});
  // Two tags, the text, a line feed and a typical size per attribute (which saves visiting them).
  s.size_hint += 2 * name.size() + 6 + text.size() + 20 * uint64_t{n->attrs.size()};
  const uint8_t maxima[4] = {s.max_byte, n->name.max_byte(), n->text.max_byte(), n->attrs.max_byte()};
  for (uint8_t m : maxima) s.max_byte = m > s.max_byte ? m : s.max_byte;
  return true;
}

}  // namespace

module::Result<Snapshot> snapshot_tree(PyObject* node) {
  if (!entities::is_node(node)) return module::type_mismatch(node, "Node");
  struct Frame {
    const NodeObject* node;
    Py_ssize_t next;
    SharedBorrow borrow;  // empty for the root, which the caller keeps borrowed
  };
  Snapshot s;
  const NodeObject* root = entities::as_node(node);
  if (!add(s, root)) return module::fault(module::Fault::BadTextRange);
  if (root->child_count() == 0) return s;
  std::vector<Frame> stack;
  stack.push_back({root, 0, SharedBorrow()});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.node->child_count()) {
      stack.pop_back();
      continue;
    }
    PyObject* child = f.node->children()[f.next++];
    module::Result<SharedBorrow> b = entities::borrow_node(child);
    if (!b) return b.take_error();
    const NodeObject* c = entities::as_node(child);
    if (!add(s, c)) return module::fault(module::Fault::BadTextRange);
    s.depth_sum += stack.size();
    if (c->child_count() > 0) stack.push_back({c, 0, std::move(*b)});
  }
  return s;
}

}  // namespace tessary::write
