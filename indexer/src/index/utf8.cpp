#include "index/utf8.h"

#include <cstring>

#include "simd/bytes.h"
#include "simd/generic/utf8.h"
#include "simd/kernels.h"

namespace tessary::index {

Utf8Shape measure_utf8(const uint8_t* p, size_t n) {
  // Blocks of at most 255 * 64 bytes keep the per-lane counters of the vectorised loop small.
  uint64_t cont = 0;
  uint8_t top = 0;
  size_t i = 0;
  while (i < n) {
    const size_t end = n - i > 16320 ? i + 16320 : n;
    uint32_t c = 0;
    uint8_t m = 0;
    for (size_t j = i; j < end; ++j) {
      c += static_cast<int8_t>(p[j]) < -64;  // 0x80..0xBF
      m = p[j] > m ? p[j] : m;
    }
    cont += c;
    top = m > top ? m : top;
    i = end;
  }
  return {n - cont, top};
}

uint64_t count_chars(const uint8_t* p, size_t n) {
  // Continuation bytes are 10xxxxxx: bit 7 set and bit 6 clear. Each word adds one to a byte of
  // `sums` per continuation byte in that place; before a byte of it can overflow (255 words),
  // the eight byte sums are added up.
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t cont = 0;
  size_t i = 0;
  while (n - i >= 8) {
    uint64_t sums = 0;
    const size_t words = (n - i) / 8 < 255 ? (n - i) / 8 : 255;
    for (size_t k = 0; k < words; ++k, i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      sums += ((w >> 7) & ~(w >> 6)) & kOnes;
    }
    const uint64_t pairs = (sums & 0x00FF00FF00FF00FFull) + ((sums >> 8) & 0x00FF00FF00FF00FFull);
    cont += (pairs * 0x0001000100010001ull) >> 48;
  }
  for (; i < n; ++i) cont += (p[i] & 0xC0) == 0x80;
  return n - cont;
}

uint8_t max_byte(const uint8_t* p, size_t n) {
  uint8_t m = 0;
  for (size_t i = 0; i < n; ++i) m = p[i] > m ? p[i] : m;
  return m;
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint8_t* out, size_t capacity, Kernel k) {
  // The vector kernels' form: ASCII a vector at a time with the compiler's target primitives.
  if (k == Kernel::Scalar) return simd::decode_scalar_from(p, n, 0, out, capacity, 0, 0);
  return simd::decode_latin1_with<tessary::simd::Native>(p, n, out, capacity);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint16_t* out, size_t capacity, Kernel k) {
  return simd::ops_or_scalar(k).decode_ucs2(p, n, out, capacity);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, uint32_t* out, size_t capacity, Kernel k) {
  return simd::ops_or_scalar(k).decode_ucs4(p, n, out, capacity);
}

Utf8Decoded decode_utf8(const uint8_t* p, size_t n, void* out, unsigned width, size_t capacity) {
  switch (width) {
    case 1:
      return simd::decode_latin1_with<tessary::simd::Native>(p, n, static_cast<uint8_t*>(out), capacity);
    case 2: {
      static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
      return best.decode_ucs2(p, n, static_cast<uint16_t*>(out), capacity);
    }
    default: {
      static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
      return best.decode_ucs4(p, n, static_cast<uint32_t*>(out), capacity);
    }
  }
}

// ---- encoding ----------------------------------------------------------------------------------

Utf8Encoded encode_utf8(const uint8_t* units, size_t n, uint8_t* out) {
  static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
  return best.encode_ucs1(units, n, out);
}

Utf8Encoded encode_utf8(const uint16_t* units, size_t n, uint8_t* out) {
  static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
  return best.encode_ucs2(units, n, out);
}

Utf8Encoded encode_utf8(const uint32_t* units, size_t n, uint8_t* out) {
  static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
  return best.encode_ucs4(units, n, out);
}

Utf8Encoded encode_utf8(const uint8_t* units, size_t n, uint8_t* out, Kernel k) {
  return simd::ops_or_scalar(k).encode_ucs1(units, n, out);
}

Utf8Encoded encode_utf8(const uint16_t* units, size_t n, uint8_t* out, Kernel k) {
  return simd::ops_or_scalar(k).encode_ucs2(units, n, out);
}

Utf8Encoded encode_utf8(const uint32_t* units, size_t n, uint8_t* out, Kernel k) {
  return simd::ops_or_scalar(k).encode_ucs4(units, n, out);
}

// ---- validation -------------------------------------------------------------------------------

namespace {

const simd::KernelOps& best_ops() {
  static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
  return best;
}

// Bytes in the character a lead byte starts, as far as holding a cut character back goes: bytes
// that cannot start one count as complete, and the check reports them.
inline size_t expected_length(uint8_t lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

size_t find_invalid_utf8(const uint8_t* data, size_t length) {
  uint8_t max;
  return best_ops().validate_utf8(data, length, &max);
}

size_t find_invalid_utf8(const uint8_t* data, size_t length, Kernel k) {
  uint8_t max;
  return simd::ops_or_scalar(k).validate_utf8(data, length, &max);
}

Utf8Validator::Utf8Validator() : validate_(best_ops().validate_utf8) {}

Utf8Validator::Utf8Validator(Kernel k) : validate_(simd::ops_or_scalar(k).validate_utf8) {}

bool Utf8Validator::fail(uint64_t at) {
  failed_ = true;
  error_ = at;
  return false;
}

bool Utf8Validator::feed(const uint8_t* p, size_t n) {
  if (failed_) return false;
  size_t i = 0;
  if (held_len_ > 0) {
    // Complete the character held back, then check it alone: the checks of one character look
    // at its own bytes only.
    const size_t need = expected_length(held_[0]);
    while (held_len_ < need && i < n) held_[held_len_++] = p[i++];
    if (held_len_ < need) {
      seen_ += n;
      return true;
    }
    uint8_t m;
    if (validate_(held_, need, &m) != need) return fail(held_at_);
    note_max(m);
    held_len_ = 0;
  }
  // Hold back a character that the end of the piece cuts: the last byte among the final three
  // that is not a continuation byte starts the last character. Checking the piece up to there
  // as a text of its own finds the same first error as checking the whole text: a sequence that
  // the cut would truncate would have to continue through that byte, which is not a
  // continuation byte.
  size_t keep = 0;
  for (size_t back = 1; back <= 3 && back <= n - i; ++back) {
    const uint8_t c = p[n - back];
    if ((c & 0xC0) != 0x80) {
      if (expected_length(c) > back) keep = back;
      break;
    }
  }
  const size_t cut = n - keep;
  uint8_t m;
  const size_t bad = validate_(p + i, cut - i, &m);
  if (bad != cut - i) return fail(seen_ + i + bad);
  note_max(m);
  held_at_ = seen_ + cut;
  held_len_ = static_cast<uint8_t>(keep);
  if (keep != 0) std::memcpy(held_, p + cut, keep < sizeof held_ ? keep : sizeof held_);
  seen_ += n;
  return true;
}

bool Utf8Validator::finish() {
  if (failed_) return false;
  if (held_len_ > 0) return fail(held_at_);
  return true;
}

// ---- White_Space ------------------------------------------------------------------------------

namespace {

inline bool continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

inline bool white_space(uint32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// The character of `n` bytes (1..4) at p, which is known to be valid UTF-8.
inline uint32_t decode_at(const uint8_t* p, size_t n) {
  switch (n) {
    case 1: return p[0];
    case 2: return (uint32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    case 3: return (uint32_t(p[0] & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    default:
      return (uint32_t(p[0] & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) | (uint32_t(p[2] & 0x3F) << 6) |
             (p[3] & 0x3F);
  }
}

inline size_t sequence_length(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

size_t leading_white_space(const char* text, size_t n) {
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

size_t trailing_white_space(const char* text, size_t n) {
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

}  // namespace tessary::index
