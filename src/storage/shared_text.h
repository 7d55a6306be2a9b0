// A UTF-8 string that either owns its bytes or is a byte range of a SourceBuffer. The optional
// form adds a third state, absent, in the same representation (no separate presence flag).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "storage/source_buffer.h"

namespace tessary::storage {

class SharedText {
 public:
  enum class Tag : uint8_t { Owned = 0, Shared = 1, Absent = 2 };

  // Absent text.
  SharedText() noexcept = default;

  // A new Owned value holding a copy of `s`.
  static SharedText owned(std::string_view s) noexcept {
    SharedText t;
    t.tag_ = Tag::Owned;
    if (!s.empty()) {
      char* p = static_cast<char*>(std::malloc(s.size()));
      if (p == nullptr) std::abort();
      std::memcpy(p, s.data(), s.size());
      t.ptr_ = p;
      t.a_ = s.size();
      t.b_ = s.size();
    }
    return t;
  }
  // Takes a malloc'd string of `capacity` bytes, `length` of them used.
  static SharedText adopt(char* p, size_t length, size_t capacity) noexcept {
    SharedText t;
    t.tag_ = Tag::Owned;
    t.ptr_ = p;
    t.a_ = length;
    t.b_ = capacity;
    return t;
  }
  // A range [start, end) of `buffer`; takes one more reference on the buffer.
  static SharedText shared(SourceBuffer* buffer, uint64_t start, uint64_t end) noexcept {
    buffer->retain();
    return shared_adopting(buffer, start, end);
  }
  // As shared(), but adopts a reference the caller already took.
  static SharedText shared_adopting(SourceBuffer* buffer, uint64_t start, uint64_t end) noexcept {
    SharedText t;
    t.tag_ = Tag::Shared;
    t.buf_ = buffer;
    t.a_ = start;
    t.b_ = end;
    return t;
  }

  SharedText(SharedText&& o) noexcept : tag_(o.tag_), ptr_(o.ptr_), a_(o.a_), b_(o.b_) {
    o.tag_ = Tag::Absent;
    o.ptr_ = nullptr;
  }
  SharedText& operator=(SharedText&& o) noexcept {
    if (this != &o) {
      release();
      tag_ = o.tag_; ptr_ = o.ptr_; a_ = o.a_; b_ = o.b_;
      o.tag_ = Tag::Absent;
      o.ptr_ = nullptr;
    }
    return *this;
  }
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText&) = delete;
  ~SharedText() { release(); }

  // Owned copies its bytes; Shared keeps its range and takes another buffer reference.
  SharedText copy() const noexcept {
    switch (tag_) {
      case Tag::Owned: return owned(view());
      case Tag::Shared: return shared(buf_, a_, b_);
      default: return SharedText();
    }
  }

  Tag tag() const noexcept { return tag_; }
  bool absent() const noexcept { return tag_ == Tag::Absent; }
  bool present() const noexcept { return tag_ != Tag::Absent; }
  bool is_shared() const noexcept { return tag_ == Tag::Shared; }
  bool is_owned() const noexcept { return tag_ == Tag::Owned; }
  SourceBuffer* buffer() const noexcept { return tag_ == Tag::Shared ? buf_ : nullptr; }
  uint64_t range_start() const noexcept { return a_; }
  uint64_t range_end() const noexcept { return b_; }

  // The bytes, without checking a shared range (engine code only makes valid ranges).
  std::string_view view() const noexcept {
    switch (tag_) {
      case Tag::Owned: return {ptr_, static_cast<size_t>(a_)};
      case Tag::Shared: return {buf_->data() + a_, static_cast<size_t>(b_ - a_)};
      default: return {};
    }
  }
  // The bytes, after checking that a shared range lies inside its buffer and on character
  // boundaries. Returns false when it does not.
  bool checked_view(std::string_view* out) const noexcept {
    if (tag_ == Tag::Shared) {
      const size_t len = buf_->length();
      if (a_ > b_ || b_ > len) return false;
      const auto* d = reinterpret_cast<const unsigned char*>(buf_->data());
      auto boundary = [&](uint64_t off) { return off == 0 || off == len || (d[off] & 0xC0) != 0x80; };
      if (!boundary(a_) || !boundary(b_)) return false;
    }
    *out = view();
    return true;
  }

  size_t size() const noexcept { return view().size(); }
  bool equals(std::string_view s) const noexcept { return view() == s; }
  bool operator==(const SharedText& o) const noexcept { return view() == o.view(); }

 private:
  void release() noexcept {
    if (tag_ == Tag::Owned) {
      if (b_ != 0) std::free(ptr_);
    } else if (tag_ == Tag::Shared) {
      buf_->release();
    }
    tag_ = Tag::Absent;
    ptr_ = nullptr;
  }

  Tag tag_ = Tag::Absent;
  union {
    char* ptr_ = nullptr;   // Owned: the bytes
    SourceBuffer* buf_;     // Shared: the buffer
  };
  uint64_t a_ = 0;  // Owned: length; Shared: start
  uint64_t b_ = 0;  // Owned: capacity; Shared: end (exclusive)
};

}  // namespace tessary::storage
