#include "read/utf8.h"

#include <cstring>

namespace tessary::read {

namespace {

constexpr uint64_t kHigh = 0x8080808080808080ull;

inline uint64_t load64(const uint8_t* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline bool continuation(uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// Whether the code point is White_Space.
inline bool white_space(uint32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes the character of `n` bytes (1..4) at p, which is known to be valid UTF-8.
inline uint32_t decode_at(const uint8_t* p, size_t n) noexcept {
  switch (n) {
    case 1: return p[0];
    case 2: return (uint32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    case 3: return (uint32_t(p[0] & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    default:
      return (uint32_t(p[0] & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) | (uint32_t(p[2] & 0x3F) << 6) |
             (p[3] & 0x3F);
  }
}

inline size_t sequence_length(uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Checks the character starting at d[i]; advances i past it, or returns false with i left at
// the start of the invalid sequence.
inline bool step(const uint8_t* d, size_t n, size_t& i) noexcept {
  const uint8_t c = d[i];
  if (c < 0x80) {
    ++i;
    return true;
  }
  if (c < 0xC2) return false;  // continuation byte, or an overlong two-byte form (C0, C1)
  if (c < 0xE0) {
    if (i + 1 >= n || !continuation(d[i + 1])) return false;
    i += 2;
    return true;
  }
  if (c < 0xF0) {
    if (i + 2 >= n) return false;
    const uint8_t c1 = d[i + 1];
    const uint8_t lo = c == 0xE0 ? 0xA0 : 0x80;  // E0 80..9F is overlong
    const uint8_t hi = c == 0xED ? 0x9F : 0xBF;  // ED A0..BF are surrogates
    if (c1 < lo || c1 > hi || !continuation(d[i + 2])) return false;
    i += 3;
    return true;
  }
  if (c < 0xF5) {
    if (i + 3 >= n) return false;
    const uint8_t c1 = d[i + 1];
    const uint8_t lo = c == 0xF0 ? 0x90 : 0x80;  // F0 80..8F is overlong
    const uint8_t hi = c == 0xF4 ? 0x8F : 0xBF;  // F4 90.. is above U+10FFFF
    if (c1 < lo || c1 > hi || !continuation(d[i + 2]) || !continuation(d[i + 3])) return false;
    i += 4;
    return true;
  }
  return false;  // F5..FF never occur
}

}  // namespace

size_t find_invalid_utf8(const uint8_t* d, size_t n) noexcept {
  size_t i = 0;
  while (i + 16 <= n) {
    // ASCII stretches sixteen bytes per step; a block holding other bytes is checked
    // character by character.
    if (((load64(d + i) | load64(d + i + 8)) & kHigh) == 0) {
      i += 16;
      continue;
    }
    const size_t stop = i + 16;
    while (i < stop)
      if (!step(d, n, i)) return i;
  }
  while (i < n)
    if (!step(d, n, i)) return i;
  return n;
}

size_t leading_white_space(const char* text, size_t n) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  size_t i = 0;
  while (i < n) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      if (!white_space(c)) break;
      ++i;
      continue;
    }
    const size_t len = sequence_length(c);
    if (i + len > n || !white_space(decode_at(p + i, len))) break;
    i += len;
  }
  return i;
}

size_t trailing_white_space(const char* text, size_t n) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  size_t end = n;
  while (end > 0) {
    const uint8_t c = p[end - 1];
    if (c < 0x80) {
      if (!white_space(c)) break;
      --end;
      continue;
    }
    // Step back over continuation bytes to the lead byte of the last character.
    size_t start = end - 1;
    while (start > 0 && end - start < 4 && continuation(p[start])) --start;
    const size_t len = end - start;
    if (len != sequence_length(p[start]) || !white_space(decode_at(p + start, len))) break;
    end = start;
  }
  return n - end;
}

TextPosition text_position(const char* p, size_t length, uint64_t offset, bool skip_bom) noexcept {
  const size_t end = offset < length ? static_cast<size_t>(offset) : length;
  uint64_t line = 1;
  size_t line_start = 0;
  if (skip_bom && end >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) line_start = 3;
  for (size_t i = 0; i < end; ++i) {
    const char c = p[i];
    if (c == '\n' || (c == '\r' && (i + 1 >= length || p[i + 1] != '\n'))) {
      ++line;
      line_start = i + 1;
    }
  }
  uint64_t column = 0;  // code points: every byte that is not a continuation byte
  for (size_t i = line_start; i < end; ++i) {
    column += (static_cast<unsigned char>(p[i]) & 0xC0) != 0x80;
  }
  return {line, column};
}

}  // namespace tessary::read
