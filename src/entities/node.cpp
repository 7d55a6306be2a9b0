#include "entities/node.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "entities/methods.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/entry.h"
#include "module/grow.h"
#include "storage/stack.h"

namespace tessary::entities {

using module::entry;
using module::Params;
using storage::AttrMap;
using storage::SharedText;

namespace {

// Out of line, so that taking a borrow needs no stack frame for an error it never makes.
[[gnu::noinline, gnu::cold]] Result<SharedBorrow> borrow_refused() {
  return module::fault(module::Fault::AlreadyBorrowed);
}

}  // namespace

Result<SharedBorrow> SharedBorrow::take(std::atomic<int64_t>& counter, PyObject* obj) {
  int64_t cur = counter.load(std::memory_order_relaxed);
  for (;;) {
    if (cur == -1) return borrow_refused();
    if (counter.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed)) break;
  }
  SharedBorrow b;
  b.c_ = &counter;
  b.obj_ = obj;
  return b;
}

Result<SharedBorrow> borrow_node(PyObject* obj) {
  if (!is_node(obj)) return module::type_mismatch(obj, "Node");
  return SharedBorrow::take(as_node(obj)->borrow, obj);
}

Result<SharedBorrow> borrow_search_type(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, search_type_type())) return module::type_mismatch(obj, "SearchType");
  return SharedBorrow::take(reinterpret_cast<SearchTypeObject*>(obj)->borrow, obj);
}

Result<Ref> text_to_python(const SharedText& t) {
  if (t.is_chars()) {
    // Characters of the str the document was read from: copied as they are.
    const storage::SourceBuffer* b = t.buffer();
    const int width = b->char_width();
    PyObject* s = PyUnicode_FromKindAndData(width, static_cast<const char*>(b->chars()) + t.chars_start() * width,
                                            static_cast<Py_ssize_t>(t.chars_end() - t.chars_start()));
    if (s == nullptr) return Error::fetch();
    return Ref::steal(s);
  }
  std::string_view v;
  if (!t.checked_view(&v)) return module::fault(module::Fault::BadTextRange);
  return module::str_from_utf8(v, t.max_byte_bound());
}

namespace {

// make_node, inlined into the reader's loop that makes a node per element.
[[gnu::always_inline]] inline Result<Ref> new_node(SharedText&& name, AttrMap&& attrs, RefVector& children,
                                                   size_t first, SharedText&& text) {
  const auto count = static_cast<Py_ssize_t>(children.size() - first);
  PyTypeObject* tp = node_type();
  PyObject* o = tp ? tp->tp_alloc(tp, count) : nullptr;
  if (o == nullptr) return Error::fetch();
  NodeObject* n = as_node(o);
  new (&n->name) SharedText(std::move(name));
  new (&n->text) SharedText(std::move(text));
  children.move_tail_into(first, n->children());  // tp_alloc set the object's size to `count`
  new (&n->attrs) AttrMap(std::move(attrs));
  new (&n->borrow) std::atomic<int64_t>(0);
  n->document = nullptr;
  return Ref::steal(o);
}

// The reader writes storage::NodeFields where these fields are.
using storage::NodeFields;
using storage::NodeLayout;
static_assert(sizeof(PyVarObject) == NodeLayout::kFieldsOffset && offsetof(PyVarObject, ob_size) == 16,
              "an object header of three words: count, type, size");
static_assert(offsetof(NodeObject, name) == NodeLayout::kFieldsOffset + offsetof(NodeFields, name));
static_assert(offsetof(NodeObject, text) == NodeLayout::kFieldsOffset + offsetof(NodeFields, text));
static_assert(offsetof(NodeObject, attrs) == NodeLayout::kFieldsOffset + offsetof(NodeFields, attrs));
static_assert(offsetof(NodeObject, borrow) == NodeLayout::kFieldsOffset + offsetof(NodeFields, borrow));
static_assert(offsetof(NodeObject, document) == NodeLayout::kFieldsOffset + offsetof(NodeFields, document));
static_assert(sizeof(NodeObject) == NodeLayout::bytes(0));

}  // namespace

Result<Ref> make_node(SharedText name, AttrMap attrs, RefVector& children, size_t first, SharedText text) {
  return new_node(std::move(name), std::move(attrs), children, first, std::move(text));
}

