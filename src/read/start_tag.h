// The attributes of one start tag, checked in document order, with values decoded where they
// hold references or white space to normalise, made into an attribute map in the document's
// arena. Plain engine code, run without the interpreter lock.
#pragma once

#include <cstdint>
#include <vector>

#include "read/read_error.h"
#include "storage/arena.h"
#include "storage/attr_map.h"
#include "storage/source_buffer.h"

namespace tessary::read {

// Parses the attribute area [start, end) of a start tag (from the byte after its name to its
// '>', or to the '/' of "/>") into `out`, an empty map. Keys and unchanged values are ranges of
// `buffer` that hold no reference; decoded values and the table are in `arena`. `scratch` is
// working space kept between calls. False with `error` set on the first problem.
bool parse_attributes(const char* doc, uint64_t start, uint64_t end, storage::SourceBuffer* buffer,
                      storage::Arena& arena, storage::AttrMap& out, std::vector<storage::AttrEntry>& scratch,
                      ReadError& error) noexcept;

// Reads a start tag of the common, well-formed kind in one pass, while the document is lexed:
// from the byte after its name (`name_end`), its attributes into `out` and where it ends: `end`
// at its '>', `self_closing` when that ends "/>". Returns false when the tag is anything else
// (a problem to report, or markup the lexer's walk reads differently); nothing needs releasing
// then, and the tag is left to the lexer and parse_attributes.
bool parse_start_tag_fast(const char* doc, uint64_t length, uint64_t name_end, storage::SourceBuffer* buffer,
                          storage::Arena& arena, storage::AttrMap& out, uint64_t& end, bool& self_closing) noexcept;

}  // namespace tessary::read
