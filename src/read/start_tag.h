// Start-tag parsing: the element name and the attributes of one tag row of the structural
// index, checked in document order, with values decoded where they hold references or
// white space to normalise. Plain engine code, run without the interpreter lock.
#pragma once

#include <cstdint>
#include <vector>

#include "index/structural_index.h"
#include "read/read_error.h"
#include "storage/attr_map.h"
#include "storage/flat_tree.h"
#include "storage/source_buffer.h"

namespace tessary::read {

// A start tag's name and its attribute area (after the name, up to the '>' or the "/>").
struct StartTagName {
  uint64_t name_start, name_end;
  uint64_t attrs_start, attrs_end;
};

// Name and attribute area of tag row `k` (kind Open or SelfClose), or the error "expected
// element name after '<'" when the name is empty.
bool start_tag_name(const index::StructuralIndex& idx, size_t k, StartTagName& out, ReadError& error) noexcept;

// Parses tag row `k` (kind Open or SelfClose) into an element with its name and attributes.
// The shared ranges it makes have their buffer references taken before it returns.
// `scratch` is working space kept between calls (its contents on entry do not matter).
bool parse_start_tag(const char* doc, const index::StructuralIndex& idx, size_t k, storage::SourceBuffer* buffer,
                     storage::FlatElement& out, std::vector<storage::AttrEntry>& scratch,
                     ReadError& error) noexcept;

}  // namespace tessary::read
