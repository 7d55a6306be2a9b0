// The reader's error record. Engine code makes these without the interpreter lock; the read
// entry points turn one into a ValueError whose text is text().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tessary::read {

struct ReadError {
  enum class Kind : uint8_t {
    Positioned,     // message at a byte offset
    Index,          // the structural index found a '<' without a closing '>'
    RootNotFound,   // no element carries the requested root tag
    NeverClosed,    // the document ended inside the root
    UnknownEntity,  // an entity name other than the five predefined ones
  };

  Kind kind = Kind::Positioned;
  // Positioned: the message. Index: the index error's text. RootNotFound: the root tag.
  // NeverClosed: the innermost open element's name. UnknownEntity: the entity name.
  std::string detail;
  uint64_t offset = 0;  // Positioned, Index and UnknownEntity

  // Whether the message names a byte offset (so the error also gets a line and column).
  bool has_offset() const { return kind == Kind::Positioned || kind == Kind::Index || kind == Kind::UnknownEntity; }

  static ReadError positioned(std::string message, uint64_t offset) {
    return {Kind::Positioned, std::move(message), offset};
  }
  static ReadError index(std::string index_text, uint64_t offset) {
    return {Kind::Index, std::move(index_text), offset};
  }
  static ReadError root_not_found(std::string_view root) { return {Kind::RootNotFound, std::string(root), 0}; }
  static ReadError never_closed(std::string_view name) { return {Kind::NeverClosed, std::string(name), 0}; }
  static ReadError unknown_entity(std::string_view name, uint64_t offset) {
    return {Kind::UnknownEntity, std::string(name), offset};
  }

  // The exception text.
  std::string text() const {
    switch (kind) {
      case Kind::Positioned:
        return "malformed XML at byte " + std::to_string(offset) + ": " + detail;
      case Kind::Index:
        return "malformed XML: " + detail;
      case Kind::RootNotFound:
        return "root tag <" + detail + "> not found in document";
      case Kind::NeverClosed:
        return "unexpected end of document: <" + detail + "> is never closed";
      case Kind::UnknownEntity:
        return "unknown entity reference '&" + detail + ";' at byte " + std::to_string(offset);
    }
    return detail;
  }
};

}  // namespace tessary::read
