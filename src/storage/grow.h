// Growing a std::vector without letting running out of memory end the process. The vector's own
// growth throws std::bad_alloc; here the capacity is doubled through reserve(), whose exception
// is caught at once and reported as false, so that push_back itself never allocates. Callers
// turn false into a MemoryError, and what they built is released on the way out as on any
// other error.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tessary::storage {

// Room for at least `n` elements; false (the vector unchanged) when it cannot be had.
template <class T>
[[nodiscard]] bool try_reserve(std::vector<T>& v, size_t n) noexcept {
  try {
    v.reserve(n);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

// Doubles the capacity of a full vector (out of line: the path taken once per doubling).
template <class T>
[[gnu::noinline]] bool grow_full(std::vector<T>& v) noexcept {
  return try_reserve(v, v.empty() ? 8 : v.size() * 2);
}

// Appends `x`, doubling the capacity when the vector is full.
template <class T, class U>
[[nodiscard, gnu::always_inline]] inline bool try_push_back(std::vector<T>& v, U&& x) noexcept {
  if (v.size() == v.capacity() && !grow_full(v)) [[unlikely]] return false;
  v.push_back(std::forward<U>(x));
  return true;
}

}  // namespace tessary::storage
