// Escaping of element text and attribute values into a sink. Text mode replaces & < > " ';
// attribute mode also replaces tab, line feed and carriage return with character references.
// Every replaced character is one ASCII byte, so a byte scan finds exactly the characters a
// character scan would; the scan runs 16 bytes at a time, and each run of bytes that need no
// replacement goes to the sink as one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#define TESSARY_ESCAPE_SSE2 1
#elif defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>
#define TESSARY_ESCAPE_NEON 1
#endif

namespace tessary::write {

enum class EscapeMode : uint8_t { Text = 1, Attribute = 2 };

namespace escape_detail {

// Bit 1: replaced in text mode; bit 2: replaced in attribute mode.
struct ByteClasses {
  uint8_t cls[256];
  constexpr ByteClasses() : cls() {
    for (unsigned char c : {'&', '<', '>', '"', '\''}) cls[c] = 3;
    for (unsigned char c : {'\t', '\r', '\n'}) cls[c] = 2;
  }
};
inline constexpr ByteClasses kClasses{};

struct Replacement {
  const char* text;
  size_t size;
};

inline Replacement replacement(unsigned char c) noexcept {
  switch (c) {
    // Each text is padded with NULs to at least 6 readable bytes, so it can be copied with a
    // fixed-size move; `size` is its length.
    case '&': return {"&amp;\0", 5};
    case '<': return {"&lt;\0\0", 4};
    case '>': return {"&gt;\0\0", 4};
    case '"': return {"&quot;", 6};
    case '\'': return {"&apos;", 6};
    case '\t': return {"&#9;\0\0", 4};
    case '\r': return {"&#13;\0", 5};
    default: return {"&#10;\0", 5};  // '\n', the only other byte a mode replaces
  }
}

// A 16-byte block's special bytes, as a bit mask with `kBitsPerByte` bits per byte (the lowest
// bit of each group set when the byte is special).
#if TESSARY_ESCAPE_SSE2
inline constexpr unsigned kBitsPerByte = 1;
template <EscapeMode M>
inline uint64_t block_mask(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('&')), _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
  m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
  m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
  m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
  if constexpr (M == EscapeMode::Attribute) {
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
  }
  return static_cast<uint32_t>(_mm_movemask_epi8(m));
}
#elif TESSARY_ESCAPE_NEON
inline constexpr unsigned kBitsPerByte = 4;
template <EscapeMode M>
inline uint64_t block_mask(const unsigned char* p) noexcept {
  const uint8x16_t v = vld1q_u8(p);
  uint8x16_t m = vorrq_u8(vceqq_u8(v, vdupq_n_u8('&')), vceqq_u8(v, vdupq_n_u8('<')));
  m = vorrq_u8(m, vceqq_u8(v, vdupq_n_u8('>')));
  m = vorrq_u8(m, vceqq_u8(v, vdupq_n_u8('"')));
  m = vorrq_u8(m, vceqq_u8(v, vdupq_n_u8('\'')));
  if constexpr (M == EscapeMode::Attribute) {
    m = vorrq_u8(m, vceqq_u8(v, vdupq_n_u8('\t')));
    m = vorrq_u8(m, vceqq_u8(v, vdupq_n_u8('\n')));
    m = vorrq_u8(m, vceqq_u8(v, vdupq_n_u8('\r')));
  }
  // Narrow each 16-bit lane by 4: one nibble per byte, all ones where the byte matched.
  const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(m), 4);
  return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x1111111111111111ull;
}
#else
// Word at a time: two 8-byte words, one bit per byte at the top of each byte.
inline constexpr unsigned kBitsPerByte = 8;
inline uint64_t zero_bytes(uint64_t x) noexcept {
  // 0x80 exactly in the bytes of x that are zero (no false positives).
  const uint64_t lo7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((x & lo7) + lo7) | x | lo7);
}
template <EscapeMode M>
inline uint64_t word_mask(uint64_t w) noexcept {
  constexpr uint64_t ones = 0x0101010101010101ull;
  uint64_t m = zero_bytes(w ^ (ones * '&')) | zero_bytes(w ^ (ones * '<')) | zero_bytes(w ^ (ones * '>')) |
               zero_bytes(w ^ (ones * '"')) | zero_bytes(w ^ (ones * '\''));
  if constexpr (M == EscapeMode::Attribute) {
    m |= zero_bytes(w ^ (ones * '\t')) | zero_bytes(w ^ (ones * '\n')) | zero_bytes(w ^ (ones * '\r'));
  }
  return m >> 7;  // lowest bit of each byte
}
#endif

// Whether any byte of the word is one that mode M replaces (no false answers either way).
template <EscapeMode M>
inline bool word_has_special(uint64_t x) noexcept {
  constexpr uint64_t ones = 0x0101010101010101ull;
  constexpr uint64_t lo7 = 0x7F7F7F7F7F7F7F7Full;
  auto zero = [](uint64_t v) { return ~(((v & lo7) + lo7) | v | lo7); };  // 0x80 in each zero byte
  uint64_t m = zero(x ^ (ones * '&')) | zero(x ^ (ones * '<')) | zero(x ^ (ones * '>')) |
               zero(x ^ (ones * '"')) | zero(x ^ (ones * '\''));
  if constexpr (M == EscapeMode::Attribute) {
    m |= zero(x ^ (ones * '\t')) | zero(x ^ (ones * '\n')) | zero(x ^ (ones * '\r'));
  }
  return m != 0;
}

