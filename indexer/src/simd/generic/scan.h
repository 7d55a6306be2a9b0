// Searches for the bytes of a set, written once over any architecture's primitives `A` (see
// bytes.h for the members an architecture supplies). Each has a byte-at-a-time twin in
// byteset.h with the same result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/byteset.h"
#include "simd/swar/swar.h"

namespace tessary::simd {

// The first byte of [p, end) for which `hits` (a vector's loaded bytes to their match bits)
// has a bit, or end. A vector at a time; a range of at least one vector ends with one last
// vector that overlaps the one before (the bytes it sees again are known not to match), and a
// shorter range is searched by `scalar`, the byte-at-a-time twin.
template <class A, class Hits, class Scalar>
[[gnu::always_inline]] inline const uint8_t* find_first_with(const uint8_t* p, const uint8_t* end, Hits hits,
                                                             Scalar scalar) noexcept {
  if (static_cast<size_t>(end - p) < A::kWidth) return scalar(p, end);
  for (;;) {
    const uint64_t m = hits(A::load(p));
    if (m != 0) return p + (__builtin_ctzll(m) >> A::kShift);
    p += A::kWidth;
    if (static_cast<size_t>(end - p) < A::kWidth) break;
  }
  if (p == end) return end;
  const uint8_t* q = end - A::kWidth;
  const uint64_t m = hits(A::load(q));
  return m != 0 ? q + (__builtin_ctzll(m) >> A::kShift) : end;
}

// find_any_scalar a vector at a time.
template <class A, uint8_t... Cs>
inline const uint8_t* find_any_with(const uint8_t* p, const uint8_t* end) noexcept {
  return find_first_with<A>(
      p, end, [](typename A::Vec v) { return A::bits(A::template eq_any<Cs...>(v)); },
      [](const uint8_t* q, const uint8_t* e) { return find_any_scalar<Cs...>(q, e); });
}

// find_low_or_any_scalar a vector at a time: a byte is at most Low when its maximum with Low
// is Low.
template <class A, uint8_t Low, uint8_t... Cs>
inline const uint8_t* find_low_or_any_with(const uint8_t* p, const uint8_t* end) noexcept {
  return find_first_with<A>(
      p, end,
      [](typename A::Vec v) {
        return A::bits(A::or_(A::eq(A::max_(v, A::splat(Low)), Low), A::template eq_any<Cs...>(v)));
      },
      [](const uint8_t* q, const uint8_t* e) { return find_low_or_any_scalar<Low, Cs...>(q, e); });
}

// find_masked_scalar a vector at a time.
template <class A, uint8_t Mask>
inline const uint8_t* find_masked_with(const uint8_t* p, const uint8_t* end) noexcept {
  return find_first_with<A>(
      p, end, [](typename A::Vec v) { return A::bits(A::eq(A::and_(v, A::splat(Mask)), Mask)); },
      [](const uint8_t* q, const uint8_t* e) { return find_masked_scalar<Mask>(q, e); });
}

// Calls f(offset) for each byte of [p, p + n) in the set, in order, while f returns true.
// Returns false when f stopped the walk. A range of at least one vector ends with one last vector
// that overlaps the one before, whose bytes seen already are masked off; a shorter range is
// searched a byte at a time.
template <class A, uint8_t... Cs, class F>
inline bool for_each_match_with(const uint8_t* p, size_t n, F&& f) noexcept {
  const auto each = [&](size_t at, uint64_t m) {
    while (m != 0) {
      if (!f(at + (static_cast<unsigned>(__builtin_ctzll(m)) >> A::kShift))) return false;
      m &= m - 1;
    }
    return true;
  };
  size_t i = 0;
  for (; i + A::kWidth <= n; i += A::kWidth) {
    if (!each(i, A::bits(A::template eq_any<Cs...>(A::load(p + i))))) return false;
  }
  if (i == n) return true;
  if (n >= A::kWidth) {
    const size_t q = n - A::kWidth;  // 0 < i - q < kWidth
    const uint64_t seen = (uint64_t{1} << ((i - q) << A::kShift)) - 1;
    return each(q, A::bits(A::template eq_any<Cs...>(A::load(p + q))) & ~seen);
  }
  for (; i < n; ++i)
    if (ByteSet<Cs...>::contains(p[i]) && !f(i)) return false;
  return true;
}

// short_text_scalar with one vector: for n <= A::kWidth, and A::kWidth bytes readable at p
// (those past n are not looked at).
template <class A>
inline ShortText short_text_with(const uint8_t* p, size_t n) noexcept {
  const typename A::Vec v = A::load(p);
  const uint64_t lanes = A::bits(A::eq(A::zero(), 0));  // the bit of every byte
  const unsigned used = static_cast<unsigned>(n) << A::kShift;
  const uint64_t in_run = used >= 64 ? lanes : lanes & ((uint64_t{1} << used) - 1);
  const uint64_t space = A::bits(A::template eq_any<' ', '\t', '\n', '\v', '\f', '\r'>(v));
  const uint64_t other = in_run & ~space;
  ShortText t;
  t.special = (A::bits(A::template eq_any<'&', '<'>(v)) & in_run) != 0;
  if (other == 0) {
    t.lead = t.trail = static_cast<uint32_t>(n);
  } else {
    t.lead = static_cast<uint32_t>(__builtin_ctzll(other)) >> A::kShift;
    t.trail = static_cast<uint32_t>(n - 1 - ((63u - static_cast<unsigned>(__builtin_clzll(other))) >> A::kShift));
  }
  return t;
}

// tag_marks_scalar four vectors at a time, on architectures of 16-byte vectors (the others use
// the twin): a byte is a mark when its maximum with 0x27 is 0x27, or it is one of "/<=>".
template <class A>
inline uint64_t tag_marks_with(const uint8_t* p) noexcept {
  if constexpr (A::kWidth == 16) {
    const typename A::Vec low = A::splat(0x27);
    const auto marks = [&](const uint8_t* q) {
      const typename A::Vec v = A::load(q);
      return A::or_(A::eq(A::max_(v, low), 0x27), A::template eq_any<'/', '<', '=', '>'>(v));
    };
    return A::bitmask64(marks(p), marks(p + 16), marks(p + 32), marks(p + 48));
  } else {
    return tag_marks_scalar(p);
  }
}

// Whether any of the n bytes at p (n < 16) is one of Cs, reading only [p, p + n). `Filler` is
// a byte outside the set. The bytes are gathered into two overlapping words
// (swar::gather_short), which a 16-byte vector tests in one step.
template <class A, uint8_t Filler, uint8_t... Cs>
inline bool any_in_short_with(const uint8_t* p, size_t n) noexcept {
  if (n == 0) return false;
  uint64_t a, b;
  swar::gather_short(p, n, Filler, a, b);
  if constexpr (A::kWidth >= 16) {
    return A::any(A::template eq_any<Cs...>(A::from_words(a, b)));
  } else {
    return A::any(A::or_(A::template eq_any<Cs...>(a), A::template eq_any<Cs...>(b)));
  }
}

// tally_scalar a vector at a time. Each byte lane accumulates weights in blocks short enough
// that no lane passes 255, then the lanes are summed; the last part shorter than a vector is
// tallied a byte at a time.
template <class A, bool Utf8, class... Groups>
inline ByteTally tally_with(const uint8_t* p, size_t n) noexcept {
  constexpr unsigned kMaxWeight = [] {
    unsigned m = 1;
    ((m = Groups::kWeight > m ? Groups::kWeight : m), ...);
    return m;
  }();
  constexpr size_t kBlock = 255 / kMaxWeight;  // vectors per block
  uint64_t weight = 0, cont = 0;
  typename A::Vec top = A::zero();
  size_t i = 0;
  while (n - i >= A::kWidth) {
    typename A::Vec wacc = A::zero(), cacc = A::zero();
    size_t vectors = (n - i) / A::kWidth;
    if (vectors > kBlock) vectors = kBlock;
    for (size_t k = 0; k < vectors; ++k, i += A::kWidth) {
      const typename A::Vec v = A::load(p + i);
      ((wacc = A::add_weight(wacc, Groups::template match<A>(v), Groups::kWeight)), ...);
      if constexpr (Utf8) {
        cacc = A::add_weight(cacc, A::eq(A::and_(v, A::splat(0xC0)), 0x80), 1);
        top = A::max_(top, v);
      }
    }
    weight += A::sum_lanes(wacc);
    if constexpr (Utf8) cont += A::sum_lanes(cacc);
  }
  ByteTally t = tally_scalar<Utf8, Groups...>(p + i, n - i);
  t.weight += weight;
  if constexpr (Utf8) {
    t.continuations += cont;
    const uint8_t m = A::max_lane(top);
    t.max_byte = m > t.max_byte ? m : t.max_byte;
  }
  return t;
}

}  // namespace tessary::simd
