// Conversions of Python arguments into engine values. Each returns the value or an error value;
// callers add the parameter's note with Error::with_note.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "module/errors.h"
#include "storage/attr_map.h"
#include "storage/shared_text.h"

namespace tessary::module {

// A str's UTF-8 form, borrowed from the object (valid while it lives).
Result<std::string_view> text_kept(PyObject* obj);
// A str copied into an Owned text.
Result<storage::SharedText> text_copied(PyObject* obj);

Result<uint8_t> to_u8(PyObject* obj);
Result<int32_t> to_i32(PyObject* obj);
Result<uint64_t> to_u64(PyObject* obj);
// Exactly a bool, or numpy's bool scalar.
Result<bool> to_bool(PyObject* obj);

// Any sequence but str whose items are all instances of `type`; new references in order.
Result<std::vector<Ref>> instance_sequence(PyObject* obj, PyTypeObject* type, const char* type_name);

// A dict of str to str, copied into a fresh attribute map.
Result<storage::AttrMap> str_map(PyObject* obj);

}  // namespace tessary::module
