// Escaping of element text and attribute values into a sink. Text mode replaces & < > " ';
// attribute mode also replaces tab, line feed and carriage return with character references.
// Every replaced character is one ASCII byte, so a byte scan finds exactly the characters a
// character scan would; the scan runs a vector at a time on the byte primitives of the target
// CPU, and each run of bytes that need no replacement goes to the sink as one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "simd/bytes.h"

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

// The replacement of every byte a mode replaces, by byte: a lookup rather than a branch on the
// byte, which escape-dense text (markup kept as text) would mispredict. Each text is padded with
// NULs to 6 readable bytes, so it can be copied with a fixed-size move; `size` is its length.
struct ReplacementTable {
  char text[256][6];
  uint8_t size[256];
  constexpr ReplacementTable() : text(), size() {
    set('&', "&amp;");
    set('<', "&lt;");
    set('>', "&gt;");
    set('"', "&quot;");
    set('\'', "&apos;");
    set('\t', "&#9;");
    set('\r', "&#13;");
    set('\n', "&#10;");
  }
  constexpr void set(unsigned char c, const char* r) {
    uint8_t n = 0;
    for (; r[n] != 0; ++n) text[c][n] = r[n];
    size[c] = n;
  }
};
inline constexpr ReplacementTable kReplacements{};

// The replacement of a byte that a mode replaces.
inline Replacement replacement(unsigned char c) noexcept { return {kReplacements.text[c], kReplacements.size[c]}; }

// The bytes mode M replaces, for the byte primitives.
template <EscapeMode M>
struct Specials;
template <>
struct Specials<EscapeMode::Text> {
  template <template <uint8_t...> class Use>
  using apply = Use<'&', '<', '>', '"', '\''>;
};
template <>
struct Specials<EscapeMode::Attribute> {
  template <template <uint8_t...> class Use>
  using apply = Use<'&', '<', '>', '"', '\'', '\t', '\n', '\r'>;
};

template <uint8_t... Cs>
struct SpecialScan {
  template <class F>
  static bool for_each(const unsigned char* p, size_t n, F&& f) noexcept {
    return simd::for_each_match<Cs...>(p, n, static_cast<F&&>(f));
  }
  // 'a' is never replaced: it pads ranges of fewer than four bytes.
  static bool any_short(const unsigned char* p, size_t n) noexcept { return simd::any_in_short<'a', Cs...>(p, n); }
  // For 16 bytes or more: a vector at a time, the last one overlapping the one before.
  static bool any(const unsigned char* p, size_t n) noexcept { return simd::find_any<Cs...>(p, p + n) != p + n; }
};

// Whether any of the n < 16 bytes at p is replaced by mode M. Reads only [p, p + n).
template <EscapeMode M>
inline bool short_has_special(const unsigned char* p, size_t n) noexcept {
  return Specials<M>::template apply<SpecialScan>::any_short(p, n);
}

// Whether any of the n >= 16 bytes at p is replaced by mode M. Reads only [p, p + n).
template <EscapeMode M>
inline bool has_special(const unsigned char* p, size_t n) noexcept {
  return Specials<M>::template apply<SpecialScan>::any(p, n);
}

// Calls on_special(offset) for each byte of [p, p + n) that mode M replaces, in order, while it
// returns true; false when it stopped the walk.
template <EscapeMode M, class F>
inline bool for_each_special(const unsigned char* p, size_t n, F&& on_special) noexcept {
  return Specials<M>::template apply<SpecialScan>::for_each(p, n, static_cast<F&&>(on_special));
}

// Each replaced byte adds its replacement's length less one to the output: the weights of a
// tally of what escaping a text makes of it.
template <EscapeMode M>
struct Growth;
template <>
struct Growth<EscapeMode::Text> {
  template <bool Utf8>
  static simd::ByteTally tally(const unsigned char* p, size_t n) noexcept {
    return simd::tally<Utf8, simd::Weighted<3, '<', '>'>, simd::Weighted<4, '&'>, simd::Weighted<5, '"', '\''>>(p, n);
  }
};
template <>
struct Growth<EscapeMode::Attribute> {
  template <bool Utf8>
  static simd::ByteTally tally(const unsigned char* p, size_t n) noexcept {
    return simd::tally<Utf8, simd::Weighted<3, '<', '>', '\t'>, simd::Weighted<4, '&', '\r', '\n'>,
                       simd::Weighted<5, '"', '\''>>(p, n);
  }
};

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

