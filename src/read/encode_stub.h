// Temporary scalar encoder until the vector kernels land.
#pragma once
#include <cstddef>
#include <cstdint>
namespace tessary::index {
struct Utf8Encoded {
  size_t bytes;
  bool ok;
};
template <class T>
inline Utf8Encoded encode_utf8_stub(const T* u, size_t n, uint8_t* out) {
  uint8_t* w = out;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = u[i];
    if (c < 0x80) {
      *w++ = static_cast<uint8_t>(c);
    } else if (c < 0x800) {
      *w++ = static_cast<uint8_t>(0xC0 | (c >> 6));
      *w++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c < 0xE000) return {i, false};
      *w++ = static_cast<uint8_t>(0xE0 | (c >> 12));
      *w++ = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      *w++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else {
      if (c > 0x10FFFF) return {i, false};
      *w++ = static_cast<uint8_t>(0xF0 | (c >> 18));
      *w++ = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
      *w++ = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      *w++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
    }
  }
  return {static_cast<size_t>(w - out), true};
}
inline Utf8Encoded encode_utf8(const uint8_t* u, size_t n, uint8_t* out) { return encode_utf8_stub(u, n, out); }
inline Utf8Encoded encode_utf8(const uint16_t* u, size_t n, uint8_t* out) { return encode_utf8_stub(u, n, out); }
inline Utf8Encoded encode_utf8(const uint32_t* u, size_t n, uint8_t* out) { return encode_utf8_stub(u, n, out); }
}  // namespace tessary::index
