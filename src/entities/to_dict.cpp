// Node.to_dict: a Node tree as nested dictionaries of the shape
// {"name": str, "attrs": {str: str}, "children": [dict, ...], "text": str | None}.
#include <cstdint>
#include <utility>
#include <vector>

#include "entities/dict_keys.h"
#include "entities/key_order.h"
#include "entities/methods.h"
#include "entities/node.h"
#include "entities/str_cache.h"
#include "module/entry.h"

namespace tessary::entities {

namespace {

using storage::AttrEntry;

// The four key strings of the dictionaries to_dict makes, created once per process and kept.
// Reusing them instead of making four new str objects per node is not observable: they are
// equal strs, and str identity is not something the interpreter itself keeps stable (it shares
// one-character and interned strings freely).
Result<PyObject* const*> key_objects() {
  static PyObject* keys[4] = {nullptr, nullptr, nullptr, nullptr};  // kept for the process
  if (keys[3] == nullptr) {
    for (int i = 0; i < 4; ++i) {
      if (keys[i] != nullptr) continue;
      keys[i] = PyUnicode_InternFromString(kFieldNames[i].data());
      if (keys[i] == nullptr) return Error::fetch();
    }
  }
  return static_cast<PyObject* const*>(keys);
}

// A new dict sized for `n` entries.
PyObject* presized_dict(size_t n) {
#if PY_VERSION_HEX < 0x030E0000
  return n > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(n)) : PyDict_New();
#else
  (void)n;
  return PyDict_New();
#endif
}

// What every node's dictionary is made with, for one conversion.
struct Context {
  PyObject* const* keys;  // the four key strings
  FreshOrder order;
  StrCache strs;
  std::vector<const AttrEntry*> entries;  // scratch for one node's attributes
};

// One node's "attrs" dictionary. Its keys are listed in the order a freshly seeded table
// receiving the node map's attributes in the node map's own order, sized for their count,
// would list them.
Result<Ref> attrs_dict(const NodeObject* n, Context& cx) {
  const size_t count = n->attrs.size();
  Ref attrs = Ref::steal(presized_dict(count));
  if (!attrs) return Error::fetch();
  auto put = [&](const AttrEntry& e) -> module::Status {
    Result<Ref> k = cx.strs.get(e.key);
    if (!k) return k.take_error();
    Result<Ref> v = text_to_python(e.value);
    if (!v) return v.take_error();
    if (PyDict_SetItem(attrs.get(), k->get(), v->get()) < 0) return Error::fetch();
    return module::ok_status();
  };
  if (count == 1) {
    module::Status s = put(*n->attrs.begin());
    if (!s) return s.take_error();
  } else if (count > 1) {
    cx.entries.clear();
    for (const AttrEntry& e : n->attrs) cx.entries.push_back(&e);
    for (uint32_t i : cx.order.compute(cx.entries.size())) {
      module::Status s = put(*cx.entries[i]);
      if (!s) return s.take_error();
    }
  }
  return attrs;
}

// The dictionary of one node whose children's dictionaries are the entries of `pending` from
// `base` on (they move into its "children" list).
//
// The intermediate string maps are skipped: the Python objects are made straight from the
// node's record. What stays observable is kept exactly: each dictionary lists its keys in the
// order a freshly seeded map would, and every str is made from the record's text.
Result<Ref> node_dict(const NodeObject* n, RefVector& pending, size_t base, Context& cx) {
  Ref children = pending.take_list(base);
  if (!children) return Error::fetch();
  Result<Ref> name = cx.strs.get(n->name);
  if (!name) return name.take_error();
  Result<Ref> attrs = attrs_dict(n, cx);
  if (!attrs) return attrs.take_error();
  Ref text;
  if (n->text.absent()) {
    text = Ref::borrow(Py_None);
  } else {
    Result<Ref> t = text_to_python(n->text);
    if (!t) return t.take_error();
    text = std::move(*t);
  }
  PyObject* values[4] = {name->get(), attrs->get(), children.get(), text.get()};
  Ref d = Ref::steal(PyDict_New());
  if (!d) return Error::fetch();
  for (uint8_t i : FreshOrder::four()) {
    if (PyDict_SetItem(d.get(), cx.keys[i], values[i]) < 0) return Error::fetch();
  }
  return d;
}

// A node on the current path: its shared borrow and a temporary reference are held until its
// subtree is converted, so the borrows nest along the path.
struct DictFrame {
  NodeObject* node;
  Py_ssize_t next;
  size_t base;  // where this node's children's dictionaries start in `pending`
  SharedBorrow borrow;
  Ref hold;
};

// Children before parents, with an explicit stack so that any depth works; children lists keep
// the children's order.
Result<Ref> to_dict(PyObject* self, SharedBorrow root_borrow) {
  Result<PyObject* const*> keys = key_objects();
  if (!keys) return keys.take_error();
  Context cx{*keys, {}, {}, {}};
  RefVector pending;  // finished dictionaries awaiting their parent's list
  std::vector<DictFrame> stack;
  stack.push_back({as_node(self), 0, 0, std::move(root_borrow), Ref::borrow(self)});
  while (!stack.empty()) {
    DictFrame& f = stack.back();
    if (f.next < f.node->child_count()) {
      PyObject* child = f.node->children()[f.next++];
      Result<SharedBorrow> b = SharedBorrow::take(as_node(child)->borrow, child);
      if (!b) return module::fault(module::Fault::BorrowRefusedInWalk);
      if (as_node(child)->child_count() == 0) {
        // A leaf needs no frame; its borrow ends with this block.
        Result<Ref> d = node_dict(as_node(child), pending, pending.size(), cx);
        if (!d) return d.take_error();
        pending.push(std::move(*d));
      } else {
        stack.push_back({as_node(child), 0, pending.size(), std::move(*b), Ref::borrow(child)});
      }
      continue;
    }
    Result<Ref> d = node_dict(f.node, pending, f.base, cx);
    if (!d) return d.take_error();
    stack.pop_back();
    pending.push(std::move(*d));
  }
  return pending.pop();
}

// The cyclic collector is paused while the dictionaries are built. They form a tree, so there is
// nothing for it to find among them, but every few hundred new containers it would scan them
// all again, which made most of the cost of converting a large tree. No Python code runs during
// the conversion, so the pause cannot be seen; the collector resumes, with the new objects
// counted, before the call returns.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
  return module::entry([&]() -> Result<Ref> {
    Result<SharedBorrow> b = borrow_node(self);
    if (!b) return b.take_error();
    CollectorPause pause;
    return to_dict(self, std::move(*b));
  });
}

}  // namespace tessary::entities
