// The module-level functions, implemented by the reader and the writer.
#pragma once

#include "module/pyref.h"

namespace tessary::module {

PyObject* py_read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_read_string(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_write_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_write_string(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tessary::module
