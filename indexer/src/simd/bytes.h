// Inline byte primitives for the compiler's target instruction set, chosen at compile time, for
// the short scans in the reader's and the writer's hot loops (a call through the kernel table
// would cost more than most of those scans).
//
// `Native` is one architecture's primitive set (x86/sse2.h, neon/neon.h or swar/swar.h), each a
// struct with
//   Vec                          a vector of kWidth bytes
//   load(p), store(p, v)         kWidth bytes from or to p (no alignment needed)
//   from_words(a, b)             (16-byte vectors) the bytes of two 64-bit words
//   eq(v, c), eq_any<Cs...>(v)   per-byte compare against one byte or a set of bytes
//   or_(a, b), and_(a, b)
//   bits(m)                      the compare result as a bit mask, 2^kShift bits per byte of
//                                which one is set for each matching byte
//   any(m), any_high(v)          a byte matched; a byte is 0x80 or above
//   max_(a, b), max_lane(v)      byte-wise maximum; the largest byte
//   zero(), add_weight(acc, m, w), sum_lanes(v)
//                                per-byte counters: add w where m matched; their sum
// Every search here has a byte-at-a-time twin in byteset.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/arch.h"
#include "simd/byteset.h"
#include "simd/generic/scan.h"
#include "simd/swar/swar.h"

#if TESSARY_SIMD_SSE2
#include "simd/x86/sse2.h"
#elif TESSARY_SIMD_NEON
#include "simd/neon/neon.h"
#endif

namespace tessary::simd {

#if TESSARY_SIMD_SSE2
using Native = sse2::Arch;
#elif TESSARY_SIMD_NEON
using Native = neon::Arch;
#else
using Native = swar::Arch;
#endif

// The first byte of [p, end) that is one of Cs, or end.
template <uint8_t... Cs>
inline const uint8_t* find_any(const uint8_t* p, const uint8_t* end) noexcept {
  return find_any_with<Native, Cs...>(p, end);
}

// The first byte of [p, end) that is at most Low or one of Cs, or end.
template <uint8_t Low, uint8_t... Cs>
inline const uint8_t* find_low_or_any(const uint8_t* p, const uint8_t* end) noexcept {
  return find_low_or_any_with<Native, Low, Cs...>(p, end);
}

// The first byte of [p, end) that has every bit of Mask set, or end.
template <uint8_t Mask>
inline const uint8_t* find_masked(const uint8_t* p, const uint8_t* end) noexcept {
  return find_masked_with<Native, Mask>(p, end);
}

// Calls f(offset) for each byte of [p, p + n) that is one of Cs, in order, while f returns
// true; false when f stopped the walk.
template <uint8_t... Cs, class F>
inline bool for_each_match(const uint8_t* p, size_t n, F&& f) noexcept {
  return for_each_match_with<Native, Cs...>(p, n, static_cast<F&&>(f));
}

// The white space at the ends of a run of at most kShortText bytes, and whether it holds '&' or
// '<' (ShortText, byteset.h); kShortText bytes must be readable at p.
inline constexpr size_t kShortText = Native::kWidth;
inline ShortText short_text(const uint8_t* p, size_t n) noexcept { return short_text_with<Native>(p, n); }

// Bit i set when p[i] is a tag mark (simd::tag_mark), for the kTagBlock bytes at p, which
// must be readable.
inline constexpr size_t kTagBlock = 64;
inline uint64_t tag_marks(const uint8_t* p) noexcept { return tag_marks_with<Native>(p); }

// Whether any of the n bytes at p (n < 16) is one of Cs, reading only [p, p + n); `Filler` is a
// byte outside the set.
template <uint8_t Filler, uint8_t... Cs>
inline bool any_in_short(const uint8_t* p, size_t n) noexcept {
  return any_in_short_with<Native, Filler, Cs...>(p, n);
}

// The weights of the bytes of [p, p + n) in Groups (simd::Weighted) and, when Utf8, the number
// of continuation bytes and the largest byte.
template <bool Utf8, class... Groups>
inline ByteTally tally(const uint8_t* p, size_t n) noexcept {
  return tally_with<Native, Utf8, Groups...>(p, n);
}

}  // namespace tessary::simd
