// Ownership of Python references made visible at each call site: `Ref` owns one strong
// reference and releases it on destruction, `RefVector` owns a sequence of them; a raw
// PyObject* is always a borrowed reference. Every reference-count operation of the module is
// here, apart from the few places that say why they cannot be.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "module/grow.h"

namespace tessary::module {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes ownership of a new reference (may be null).
  static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) { PyObject* old = p_; p_ = o.p_; o.p_ = nullptr; Py_XDECREF(old); }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Gives the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { PyObject* o = p_; p_ = nullptr; return o; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Releases `n` strong references stored in an array that is not a RefVector: the child slots
// inside a Node, which the node owns for its whole life.
inline void release_each(PyObject* const* refs, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) Py_DECREF(refs[i]);
}

// Gives back one strong reference on `o`, unless it is the last one: then nothing is done and
// true returned, and the caller, which held that last reference, destroys `o` itself (a work
// list freeing a tree takes children over this way instead of through the interpreter's
// deallocation call for each).
[[gnu::always_inline]] inline bool release_unless_last(PyObject* o) noexcept {
  if (Py_REFCNT(o) == 1) {
    Py_SET_REFCNT(o, 0);
    return true;
  }
  Py_DECREF(o);
  return false;
}

// Takes `n` more strong references on `o` at once: those of objects laid out without the
// interpreter, which each hold one (the nodes of a parsed tree on their class).
inline void retain_n(PyObject* o, Py_ssize_t n) noexcept {
  if (n > 0) Py_SET_REFCNT(o, Py_REFCNT(o) + n);
}

// Gives back `n` strong references on `o` at once (the last one through the usual path, which
// destroys `o` when it was the last).
inline void release_n(PyObject* o, Py_ssize_t n) noexcept {
  if (n <= 0) return;
  Py_SET_REFCNT(o, Py_REFCNT(o) - (n - 1));
  Py_DECREF(o);
}

// Strong references in order, released on destruction unless moved out. Work lists of results
// awaiting their parent (a list being collected, the children of a node being built) keep
// their references here, so an early return on any path releases them.
class RefVector {
 public:
  RefVector() noexcept = default;
  RefVector(RefVector&& o) noexcept : refs_(std::move(o.refs_)) {}
  RefVector& operator=(RefVector&& o) noexcept {
    if (this != &o) {
      truncate(0);
      refs_ = std::move(o.refs_);
    }
    return *this;
  }
  RefVector(const RefVector&) = delete;
  RefVector& operator=(const RefVector&) = delete;
  ~RefVector() { truncate(0); }

  size_t size() const noexcept { return refs_.size(); }
  bool empty() const noexcept { return refs_.empty(); }
  void reserve(size_t n) { refs_.reserve(n); }
  // Borrowed views of the references held.
  PyObject* operator[](size_t i) const noexcept { return refs_[i]; }
  PyObject* const* data() const noexcept { return refs_.data(); }

  // Appends; when the vector cannot grow, std::bad_alloc leaves `r` owning its reference.
  void push(Ref r) {
    refs_.push_back(r.get());
    (void)r.release();  // the vector owns it now
  }
  // As push, but false (the reference released) when the vector cannot grow to hold it.
  [[nodiscard]] bool try_push(Ref r) noexcept {
    if (!try_push_back(refs_, r.get())) return false;  // `r` gives its reference back
    (void)r.release();                                  // the vector owns it now
    return true;
  }
  [[nodiscard]] bool try_reserve(size_t n) noexcept { return module::try_reserve(refs_, n); }
  // Takes a new reference to a borrowed object.
  void push_new(PyObject* o) {
    refs_.push_back(o);
    Py_INCREF(o);
  }
  Ref pop() noexcept {
    Ref r = Ref::steal(refs_.back());
    refs_.pop_back();
    return r;
  }
  // Releases the references from `base` on.
  void truncate(size_t base) noexcept {
    for (size_t i = base; i < refs_.size(); ++i) Py_DECREF(refs_[i]);
    refs_.resize(base < refs_.size() ? base : refs_.size());
  }
  // Moves the references from `base` on into `dest` (room for size() - base pointers), whose
  // owner releases them from then on; they leave this vector.
  void move_tail_into(size_t base, PyObject** dest) noexcept {
    PyObject* const* src = refs_.data() + base;
    const size_t n = refs_.size() - base;
    for (size_t i = 0; i < n; ++i) dest[i] = src[i];  // most nodes have a handful of children
    refs_.erase(refs_.begin() + static_cast<std::ptrdiff_t>(base), refs_.end());
  }
  // A new list of the references from `base` on, which move into it; null with an exception
  // set when the list cannot be made (the references then stay here).
  Ref take_list(size_t base = 0) noexcept {
    const size_t n = refs_.size() - base;
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
    if (l == nullptr) return Ref();
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), refs_[base + i]);
    refs_.erase(refs_.begin() + static_cast<std::ptrdiff_t>(base), refs_.end());
    return Ref::steal(l);
  }

 private:
  std::vector<PyObject*> refs_;
};

}  // namespace tessary::module
