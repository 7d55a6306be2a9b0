#include "write/sinks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "index/utf8.h"
#include "write/escape.h"

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

namespace {

// OR of the n units of `width` bytes at p: its kind is the kind of their largest (each kind's
// bound is a power of two less one). Eight bytes at a time, folded to a unit at the end.
uint32_t or_units(const void* p, size_t n, unsigned width) noexcept {
  const auto* b = static_cast<const unsigned char*>(p);
  const size_t bytes = n * width;
  uint64_t acc[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    for (size_t k = 0; k < 4; ++k) {
      uint64_t w;
      std::memcpy(&w, b + i + 8 * k, 8);
      acc[k] |= w;
    }
  }
  uint64_t all = acc[0] | acc[1] | acc[2] | acc[3];
  // The rest, unit by unit, placed at offset 0 of a word (every unit offset folds alike).
  for (; i < bytes; i += width) {
    uint32_t u = 0;
    std::memcpy(&u, b + i, width);
    all |= u;
  }
  if (width == 1) {
    all |= all >> 32, all |= all >> 16, all |= all >> 8, all &= 0xFF;
  } else if (width == 2) {
    all |= all >> 32, all |= all >> 16, all &= 0xFFFF;
  } else {
    all = (all | all >> 32) & 0xFFFFFFFF;
  }
  return static_cast<uint32_t>(all);
}

uint32_t kind_for_bits(uint32_t bits) noexcept {
  return bits <= kAsciiMax ? kAsciiMax : bits <= kLatin1Max ? kLatin1Max : bits <= kUcs2Max ? kUcs2Max : kUcs4Max;
}

}  // namespace

bool StrSink::make_units_room(uint64_t n, uint32_t kind) noexcept {
  if (kind < target_.kind()) kind = target_.kind();
  if (kind == target_.kind() && n <= target_.capacity() - in_target_) return true;
  // More output follows (the end tag at least): made in the document's kind if it is wider.
  if (kind > kAsciiMax && expected_kind_ > kind) kind = expected_kind_;
  if (n > StrTarget::kMaxUnits || !target_.reserve(in_target_, uint64_t{in_target_} + n, kind, false)) {
    return fail(WriteError::Kind::OutOfMemory);
  }
  return true;
}

bool StrSink::append_text_units(const void* units, size_t n, unsigned width) noexcept {
  if (!flush()) return false;
  if (n == 0) return true;
  const uint32_t bits = or_units(units, n, width);
  if (!make_units_room(n, kind_for_bits(bits))) return false;
  bits_ |= bits;
  switch (width * 8 + unit_width(target_.kind())) {
    case 9: return escape_units<uint8_t, uint8_t>(units, n);
    case 10: return escape_units<uint8_t, uint16_t>(units, n);
    case 12: return escape_units<uint8_t, uint32_t>(units, n);
    case 17: return escape_units<uint16_t, uint8_t>(units, n);
    case 18: return escape_units<uint16_t, uint16_t>(units, n);
    case 20: return escape_units<uint16_t, uint32_t>(units, n);
    case 33: return escape_units<uint32_t, uint8_t>(units, n);
    case 34: return escape_units<uint32_t, uint16_t>(units, n);
    default: return escape_units<uint32_t, uint32_t>(units, n);
  }
}

template <class From, class To>
bool StrSink::escape_units(const void* units, size_t n) noexcept {
  const From* src = static_cast<const From*>(units);
  size_t run = 0;  // the first unit not yet written
  To* out = static_cast<To*>(target_.units()) + in_target_;
  const auto copy_run = [&](size_t upto) __attribute__((always_inline)) {
    const size_t k = upto - run;
    if constexpr (sizeof(From) == sizeof(To)) {
      std::memcpy(out, src + run, k * sizeof(To));
    } else {
      for (size_t i = 0; i < k; ++i) out[i] = static_cast<To>(src[run + i]);
    }
    out += k;
  };
  // A byte scan for the replaced characters finds every one of them (each is one ASCII byte, the
  // low byte of its unit) and, in wider units, bytes of other characters too: each hit is
  // checked as a unit.
  const bool ok = escape_detail::for_each_special<EscapeMode::Text>(
      static_cast<const unsigned char*>(units), n * sizeof(From), [&](size_t at) __attribute__((always_inline)) {
        if (sizeof(From) > 1 && at % sizeof(From) != 0) return true;
        const size_t u = at / sizeof(From);
        const From c = src[u];
        if (sizeof(From) > 1 && (c > 0x7F || (escape_detail::kClasses.cls[c] & static_cast<uint8_t>(EscapeMode::Text)) == 0)) return true;
        // The run before it, its reference (5 units more than the character) and what follows.
        in_target_ = static_cast<size_t>(out - static_cast<To*>(target_.units()));
        if (target_.capacity() - in_target_ < n - run + 5) [[unlikely]] {
          if (!grow_units_room(n - run + 5)) return false;
          out = static_cast<To*>(target_.units()) + in_target_;
        }
        copy_run(u);
        const escape_detail::Replacement r = escape_detail::replacement(static_cast<unsigned char>(c));
        if constexpr (sizeof(To) == 1) {
          std::memcpy(out, r.text, 6);  // padded to 6 bytes; the room is there
        } else {
          for (size_t i = 0; i < 6; ++i) out[i] = static_cast<To>(static_cast<unsigned char>(r.text[i]));
        }
        out += r.size;
        run = u + 1;
        return true;
      });
  in_target_ = static_cast<size_t>(out - static_cast<To*>(target_.units()));
  if (!ok) return false;
  copy_run(n);
  in_target_ = static_cast<size_t>(out - static_cast<To*>(target_.units()));
  return true;
}

bool StrSink::grow_units_room(uint64_t n) noexcept {
  if (n > StrTarget::kMaxUnits || !target_.reserve(in_target_, uint64_t{in_target_} + n, target_.kind(), false)) {
    return fail(WriteError::Kind::OutOfMemory);
  }
  return true;
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
