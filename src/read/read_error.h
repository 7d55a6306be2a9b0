// The reader's error record and the one table of the reader's messages. Engine code makes these
// without the interpreter lock, naming a code and its arguments; the read entry points turn one
// into a ValueError whose text is text() (a MemoryError for OutOfMemory).
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tessary::read {

struct ReadError {
  enum class Code : uint8_t {
    // Malformed markup at a byte offset.
    UnexpectedEnd,               // the document ends inside markup
    UnterminatedMarkup,          // a tag row ends at the end of the document
    ExpectedElementName,         // '<' followed by no name
    ExpectedWhitespace,          // an attribute not separated from what precedes it
    ExpectedAttributeName,
    AttributeWithoutValue,       // a: the attribute's name
    UnquotedValue,               // a: the attribute's name
    UnterminatedValue,
    LtInValue,
    DuplicateAttribute,          // a: the attribute's name
    UnexpectedLt,                // '<' inside character data
    MalformedEndTag,             // a: the end tag's name
    UnexpectedEndTag,            // a: the end tag's name
    MismatchedEndTag,            // a: the name expected, b: the name found
    UnterminatedComment,
    UnterminatedCData,
    UnterminatedInstruction,
    UnterminatedReference,
    InvalidCharacterReference,   // a: the reference's body, between '&' and ';'
    InvalidUtf8,
    UnknownEntity,               // a: the entity name
    Index,         // a: the structural index's own text, which names the offset
    // Without an offset.
    RootNotFound,  // a: the requested root tag
    NeverClosed,   // a: the innermost open element's name
    OutOfMemory,   // the document's buffer could not be had (raised as MemoryError)
  };

  Code code = Code::UnexpectedEnd;
  uint64_t offset = 0;  // for codes up to Index
  std::string a, b;

  // An error at byte `offset`. The names it quotes are copied; when there is no room for the
  // copies the error is OutOfMemory instead.
  static ReadError at(Code code, uint64_t offset, std::string_view a = {}, std::string_view b = {}) noexcept {
    ReadError e;
    e.code = code;
    e.offset = offset;
    if (!copy_into(e.a, a) || !copy_into(e.b, b)) return out_of_memory();
    return e;
  }
  // An error without an offset.
  static ReadError of(Code code, std::string_view a) noexcept { return at(code, 0, a); }
  static ReadError out_of_memory() noexcept {
    ReadError e;
    e.code = Code::OutOfMemory;
    return e;
  }

  // Whether the message names a byte offset (so the error also gets a line and column).
  bool has_offset() const noexcept { return code <= Code::Index; }

  // The exception text.
  std::string text() const;

 private:
  static bool copy_into(std::string& to, std::string_view from) noexcept {
    if (from.empty()) return true;
    try {
      to.assign(from);
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
    return true;
  }
};

// The message of each code, indexed by it: "{offset}", "{a}" and "{b}" stand for the error's
// fields.
inline constexpr std::string_view kReadMessages[] = {
    "malformed XML at byte {offset}: unexpected end of document",
    "malformed XML at byte {offset}: unterminated markup",
    "malformed XML at byte {offset}: expected element name after '<'",
    "malformed XML at byte {offset}: expected whitespace before attribute",
    "malformed XML at byte {offset}: expected attribute name",
    "malformed XML at byte {offset}: attribute '{a}' has no value",
    "malformed XML at byte {offset}: value of attribute '{a}' is not quoted",
    "malformed XML at byte {offset}: unterminated attribute value",
    "malformed XML at byte {offset}: '<' is not allowed in attribute values",
    "malformed XML at byte {offset}: duplicate attribute '{a}'",
    "malformed XML at byte {offset}: unexpected '<'",
    "malformed XML at byte {offset}: malformed end tag </{a}>",
    "malformed XML at byte {offset}: unexpected end tag </{a}>",
    "malformed XML at byte {offset}: expected </{a}>, found </{b}>",
    "malformed XML at byte {offset}: unterminated comment",
    "malformed XML at byte {offset}: unterminated CDATA section",
    "malformed XML at byte {offset}: unterminated processing instruction",
    "malformed XML at byte {offset}: unterminated entity reference",
    "malformed XML at byte {offset}: invalid character reference '&{a};'",
    "malformed XML at byte {offset}: invalid UTF-8",
    "unknown entity reference '&{a};' at byte {offset}",
    "malformed XML: {a}",
    "root tag <{a}> not found in document",
    "unexpected end of document: <{a}> is never closed",
    "the document does not fit in memory",
};

static_assert(sizeof kReadMessages / sizeof kReadMessages[0] == static_cast<size_t>(ReadError::Code::OutOfMemory) + 1);

}  // namespace tessary::read
