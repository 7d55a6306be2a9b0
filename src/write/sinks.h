// The two sinks of the XML writer: a buffered file descriptor (write_file) and a buffer decoded
// into the character array of a str (write_string). Both are plain C++, usable without the
// interpreter lock. An append returns false on failure and leaves the reason in error(); the
// first failure ends the write, so nothing is appended after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "write/write_error.h"

namespace tessary::write {

// A fixed buffer in front of a destination that takes whole pieces: the part FileSink and
// StrSink share. `Derived` supplies flush() (hand on and empty the buffer) and
// pass_through(p, n) (hand on a piece of `Direct` bytes or more, after a flush), both false with
// error() set on failure. A piece is never split between the buffer and the destination; only
// runs of spaces are.
//
// The serializer writes into the buffer directly: cursor() is where the next byte goes, limit()
// the end of the buffer; it may write anywhere in [cursor, limit) and hands back the end of what
// counts with commit(). make_room(n) hands the buffer on when fewer than n bytes are free.
template <class Derived, size_t N, size_t Direct = N>
class BufferedSink {
  static_assert(Direct <= N);

 public:
  static constexpr size_t kBufferSize = N;

  bool append(const char* p, size_t n) noexcept {
    if (n <= N - used_ && n < Direct) [[likely]] {
      std::memcpy(buf_ + used_, p, n);
      used_ += n;
      return true;
    }
    return append_slow(p, n);
  }
  bool put(char c) noexcept { return append(&c, 1); }
  char* cursor() noexcept { return buf_ + used_; }
  char* limit() noexcept { return buf_ + N; }
  void commit(const char* end) noexcept { used_ = static_cast<size_t>(end - buf_); }
  // Makes at least `n` bytes free at the cursor by handing on the buffer. False when it cannot
  // (n is larger than the buffer), with error() set only on a failure.
  bool make_room(size_t n) noexcept {
    if (n <= N - used_) return true;
    return n <= N && self().flush();
  }
  // Appends `n` spaces through the buffer, one buffer-full at a time: any count is written
  // with bounded memory.
  bool fill_spaces(uint64_t n) noexcept {
    while (n > 0) {
      if (used_ == N && !self().flush()) return false;
      const size_t k = n < N - used_ ? static_cast<size_t>(n) : N - used_;
      std::memset(buf_ + used_, ' ', k);
      used_ += k;
      n -= k;
    }
    return true;
  }

  const WriteError& error() const noexcept { return error_; }

 protected:
  BufferedSink() noexcept = default;
  bool fail(WriteError::Kind kind, int err = 0) noexcept {
    if (error_.kind == WriteError::Kind::None) error_ = {kind, err};
    return false;
  }

  size_t used_ = 0;
  WriteError error_;
  char buf_[N];

 private:
  Derived& self() noexcept { return static_cast<Derived&>(*this); }
  bool append_slow(const char* p, size_t n) noexcept {
    if ((n > N - used_ || n >= Direct) && !self().flush()) return false;
    if (n < Direct) {
      std::memcpy(buf_ + used_, p, n);
      used_ += n;
      return true;
    }
    return self().pass_through(p, n);
  }
};

// A file descriptor behind a 256 KiB buffer: a write call per 256 KiB of output rather than per
// 8 KiB, whose cost per call was a tenth of writing a document. Pieces of 8192 bytes or more
// still bypass the buffer and go straight to the file (after what is buffered). The descriptor
// is owned: close() (or destruction) closes it. Too large for a thread's stack: make it with new.
class FileSink : public BufferedSink<FileSink, 262144, 8192> {
 public:
  FileSink() noexcept = default;
  // Takes the descriptor to write to (once, before anything is appended).
  void attach(int fd) noexcept { fd_ = fd; }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() { close(); }

  // Writes out the buffered bytes. The bytes that reached the file leave the buffer even when
  // a later write fails.
  bool flush() noexcept;
  // If bytes are still buffered (only after a failure), tries once more to write them, ignoring
  // the outcome; then closes the descriptor, ignoring any error. Idempotent.
  void close() noexcept;

 private:
  friend class BufferedSink<FileSink, 262144, 8192>;
  bool pass_through(const char* p, size_t n) noexcept;

