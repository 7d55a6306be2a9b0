// write_string and write_file: the Python halves of the writer.
#include "module/entry.h"
#include "module/functions.h"

namespace tessary::module {

PyObject* py_write_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return entry([]() -> Result<Ref> { return Error::not_implemented("write_file is not implemented yet"); });
}
PyObject* py_write_string(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return entry([]() -> Result<Ref> { return Error::not_implemented("write_string is not implemented yet"); });
}

}  // namespace tessary::module
