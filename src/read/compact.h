// Giving up a document's bytes once its tree is built, when the tree refers to little of them.
#pragma once

#include "storage/source_buffer.h"

namespace tessary::read {

// Texts at least this long become ranges of the str's characters when the bytes are given up.
constexpr uint64_t kCharRangeMin = 256;

// For an owned buffer (a file's bytes, or a str's UTF-8 form made by SourceBuffer::encoded)
// whose tree (root `root`, laid out as the reader lays out nodes) refers to at most a quarter of
// its bytes: copies the bytes the tree refers to into a buffer of their own and gives up the
// rest. Texts of kCharRangeMin bytes or more of a str's form are not counted: they become ranges
// of the str's own characters. Otherwise, or when the copy cannot be allocated, leaves
// everything as it is: the tree is the same either way. Runs without the interpreter lock,
// while the parse holds the buffer alone.
void give_up_unused_bytes(storage::SourceBuffer* doc, void* root) noexcept;

// Whether a str of `n` characters of `width` bytes each looks like a document mostly of text:
// at least kTextPerElement characters of text (CDATA content included) per element in its first
// 16K characters. Only for such a document is the UTF-8 form worth making in
// memory of the document's own, which give_up_unused_bytes can give up; for others the str's own
// cached form serves, made once for the life of the str. Either way the tree is the same.
constexpr uint64_t kTextPerElement = 100;
bool mostly_text(const void* chars, unsigned width, size_t n) noexcept;

}  // namespace tessary::read