  int fd_ = -1;
};

// The kinds of str, by their largest character: ASCII, Latin-1, two-byte and four-byte units.
inline constexpr uint32_t kAsciiMax = 0x7F, kLatin1Max = 0xFF, kUcs2Max = 0xFFFF, kUcs4Max = 0x10FFFF;
inline unsigned unit_width(uint32_t max_char) noexcept { return max_char <= 0xFF ? 1 : max_char <= 0xFFFF ? 2 : 4; }
// The kind UTF-8 whose largest byte is `max_byte` needs (there are no overlong forms in it).
inline uint32_t kind_for_byte(uint8_t max_byte) noexcept {
  return max_byte < 0x80 ? kAsciiMax : max_byte < 0xC4 ? kLatin1Max : max_byte < 0xF0 ? kUcs2Max : kUcs4Max;
}

// The character array a StrSink fills, made, grown and widened by its owner (write_string's
// result str, which needs the interpreter lock for that). Between calls of reserve the array
// stays where it is.
class StrTarget {
 public:
  // More units than any str is asked to hold: a request beyond it fails at once.
  static constexpr uint64_t kMaxUnits = uint64_t{1} << 58;

  void* units() const noexcept { return units_; }
  size_t capacity() const noexcept { return capacity_; }
  // The kind (its largest character), 0 before the array is made.
  uint32_t kind() const noexcept { return kind_; }

  // Makes the array hold at least `needed` units of a kind at least `kind`, the first `kept`
  // units staying as they are (converted when the kind widens; the others are left
  // unspecified). `last`: no more output follows, so no room beyond `needed` is wanted. False
  // when the memory cannot be had: the array is then as it was.
  virtual bool reserve(size_t kept, uint64_t needed, uint32_t kind, bool last) noexcept = 0;

 protected:
  StrTarget() noexcept = default;
  ~StrTarget() = default;
  void* units_ = nullptr;
  size_t capacity_ = 0;
  uint32_t kind_ = 0;
};

// Fills the character array of a str with UTF-8 decoded on the way: the serializer's bytes
// collect in a buffer small enough to stay in the processor's cache, and each buffer-full is
// decoded into the array, in the narrowest kind that holds every character so far. The output
// never exists whole as UTF-8, and no pass over the tree is needed before it: the array is made
// at the first flush, in the kind of what the buffer holds, grown as the output outgrows it and
// widened (its units converted) the first time a character needs a wider kind.
//
// The buffer only ever holds whole characters: every piece appended is a whole string or a run
// of one between ASCII delimiters, and only runs of spaces are split.
class StrSink : public BufferedSink<StrSink, 32768> {
 public:
  explicit StrSink(StrTarget& target) noexcept : target_(target) {}
  StrSink(const StrSink&) = delete;
  StrSink& operator=(const StrSink&) = delete;

  // Decodes what is buffered.
  bool flush() noexcept { return flush_as(false); }
  // The same, once the serializer is done.
  bool finish() noexcept { return flush_as(true); }
  // Appends `n` spaces: a run longer than the buffer is written into the array directly, once
  // the array has room for all of it (an indentation beyond memory fails at once).
  bool fill_spaces(uint64_t n) noexcept;

  // The kind the whole output probably needs (that of the document the tree was read from, if
  // it was): once the output turns out not to be ASCII, the array is made (or widened) in that
  // kind at least, so that a rare wider character late in the output does not make it convert
  // all the units written before it. A kind wider than the output needs in the end is narrowed
  // by a copy; 0 (the default) when nothing is known.
  void expect_kind(uint32_t kind) noexcept { expected_kind_ = kind; }

  // Appends the text of `n` characters of a str, `width` bytes each (no surrogate among them),
  // escaped as element text: copied straight into the array, unit by unit in the array's kind,
  // with the replaced characters written as their references. No UTF-8 form is made of it.
  bool append_text_units(const void* units, size_t n, unsigned width) noexcept;

  // Units written into the array.
  size_t units_written() const noexcept { return in_target_; }
  // OR of every unit written.
  uint32_t bits() const noexcept { return bits_; }

 private:
  friend class BufferedSink<StrSink, 32768>;
  bool pass_through(const char* p, size_t n) noexcept { return drain(p, n, false); }
  bool flush_as(bool last) noexcept;
  // Decodes [p, p + n) (whole characters) into the array.
  bool drain(const char* p, size_t n, bool last) noexcept;
  // Makes room for `n` more units in the array, in a kind that holds `kind`.
  bool make_units_room(uint64_t n, uint32_t kind) noexcept;
  // The same in the array's kind as it is.
  bool grow_units_room(uint64_t n) noexcept;
  // append_text_units from units `From` into an array of units `To` with room for all n.
  template <class From, class To>
  bool escape_units(const void* units, size_t n) noexcept;

  StrTarget& target_;
  size_t in_target_ = 0;
  uint32_t bits_ = 0;
  uint32_t expected_kind_ = 0;
};

}  // namespace tessary::write
