#include "read/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tessary::read {

namespace {

FileBytes failure(int err) noexcept {
  FileBytes f;
  f.error = err != 0 ? err : EIO;
  return f;
}

void close_quietly(int fd) noexcept {
  // A close interrupted by a signal has still released the descriptor on Linux: no retry.
  (void)::close(fd);
}

}  // namespace

FileBytes read_whole_file(std::string_view path) noexcept {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    FileBytes f;
    f.nul_in_path = true;
    return f;
  }
  const std::string p(path);
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return failure(errno);

  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    close_quietly(fd);
    return failure(err);
  }
  // Room for the reported size plus one byte, so that reaching end of file is seen without
  // growing; files whose size is not reported (pipes, /proc) grow as they are read.
  size_t capacity = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096;
  char* data = static_cast<char*>(std::malloc(capacity));
  if (data == nullptr) std::abort();  // memory exhaustion is fatal
  size_t length = 0;
  for (;;) {
    if (length == capacity) {
      capacity *= 2;
      char* grown = static_cast<char*>(std::realloc(data, capacity));
      if (grown == nullptr) std::abort();
      data = grown;
    }
    const ssize_t n = ::read(fd, data + length, capacity - length);
    if (n > 0) {
      length += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    const int err = errno;
    std::free(data);
    close_quietly(fd);
    return failure(err);
  }
  close_quietly(fd);
  FileBytes f;
  f.data = data;
  f.length = length;
  f.capacity = capacity;
  return f;
}

}  // namespace tessary::read
