#include "module/panic.h"

#include <cstdio>
#include <cstdlib>

namespace tessary::module {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // lives for the process; made under the interpreter lock
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tessary.PanicException",
        "Raised when tessary detects a violated internal invariant (a bug in tessary).",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void abort_uncaught_panic() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace tessary::module
