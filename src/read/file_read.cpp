#include "read/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "index/utf8.h"
#include "storage/pages.h"

namespace tessary::read {

namespace {

FileBytes failure(FileStatus status) noexcept {
  FileBytes f;
  f.status = status;
  return f;
}

FileBytes os_failure(int err) noexcept {
  FileBytes f = failure(FileStatus::OsError);
  f.error = err != 0 ? err : EIO;
  return f;
}

void close_quietly(int fd) noexcept {
  // A close interrupted by a signal has still released the descriptor on Linux: no retry.
  (void)::close(fd);
}

// open() with the path as a C string: on the stack when it is short (as paths mostly are), else
// in a malloc'd copy. -1 with errno set on failure; -2 when the copy could not
// be made.
int open_read_only(std::string_view path) noexcept {
  char stack[1024];
  char* p = stack;
  if (path.size() >= sizeof stack) {
    p = static_cast<char*>(std::malloc(path.size() + 1));
    if (p == nullptr) return -2;
  }
  std::memcpy(p, path.data(), path.size());
  p[path.size()] = '\0';
  int fd;
  do {
    fd = ::open(p, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  const int err = errno;
  if (p != stack) std::free(p);
  errno = err;
  return fd;
}

// The buffer being filled, in runs of pages (storage/pages.h): a large file's buffer costs no
// request of the C library's allocator and, advised to use huge pages, few page faults. Given
// back on destruction unless handed on.
struct Buffer {
  char* data = nullptr;
  size_t length = 0;
  size_t capacity = 0;

  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { storage::unmap_pages(data, capacity); }

  bool allocate(size_t n) noexcept {
    size_t size = n;
    data = static_cast<char*>(storage::map_pages(size));
    capacity = data != nullptr ? size : 0;
    return data != nullptr;
  }
  // Doubles the capacity; false (the buffer unchanged) when that cannot be had.
  bool grow() noexcept {
    if (capacity > SIZE_MAX / 2) return false;
    size_t size = capacity * 2;
    auto* grown = static_cast<char*>(storage::map_pages(size));
    if (grown == nullptr) return false;
    std::memcpy(grown, data, length);
    storage::unmap_pages(data, capacity);
    data = grown;
    capacity = size;
    return true;
  }
};

}  // namespace

void release_file_bytes(FileBytes& bytes) noexcept {
  storage::unmap_pages(bytes.data, bytes.capacity);
  bytes.data = nullptr;
  bytes.length = bytes.capacity = 0;
}

FileBytes read_utf8_file(std::string_view path) noexcept {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) return failure(FileStatus::NulInPath);
  const int fd = open_read_only(path);
  if (fd == -2) return failure(FileStatus::OutOfMemory);
  if (fd < 0) return os_failure(errno);

  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    close_quietly(fd);
    return os_failure(err);
  }
  // Room for the reported size plus one byte, so that reaching end of file is seen without
  // growing; files whose size is not reported (pipes, devices, /proc) grow as they are read.
  const bool sized = S_ISREG(st.st_mode) && st.st_size > 0;
  const auto reported = static_cast<uint64_t>(st.st_size);
  Buffer buf;
  if (!(sized && reported < SIZE_MAX ? buf.allocate(static_cast<size_t>(reported) + 1) : buf.allocate(4096))) {
    close_quietly(fd);
    return failure(FileStatus::OutOfMemory);
  }

  index::Utf8Validator utf8;  // also finds the largest byte, in the same pass
  for (;;) {
    if (buf.length == buf.capacity && !buf.grow()) {
      close_quietly(fd);
      return failure(FileStatus::OutOfMemory);
    }
    const size_t room = buf.capacity - buf.length;
    char* at = buf.data + buf.length;
    const ssize_t n = ::read(fd, at, room < kFileReadPiece ? room : kFileReadPiece);
    if (n > 0) {
      const bool valid = utf8.feed(reinterpret_cast<const uint8_t*>(at), static_cast<size_t>(n));
      buf.length += static_cast<size_t>(n);
      if (!valid) break;
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    const int err = errno;
    close_quietly(fd);
    return os_failure(err);
  }
  close_quietly(fd);
  // Room for the 0 byte a document's buffer ends with (storage::SourceBuffer).
  if (buf.length == buf.capacity && !buf.grow()) return failure(FileStatus::OutOfMemory);
  if (!utf8.finish()) {
    // The bytes read so far go with the error: they locate it as a line and column.
    FileBytes f = failure(FileStatus::InvalidUtf8);
    f.invalid_at = utf8.error_offset();
    f.data = buf.data;
    f.length = buf.length;
    f.capacity = buf.capacity;
    buf.data = nullptr;  // handed on
    return f;
  }
  FileBytes f;
  f.data = buf.data;
  f.length = buf.length;
  f.capacity = buf.capacity;
  f.max_byte = utf8.max_byte();
  buf.data = nullptr;  // handed on
  return f;
}

}  // namespace tessary::read
