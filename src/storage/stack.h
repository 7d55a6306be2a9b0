// A growable array for a parse's working stacks (open elements, finished nodes awaiting their
// parent). Small ones live in a block from the C library; once a stack outgrows kSmallBytes it
// moves to pages from the operating system (storage/pages.h), so that a deep or wide document
// makes no large request of the C library's allocator. Growing never throws: push() reports
// false when the memory cannot be had.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "storage/pages.h"

namespace tessary::storage {

// The first `Inline` elements live inside the stack object itself: a working stack on the
// thread's own stack needs no allocation at all until it outgrows them.
template <class T, size_t Inline = 0>
class Stack {
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  static constexpr size_t kSmallBytes = 512;

  Stack() noexcept {
    if constexpr (Inline > 0) {
      data_ = reinterpret_cast<T*>(inline_);
      capacity_ = Inline;
    }
  }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  ~Stack() {
    clear();
    release(data_, capacity_);
  }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }

  template <class... A>
  [[nodiscard, gnu::always_inline]] bool push(A&&... a) noexcept {
    if (size_ == capacity_ && !grow()) [[unlikely]] return false;
    new (&data_[size_]) T(std::forward<A>(a)...);
    ++size_;
    return true;
  }
  void pop() noexcept { data_[--size_].~T(); }
  // Keeps the first n elements.
  void truncate(size_t n) noexcept {
    if constexpr (std::is_trivially_destructible_v<T>) {
      size_ = n;
    } else {
      while (size_ > n) pop();
    }
  }
  void clear() noexcept { truncate(0); }

 private:
  static bool mapped(size_t capacity) noexcept { return capacity * sizeof(T) > kSmallBytes; }
  void release(T* p, size_t capacity) noexcept {
    if (p == nullptr || p == reinterpret_cast<T*>(inline_)) return;
    if (mapped(capacity)) {
      unmap_pages(p, page_rounded(capacity * sizeof(T)));
    } else {
      std::free(p);
    }
  }
  [[gnu::noinline]] bool grow() noexcept {
    size_t capacity = capacity_ == 0 ? (kSmallBytes / sizeof(T) > 0 ? kSmallBytes / sizeof(T) : 1) : capacity_ * 2;
    if (capacity > SIZE_MAX / 2 / sizeof(T)) return false;
    T* p;
    if (mapped(capacity)) {
      size_t bytes = capacity * sizeof(T);
      p = static_cast<T*>(map_pages(bytes));
      capacity = bytes / sizeof(T);
    } else {
      p = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    }
    if (p == nullptr) return false;
    for (size_t i = 0; i < size_; ++i) {
      new (&p[i]) T(std::move(data_[i]));
      data_[i].~T();
    }
    release(data_, capacity_);
    data_ = p;
    capacity_ = capacity;
    return true;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  alignas(T) unsigned char inline_[Inline > 0 ? Inline * sizeof(T) : 1];
};

}  // namespace tessary::storage
