// Reading a whole file into memory with POSIX calls, checking that it is UTF-8 as it arrives.
// Engine code: no Python object, no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessary::read {

enum class FileStatus : uint8_t {
  Read,         // data holds the whole file, valid UTF-8
  OsError,      // a system call failed with `error`
  NulInPath,    // the path holds a NUL byte; nothing was opened
  OutOfMemory,  // the buffer could not be had or grown
  InvalidUtf8,  // the bytes are not UTF-8; `invalid_at` is the offset of the first bad byte
};

struct FileBytes {
  FileStatus status = FileStatus::Read;
  char* data = nullptr;  // a run of pages (storage/pages.h), more than `length` bytes: Read, and
                         // InvalidUtf8 (what was read); given back with release_file_bytes
  size_t length = 0;
  size_t capacity = 0;
  uint8_t max_byte = 0;     // the largest byte of the file (0 when empty)
  int error = 0;            // errno of the failed call, OsError only
  uint64_t invalid_at = 0;  // InvalidUtf8 only

  bool ok() const noexcept { return status == FileStatus::Read; }
};

// Bytes asked of each read() call. Each piece is validated (which also finds its largest byte)
// right after it is read, while it is still in cache, and a stream that turns out not to be UTF-8 stops the read there:
// an endless device of random bytes fails within its first piece.
inline constexpr size_t kFileReadPiece = size_t{128} << 10;

// Opens `path` read-only (close-on-exec) and reads to the end of the file, retrying interrupted
// calls. A regular file's buffer is sized from its reported size (plus one byte, so that the end
// is seen without growing); other files (pipes, devices, /proc) and files that turn out longer
// grow by doubling. The first invalid UTF-8 byte is reported at the offset validating the whole
// file would give. On any failure nothing is left allocated or open.
FileBytes read_utf8_file(std::string_view path) noexcept;

// Gives back the bytes of a FileBytes that were not handed on to a document's buffer.
void release_file_bytes(FileBytes& bytes) noexcept;

}  // namespace tessary::read
