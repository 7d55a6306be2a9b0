// The three sinks of the XML writer: a memory buffer (write_string with ASCII output, into the
// result str's own array), a buffered file descriptor (write_file) and a buffer decoded into the
// character array of a str (write_string otherwise). All are plain C++, usable without the interpreter lock. An append
// returns false on failure and leaves the reason in error(); the first failure ends the write,
// so nothing is appended after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "write/write_error.h"

namespace tessary::write {

// A growable byte buffer (malloc/realloc). Growth failure, including a size that cannot be
// represented, is reported as OutOfMemory instead of aborting, so an absurd indentation turns
// into an error the caller can handle.
class MemorySink {
 public:
  MemorySink() noexcept = default;
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;
  ~MemorySink();

  bool append(const char* p, size_t n) noexcept {
    if (n < cap_ - len_) [[likely]] {
      std::memcpy(data_ + len_, p, n);
      len_ += n;
      return true;
    }
    return append_slow(p, n);
  }
  bool put(char c) noexcept {
    if (len_ + 1 < cap_) [[likely]] {
      data_[len_++] = c;
      return true;
    }
    return append_slow(&c, 1);
  }
  // Room to write up to `n` bytes in place, or null when the buffer has not that much free (the
  // caller then appends piece by piece, which grows it). The bytes count once commit() is given the end of
  // what was written.
  char* room(size_t n) noexcept { return n < cap_ - len_ ? data_ + len_ : nullptr; }
  void commit(const char* end) noexcept { len_ = static_cast<size_t>(end - data_); }
  // Tries to make room(n) succeed. False when it cannot, with error() set only on a failure. A
  // caller's buffer never grows: room asked for is an upper bound, which the actual output may
  // not need.
  bool make_room(size_t n) noexcept { return !external_ && reserve_more(n); }
  // Appends `n` spaces.
  bool fill_spaces(uint64_t n) noexcept;
  // Writes into the caller's buffer of `capacity` bytes (which the sink never frees), and only
  // there: an append that would overflow it fails with Full. Call before anything is appended.
  void use_buffer(char* p, size_t capacity) noexcept;
  // True while everything has gone into the caller's buffer.
  bool in_caller_buffer() const noexcept { return external_; }

  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return len_; }
  const WriteError& error() const noexcept { return error_; }

 private:
  bool append_slow(const char* p, size_t n) noexcept;
  // Makes room for `extra` more bytes (strictly more than needed, so the fast paths' `<` holds).
  bool reserve_more(uint64_t extra) noexcept;

  char* data_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
  bool external_ = false;  // data_ belongs to the caller
  WriteError error_;
};

// A fixed buffer in front of a destination that takes whole pieces: the part FileSink and
// UnitSink share. `Derived` supplies flush() (hand on and empty the buffer) and
// pass_through(p, n) (hand on a piece of `Direct` bytes or more, after a flush), both false with
// error() set on failure. A piece is never split between the buffer and the destination; only
// runs of spaces are.
template <class Derived, size_t N, size_t Direct = N>
class BufferedSink {
  static_assert(Direct <= N);

 public:
  static constexpr size_t kBufferSize = N;

  bool append(const char* p, size_t n) noexcept {
    if (n < N - used_ && (Direct == N || n < Direct)) [[likely]] {
      std::memcpy(buf_ + used_, p, n);
      used_ += n;
      return true;
    }
    return append_slow(p, n);
  }
  bool put(char c) noexcept {
    if (used_ + 1 < N) [[likely]] {
      buf_[used_++] = c;
      return true;
    }
    return append_slow(&c, 1);
  }
  // As MemorySink::room: room in the buffer, or null when it has not `n` bytes free.
  char* room(size_t n) noexcept { return n < N - used_ ? buf_ + used_ : nullptr; }
  void commit(const char* end) noexcept { used_ = static_cast<size_t>(end - buf_); }
  // Tries to make room(n) succeed by handing on the buffer. False when it cannot (n is not less
  // than the buffer), with error() set only on a failure.
  bool make_room(size_t n) noexcept { return n < N && self().flush(); }
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

// Fills the character array of a new str (units of 1, 2 or 4 bytes, as its kind says) with
// UTF-8 decoded on the way: the serializer's bytes collect in a buffer small enough to stay in
// the processor's cache, and each buffer-full is decoded into the array. The output never
// exists whole as UTF-8. Output that would not fit the array fails with Full and is never
// written past it.
//
// The buffer only ever holds whole characters: every piece appended is a whole string or a run
// of one between ASCII delimiters, and only runs of spaces are split.
class UnitSink : public BufferedSink<UnitSink, 32768> {
 public:
  // `units`: the array, `capacity` units of `width` bytes; the sink writes but never frees it.
  UnitSink(void* units, unsigned width, size_t capacity) noexcept
      : target_(static_cast<char*>(units)), width_(width), capacity_(capacity) {}
  UnitSink(const UnitSink&) = delete;
  UnitSink& operator=(const UnitSink&) = delete;

  // Decodes what is buffered. Call once the serializer is done.
  bool flush() noexcept;

  // Units written into the array.
  size_t units_written() const noexcept { return in_target_; }
  // OR of every unit written.
  uint32_t bits() const noexcept { return bits_; }

 private:
  friend class BufferedSink<UnitSink, 32768>;
  bool pass_through(const char* p, size_t n) noexcept { return drain(p, n); }
  // Decodes [p, p + n) (whole characters) into the array.
  bool drain(const char* p, size_t n) noexcept;

  char* target_;
  unsigned width_;
  size_t capacity_;
  size_t in_target_ = 0;
  uint32_t bits_ = 0;
};

}  // namespace tessary::write
