// Memory for what one parse makes that lives exactly as long as the document: the nodes, their
// attribute tables and the texts that are not ranges of the document. It is handed out from a
// few large chunks by bumping a pointer and never given back piece by piece: the whole arena
// goes at once, with the document's buffer (SourceBuffer::arena). A parse therefore makes
// no general-purpose allocation per element, and its speed does not depend on what other code
// left in the heap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::storage {

class Arena {
 public:
  Arena() noexcept = default;
  // The first chunk will be about `expected` bytes (within limits): a guess at the total.
  explicit Arena(size_t expected) noexcept;
  Arena(Arena&& o) noexcept : cur_(o.cur_), end_(o.end_), last_(o.last_), next_(o.next_), used_(o.used_) {
    o.cur_ = o.end_ = nullptr;
    o.last_ = nullptr;
    o.used_ = 0;
  }
  Arena& operator=(Arena&& o) noexcept {
    if (this != &o) {
      release();
      cur_ = o.cur_; end_ = o.end_; last_ = o.last_; next_ = o.next_; used_ = o.used_;
      o.cur_ = o.end_ = nullptr;
      o.last_ = nullptr;
      o.used_ = 0;
    }
    return *this;
  }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() { release(); }

  // `bytes` (rounded up to a multiple of 8), 8-aligned; null when the memory cannot be had.
  [[gnu::always_inline]] void* allocate(size_t bytes) noexcept {
    bytes = (bytes + 7) & ~size_t{7};
    if (bytes <= static_cast<size_t>(end_ - cur_)) {
      void* p = cur_;
      cur_ += bytes;
      return p;
    }
    return allocate_slow(bytes);
  }

  // Gives back the most recent allocation's tail: it now ends at `end` (inside it).
  void shrink_last(void* end) noexcept {
    char* e = static_cast<char*>(end);
    e = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(e) + 7) & ~uintptr_t{7});
    if (e < cur_) cur_ = e;
  }

  // Bytes taken from the system for chunks (what the arena costs in memory, at most).
  size_t reserved() const noexcept { return used_; }
  bool empty() const noexcept { return last_ == nullptr; }

 private:
  struct Chunk {
    Chunk* prev;
    size_t size;
  };
  void* allocate_slow(size_t bytes) noexcept;
  void release() noexcept;

  char* cur_ = nullptr;
  char* end_ = nullptr;
  Chunk* last_ = nullptr;
  size_t next_ = 0;  // the size of the next chunk
  size_t used_ = 0;
};

}  // namespace tessary::storage