// What `text` becomes when escaped for mode M: its characters (UTF-8 sequences) and, when Utf8,
// its largest byte. Without Utf8 the text is taken to be ASCII: a byte is a character.
struct EscapedSize {
  uint64_t chars;
  uint8_t max_byte;
};
template <EscapeMode M, bool Utf8>
inline EscapedSize escaped_size(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  // Most short texts and values are ASCII with nothing to replace: two word-wide checks say so.
  if (text.size() < 16 && !escape_detail::short_has_special<M>(p, text.size()) &&
      (!Utf8 || !simd::swar::any_high_in_short(p, text.size()))) {
    return {text.size(), 0};
  }
  const simd::ByteTally t = escape_detail::Growth<M>::template tally<Utf8>(p, text.size());
  return {text.size() - t.continuations + t.weight, t.max_byte};
}

// Copies `n` bytes to `w` and returns the end. Pieces of up to 32 bytes (names, keys, most
// values and texts) are copied with a pair of overlapping fixed-size moves instead of a call.
inline char* copy_piece(char* w, const char* p, size_t n) noexcept {
  if (n > 16 && n <= 32) {
    std::memcpy(w, p, 16);
    std::memcpy(w + n - 16, p + n - 16, 16);
    return w + n;
  }
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

// copy_piece for 16 to 64 bytes: two or four overlapping 16-byte moves.
inline char* copy_medium(char* w, const char* p, size_t n) noexcept {
  if (n <= 32) return copy_piece(w, p, n);
  std::memcpy(w, p, 16);
  std::memcpy(w + 16, p + 16, 16);
  std::memcpy(w + n - 32, p + n - 32, 16);
  std::memcpy(w + n - 16, p + n - 16, 16);
  return w + n;
}

namespace escape_detail {

// escape_into for a text of fewer than 16 bytes that has a byte to replace: a byte at a time.
template <EscapeMode M>
[[gnu::noinline]] char* escape_short(char* w, const char* base, size_t n) noexcept {
  constexpr uint8_t want = static_cast<uint8_t>(M);
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(base[i]);
    if ((kClasses.cls[c] & want) == 0) [[likely]] {
      *w++ = static_cast<char>(c);
    } else {
      const Replacement r = replacement(c);
      std::memcpy(w, r.text, 6);  // every replacement text is padded to 6 readable bytes
      w += r.size;
    }
  }
  return w;
}

// escape_into for a text of 16 bytes or more: a vector at a time, each run between replaced
// bytes copied whole.
template <EscapeMode M>
[[gnu::noinline]] char* escape_long(char* w, const char* base, size_t n) noexcept {
  size_t run = 0;
  for_each_special<M>(reinterpret_cast<const unsigned char*>(base), n, [&](size_t at) {
    // Runs between replaced bytes are short in escape-dense text: with 16 bytes of text left
    // (so that much can be read, and the room for six bytes per byte left holds that much
    // output), a run of up to 16 bytes is one fixed-size move whatever its length.
    if (at - run <= 16 && n - run >= 16) {
      std::memcpy(w, base + run, 16);
      w += at - run;
    } else {
      w = copy_piece(w, base + run, at - run);
    }
    const Replacement r = replacement(static_cast<unsigned char>(base[at]));
    std::memcpy(w, r.text, 6);
    w += r.size;
    run = at + 1;
    return true;
  });
  return copy_piece(w, base + run, n - run);
}

}  // namespace escape_detail

// Writes `text` escaped for `mode` at `w`, which has room for 6 bytes per byte of text (the
// longest replacement), and returns the end. The common case, a short text with nothing to
// replace, is inlined where it is written: its bytes are gathered (overlapping, so none is read
// past the end; a byte seen twice changes nothing), tested in one step and copied whole.
template <EscapeMode M>
[[gnu::always_inline]] inline char* escape_into(char* w, std::string_view text) noexcept {
  const char* base = text.data();
  const size_t n = text.size();
  if (n < 16) {
    if (!escape_detail::short_has_special<M>(reinterpret_cast<const unsigned char*>(base), n)) [[likely]] {
      return copy_piece(w, base, n);
    }
    return escape_detail::escape_short<M>(w, base, n);
  }
  // Values and texts of up to 64 bytes with nothing to replace (long names, numbers, paths,
  // sentences) are checked and copied inline too.
  if (n <= 64 && !escape_detail::has_special<M>(reinterpret_cast<const unsigned char*>(base), n)) [[likely]] {
    return copy_medium(w, base, n);
  }
  return escape_detail::escape_long<M>(w, base, n);
}

}  // namespace tessary::write
