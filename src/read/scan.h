// Searches for the few bytes that make character data or an attribute value need work: '<'
// (never allowed there), '&' (a reference) and, in attribute values, tab, line feed and
// carriage return (normalised to spaces). Sixteen bytes are tested per step with SSE2 or NEON,
// or eight with word-wide arithmetic elsewhere; the tail is tested a byte at a time.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) || defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace tessary::read {

namespace scan_detail {

inline bool is_attr_special(unsigned char c) noexcept {
  return c == '<' || c == '&' || c == '\t' || c == '\n' || c == '\r';
}

#if !defined(__SSE2__) && !(defined(__ARM_NEON) || defined(__aarch64__))
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;
// High bit set in every byte of `w` equal to `c`. Bits above the lowest true match may be
// spurious, which is harmless because only the lowest one is used.
inline uint64_t match(uint64_t w, unsigned char c) noexcept {
  const uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHigh;
}
inline uint64_t load64(const char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;  // little-endian hosts: the first byte is the lowest
}
#endif

#if !defined(__SSE2__) && (defined(__ARM_NEON) || defined(__aarch64__))
// 4 bits per byte of a 0x00/0xFF compare result; the first match is ctz / 4.
inline uint64_t nibble_mask(uint8x16_t eq) noexcept {
  const uint8x8_t narrowed = vshrn_n_u16(vreinterpretq_u16_u8(eq), 4);
  return vget_lane_u64(vreinterpret_u64_u8(narrowed), 0) & 0x8888888888888888ull;
}
#endif

}  // namespace scan_detail

// The first '<' or '&' in [p, end), or end.
inline const char* find_lt_or_amp(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int m = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)));
    if (m != 0) return p + __builtin_ctz(static_cast<unsigned>(m));
    p += 16;
  }
#elif defined(__ARM_NEON) || defined(__aarch64__)
  const uint8x16_t lt = vdupq_n_u8('<'), amp = vdupq_n_u8('&');
  while (end - p >= 16) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
    const uint64_t m = scan_detail::nibble_mask(vorrq_u8(vceqq_u8(v, lt), vceqq_u8(v, amp)));
    if (m != 0) return p + (__builtin_ctzll(m) >> 2);
    p += 16;
  }
#else
  while (end - p >= 8) {
    const uint64_t w = scan_detail::load64(p);
    const uint64_t m = scan_detail::match(w, '<') | scan_detail::match(w, '&');
    if (m != 0) return p + (__builtin_ctzll(m) >> 3);
    p += 8;
  }
#endif
  for (; p < end; ++p)
    if (*p == '<' || *p == '&') return p;
  return end;
}

// The first '&' in [p, end), or end.
inline const char* find_amp(const char* p, const char* end) noexcept {
  const void* q = std::memchr(p, '&', static_cast<size_t>(end - p));
  return q ? static_cast<const char*>(q) : end;
}

// The first '<' in [p, end), or end.
inline const char* find_lt(const char* p, const char* end) noexcept {
  const void* q = std::memchr(p, '<', static_cast<size_t>(end - p));
  return q ? static_cast<const char*>(q) : end;
}

// The first '<', '&', tab, line feed or carriage return in [p, end), or end.
inline const char* find_attr_special(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
  const __m128i tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp)),
        _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
    const int m = _mm_movemask_epi8(hit);
    if (m != 0) return p + __builtin_ctz(static_cast<unsigned>(m));
    p += 16;
  }
#elif defined(__ARM_NEON) || defined(__aarch64__)
  const uint8x16_t lt = vdupq_n_u8('<'), amp = vdupq_n_u8('&');
  const uint8x16_t tab = vdupq_n_u8('\t'), lf = vdupq_n_u8('\n'), cr = vdupq_n_u8('\r');
  while (end - p >= 16) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
    const uint8x16_t hit = vorrq_u8(vorrq_u8(vceqq_u8(v, lt), vceqq_u8(v, amp)),
                                    vorrq_u8(vceqq_u8(v, tab), vorrq_u8(vceqq_u8(v, lf), vceqq_u8(v, cr))));
    const uint64_t m = scan_detail::nibble_mask(hit);
    if (m != 0) return p + (__builtin_ctzll(m) >> 2);
    p += 16;
  }
#else
  while (end - p >= 8) {
    const uint64_t w = scan_detail::load64(p);
    const uint64_t m = scan_detail::match(w, '<') | scan_detail::match(w, '&') | scan_detail::match(w, '\t') |
                       scan_detail::match(w, '\n') | scan_detail::match(w, '\r');
    if (m != 0) return p + (__builtin_ctzll(m) >> 3);
    p += 8;
  }
#endif
  for (; p < end; ++p)
    if (scan_detail::is_attr_special(static_cast<unsigned char>(*p))) return p;
  return end;
}

}  // namespace tessary::read