// Whether any of the n < 16 bytes at p is replaced by mode M. Reads only [p, p + n).
template <EscapeMode M>
inline bool short_has_special(const unsigned char* p, size_t n) noexcept {
  uint64_t a, b;
  if (n >= 8) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = b = x | (uint64_t{y} << 32);
  } else if (n > 0) {
    // One to three bytes, each repeated to fill the word ('a' is never replaced).
    a = b = uint64_t{p[0]} | (uint64_t{p[n / 2]} << 8) | (uint64_t{p[n - 1]} << 16) | (0x6161616161ull << 24);
  } else {
    return false;
  }
  return word_has_special<M>(a) || word_has_special<M>(b);
}

// Calls on_special(offset) for each byte of [p, p + n) that mode M replaces, in order.
template <EscapeMode M, class F>
inline bool for_each_special(const unsigned char* p, size_t n, F&& on_special) noexcept {
  size_t i = 0;
#if TESSARY_ESCAPE_SSE2 || TESSARY_ESCAPE_NEON
  for (; i + 16 <= n; i += 16) {
    uint64_t m = block_mask<M>(p + i);
    while (m != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(m));
      if (!on_special(i + bit / kBitsPerByte)) return false;
      m &= m - 1;
    }
  }
#else
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);  // little-endian: byte k is bits 8k..8k+7
    uint64_t m = word_mask<M>(w);
    while (m != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(m));
      if (!on_special(i + bit / kBitsPerByte)) return false;
      m &= m - 1;
    }
  }
#endif
  constexpr uint8_t want = static_cast<uint8_t>(M);
  for (; i < n; ++i) {
    if ((kClasses.cls[p[i]] & want) != 0 && !on_special(i)) return false;
  }
  return true;
}

template <EscapeMode M, class Sink>
inline bool write_escaped_in(Sink& sink, std::string_view text) noexcept {
  const char* base = text.data();
  size_t run = 0;  // start of the current run of unreplaced bytes
  const bool ok = for_each_special<M>(reinterpret_cast<const unsigned char*>(base), text.size(), [&](size_t at) {
    if (at > run && !sink.append(base + run, at - run)) return false;
    const Replacement r = replacement(static_cast<unsigned char>(base[at]));
    run = at + 1;
    return sink.append(r.text, r.size);
  });
  if (!ok) return false;
  return run >= text.size() || sink.append(base + run, text.size() - run);
}

}  // namespace escape_detail

// Appends `text` to the sink with the characters of `mode` replaced. Returns false at the first
// failed append (the rest of the text is not written).
template <class Sink>
inline bool write_escaped(Sink& sink, std::string_view text, EscapeMode mode) noexcept {
  if (text.empty()) return true;
  return mode == EscapeMode::Text ? escape_detail::write_escaped_in<EscapeMode::Text>(sink, text)
                                  : escape_detail::write_escaped_in<EscapeMode::Attribute>(sink, text);
}

// Copies `n` bytes to `w` and returns the end. Short pieces (names, keys, short values) are
// copied with a pair of overlapping fixed-size moves instead of a call.
inline char* copy_piece(char* w, const char* p, size_t n) noexcept {
  if (n <= 16) {
    if (n >= 8) {
      std::memcpy(w, p, 8);
      std::memcpy(w + n - 8, p + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(w, p, 4);
      std::memcpy(w + n - 4, p + n - 4, 4);
    } else if (n > 0) {
      w[0] = p[0];
      w[n / 2] = p[n / 2];
      w[n - 1] = p[n - 1];
    }
    return w + n;
  }
  std::memcpy(w, p, n);
  return w + n;
}

// Writes `text` escaped for `mode` at `w`, which has room for 6 bytes per byte of text (the
// longest replacement), and returns the end.
template <EscapeMode M>
inline char* escape_into(char* w, std::string_view text) noexcept {
  const char* base = text.data();
  const size_t n = text.size();
  if (n < 16) {
    // Most short texts and values have nothing to replace: their bytes are gathered into two
    // words (overlapping, so none is read past the end; a byte seen twice changes nothing) and
    // checked eight at a time, and then copied whole.
    if (!escape_detail::short_has_special<M>(reinterpret_cast<const unsigned char*>(base), n)) {
      return copy_piece(w, base, n);
    }
    constexpr uint8_t want = static_cast<uint8_t>(M);
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(base[i]);
      if ((escape_detail::kClasses.cls[c] & want) == 0) [[likely]] {
        *w++ = static_cast<char>(c);
      } else {
        const escape_detail::Replacement r = escape_detail::replacement(c);
        std::memcpy(w, r.text, 6);  // every replacement text is padded to 6 readable bytes
        w += r.size;
      }
    }
    return w;
  }
  size_t run = 0;
  escape_detail::for_each_special<M>(reinterpret_cast<const unsigned char*>(base), n, [&](size_t at) {
    w = copy_piece(w, base + run, at - run);
    const escape_detail::Replacement r = escape_detail::replacement(static_cast<unsigned char>(base[at]));
    std::memcpy(w, r.text, 6);
    w += r.size;
    run = at + 1;
    return true;
  });
  return copy_piece(w, base + run, n - run);
}

}  // namespace tessary::write