const NodeLayout& arena_node_layout() {
  static const NodeLayout layout = [] {
    // The header of a new object of the class: one reference, the class. An object in an arena
    // is never freed on its own, so it is not made through tp_alloc; the reference each holds
    // on its class, as every instance of a heap type does, is taken for the whole tree at once
    // (adopt_arena_tree).
    PyVarObject h;
    std::memset(&h, 0, sizeof h);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&h), 1);
    Py_SET_TYPE(reinterpret_cast<PyObject*>(&h), node_type());
    NodeLayout l;
    std::memcpy(l.header, &h, sizeof l.header);
    return l;
  }();
  return layout;
}

Ref adopt_arena_tree(void* root, uint64_t nodes) {
  module::retain_n(reinterpret_cast<PyObject*>(node_type()), static_cast<Py_ssize_t>(nodes));
  return Ref::steal(static_cast<PyObject*>(root));
}

namespace {

// ---- destruction ----------------------------------------------------------------------------
// Nodes are not tracked by the cyclic collector, so the interpreter's trashcan does not limit
// the depth of nested deallocation. A node released while another is being destroyed on the
// same thread is queued and destroyed by the outer loop instead of recursing.
// Initial-exec TLS: a plain offset from the thread pointer, no __tls_get_addr call.
[[gnu::tls_model("initial-exec")]] thread_local bool destroying = false;
[[gnu::tls_model("initial-exec")]] thread_local storage::Stack<PyObject*>* deferred = nullptr;
// Nodes queued when `deferred` could not grow, linked through their borrow counters (which a
// node being destroyed no longer needs): destruction needs no memory to finish.
[[gnu::tls_model("initial-exec")]] thread_local PyObject* overflow = nullptr;

// Queues a node whose last reference is gone, to be destroyed by the loop in node_dealloc.
void queue_for_destruction(PyObject* o) {
  if (!deferred->push(o)) [[unlikely]] {
    as_node(o)->borrow.store(reinterpret_cast<intptr_t>(overflow), std::memory_order_relaxed);
    overflow = o;
  }
}

void destroy_one(PyObject* o, storage::ReleaseBatch& batch) {
  NodeObject* n = as_node(o);
  storage::SourceBuffer* doc = n->document;
  if (doc != nullptr && doc->tree_root() == n && !doc->nodes_shared()) {
    // The root of a parsed tree none of whose other nodes was ever handed out: each of those
    // is held by its parent alone and goes with it. Their references on the document and on
    // the class are given back at once, and the arena with the document frees their memory.
    batch.add_n(doc, doc->tree_nodes());
    module::release_n(reinterpret_cast<PyObject*>(Py_TYPE(o)), static_cast<Py_ssize_t>(doc->tree_nodes()));
    return;
  }
  // A child whose last reference this is goes straight onto the work list.
  PyObject* const* children = n->children();
  for (Py_ssize_t i = 0, count = n->child_count(); i < count; ++i) {
    if (module::release_unless_last(children[i])) queue_for_destruction(children[i]);
  }
  if (n->document != nullptr) {
    // A node in its document's arena: its texts and table hold nothing and its memory goes
    // with the arena, which the document keeps until its last node gives back its reference.
    batch.add(n->document);
    Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    return;
  }
  // Name, text and attributes of the nodes of one tree usually share one buffer: its
  // references are given back in runs.
  n->name.release_into(batch);
  n->text.release_into(batch);
  n->attrs.clear(batch);
  n->name.~SharedText();
  n->text.~SharedText();
  n->attrs.~AttrMap();
  n->borrow.~atomic();
  PyTypeObject* tp = Py_TYPE(o);
  tp->tp_free(o);
  // An instance of a heap type holds a reference on its type, given back once it is freed.
  Ref::steal(reinterpret_cast<PyObject*>(tp));
}

void node_dealloc(PyObject* o) {
  if (destroying) {
    queue_for_destruction(o);
    return;
  }
  module::EntryScope scope;
  destroying = true;
  // A stack that grows in pages of its own past a small size: freeing a large tree makes no
  // large request of the C library's allocator.
  storage::Stack<PyObject*> queue;
  deferred = &queue;
  {
    storage::ReleaseBatch batch;
    destroy_one(o, batch);
    for (;;) {
      while (!queue.empty()) {
        // The queued nodes of a large tree are scattered in memory: load ahead the node after
        // next, and the attribute table of the next one.
        const size_t left = queue.size();
        if (left >= 3) __builtin_prefetch(queue[left - 3]);
        if (left >= 2 && as_node(queue[left - 2])->document == nullptr) as_node(queue[left - 2])->attrs.prefetch_header();
        PyObject* next = queue.back();
        queue.pop();
        destroy_one(next, batch);
      }
      if (overflow == nullptr) break;
      PyObject* next = overflow;
      overflow = reinterpret_cast<PyObject*>(as_node(next)->borrow.load(std::memory_order_relaxed));
      destroy_one(next, batch);
    }
  }
  deferred = nullptr;
  destroying = false;
}

// ---- constructor ----------------------------------------------------------------------------
const char* const kNewNames[] = {"name", "attrs", "children", "text"};
const Params kNewParams{"__new__", "Node", kNewNames, 4, 1};

PyObject* node_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> Result<Ref> {
    PyObject* slots[4];
    module::Status bound = module::bind_tuple(kNewParams, args, kwargs, slots);
    if (!bound) return bound.take_error();
    Result<SharedText> name = module::text_copied(slots[0]);
    if (!name) return name.take_error().with_note("name");
    AttrMap attrs;
    if (!module::is_none(slots[1])) {
      Result<AttrMap> m = module::str_map(slots[1]);
      if (!m) return m.take_error().with_note("attrs");
      attrs = std::move(*m);
    }
    RefVector kids;
    if (!module::is_none(slots[2])) {
      Result<RefVector> seq = module::instance_sequence(slots[2], node_type(), "Node");
      if (!seq) return seq.take_error().with_note("children");
      kids = std::move(*seq);
    }
    SharedText text;
    if (!module::is_none(slots[3])) {
      Result<SharedText> t = module::text_copied(slots[3]);
      if (!t) return t.take_error().with_note("text");
      text = std::move(*t);
    }
    return make_node(std::move(*name), std::move(attrs), kids, 0, std::move(text));
  });
}

