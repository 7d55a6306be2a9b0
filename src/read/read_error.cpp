#include "read/read_error.h"

namespace tessary::read {

std::string ReadError::text() const {
  const std::string_view pattern = kReadMessages[static_cast<size_t>(code)];
  std::string out;
  out.reserve(pattern.size() + a.size() + b.size() + 20);
  size_t i = 0;
  while (i < pattern.size()) {
    const size_t open = pattern.find('{', i);
    if (open == std::string_view::npos) {
      out.append(pattern.substr(i));
      break;
    }
    out.append(pattern.substr(i, open - i));
    const size_t close = pattern.find('}', open);
    const std::string_view field = pattern.substr(open + 1, close - open - 1);
    if (field == "offset") {
      out += std::to_string(offset);
    } else if (field == "a") {
      out += a;
    } else {
      out += b;
    }
    i = close + 1;
  }
  return out;
}

}  // namespace tessary::read
