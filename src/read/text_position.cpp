#include "read/text_position.h"

#include <cstring>

namespace tessary::read {

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
