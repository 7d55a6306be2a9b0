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

// The first byte of [p, end) that is at most Low or in the set, or end. With Low 0x20, one
// compare stands for every white-space byte of XML (and the control bytes, which a caller
// that wants white space alone steps over).
template <uint8_t Low, uint8_t... Cs>
inline const uint8_t* find_low_or_any_scalar(const uint8_t* p, const uint8_t* end) noexcept {
  for (; p < end; ++p)
    if (*p <= Low || ByteSet<Cs...>::contains_by_compares(*p)) return p;
  return end;
}

// The first byte of [p, end) that has every bit of Mask set, or end. With a mask of high bits
// that is the first byte at or above it: 0xF0 finds a four-byte UTF-8 lead (or a byte that
// begins nothing).
template <uint8_t Mask>
inline const uint8_t* find_masked_scalar(const uint8_t* p, const uint8_t* end) noexcept {
  for (; p < end; ++p)
    if ((*p & Mask) == Mask) return p;
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

// What the reader needs to know of a short run of character data at once: how many ASCII
// white-space bytes (tab, line feed, vertical tab, form feed, carriage return, space) it starts
// and ends with (both are its length when it is all white space), and whether it holds a byte
// needing a closer look ('&' or '<').
struct ShortText {
  uint32_t lead;
  uint32_t trail;
  bool special;
};

inline constexpr bool short_text_space(uint8_t c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }

// The same a byte at a time: the twin of short_text_with (generic/scan.h).
inline ShortText short_text_scalar(const uint8_t* p, size_t n) noexcept {
  ShortText t{0, 0, false};
  while (t.lead < n && short_text_space(p[t.lead])) ++t.lead;
  while (t.trail < n && short_text_space(p[n - 1 - t.trail])) ++t.trail;
  for (size_t i = 0; i < n; ++i) t.special = t.special || p[i] == '&' || p[i] == '<';
  return t;
}

// The bytes a start tag's walk must look at (tag_marks): every byte up to 0x27 (white space,
// the quotes, '&', control bytes, 0 and a few punctuation marks that are looked at and passed)
// and '/', '<', '=', '>'. Names and plain values are made of the other bytes.
inline constexpr bool tag_mark(uint8_t c) { return c <= 0x27 || c == '/' || c == '<' || c == '=' || c == '>'; }

// Bit i set when p[i] is a tag mark, for the 64 bytes at p: the twin of tag_marks_with
// (generic/scan.h).
inline uint64_t tag_marks_scalar(const uint8_t* p) noexcept {
  uint64_t m = 0;
  for (unsigned i = 0; i < 64; ++i) m |= uint64_t{tag_mark(p[i])} << i;
  return m;
}

// A group of bytes of which each counts `W` in a tally (1 <= W <= 127).
template <uint8_t W, uint8_t... Cs>
struct Weighted {
  static_assert(W >= 1 && W <= 127, "a weight is 1 to 127");
  static constexpr uint8_t kWeight = W;
  static constexpr void add_to(uint8_t (&w)[256]) { ((w[Cs] = W), ...); }
  // The compare result of a vector against the group, on architecture A.
  template <class A>
  static typename A::Vec match(typename A::Vec v) noexcept {
    return A::template eq_any<Cs...>(v);
  }
};

// What a tally of a range finds.
struct ByteTally {
  uint64_t weight;         // the sum of the weights of the bytes that are in a group
  uint64_t continuations;  // bytes 0x80..0xBF (counted only when UTF-8 counts are asked for)
  uint8_t max_byte;        // the largest byte (likewise), 0 when the range is empty
};

template <class... Groups>
struct WeightTable {
  uint8_t w[256];
};
// Each byte's weight; the groups are disjoint (a byte in two groups counts the last one's).
template <class... Groups>
inline constexpr WeightTable<Groups...> kWeightTable = [] {
  WeightTable<Groups...> t{};
  (Groups::add_to(t.w), ...);
  return t;
}();

// Tallies [p, p + n) a byte at a time: the weights of the bytes in Groups and, when Utf8, the
// number of continuation bytes and the largest byte.
template <bool Utf8, class... Groups>
inline ByteTally tally_scalar(const uint8_t* p, size_t n) noexcept {
  const uint8_t* w = kWeightTable<Groups...>.w;
  uint64_t weight = 0, cont = 0;
  uint8_t top = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = p[i];
    weight += w[c];
    if constexpr (Utf8) {
      cont += (c & 0xC0) == 0x80;
      top = c > top ? c : top;
    }
  }
  return {weight, cont, top};
}

}  // namespace tessary::simd
