// Reading a whole file into memory with POSIX calls. Engine code: no Python object, no lock.
#pragma once

#include <cstddef>
#include <string_view>

namespace tessary::read {

struct FileBytes {
  char* data = nullptr;  // malloc'd (at least one byte, so never null on success)
  size_t length = 0;
  size_t capacity = 0;
  int error = 0;               // errno of the failed call, 0 on success
  bool nul_in_path = false;    // the path holds a NUL byte; nothing was opened

  bool ok() const noexcept { return error == 0 && !nul_in_path; }
};

// Opens `path` read-only (close-on-exec), sizes the buffer from the reported file size and reads
// to the end of the file, retrying interrupted calls; the file may turn out longer or shorter
// than reported. On failure nothing is left allocated or open.
FileBytes read_whole_file(std::string_view path) noexcept;

}  // namespace tessary::read
