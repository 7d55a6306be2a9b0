// The serializer: one element tree rendered as XML text into a sink. It decides the whole
// layout: start tags with their attributes, text, child elements, end tags, the self-closing
// form, line breaks and indentation. It never touches a Python object and runs without the
// interpreter lock.
#pragma once

#include <cstdint>

#include "storage/element_record.h"
#include "write/sinks.h"

namespace tessary::write {

// The state of one serialization run over `Sink` (MemorySink or FileSink).
template <class Sink>
class XmlWriter {
 public:
  // The sink may already hold the XML declaration.
  XmlWriter(Sink& sink, uint64_t indent) noexcept : sink_(sink), indent_(indent) {}

  // Writes one element with its whole subtree and consumes the record: each text is released
  // once written, each child once its subtree is written. Returns false at the first failure
  // (see error()); the records not yet written are released then too.
  bool write_element(storage::ElementRecord&& root) noexcept;

  // The failure that ended write_element: the sink's, or a text range that is not valid.
  WriteError error() const noexcept;

  uint64_t depth() const noexcept { return depth_; }

 private:
  bool line_break() noexcept;
  // Writes the start tag and text of `e`. Returns 1 when the element was opened (its children
  // and end tag follow), 0 when it was written in the self-closing form, -1 on failure.
  int open(storage::ElementRecord& e) noexcept;
  bool close(storage::ElementRecord& e) noexcept;
  bool bad_text() noexcept {
    bad_text_ = true;
    return false;
  }

  Sink& sink_;
  uint64_t indent_;
  uint64_t depth_ = 0;
  bool pending_break_ = false;
  bool bad_text_ = false;
};

extern template class XmlWriter<MemorySink>;
extern template class XmlWriter<FileSink>;

}  // namespace tessary::write
