// Binding call arguments to parameter names, with the interpreter's own TypeError texts.
#pragma once

#include "module/errors.h"

namespace tessary::module {

struct Params {
  const char* function;    // e.g. "read_string" or "search"
  const char* class_name;  // null for module functions
  const char* const* names;
  int count;
  int required;
};

// "read_string()" or "Node.search()".
std::string full_name(const Params& p);

// Fills `slots` (count entries, borrowed, null for absent) from a vector call.
Status bind_vector(const Params& p, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** slots);
// Fills `slots` from an argument tuple and keyword dictionary (may be null).
Status bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots);

// True when the slot is absent or None.
inline bool is_none(PyObject* slot) { return slot == nullptr || slot == Py_None; }

}  // namespace tessary::module
