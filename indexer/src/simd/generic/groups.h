// Byte sets as few compares as possible, for architectures without a table lookup in a
// register (SSE2, the 64-bit words of the portable fallback): two bytes of a set that differ in
// one bit are matched together, as the bytes x with (x | bit) == (c | bit). "<" and ">" (0x3C,
// 0x3E) are one compare, as are "&" and "'" (0x26, 0x27), and tab and carriage return (0x09,
// 0x0D). The set matched is exactly the same; only the work differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tessary::simd {

// One compare: the bytes x with (x | mask) == value (mask 0: x == value).
struct ByteGroup {
  uint8_t mask;
  uint8_t value;
};

// The set Cs as groups, paired greedily in the order given.
template <uint8_t... Cs>
struct ByteGroups {
  static constexpr size_t kMax = sizeof...(Cs);
  struct Table {
    ByteGroup group[kMax];
    size_t count;
  };
  static constexpr Table make() {
    const uint8_t c[kMax] = {Cs...};
    bool taken[kMax] = {};
    Table t{};
    for (size_t i = 0; i < kMax; ++i) {
      if (taken[i]) continue;
      taken[i] = true;
      uint8_t mask = 0;
      for (size_t j = i + 1; j < kMax; ++j) {
        const uint8_t d = static_cast<uint8_t>(c[i] ^ c[j]);
        if (taken[j]) continue;
        if (d == 0) {
          taken[j] = true;  // the same byte twice
        } else if ((d & (d - 1)) == 0) {
          taken[j] = true;
          mask = d;
          break;
        }
      }
      t.group[t.count++] = {mask, static_cast<uint8_t>(c[i] | mask)};
    }
    return t;
  }
  static constexpr Table kTable = make();
};

// A's compare result for the bytes of v in {Cs...}, a group at a time.
template <class A, uint8_t... Cs>
constexpr typename A::Vec eq_grouped(typename A::Vec v) noexcept {
  constexpr auto t = ByteGroups<Cs...>::kTable;
  const auto one = [&]<size_t I>(std::integral_constant<size_t, I>) {
    if constexpr (t.group[I].mask == 0) {
      return A::eq(v, t.group[I].value);
    } else {
      return A::eq(A::or_(v, A::splat(t.group[I].mask)), t.group[I].value);
    }
  };
  return [&]<size_t... I>(std::index_sequence<I...>) {
    typename A::Vec m = one(std::integral_constant<size_t, 0>{});
    ((m = A::or_(m, one(std::integral_constant<size_t, I + 1>{}))), ...);
    return m;
  }(std::make_index_sequence<t.count - 1>{});
}

}  // namespace tessary::simd
