// Node.search_by_name, search_by_attr, search_by_text and search.
#include "entities/methods.h"
#include "entities/node.h"
#include "module/entry.h"

namespace tessary::entities {

namespace {
PyObject* not_yet() {
  return module::entry([]() -> Result<Ref> { return Error::not_implemented("search is not implemented yet"); });
}
}  // namespace

PyObject* node_search_by_name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search_by_attr(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search_by_text(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }

}  // namespace tessary::entities
