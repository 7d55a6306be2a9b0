// Resolving the five predefined entity references and numeric character references in one run
// of character data or one attribute value. A run that needs no change is left as it is (the
// caller keeps it as a range of the document); only a changed run is copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/owned_bytes.h"
#include "read/read_error.h"

namespace tessary::read {

enum class DecodeMode : uint8_t {
  Text,       // character data: tab, line feed and carriage return stay as they are
  Attribute,  // attribute values: each of them (and a CR LF pair) becomes one space
};

enum class DecodeStatus : uint8_t {
  Unchanged,  // the run is its own text; `out` is untouched
  Changed,    // `out` holds the decoded text
  Failed,     // `error` is set; `out` is left empty
};

// Decodes `run` (valid UTF-8, `length` bytes). `base` is the document offset of its first
// byte, used for error offsets.
DecodeStatus decode_references(const char* run, size_t length, uint64_t base, DecodeMode mode, OwnedBytes& out,
                               ReadError& error) noexcept;

// As decode_references, for a caller that already found the first byte needing work at
// `first` (an '&', or in attribute mode also a tab, line feed or carriage return); bytes
// before it need none.
DecodeStatus decode_from(const char* run, size_t length, size_t first, uint64_t base, DecodeMode mode,
                         OwnedBytes& out, ReadError& error) noexcept;

}  // namespace tessary::read
