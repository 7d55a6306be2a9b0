#include "module/panic.h"

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

}  // namespace tessary::module
