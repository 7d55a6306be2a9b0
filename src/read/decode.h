// Resolving the five predefined entity references and numeric character references in one run
// of character data or one attribute value. A run that needs no change is left as it is by the
// caller (which keeps it as a range of the document); only a changed run is copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/read_error.h"

namespace tessary::read {

enum class DecodeMode : uint8_t {
  Text,       // character data: tab, line feed and carriage return stay as they are
  Attribute,  // attribute values: each of them (and a CR LF pair) becomes one space
};

enum class DecodeStatus : uint8_t {
  Changed,    // the decoded text is written
  Failed,     // `error` is set; what was written is of no use
};

// Decodes `run` (valid UTF-8, `length` bytes), whose first byte needing work is at `first` (an
// '&', or in attribute mode also a tab, line feed or carriage return; the caller found it while
// looking for '<'); bytes before it need none. `base` is the document offset of the run's first
// byte, used for error offsets. The decoded text is written to `into`, which has room for
// `length` bytes (decoding never lengthens a run), and its length to `written`.
DecodeStatus decode_into(const char* run, size_t length, size_t first, uint64_t base, DecodeMode mode, char* into,
                         size_t& written, ReadError& error) noexcept;

}  // namespace tessary::read
