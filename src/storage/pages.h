// Memory straight from the operating system, for the pieces a parse keeps or works in (arena
// chunks, deep stacks). Requests of a kilobyte or more from the C library's allocator would
// first make it tidy up every small block other code freed, which after another library freed
// a large tree costs more than the parse itself; pages are independent of that.
//
// Runs of pages given back are kept for the next request of the same size, up to a few
// megabytes in all, instead of going back to the system at once: a program that parses one
// document after another then neither maps nor faults in fresh pages for each, and a small
// document costs no system call. When mapping fails, the kept runs are given back to the
// system and the mapping tried once more.
#pragma once

#include <cstddef>

namespace tessary::storage {

// At least `bytes` of page-aligned memory (not zeroed); null when it cannot be had. `bytes` is
// updated to the size of the run handed out, which unmap_pages wants back. A large fresh run is
// advised to use huge pages, unless `huge_pages` is false: for a run sized by a bound of which
// only the start may be used, where a huge page would make resident what is never touched.
void* map_pages(size_t& bytes, bool huge_pages = true) noexcept;
// Gives back a run from map_pages, with the size map_pages reported.
void unmap_pages(void* p, size_t bytes) noexcept;
// The same, straight back to the system: for memory given up because it is not needed, which
// kept for reuse would still count as the process's own.
void unmap_pages_now(void* p, size_t bytes) noexcept;
// Gives every kept run back to the system.
void drop_kept_pages() noexcept;
// `bytes` rounded up to whole pages (SIZE_MAX when that overflows).
size_t page_rounded(size_t bytes) noexcept;

}  // namespace tessary::storage
