// read_string and read_file: the Python halves of the reader.
#include "module/entry.h"
#include "module/functions.h"

namespace tessary::module {

PyObject* py_read_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return entry([]() -> Result<Ref> { return Error::not_implemented("read_file is not implemented yet"); });
}
PyObject* py_read_string(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return entry([]() -> Result<Ref> { return Error::not_implemented("read_string is not implemented yet"); });
}

}  // namespace tessary::module
