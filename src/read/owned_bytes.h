// A growable malloc'd byte string that can be handed to an Owned SharedText without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "storage/shared_text.h"

namespace tessary::read {

class OwnedBytes {
 public:
  OwnedBytes() noexcept = default;
  explicit OwnedBytes(size_t capacity) noexcept { (void)reserve(capacity); }
  OwnedBytes(OwnedBytes&& o) noexcept : p_(o.p_), len_(o.len_), cap_(o.cap_) {
    o.p_ = nullptr;
    o.len_ = o.cap_ = 0;
  }
  OwnedBytes& operator=(OwnedBytes&& o) noexcept {
    if (this != &o) {
      std::free(p_);
      p_ = o.p_; len_ = o.len_; cap_ = o.cap_;
      o.p_ = nullptr;
      o.len_ = o.cap_ = 0;
    }
    return *this;
  }
  OwnedBytes(const OwnedBytes&) = delete;
  OwnedBytes& operator=(const OwnedBytes&) = delete;
  ~OwnedBytes() { std::free(p_); }

  const char* data() const noexcept { return p_; }
  char* data() noexcept { return p_; }
  size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  std::string_view view() const noexcept { return {p_, len_}; }

  // Room for `n` bytes. When it cannot be had the string stays as it was, the failure is noted
  // (storage/alloc_failure.h) and false returned; appends that do not fit are then dropped,
  // and the call this string belongs to fails with MemoryError.
  bool reserve(size_t n) noexcept {
    if (n <= cap_) return true;
    char* q = static_cast<char*>(std::realloc(p_, n));
    if (q == nullptr) [[unlikely]] {
      storage::note_allocation_failure();
      return false;
    }
    p_ = q;
    cap_ = n;
    return true;
  }
  void append(const char* s, size_t n) noexcept {
    if (n == 0) return;
    if (len_ + n > cap_ && !reserve(grown(len_ + n))) [[unlikely]] return;
    std::memcpy(p_ + len_, s, n);
    len_ += n;
  }
  void append(std::string_view s) noexcept { append(s.data(), s.size()); }
  void push_back(char c) noexcept {
    if (len_ == cap_ && !reserve(grown(len_ + 1))) [[unlikely]] return;
    p_[len_++] = c;
  }
  // Keeps bytes [from, from + n) and moves them to the front.
  void keep_range(size_t from, size_t n) noexcept {
    if (from != 0 && n != 0) std::memmove(p_, p_ + from, n);
    len_ = n;
  }
  void clear() noexcept { len_ = 0; }

  // Moves the bytes into an Owned text, which records their largest byte (measured while they
  // are still in cache, so that making a str of them or writing them needs no second look);
  // this string is left empty.
  storage::SharedText into_text() noexcept {
    storage::SharedText t =
        len_ == 0 ? storage::SharedText::owned({})
                  : storage::SharedText::adopt(p_, len_, cap_, index::max_byte(reinterpret_cast<const uint8_t*>(p_), len_));
    if (len_ == 0) std::free(p_);
    p_ = nullptr;
    len_ = cap_ = 0;
    return t;
  }

 private:
  size_t grown(size_t need) const noexcept {
    size_t c = cap_ < 16 ? 16 : cap_ * 2;
    if (need < len_) return SIZE_MAX;  // len_ + n wrapped: realloc refuses it
    return c < need ? need : c;
  }

  char* p_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
};

}  // namespace tessary::read
