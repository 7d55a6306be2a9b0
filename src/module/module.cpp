// The module definition: multi-phase initialisation with a single execution step that adds
// the two classes and the four functions, listing each name in __all__.
#include "entities/node.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/gil.h"
#include "module/pyref.h"

namespace tessary::module {

namespace {

PyMethodDef function_defs[] = {
    {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_file)),
     METH_FASTCALL | METH_KEYWORDS, "read_file(file_path, root_tag)\n--\n\n"},
    {"read_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_string)),
     METH_FASTCALL | METH_KEYWORDS, "read_string(xml_string, root_tag)\n--\n\n"},
    {"write_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_write_file)),
     METH_FASTCALL | METH_KEYWORDS, "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"},
    {"write_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_write_string)),
     METH_FASTCALL | METH_KEYWORDS, "write_string(node, indent=None, default_xml_def=None)\n--\n\n"},
};

// Appends `name` to __all__ (created when missing), then sets the attribute.
Status add(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return Error::fetch();
    all = fresh.get();
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return Error::fetch();
  if (!PyList_Check(all) || PyList_Append(all, text.get()) < 0) {
    PyErr_Clear();
    return fault(Fault::AllNotExtended);
  }
  if (PyObject_SetAttrString(module, name, value) < 0) return Error::fetch();
  return ok_status();
}

int exec_module(PyObject* module) {
  EntryScope scope;
  Status s = [&]() -> Status {
    if (!PyModule_Check(module)) return type_mismatch(module, "PyModule");
    PyObject* st = reinterpret_cast<PyObject*>(entities::search_type_type());
    if (st == nullptr) return Error::fetch();
    Status r = add(module, "SearchType", st);
    if (!r) return r;
    PyObject* node = reinterpret_cast<PyObject*>(entities::node_type());
    if (node == nullptr) return Error::fetch();
    r = add(module, "Node", node);
    if (!r) return r;
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname) return Error::fetch();
    for (PyMethodDef& def : function_defs) {
      Ref fn = Ref::steal(PyCFunction_NewEx(&def, module, modname.get()));
      if (!fn) return Error::fetch();
      Ref name_obj = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
      if (!name_obj) return Error::fetch();
      const char* name = PyUnicode_AsUTF8(name_obj.get());
      if (name == nullptr) return Error::fetch();
      r = add(module, name, fn.get());
      if (!r) return r;
    }
    return ok_status();
  }();
  if (s.ok()) return 0;
  raise(s.take_error());
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessary",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tessary::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessary() {
  return PyModuleDef_Init(&tessary::module::module_def);
}
