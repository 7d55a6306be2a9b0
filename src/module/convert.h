// Conversions of Python arguments into engine values. Each returns the value or an error value;
// callers add the parameter's note with Error::with_note.
#pragma once

#include <cstdint>
#include <string_view>

#include "module/errors.h"
#include "storage/attr_map.h"
#include "storage/shared_text.h"

namespace tessary::module {

// A str's UTF-8 form, borrowed from the object (valid while it lives).
Result<std::string_view> text_kept(PyObject* obj);
// A str copied into an Owned text.
Result<storage::SharedText> text_copied(PyObject* obj);
// At least the largest byte of a str's UTF-8 form, from its storage kind alone (see
// SourceBuffer::max_byte_bound): 0x7F ASCII, 0xC3 Latin-1, 0xEF the BMP, 0xF4 beyond.
uint8_t str_max_byte_bound(PyObject* str);

// A new str from valid UTF-8 text whose largest byte is at most `max_byte_bound` (0xFF when not
// known). Decodes with the vector kernels straight into the new string; text that is not valid
// UTF-8 is an internal error.
Result<Ref> str_from_utf8(std::string_view text, uint8_t max_byte_bound);
// The maximum character a str of `width`-byte units (1, 2 or 4) is created with, and the one a
// str whose units OR to `bits` needs.
inline Py_UCS4 max_char_for_width(unsigned width) { return width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x10FFFF; }
inline Py_UCS4 max_char_for_bits(uint32_t bits) {
  return bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}
// Gives a str whose units were written directly the canonical form Python requires (the
// narrowest kind that holds its characters): unchanged when `bits`, the OR of its units, needs
// the kind it was created with, else a narrowed copy.
Result<Ref> canonical_str(Ref s, uint32_t bits);

Result<uint8_t> to_u8(PyObject* obj);
Result<int32_t> to_i32(PyObject* obj);
Result<uint64_t> to_u64(PyObject* obj);
// Exactly a bool, or numpy's bool scalar.
Result<bool> to_bool(PyObject* obj);

// Any sequence but str whose items are all instances of `type`; new references in order.
Result<RefVector> instance_sequence(PyObject* obj, PyTypeObject* type, const char* type_name);

// A dict of str to str, copied into a fresh attribute map.
Result<storage::AttrMap> str_map(PyObject* obj);

}  // namespace tessary::module
