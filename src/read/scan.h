// Searches for the few bytes that make character data or an attribute value need work: '<'
// (never allowed there), '&' (a reference) and, in attribute values, tab, line feed and
// carriage return (normalised to spaces). The searches for a set of bytes run a vector at a time
// on the byte primitives of the target CPU; a single byte is found with the C library's memchr,
// which is tuned for long ranges on every CPU.
#pragma once

#include <cstdint>
#include <cstring>

#include "simd/bytes.h"

namespace tessary::read {

namespace scan_detail {

inline const uint8_t* bytes(const char* p) noexcept { return reinterpret_cast<const uint8_t*>(p); }
inline const char* chars(const uint8_t* p) noexcept { return reinterpret_cast<const char*>(p); }

}  // namespace scan_detail

// The first '<' or '&' in [p, end), or end.
inline const char* find_lt_or_amp(const char* p, const char* end) noexcept {
  return scan_detail::chars(simd::find_any<'<', '&'>(scan_detail::bytes(p), scan_detail::bytes(end)));
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
  return scan_detail::chars(
      simd::find_any<'<', '&', '\t', '\n', '\r'>(scan_detail::bytes(p), scan_detail::bytes(end)));
}

}  // namespace tessary::read
