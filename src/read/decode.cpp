#include "read/decode.h"

#include <cstring>
#include <string_view>

#include "read/scan.h"

namespace tessary::read {

namespace {

// The next byte at or after p that needs work in this mode, or end.
inline const char* next_special(const char* p, const char* end, DecodeMode mode) noexcept {
  if (mode == DecodeMode::Text) return find_amp(p, end);
  for (;;) {
    p = find_attr_special(p, end);
    if (p == end || *p != '<') return p;
    ++p;  // '<' needs no work here; the caller rejects it where it matters
  }
}

inline int hex_digit(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code point of a numeric reference body ("#65", "#x41", "#+65", ...), or 0 when it is
// not a valid one.
uint32_t character_reference(std::string_view body) noexcept {
  size_t i = 1;  // past '#'
  unsigned radix = 10;
  if (i < body.size() && body[i] == 'x') {
    radix = 16;
    ++i;
  }
  if (i < body.size() && body[i] == '+') ++i;
  if (i == body.size()) return 0;
  uint64_t value = 0;
  for (; i < body.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    const int d = radix == 16 ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return 0;
    value = value * radix + static_cast<unsigned>(d);
    if (value > 0xFFFFFFFFull) return 0;  // does not fit in 32 bits
  }
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  return static_cast<uint32_t>(value);
}

// The decoded text, written into room the caller sized to the run: decoding never lengthens it.
struct Out {
  char* p;
  size_t n = 0;
  void append(const char* s, size_t k) noexcept {
    if (k != 0) std::memcpy(p + n, s, k);
    n += k;
  }
  void push_back(char c) noexcept { p[n++] = c; }
};

void append_utf8(Out& out, uint32_t c) noexcept {
  char b[4];
  size_t n;
  if (c < 0x80) {
    b[0] = static_cast<char>(c);
    n = 1;
  } else if (c < 0x800) {
    b[0] = static_cast<char>(0xC0 | (c >> 6));
    b[1] = static_cast<char>(0x80 | (c & 0x3F));
    n = 2;
  } else if (c < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (c >> 12));
    b[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (c & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (c >> 18));
    b[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (c & 0x3F));
    n = 4;
  }
  out.append(b, n);
}

// The character of a predefined entity, or 0 for any other name.
inline char predefined(std::string_view name) noexcept {
  switch (name.size()) {
    case 2:
      if (name == "lt") return '<';
      if (name == "gt") return '>';
      return 0;
    case 3: return name == "amp" ? '&' : 0;
    case 4:
      if (name == "quot") return '"';
      if (name == "apos") return '\'';
      return 0;
    default: return 0;
  }
}

DecodeStatus fail(ReadError& error, ReadError e) noexcept {
  error = std::move(e);
  return DecodeStatus::Failed;
}

}  // namespace

DecodeStatus decode_into(const char* run, size_t length, size_t first, uint64_t base, DecodeMode mode, char* into,
                         size_t& written, ReadError& error) noexcept {
  Out out{into};
  out.append(run, first);
  const char* const end = run + length;
  const char* p = run + first;
  while (p < end) {
    const char* q = next_special(p, end, mode);
    out.append(p, static_cast<size_t>(q - p));
    p = q;
    if (p == end) break;
    if (*p != '&') {
      // Tab, line feed or carriage return in an attribute value.
      out.push_back(' ');
      p += (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
      continue;
    }
    const uint64_t at = base + static_cast<uint64_t>(p - run);
    const void* semi = std::memchr(p + 1, ';', static_cast<size_t>(end - p - 1));
    if (semi == nullptr) return fail(error, ReadError::at(ReadError::Code::UnterminatedReference, at));
    const char* s = static_cast<const char*>(semi);
    const std::string_view body(p + 1, static_cast<size_t>(s - p - 1));
    if (body.empty() || body[0] != '#') {
      const char c = predefined(body);
      if (c == 0) return fail(error, ReadError::at(ReadError::Code::UnknownEntity, at, body));
      out.push_back(c);
    } else {
      const uint32_t cp = character_reference(body);
      if (cp == 0) return fail(error, ReadError::at(ReadError::Code::InvalidCharacterReference, at, body));
      append_utf8(out, cp);
    }
    p = s + 1;
  }
  written = out.n;
  return DecodeStatus::Changed;
}

}  // namespace tessary::read
