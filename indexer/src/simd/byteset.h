// A set of byte values fixed at compile time, and the byte-at-a-time searches over it: the
// scalar twins of the vector searches in generic/scan.h, which must give the same results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::simd {

template <uint8_t... Cs>
struct ByteSet {
  static_assert(sizeof...(Cs) > 0, "a byte set has at least one member");
  struct Table {
    bool member[256];
  };
  static constexpr Table kTable = [] {
    Table t{};
    ((t.member[Cs] = true), ...);
    return t;
  }();
  static constexpr bool contains(uint8_t c) { return kTable.member[c]; }
  // The same by compares: cheaper than the table in a search that stops at the first match
  // (no table address to load), for sets of a few bytes.
  static constexpr bool contains_by_compares(uint8_t c) {
    if constexpr (sizeof...(Cs) <= 5) {
      return ((c == Cs) || ...);
    } else {
      return kTable.member[c];
    }
  }
  static constexpr size_t kSize = sizeof...(Cs);
};

// The first byte of [p, end) in the set, or end.
template <uint8_t... Cs>
inline const uint8_t* find_any_scalar(const uint8_t* p, const uint8_t* end) noexcept {
  for (; p < end; ++p)
    if (ByteSet<Cs...>::contains_by_compares(*p)) return p;
  return end;
}

// Calls f(offset) for each byte of [p, p + n) in the set, in order, while f returns true.
// Returns false when f stopped the walk.
template <uint8_t... Cs, class F>
inline bool for_each_match_scalar(const uint8_t* p, size_t n, F&& f) noexcept {
  for (size_t i = 0; i < n; ++i)
    if (ByteSet<Cs...>::contains(p[i]) && !f(i)) return false;
  return true;
}

// Whether any byte of [p, p + n) is in the set.
template <uint8_t... Cs>
inline bool any_in_scalar(const uint8_t* p, size_t n) noexcept {
  return find_any_scalar<Cs...>(p, p + n) != p + n;
}

}  // namespace tessary::simd
