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

bool MemorySink::all_ascii() const noexcept {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data_);
  size_t i = 0;
  uint64_t acc = 0;
  for (; i + 32 <= len_; i += 32) {
    uint64_t w[4];
    std::memcpy(w, p + i, 32);
    acc |= w[0] | w[1] | w[2] | w[3];
  }
  for (; i < len_; ++i) acc |= p[i];
  return (acc & 0x8080808080808080ull) == 0;
}

bool MemorySink::reserve_more(uint64_t extra) noexcept {
  // Room for `extra` bytes plus one, so that the fast paths (which test with `<`) take it.
  const uint64_t limit = static_cast<uint64_t>(PTRDIFF_MAX);
  if (extra > limit - 1 || len_ > limit - 1 - extra) {
    error_ = {WriteError::Kind::OutOfMemory, 0};
    return false;
  }
  const size_t need = len_ + static_cast<size_t>(extra) + 1;
  if (need <= cap_) return true;
  size_t grown = cap_ < 256 ? 256 : (cap_ <= limit / 2 ? cap_ * 2 : static_cast<size_t>(limit));
  if (grown < need) grown = need;
  if (external_) {
    // Outgrew the caller's buffer: continue in one of our own, with what was written so far.
    void* own = std::malloc(grown);
    if (own == nullptr && grown > need) own = std::malloc(grown = need);
    if (own == nullptr) {
      error_ = {WriteError::Kind::OutOfMemory, 0};
      return false;
    }
    std::memcpy(own, data_, len_);
    data_ = static_cast<char*>(own);
    cap_ = grown;
    external_ = false;
    return true;
  }
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

void MemorySink::reserve(uint64_t n) noexcept {
  if (external_ || n <= cap_ || n > (uint64_t{1} << 40)) return;
  if (void* p = std::realloc(data_, static_cast<size_t>(n))) {
    data_ = static_cast<char*>(p);
    cap_ = static_cast<size_t>(n);
  }
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

UnitSink::~UnitSink() { std::free(spill_); }

bool UnitSink::reserve_spill(uint64_t units) noexcept {
  const uint64_t limit = static_cast<uint64_t>(PTRDIFF_MAX) / width_;
  if (units > limit - spilled_) return fail(WriteError::Kind::OutOfMemory);
  const uint64_t need = spilled_ + units;
  if (need <= spill_capacity_) return true;
  uint64_t grown = spill_capacity_ < 4096 ? 4096 : spill_capacity_ * 2;
  if (grown < need || grown > limit) grown = need;
  void* p = std::realloc(spill_, static_cast<size_t>(grown) * width_);
  if (p == nullptr && grown > need) p = std::realloc(spill_, static_cast<size_t>(grown = need) * width_);
  if (p == nullptr) return fail(WriteError::Kind::OutOfMemory);
  spill_ = static_cast<char*>(p);
  spill_capacity_ = static_cast<size_t>(grown);
  return true;
}

bool UnitSink::drain(const char* p, size_t n) noexcept {
  if (n == 0) return true;
  // n bytes never make more than n units.
  if (!spilling_ && capacity_ - in_target_ >= n) {
    const index::Utf8Decoded r = index::decode_utf8(reinterpret_cast<const uint8_t*>(p), n,
                                                    target_ + in_target_ * width_, width_, capacity_ - in_target_);
    if (!r.ok) return fail(WriteError::Kind::BadUtf8);
    in_target_ += r.units;
    bits_ |= r.bits;
    return true;
  }
  spilling_ = true;
  if (!reserve_spill(n)) return false;
  const index::Utf8Decoded r = index::decode_utf8(reinterpret_cast<const uint8_t*>(p), n,
                                                  spill_ + spilled_ * width_, width_, spill_capacity_ - spilled_);
  if (!r.ok) return fail(WriteError::Kind::BadUtf8);
  spilled_ += r.units;
  bits_ |= r.bits;
  return true;
}

bool UnitSink::flush() noexcept {
  if (error_.kind != WriteError::Kind::None) return false;
  const bool ok = drain(buf_, used_);
  used_ = 0;
  return ok;
}

bool UnitSink::fill_spaces(uint64_t n) noexcept {
  if (n > kBufferSize && (spilling_ || capacity_ - in_target_ < n + used_)) {
    if (!flush()) return false;
    spilling_ = true;
    if (!reserve_spill(n)) return false;
  }
  return BufferedSink::fill_spaces(n);
}

}  // namespace tessary::write
