#include "write/sinks.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "index/utf8.h"

namespace tessary::write {

// ---- MemorySink -----------------------------------------------------------------------------

MemorySink::~MemorySink() {
  if (!external_) std::free(data_);
}

void MemorySink::use_buffer(char* p, size_t capacity) noexcept {
  if (!external_) std::free(data_);
  data_ = p;
  cap_ = capacity;
  len_ = 0;
  external_ = true;
}

bool MemorySink::reserve_more(uint64_t extra) noexcept {
  // Room for `extra` bytes plus one, so that the fast paths (which test with `<`) take it.
  const uint64_t limit = static_cast<uint64_t>(PTRDIFF_MAX);
  if (external_) {
    if (extra < cap_ - len_) return true;
    error_ = {WriteError::Kind::Full, 0};
    return false;
  }
  if (extra > limit - 1 || len_ > limit - 1 - extra) {
    error_ = {WriteError::Kind::OutOfMemory, 0};
    return false;
  }
  const size_t need = len_ + static_cast<size_t>(extra) + 1;
  if (need <= cap_) return true;
  size_t grown = cap_ < 256 ? 256 : (cap_ <= limit / 2 ? cap_ * 2 : static_cast<size_t>(limit));
  if (grown < need) grown = need;
  void* p = std::realloc(data_, grown);
  if (p == nullptr && grown > need) {
    grown = need;
    p = std::realloc(data_, grown);
  }
  if (p == nullptr) {
    error_ = {WriteError::Kind::OutOfMemory, 0};
    return false;
  }
  data_ = static_cast<char*>(p);
  cap_ = grown;
  return true;
}

bool MemorySink::append_slow(const char* p, size_t n) noexcept {
  if (n == 0) return true;
  if (!reserve_more(n)) return false;
  std::memcpy(data_ + len_, p, n);
  len_ += n;
  return true;
}

bool MemorySink::fill_spaces(uint64_t n) noexcept {
  if (n == 0) return true;
  if (n >= cap_ - len_ && !reserve_more(n)) return false;
  std::memset(data_ + len_, ' ', static_cast<size_t>(n));
  len_ += static_cast<size_t>(n);
  return true;
}

// ---- FileSink -------------------------------------------------------------------------------

namespace {

// Writes all of [p, p + n), repeating interrupted and partial writes. Returns 0, the error
// number of a failed write, or -1 when a write reported 0 bytes.
int write_all(int fd, const char* p, size_t n, size_t* written) noexcept {
  size_t done = 0;
  int result = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      result = errno;
      break;
    }
    if (w == 0) {
      result = -1;
      break;
    }
    done += static_cast<size_t>(w);
  }
  *written = done;
  return result;
}

}  // namespace

bool FileSink::flush() noexcept {
  if (used_ == 0) return true;
  size_t written = 0;
  const int r = write_all(fd_, buf_, used_, &written);
  if (written < used_) std::memmove(buf_, buf_ + written, used_ - written);
  used_ -= written;
  if (r == 0) return true;
  if (r < 0) return fail(WriteError::Kind::BufferedData);
  return fail(WriteError::Kind::Os, r);
}

bool FileSink::pass_through(const char* p, size_t n) noexcept {
  size_t written = 0;
  const int r = write_all(fd_, p, n, &written);
  if (r == 0) return true;
  if (r < 0) return fail(WriteError::Kind::WholeBuffer);
  return fail(WriteError::Kind::Os, r);
}

void FileSink::close() noexcept {
  if (fd_ < 0) return;
  if (used_ > 0) {
    const WriteError kept = error_;
    (void)flush();
    error_ = kept;  // the first error is the one reported
  }
  (void)::close(fd_);
  fd_ = -1;
}

// ---- UnitSink -------------------------------------------------------------------------------

bool UnitSink::drain(const char* p, size_t n) noexcept {
  if (n == 0) return true;
  const index::Utf8Decoded r = index::decode_utf8(reinterpret_cast<const uint8_t*>(p), n,
                                                  target_ + in_target_ * width_, width_, capacity_ - in_target_);
  // Not UTF-8 whose characters fit the unit, or more characters than the array has left.
  if (!r.ok) return fail(n <= capacity_ - in_target_ ? WriteError::Kind::BadUtf8 : WriteError::Kind::Full);
  in_target_ += r.units;
  bits_ |= r.bits;
  return true;
}

bool UnitSink::flush() noexcept {
  if (error_.kind != WriteError::Kind::None) return false;
  const bool ok = drain(buf_, used_);
  used_ = 0;
  return ok;
}

}  // namespace tessary::write
