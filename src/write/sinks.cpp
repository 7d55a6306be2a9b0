#include "write/sinks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "index/utf8.h"

namespace tessary::write {

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

// ---- StrSink --------------------------------------------------------------------------------

bool StrSink::drain(const char* p, size_t n, bool last) noexcept {
  if (n == 0) return true;
  const auto* bytes = reinterpret_cast<const uint8_t*>(p);
  // Each byte is at most one unit: with that much room, only a character wider than the kind
  // can make the decoding fail.
  uint32_t kind = target_.kind();
  if (kind != 0 && n <= target_.capacity() - in_target_) {
    const unsigned width = unit_width(kind);
    const index::Utf8Decoded r = index::decode_utf8(bytes, n, static_cast<char*>(target_.units()) + in_target_ * width,
                                                    width, target_.capacity() - in_target_);
    // Width 1 holds Latin-1 too, which an ASCII str must not.
    if (r.ok && (kind != kAsciiMax || r.bits <= kAsciiMax)) [[likely]] {
      in_target_ += r.units;
      bits_ |= r.bits;
      return true;
    }
  }
  // The array is not made yet, too small, or of a kind too narrow for these characters.
  const uint32_t needs = kind_for_byte(index::max_byte(bytes, n));
  if (needs > kind) kind = needs;
  // More output follows: it will probably need the kind of the whole document.
  if (!last && kind > kAsciiMax && expected_kind_ > kind) kind = expected_kind_;
  if (!target_.reserve(in_target_, uint64_t{in_target_} + n, kind, last)) return fail(WriteError::Kind::OutOfMemory);
  const unsigned width = unit_width(target_.kind());
  const index::Utf8Decoded r = index::decode_utf8(bytes, n, static_cast<char*>(target_.units()) + in_target_ * width,
                                                  width, target_.capacity() - in_target_);
  if (!r.ok || (target_.kind() == kAsciiMax && r.bits > kAsciiMax)) return fail(WriteError::Kind::BadUtf8);
  in_target_ += r.units;
  bits_ |= r.bits;
  return true;
}

bool StrSink::flush_as(bool last) noexcept {
  if (error_.kind != WriteError::Kind::None) return false;
  const bool ok = drain(buf_, used_, last);
  used_ = 0;
  return ok;
}

bool StrSink::fill_spaces(uint64_t n) noexcept {
  if (n <= kBufferSize - used_) {
    std::memset(buf_ + used_, ' ', static_cast<size_t>(n));
    used_ += static_cast<size_t>(n);
    return true;
  }
  // Too many for the buffer: room for all of them in the array first, then written there.
  if (!flush()) return false;
  if (n > StrTarget::kMaxUnits || !target_.reserve(in_target_, uint64_t{in_target_} + n, target_.kind() | kAsciiMax, false)) {
    return fail(WriteError::Kind::OutOfMemory);
  }
  char* at = static_cast<char*>(target_.units());
  switch (unit_width(target_.kind())) {
    case 1: std::memset(at + in_target_, ' ', static_cast<size_t>(n)); break;
    case 2: std::fill_n(reinterpret_cast<uint16_t*>(at) + in_target_, static_cast<size_t>(n), uint16_t{' '}); break;
    default: std::fill_n(reinterpret_cast<uint32_t*>(at) + in_target_, static_cast<size_t>(n), uint32_t{' '}); break;
  }
  in_target_ += static_cast<size_t>(n);
  bits_ |= ' ';
  return true;
}

}  // namespace tessary::write
