// The exact size of what the serializer writes for a tree, found before it writes: the
// characters of the output and its largest byte, which together give the length and the kind of
// the str that holds it. It follows the serializer's layout rules step by step (serializer.cpp)
// and reads every name, key, value and text once; it never calls into Python.
#pragma once

#include <cstdint>

#include "write/tree.h"

namespace tessary::write {

struct OutputSize {
  enum class Status : uint8_t {
    Ok,
    TooLarge,  // more characters than any str can hold (an indentation beyond memory, say)
    BadText,   // an attribute range lies outside its buffer or splits a character
    OutOfMemory,  // the walk's own stack could not grow
  };
  uint64_t chars = 0;    // characters (UTF-8 sequences) of the output, declaration included
  uint8_t max_byte = 0;  // the largest byte of the output
  Status status = Status::Ok;
};

// No output longer than this many characters is attempted: a str of 4-byte units that long
// would not fit in the address space.
inline constexpr uint64_t kMaxOutputChars = uint64_t{1} << 60;

// The size of the output for the tree under `root` with `indent` spaces per level, after
// `prefix_chars` ASCII characters (the declaration) already written. `max_byte` is a bound on the
// tree's largest byte (TreeSurvey::max_byte): below 0x80, the tree's bytes are taken as ASCII.
OutputSize measure_output(const Element* root, uint8_t max_byte, uint64_t indent, uint64_t prefix_chars) noexcept;

// Whether some name, key, value or text of the tree under `root` has a byte of at least `threshold`: whether
// its largest byte really is as large as the tree's bound says (0x80 for Latin-1, 0xC4 for two-
// byte units, 0xF0 for four). Stops at the first such byte, which in a tree that is as wide as
// its bound usually comes early. A range outside its buffer counts as reaching it (the writer
// reports it).
bool reaches_byte(const Element* root, uint8_t threshold) noexcept;

}  // namespace tessary::write
