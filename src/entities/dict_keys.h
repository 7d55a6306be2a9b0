// The four keys of the dictionary form of a node, shared by to_dict and from_dict.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessary::entities {

enum class Field : uint8_t { Name = 0, Attrs = 1, Children = 2, Text = 3, Other = 4 };
inline constexpr std::string_view kFieldNames[4] = {"name", "attrs", "children", "text"};

inline Field classify(std::string_view key) {
  for (int i = 0; i < 4; ++i) {
    if (key == kFieldNames[i]) return static_cast<Field>(i);
  }
  return Field::Other;
}

}  // namespace tessary::entities
