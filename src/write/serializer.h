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

// The state of one serialization run over `Sink` (MemorySink, FileSink or UnitSink).
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
  bool line_break() noexcept;
  // Writes the start tag and text of `e`. Returns 1 when the element was opened (its children
  // and end tag follow), 0 when it was written in the self-closing form, -1 on failure.
  int open(const Element* e) noexcept;
  bool close(const Element* e) noexcept;
  // Element text, escaped.
  bool write_text(std::string_view text) noexcept;
  bool bad_text() noexcept {
    bad_text_ = true;
    return false;
  }
  // -1, after noting a bad text unless the sink failed.
  int sink_error_or_bad_text() noexcept;
  // Texts are escaped straight into the sink's buffer in slices of at most this many bytes.
  static constexpr size_t kInPlaceText = 1024;

  Sink& sink_;
  uint64_t indent_;
  uint64_t depth_ = 0;
  bool pending_break_ = false;
  bool bad_text_ = false;
  bool out_of_memory_ = false;
};

extern template class XmlWriter<MemorySink>;
extern template class XmlWriter<FileSink>;
extern template class XmlWriter<UnitSink>;

}  // namespace tessary::write