// ---- properties -----------------------------------------------------------------------------
template <class F>
PyObject* with_borrow(PyObject* self, F&& f) {
  return entry([&]() -> Result<Ref> {
    Result<SharedBorrow> b = borrow_node(self);
    if (!b) return b.take_error();
    return f(as_node(self));
  });
}

PyObject* get_name(PyObject* self, void*) {
  return with_borrow(self, [](NodeObject* n) { return text_to_python(n->name); });
}

PyObject* get_text(PyObject* self, void*) {
  return with_borrow(self, [](NodeObject* n) -> Result<Ref> {
    if (n->text.absent()) return Ref::borrow(Py_None);
    return text_to_python(n->text);
  });
}

PyObject* get_attrs(PyObject* self, void*) {
  return with_borrow(self, [](NodeObject* n) -> Result<Ref> {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return Error::fetch();
    for (const auto& e : n->attrs) {
      Result<Ref> k = text_to_python(e.key);
      if (!k) return k.take_error();
      Result<Ref> v = text_to_python(e.value);
      if (!v) return v.take_error();
      if (PyDict_SetItem(d.get(), k->get(), v->get()) < 0) return Error::fetch();
    }
    return d;
  });
}

PyObject* get_children(PyObject* self, void*) {
  return with_borrow(self, [](NodeObject* n) -> Result<Ref> {
    PyObject* l = PyList_New(n->child_count());
    if (l == nullptr) return Error::fetch();
    // The list takes over a new reference to each child. A parsed node's children are of its
    // document; a node made by hand may have children of any.
    if (n->document != nullptr) {
      note_shared(n);
    } else {
      for (Py_ssize_t i = 0; i < n->child_count(); ++i) note_shared(as_node(n->children()[i]));
    }
    for (Py_ssize_t i = 0; i < n->child_count(); ++i) PyList_SET_ITEM(l, i, Ref::borrow(n->children()[i]).release());
    return Ref::steal(l);
  });
}

