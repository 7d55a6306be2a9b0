// Ownership of Python references made visible at each call site: `Ref` owns one strong
// reference and releases it on destruction; a raw PyObject* is always a borrowed reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

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

}  // namespace tessary::module
