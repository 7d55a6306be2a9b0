#include "storage/pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tessary::storage {

namespace {

constexpr size_t kHugeAdvice = size_t{4} << 20;

size_t page_size() noexcept {
  static const size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<size_t>(s) : size_t{4096};
  }();
  return size;
}

}  // namespace

size_t page_rounded(size_t bytes) noexcept {
  const size_t page = page_size();
  if (bytes > SIZE_MAX - page) return SIZE_MAX;
  return (bytes + page - 1) & ~(page - 1);
}

void* map_pages(size_t bytes) noexcept {
  const size_t size = page_rounded(bytes);
  if (size == SIZE_MAX) return nullptr;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // Large pieces are filled soon and whole: huge pages, where the system offers them on request,
  // take one fault for 2 MiB instead of one per page.
  if (size >= kHugeAdvice) madvise(p, size, MADV_HUGEPAGE);
  return p;
}

void unmap_pages(void* p, size_t bytes) noexcept {
  if (p != nullptr) munmap(p, page_rounded(bytes));
}

}  // namespace tessary::storage
