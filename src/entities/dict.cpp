// Node.to_dict and Node.from_dict.
#include "entities/methods.h"
#include "entities/node.h"
#include "module/entry.h"

namespace tessary::entities {

PyObject* node_to_dict(PyObject*, PyObject*) {
  return module::entry([]() -> Result<Ref> { return Error::not_implemented("to_dict is not implemented yet"); });
}
PyObject* node_from_dict(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return module::entry([]() -> Result<Ref> { return Error::not_implemented("from_dict is not implemented yet"); });
}

}  // namespace tessary::entities
