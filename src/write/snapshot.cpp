#include "write/snapshot.h"

#include <utility>

#include "entities/node.h"
#include "index/utf8.h"

namespace tessary::write {

using entities::NodeObject;
using entities::SharedBorrow;
using storage::SharedText;

namespace {

inline uint8_t top_of(const SharedText& t, std::string_view bytes, uint8_t top) {
  if (t.is_shared()) {
    const uint8_t b = t.buffer()->top_byte();
    return b > top ? b : top;
  }
  // Owned text: its bytes. Past 0xF0 nothing can change the kind any more.
  if (top >= 0xF0 || bytes.empty()) return top;
  const uint8_t b = index::measure_utf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).max_byte;
  return b > top ? b : top;
}

// Appends the element of `n`. False when a text range is not valid.
bool add(Snapshot& s, const NodeObject* n) {
  std::string_view name, text;
  if (!n->name.checked_view(&name)) return false;
  const bool has_text = n->text.present();
  if (has_text && !n->text.checked_view(&text)) return false;
  // Attribute ranges are checked as they are written (the serializer reads them there anyway).
  s.elements.push_back({name.data(), name.size(), text.data(), text.size(), n->attrs.view(),
                        static_cast<uint64_t>(n->child_count()), has_text});
  // Two tags, the text, a line feed and a typical size per attribute (which saves visiting them).
  s.size_hint += 2 * name.size() + 6 + text.size() + 20 * uint64_t{n->attrs.size()};
  uint8_t top = top_of(n->name, name, s.top_byte);
  if (has_text) top = top_of(n->text, text, top);
  const uint8_t a = n->attrs.top_byte();
  s.top_byte = a > top ? a : top;
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
  if (!add(s, root)) return module::Error::panic("text range lies outside its buffer or splits a character");
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
    if (!add(s, c)) return module::Error::panic("text range lies outside its buffer or splits a character");
    s.depth_sum += stack.size();
    if (c->child_count() > 0) stack.push_back({c, 0, std::move(*b)});
  }
  return s;
}

}  // namespace tessary::write
