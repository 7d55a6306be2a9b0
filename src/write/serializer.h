// The serializer: an element tree rendered as XML text into a sink. It decides the whole layout:
// start tags with their attributes, text, child elements, end tags, the self-closing form, line
// breaks and indentation. It reads the Node tree in place (write/tree.h), never calls into Python
// and runs without the interpreter lock.
#pragma once

#include <cstdint>
#include <string_view>

#include "write/sinks.h"
#include "write/tree.h"

namespace tessary::write {

// The state of one serialization run over `Sink` (FileSink or StrSink, see sinks.h).
//
// The serializer writes into the sink's buffer through a cursor it keeps in a local variable:
// each piece asks only whether the window it was given still has room (the sink hands on its
// buffer when it has not), and pieces that cannot be written in place (longer than the buffer,
// or a sink that cannot make room) go to the sink one by one through its append calls.
template <class Sink>
class XmlWriter {
 public:
  // The sink may already hold the XML declaration.
  XmlWriter(Sink& sink, uint64_t indent) noexcept : sink_(sink), indent_(indent) {}

  // Writes the tree under `root`. Returns false at the first failure (see error()).
  bool write_tree(const Element* root) noexcept;

  // The failure that ended write_tree: the sink's, a text range that is not valid, or the stack
  // of open elements that could not grow.
  WriteError error() const noexcept;

 private:
  // The cursor back from the sink after it made room (or failed to: `made` false).
  struct Window {
    char* cursor;
    char* limit;
    bool made;
  };
  [[gnu::noinline]] Window refill(char* w, size_t n) noexcept;
  // The slow paths, each on the sink's own state (the cursor handed back first): a line break
  // whose indentation is long; a name, key or value too long to be written in place; the text
  // of an element. All return false on the sink's failure.
  bool line_break_slow(uint64_t depth) noexcept;
  bool append_slow(std::string_view piece) noexcept;
  bool attribute_slow(std::string_view key, std::string_view value) noexcept;
  bool write_text(std::string_view text) noexcept;
  // The text of an element made of a str's characters (storage::SharedText::source_chars).
  bool write_chars(const storage::SharedText& text) noexcept;
  // Texts are escaped straight into the sink's buffer in slices of at most this many bytes.
  static constexpr size_t kInPlaceText = 1024;

  Sink& sink_;
  uint64_t indent_;
  bool bad_text_ = false;
  bool out_of_memory_ = false;
};

extern template class XmlWriter<FileSink>;
extern template class XmlWriter<StrSink>;

}  // namespace tessary::write
