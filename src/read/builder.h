// The tree builder: walks the structural index of a document in order, checks each piece of
// markup, parses start tags and their attributes, joins and decodes character data, and
// returns the tree (in post-order, storage::FlatTree) of the first element whose name is the requested root tag.
// Plain engine code: it never touches a Python object and runs without the interpreter lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "index/structural_index.h"
#include "read/owned_bytes.h"
#include "read/read_error.h"
#include "storage/element_record.h"
#include "storage/source_buffer.h"

namespace tessary::read {

// The character data of one element under construction. Pieces are joined in document order
// and the whole is trimmed of Unicode white space when the element ends. A single piece stays
// a range of the document; the text is copied only when a second piece must be joined to it.
// Two shortcuts keep white-space-only pieces (indentation between child elements) from
// forcing a copy, without changing the trimmed result: a piece arriving while everything so far
// is white space replaces it, and one white-space range after non-blank text is held back and
// joined only if more text follows it.
class TextAccumulator {
 public:
  // Appends the document bytes [start, end).
  void append_slice(const char* doc, uint64_t start, uint64_t end) noexcept;
  // Appends a decoded piece.
  void append_owned(const char* doc, OwnedBytes&& piece) noexcept;
  // The trimmed text: a range of the buffer for a single piece, owned for a joined or decoded
  // one, absent when there is none or it is all white space. Leaves the accumulator empty.
  storage::SharedText finish(const char* doc, storage::SourceBuffer* buffer) noexcept;
  // As finish(), but a shared range does not take its buffer reference: `adopted` is
  // incremented instead, and the caller takes that many references before any can be given
  // back.
  storage::SharedText finish_adopting(const char* doc, storage::SourceBuffer* buffer, uint64_t& adopted) noexcept;

 private:
  enum class State : uint8_t { None, Slice, Owned };
  // Turns a range into an owned copy and joins the held-back white space.
  void materialize(const char* doc, size_t extra) noexcept;

  State state_ = State::None;
  bool blank_ = false;    // everything so far is white space
  bool pending_ = false;  // a white-space range waits in [pend_start_, pend_end_)
  uint64_t start_ = 0, end_ = 0;
  uint64_t pend_start_ = 0, pend_end_ = 0;
  OwnedBytes owned_;
};

// An element inside the root whose end tag has not been seen yet.
struct OpenElement {
  storage::FlatElement element;  // its child_count counts the children finished so far
  TextAccumulator text;
};

// A start tag's name and its attribute area (after the name, up to the '>' or the "/>").
struct StartTagName {
  uint64_t name_start, name_end;
  uint64_t attrs_start, attrs_end;
};

// Name and attribute area of tag row `k` (kind Open or SelfClose), or the error "expected
// element name after '<'" when the name is empty.
bool start_tag_name(const index::StructuralIndex& idx, size_t k, StartTagName& out, ReadError& error) noexcept;

// Parses tag row `k` (kind Open or SelfClose) into a record with its name and attributes.
// `scratch` is working space kept between calls (its contents on entry do not matter).
bool parse_start_tag(const char* doc, const index::StructuralIndex& idx, size_t k, storage::SourceBuffer* buffer,
                     storage::FlatElement& out, std::vector<storage::AttrEntry>& scratch,
                     ReadError& error) noexcept;

// A piece of character data: document bytes, or a decoded string.
struct TextSlice {
  uint64_t start, end;
};
using TextPiece = std::variant<TextSlice, OwnedBytes>;
void append_text(OpenElement& entry, const char* doc, TextPiece piece) noexcept;

// The result of a build: the root's tree, or the first error found.
using BuildResult = std::variant<storage::FlatTree, ReadError>;

// Builds the tree of the first element named `root_tag` in the document held by `buffer`
// (the caller keeps its own reference on the buffer for the call).
BuildResult build_tree(storage::SourceBuffer* buffer, std::string_view root_tag) noexcept;

}  // namespace tessary::read
