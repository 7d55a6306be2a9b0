#include "storage/pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace tessary::storage {

namespace {

// Runs kept for reuse: at most kKeptRuns of them, together at most kKeptBytes, each at most
// kKeptRunMax (a larger run is the arena chunk of a large document, where mapping afresh with
// huge pages costs little next to the parse).
constexpr size_t kKeptRuns = 16;
constexpr size_t kKeptBytes = size_t{16} << 20;
constexpr size_t kKeptRunMax = size_t{8} << 20;
// From this size up, runs are advised to use huge pages: filled soon and whole, they take one
// fault for 2 MiB instead of one per page where the system offers huge pages on request.
constexpr size_t kHugeAdvice = size_t{4} << 20;

size_t page_size() noexcept {
  static const size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<size_t>(s) : size_t{4096};
  }();
  return size;
}

struct Run {
  void* p;
  size_t bytes;
};

// The kept runs, under a spin lock: every use is a few loads and stores.
class Kept {
 public:
  // A kept run of at least `bytes` and at most twice that, or null.
  void* take(size_t& bytes) noexcept {
    Lock lock(busy_);
    size_t best = kKeptRuns;
    for (size_t i = 0; i < count_; ++i) {
      const size_t b = runs_[i].bytes;
      if (b >= bytes && b / 2 <= bytes && (best == kKeptRuns || b < runs_[best].bytes)) best = i;
    }
    if (best == kKeptRuns) return nullptr;
    const Run r = runs_[best];
    runs_[best] = runs_[--count_];
    total_ -= r.bytes;
    bytes = r.bytes;
    return r.p;
  }
  // Keeps the run if there is room; false when the caller must give it back itself.
  bool keep(void* p, size_t bytes) noexcept {
    if (bytes > kKeptRunMax) return false;
    Lock lock(busy_);
    if (count_ == kKeptRuns || total_ + bytes > kKeptBytes) return false;
    runs_[count_++] = {p, bytes};
    total_ += bytes;
    return true;
  }
  // Gives every kept run back to the system.
  void drop() noexcept {
    Run all[kKeptRuns];
    size_t n;
    {
      Lock lock(busy_);
      n = count_;
      for (size_t i = 0; i < n; ++i) all[i] = runs_[i];
      count_ = 0;
      total_ = 0;
    }
    for (size_t i = 0; i < n; ++i) munmap(all[i].p, all[i].bytes);
  }

 private:
  class Lock {
   public:
    explicit Lock(std::atomic_flag& f) noexcept : f_(f) {
      while (f_.test_and_set(std::memory_order_acquire)) {
      }
    }
    ~Lock() { f_.clear(std::memory_order_release); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    std::atomic_flag& f_;
  };

  std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
  Run runs_[kKeptRuns] = {};
  size_t count_ = 0;
  size_t total_ = 0;
};

Kept kept;

void* map_fresh(size_t bytes) noexcept {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

size_t page_rounded(size_t bytes) noexcept {
  const size_t page = page_size();
  if (bytes > SIZE_MAX - page) return SIZE_MAX;
  return (bytes + page - 1) & ~(page - 1);
}

void* map_pages(size_t& bytes, bool huge_pages) noexcept {
  size_t size = page_rounded(bytes);
  if (size == SIZE_MAX) return nullptr;
  if (void* p = kept.take(size)) {
    bytes = size;
    return p;
  }
  void* p = map_fresh(size);
  if (p == nullptr) {
    // The address space may be limited: what is kept goes back first.
    kept.drop();
    p = map_fresh(size);
    if (p == nullptr) return nullptr;
  }
  if (huge_pages && size >= kHugeAdvice) madvise(p, size, MADV_HUGEPAGE);
  bytes = size;
  return p;
}

void drop_kept_pages() noexcept { kept.drop(); }

void unmap_pages(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  if (!kept.keep(p, bytes)) munmap(p, bytes);
}

void unmap_pages_now(void* p, size_t bytes) noexcept {
  if (p != nullptr) munmap(p, bytes);
}

}  // namespace tessary::storage
