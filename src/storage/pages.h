// Memory straight from the operating system, for the large pieces a parse keeps or works in
// (arena chunks, deep stacks): requests of that size would otherwise make the C library's
// allocator first tidy up every small block other code freed, which after another library
// freed a large tree costs more than the parse itself.
#pragma once

#include <cstddef>

namespace tessary::storage {

// Whole pages holding at least `bytes` (rounded up to pages), zeroed; null when they cannot be had.
void* map_pages(size_t bytes) noexcept;
// Gives back what map_pages returned for the same `bytes`.
void unmap_pages(void* p, size_t bytes) noexcept;
// `bytes` rounded up to whole pages.
size_t page_rounded(size_t bytes) noexcept;

}  // namespace tessary::storage
