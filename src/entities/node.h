// The Node class: one immutable XML element as a Python object, and SearchType.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/errors.h"
#include "storage/attr_map.h"
#include "storage/node_fields.h"
#include "storage/shared_text.h"

namespace tessary::entities {

using module::Error;
using module::Ref;
using module::RefVector;
using module::Result;

// The record inside a Node: name, text and attributes, the borrow counter, the document whose
// arena holds the node (if any), then the children as strong references to other Node objects
// (shared, never copied). The child references are stored inline, after the fixed fields (a
// variable-size object), so a node costs one allocation whatever its number of children, or
// none when the reader made it in its document's arena; the node releases them when it is
// destroyed. The fields are those of storage::NodeFields, at the place storage::NodeLayout
// gives them, which is how the reader writes nodes without the interpreter (node.cpp checks
// that the two agree).
struct NodeObject {
  PyObject_VAR_HEAD
  storage::SharedText name;
  storage::SharedText text;
  storage::AttrMap attrs;
  std::atomic<int64_t> borrow;  // active shared borrows; -1 would be an exclusive borrow
  storage::SourceBuffer* document;  // the arena's document, or null for a node of its own
  // The child references follow the fixed fields; their number is the object's size.

  Py_ssize_t child_count() const noexcept { return ob_base.ob_size; }
  PyObject** children() noexcept { return reinterpret_cast<PyObject**>(this + 1); }
  PyObject* const* children() const noexcept { return reinterpret_cast<PyObject* const*>(this + 1); }
};

struct SearchTypeObject {
  PyObject_HEAD
  uint8_t value;
  std::atomic<int64_t> borrow;
};

// The class objects, created once per process on first use (borrowed; null with an error set
// when creation failed).
PyTypeObject* node_type();
PyTypeObject* search_type_type();

inline bool is_node(PyObject* o) { return PyObject_TypeCheck(o, node_type()); }
inline NodeObject* as_node(PyObject* o) { return reinterpret_cast<NodeObject*>(o); }

// A shared borrow of a Node or SearchType, given back on destruction.
class SharedBorrow {
 public:
  SharedBorrow() noexcept = default;
  // Fails only when the object is exclusively borrowed, which no operation does.
  static Result<SharedBorrow> take(std::atomic<int64_t>& counter, PyObject* obj);
  SharedBorrow(SharedBorrow&& o) noexcept : c_(o.c_), obj_(o.obj_) { o.c_ = nullptr; o.obj_ = nullptr; }
  SharedBorrow& operator=(SharedBorrow&& o) noexcept {
    if (this != &o) { reset(); c_ = o.c_; obj_ = o.obj_; o.c_ = nullptr; o.obj_ = nullptr; }
    return *this;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { reset(); }
  void reset() noexcept { if (c_) { c_->fetch_sub(1, std::memory_order_release); c_ = nullptr; } obj_ = nullptr; }
  PyObject* object() const noexcept { return obj_; }  // borrowed

 private:
  std::atomic<int64_t>* c_ = nullptr;
  PyObject* obj_ = nullptr;
};

// The class-instance conversion: a Node (subclasses included) taken with a shared borrow, or
// the type mismatch naming "Node".
Result<SharedBorrow> borrow_node(PyObject* obj);
Result<SharedBorrow> borrow_search_type(PyObject* obj);

// A new Node owning the given parts, whose children are the references of `children` from
// `first` on: they move into the node, leaving the vector `first` long. On failure they stay in
// the vector, for its owner to release.
Result<Ref> make_node(storage::SharedText name, storage::AttrMap attrs, module::RefVector& children, size_t first,
                      storage::SharedText text);

// How the reader lays out Node objects in a document's arena: the object header words that
// make that memory a Node (read once, with the interpreter lock held, then used without it).
const storage::NodeLayout& arena_node_layout();

// The root of a tree of `nodes` nodes the reader built in a document's arena (objects laid out
// with arena_node_layout()), as an owned reference.
Ref adopt_arena_tree(void* root, uint64_t nodes);

// Records that `n` is handed to other code: from then on its tree's nodes are released one at
// a time, as their references say. Every way a node other than a root reaches Python code
// (a list of children, search results) calls this.
inline void note_shared(const NodeObject* n) noexcept {
  if (n->document != nullptr) n->document->note_node_shared();
}

// A new Python str with the text (which must be present); checks shared ranges.
Result<Ref> text_to_python(const storage::SharedText& t);

}  // namespace tessary::entities
