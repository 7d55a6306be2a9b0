#include "module/binding.h"

#include <string_view>

namespace tessary::module {

std::string full_name(const Params& p) {
  if (p.class_name != nullptr) return std::string(p.class_name) + "." + p.function + "()";
  return std::string(p.function) + "()";
}

namespace {

Error too_many_positional(const Params& p, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  std::string m = full_name(p) + " takes ";
  if (p.required == p.count) {
    m += std::to_string(p.count);
  } else {
    m += "from " + std::to_string(p.required) + " to " + std::to_string(p.count);
  }
  m += " positional arguments but " + std::to_string(given) + " " + verb + " given";
  return Error::type(std::move(m));
}

// Matches one keyword; returns an error for an unknown or repeated name.
Status bind_keyword(const Params& p, PyObject* key, PyObject* value, PyObject** slots) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
  if (s == nullptr) {
    if (PyErr_Occurred()) return Error::fetch();
    return Error::type(full_name(p) + " keywords must be strings");
  }
  std::string_view name(s, static_cast<size_t>(n));
  for (int i = 0; i < p.count; ++i) {
    if (name == p.names[i]) {
      if (slots[i] != nullptr) {
        return Error::type(full_name(p) + " got multiple values for argument '" + std::string(name) + "'");
      }
      slots[i] = value;
      return ok_status();
    }
  }
  return Error::type(full_name(p) + " got an unexpected keyword argument '" + std::string(name) + "'");
}

Status check_missing(const Params& p, PyObject** slots) {
  int missing[16];
  int n = 0;
  for (int i = 0; i < p.required; ++i) {
    if (slots[i] == nullptr) missing[n++] = i;
  }
  if (n == 0) return ok_status();
  std::string m = full_name(p) + " missing " + std::to_string(n) + " required positional " +
                  (n == 1 ? "argument" : "arguments") + ": ";
  for (int k = 0; k < n; ++k) {
    if (k > 0) m += (k == n - 1) ? " and " : ", ";
    m += "'";
    m += p.names[missing[k]];
    m += "'";
  }
  return Error::type(std::move(m));
}

}  // namespace

Status bind_vector(const Params& p, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** slots) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  for (int i = 0; i < p.count; ++i) slots[i] = nullptr;
  if (nargs > p.count) return too_many_positional(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      Status s = bind_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
      if (!s) return s;
    }
  }
  return check_missing(p, slots);
}

Status bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (int i = 0; i < p.count; ++i) slots[i] = nullptr;
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > p.count) return too_many_positional(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Status s = bind_keyword(p, key, value, slots);
      if (!s) return s;
    }
  }
  return check_missing(p, slots);
}

}  // namespace tessary::module
