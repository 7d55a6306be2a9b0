// The writer's error record and the one table of the writer's fixed messages. The sinks and the
// serializer report a WriteError without the interpreter lock; the write entry points turn it
// into the Python exception.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessary::write {

struct WriteError {
  enum class Kind : uint8_t {
    None,
    Os,            // a system call failed with os_errno (its text comes from the C library)
    WholeBuffer,   // a piece written straight to the file: write() reported 0 bytes
    BufferedData,  // a flush: write() reported 0 bytes
    OutOfMemory,   // the output could not grow to hold what the serializer wrote
    BadText,       // a shared text range lies outside its buffer or splits a character
    BadUtf8,       // the output was not UTF-8 whose characters fit the str being filled
    Mismatch,      // the output was not as long as it was measured to be
    Full,          // the output outgrew the str made for it at an estimated size (then measured
                   // and written again: never raised)
  };
  Kind kind = Kind::None;
  int os_errno = 0;
};

// The fixed message of each kind, indexed by it. Os has none of its own; None is the internal
// error of a write that failed without saying why; BadText is raised with the module's text for
// a bad range, shared with every other place that finds one.
inline constexpr std::string_view kWriteMessages[] = {
    "invariant: a failed write reported no error",
    "",
    "failed to write whole buffer",
    "failed to write the buffered data",
    "the XML output does not fit in memory",
    "",
    "invariant: the XML writer only emits valid UTF-8",
    "invariant: the XML writer's output has the length it was measured to have",
    "invariant: the XML writer's output fits the str made for it",
};

inline constexpr std::string_view write_message(WriteError::Kind k) noexcept {
  return kWriteMessages[static_cast<unsigned>(k)];
}

}  // namespace tessary::write
