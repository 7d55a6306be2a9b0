#include "module/convert.h"

#include <climits>
#include <cstring>

#include "index/utf8.h"

namespace tessary::module {

Result<std::string_view> text_kept(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) return Error::fetch();
  return std::string_view(s, static_cast<size_t>(n));
}

Result<storage::SharedText> text_copied(PyObject* obj) {
  Result<std::string_view> v = text_kept(obj);
  if (!v) return v.take_error();
  storage::SharedText copy = storage::SharedText::owned(*v, str_max_byte_bound(obj));
  if (copy.size() != v->size()) return fault(Fault::OutOfMemory);  // the copy could not be made
  return copy;
}

uint8_t str_max_byte_bound(PyObject* str) {
  if (PyUnicode_IS_ASCII(str)) return 0x7F;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return 0xC3;
    case PyUnicode_2BYTE_KIND: return 0xEF;
    default: return 0xF4;
  }
}

Result<Ref> canonical_str(Ref s, uint32_t bits) {
  const Py_UCS4 had = PyUnicode_MAX_CHAR_VALUE(s.get());
  if (max_char_for_bits(bits) == had) return s;
  // Narrower than the kind it was made with (text spelt with overlong forms, or a bound that was
  // only an upper bound): the interpreter copies it into the right kind.
  PyObject* n = PyUnicode_FromKindAndData(PyUnicode_KIND(s.get()), PyUnicode_DATA(s.get()), PyUnicode_GET_LENGTH(s.get()));
  if (n == nullptr) return Error::fetch();
  return Ref::steal(n);
}

namespace {

Result<Ref> ascii_str(const char* p, size_t n) {
  // No character or one: the interpreter's shared empty and single-character strings (an empty
  // text may have no bytes at all to point at).
  PyObject* s = n == 0 ? PyUnicode_New(0, 0)
                : n == 1 ? PyUnicode_FromStringAndSize(p, 1)
                         : PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s == nullptr) return Error::fetch();
  if (n > 1) std::memcpy(PyUnicode_DATA(s), p, n);
  return Ref::steal(s);
}

}  // namespace

Result<Ref> str_from_utf8(std::string_view text, uint8_t max_byte_bound) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  if (max_byte_bound >= 0x80 && n <= 32) {
    // Short texts: an inline look for non-ASCII bytes costs less than measuring.
    uint8_t any = 0;
    for (size_t i = 0; i < n; ++i) any |= p[i];
    if (any < 0x80) max_byte_bound = 0x7F;
  }
  if (max_byte_bound < 0x80) return ascii_str(text.data(), n);
  const index::Utf8Shape shape = index::measure_utf8(p, n);
  if (shape.max_byte < 0x80) return ascii_str(text.data(), n);
  const unsigned width = index::unit_width_for(shape.max_byte);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), max_char_for_width(width));
  if (s == nullptr) return Error::fetch();
  Ref owned = Ref::steal(s);
  const index::Utf8Decoded r = index::decode_utf8(p, n, PyUnicode_DATA(s), width, shape.chars);
  if (!r.ok || r.units != shape.chars) return fault(Fault::TextNotUtf8);
  return canonical_str(std::move(owned), r.bits);
}

namespace {

// PyLong_AsLong, then the target range.
Result<long> bounded_long(PyObject* obj, long lo, long hi) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return Error::fetch();
  if (v > hi) return fault(Fault::NumberTooLarge);
  if (v < lo) return fault(Fault::NumberTooSmall);
  return v;
}

}  // namespace

Result<uint8_t> to_u8(PyObject* obj) {
  Result<long> v = bounded_long(obj, 0, 255);
  if (!v) return v.take_error();
  return static_cast<uint8_t>(*v);
}

Result<int32_t> to_i32(PyObject* obj) {
  Result<long> v = bounded_long(obj, INT32_MIN, INT32_MAX);
  if (!v) return v.take_error();
  return static_cast<int32_t>(*v);
}

Result<uint64_t> to_u64(PyObject* obj) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return Error::fetch();
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
  return static_cast<uint64_t>(v);
}

Result<bool> to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* t = Py_TYPE(obj);
  // numpy's bool scalar: module "numpy", name "bool" or "bool_".
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  if (!module) PyErr_Clear();
  const char* mod = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  if (mod == nullptr) PyErr_Clear();
  const char* dot = std::strrchr(t->tp_name, '.');
  const char* name = dot ? dot + 1 : t->tp_name;
  if (mod != nullptr && std::strcmp(mod, "numpy") == 0 &&
      (std::strcmp(name, "bool") == 0 || std::strcmp(name, "bool_") == 0)) {
    if (t->tp_as_number == nullptr || t->tp_as_number->nb_bool == nullptr) {
      return Error::type(std::string("object of type '") + t->tp_name +
                         "' does not define a '__bool__' conversion");
    }
    int r = t->tp_as_number->nb_bool(obj);
    if (r < 0) return Error::fetch();
    return r != 0;
  }
  return type_mismatch(obj, "bool");
}

Result<RefVector> instance_sequence(PyObject* obj, PyTypeObject* type, const char* type_name) {
  if (PyUnicode_Check(obj)) return fault(Fault::StrNotSequence);
  if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
  RefVector out;
  // An exact list or tuple knows its length, and nothing below runs Python code that could
  // change it; any other sequence's __len__ is only a hint (see presize_from_hint).
  size_t room;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    room = static_cast<size_t>(PyList_CheckExact(obj) ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj));
  } else {
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) PyErr_Clear();  // no length: start empty and grow
    room = presize_from_hint(n);
  }
  if (!out.try_reserve(room)) return fault(Fault::OutOfMemory);
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return Error::fetch();
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) return Error::fetch();
      break;
    }
    if (!PyObject_TypeCheck(item.get(), type)) return type_mismatch(item.get(), type_name);
    if (!out.try_push(std::move(item))) return fault(Fault::OutOfMemory);
  }
  return out;
}

Result<storage::AttrMap> str_map(PyObject* obj) {
  if (!PyDict_Check(obj)) return type_mismatch(obj, "dict");
  storage::AttrMap map(static_cast<size_t>(PyDict_GET_SIZE(obj)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    Result<storage::SharedText> k = text_copied(key);
    if (!k) return k.take_error();
    Result<storage::SharedText> v = text_copied(value);
    if (!v) return v.take_error();
    map.insert_or_replace(std::move(*k), std::move(*v));
  }
  return map;
}

}  // namespace tessary::module
