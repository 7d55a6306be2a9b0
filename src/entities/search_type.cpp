// SearchType: the three-valued choice of what Node.search compares.
#include <new>

#include "entities/node.h"
#include "module/entry.h"

namespace tessary::entities {

namespace {

const char* const kMemberNames[] = {"Tag", "Attr", "Text"};

PyObject* search_type_repr(PyObject* self) {
  return module::entry([&]() -> Result<Ref> {
    Result<SharedBorrow> b = borrow_search_type(self);
    if (!b) return b.take_error();
    uint8_t v = reinterpret_cast<SearchTypeObject*>(self)->value;
    PyObject* s = PyUnicode_FromFormat("SearchType.%s", kMemberNames[v < 3 ? v : 2]);
    if (s == nullptr) return Error::fetch();
    return Ref::steal(s);
  });
}

PyObject* search_type_int(PyObject* self) {
  return module::entry([&]() -> Result<Ref> {
    Result<SharedBorrow> b = borrow_search_type(self);
    if (!b) return b.take_error();
    PyObject* r = PyLong_FromLong(reinterpret_cast<SearchTypeObject*>(self)->value);
    if (r == nullptr) return Error::fetch();
    return Ref::steal(r);
  });
}

PyObject* search_type_richcompare(PyObject* self, PyObject* other, int op) {
  return module::entry([&]() -> Result<Ref> {
    if (op != Py_EQ && op != Py_NE) return Ref::borrow(Py_NotImplemented);
    Result<SharedBorrow> b = borrow_search_type(self);
    if (!b) return b.take_error();
    const long mine = reinterpret_cast<SearchTypeObject*>(self)->value;
    long theirs;
    if (PyObject_TypeCheck(other, search_type_type())) {
      Result<SharedBorrow> ob = borrow_search_type(other);
      if (!ob) return ob.take_error();
      theirs = reinterpret_cast<SearchTypeObject*>(other)->value;
    } else {
      theirs = PyLong_AsLong(other);
      if (theirs == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return Ref::borrow(Py_NotImplemented);
      }
    }
    const bool eq = mine == theirs;
    return Ref::borrow((op == Py_EQ) == eq ? Py_True : Py_False);
  });
}

void search_type_dealloc(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  tp->tp_free(o);
  // An instance of a heap type holds a reference on its type, given back once it is freed.
  Ref::steal(reinterpret_cast<PyObject*>(tp));
}

PyType_Slot search_type_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(search_type_repr)},
    {Py_nb_int, reinterpret_cast<void*>(search_type_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(search_type_richcompare)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_type_dealloc)},
    {0, nullptr},
};

PyType_Spec search_type_spec = {
    "builtins.SearchType",
    sizeof(SearchTypeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    search_type_slots,
};

// The class with its three members, or null with an exception set.
Ref create() {
  Ref type = Ref::steal(PyType_FromSpec(&search_type_spec));
  if (!type) return type;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  for (uint8_t v = 0; v < 3; ++v) {
    Ref member = Ref::steal(tp->tp_alloc(tp, 0));
    if (!member) return Ref();
    auto* st = reinterpret_cast<SearchTypeObject*>(member.get());
    st->value = v;
    new (&st->borrow) std::atomic<int64_t>(0);
    // Members live for the process, held by the class dictionary.
    if (PyDict_SetItemString(tp->tp_dict, kMemberNames[v], member.get()) < 0) return Ref();
  }
  PyType_Modified(tp);
  return type;
}

}  // namespace

PyTypeObject* search_type_type() {
  static PyTypeObject* type = nullptr;  // created once per process, kept for its life
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(create().release());
  return type;
}

}  // namespace tessary::entities