PyGetSetDef node_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {"attrs", get_attrs, nullptr, nullptr, nullptr},
    {"children", get_children, nullptr, "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- printed form ---------------------------------------------------------------------------
// Built with an explicit stack: a node's lines, then each child's form between "\n" + prefix
// and "\n", with the child's width (W + 2) mod 256.
Result<Ref> printed_form(PyObject* root, uint8_t width) {
  struct Frame {
    NodeObject* node;
    uint8_t width;
    Py_ssize_t next;
    SharedBorrow borrow;
  };
  std::string out;
  std::vector<Frame> stack;
  auto enter = [&](PyObject* o, uint8_t w) -> module::Status {
    Result<SharedBorrow> b = borrow_node(o);
    if (!b) return b.take_error();
    NodeObject* n = as_node(o);
    std::string_view name;
    if (!n->name.checked_view(&name)) return module::fault(module::Fault::BadTextRange);
    out.append(w, ' ');
    out += "Name: ";
    out += name;
    for (const auto& e : n->attrs) {
      if (&e == &*n->attrs.begin()) {
        out += '\n';
        out.append(w, ' ');
        out += "Attributes:";
      }
      out += '\n';
      out.append(w, ' ');
      out += e.key.view();
      out += ": ";
      out += e.value.view();
    }
    if (n->text.present()) {
      out += '\n';
      out.append(w, ' ');
      out += "Text: ";
      if (n->text.is_chars()) {
        storage::for_each_utf8_piece(n->text, [&](std::string_view p) {
          out += p;
          return true;
        });
      } else {
        out += n->text.view();
      }
    }
    if (n->child_count() > 0) {
      out += '\n';
      out.append(w, ' ');
      out += "Children:";
    }
    stack.push_back({n, w, 0, std::move(*b)});
    return module::ok_status();
  };
  module::Status s = enter(root, width);
  if (!s) return s.take_error();
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next > 0) out += '\n';  // closes the previous child's form
    if (f.next < f.node->child_count()) {
      PyObject* child = f.node->children()[f.next++];
      out += '\n';
      out.append(f.width, ' ');
      s = enter(child, static_cast<uint8_t>(f.width + 2));
      if (!s) return s.take_error();
      continue;
    }
    stack.pop_back();
  }
  PyObject* str = PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  if (str == nullptr) return Error::fetch();
  return Ref::steal(str);
}

PyObject* node_str(PyObject* self) {
  return entry([&]() -> Result<Ref> { return printed_form(self, 0); });
}

PyObject* node_repr(PyObject* self) {
  return with_borrow(self, [](NodeObject* n) -> Result<Ref> {
    std::string_view name;
    if (!n->name.checked_view(&name)) return module::fault(module::Fault::BadTextRange);
    std::string s = "Node(";
    s += name;
    s += ")";
    PyObject* r = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (r == nullptr) return Error::fetch();
    return Ref::steal(r);
  });
}

const char* const kToStringNames[] = {"spacing"};
const Params kToStringParams{"__to_string", "Node", kToStringNames, 1, 0};

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry([&]() -> Result<Ref> {
    PyObject* slots[1];
    module::Status bound = module::bind_vector(kToStringParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    uint8_t width = 0;
    if (!module::is_none(slots[0])) {
      Result<uint8_t> w = module::to_u8(slots[0]);
      if (!w) return w.take_error().with_note("spacing");
      width = *w;
    }
    return printed_form(self, width);
  });
}

PyMethodDef node_methods[] = {
    {"__to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_to_string)),
     METH_FASTCALL | METH_KEYWORDS, "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search_by_name)),
     METH_FASTCALL | METH_KEYWORDS, "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search_by_attr)),
     METH_FASTCALL | METH_KEYWORDS, "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search_by_text)),
     METH_FASTCALL | METH_KEYWORDS, "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search)),
     METH_FASTCALL | METH_KEYWORDS, "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_from_dict)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", node_to_dict, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "builtins.Node",
    sizeof(NodeObject),
    sizeof(PyObject*),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    node_slots,
};

}  // namespace

PyTypeObject* node_type() {
  static PyTypeObject* type = nullptr;  // created once per process, kept for its life
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&node_spec));
  return type;
}

}  // namespace tessary::entities
