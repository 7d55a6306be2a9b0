#include "storage/arena.h"


#include "storage/pages.h"

namespace tessary::storage {

namespace {

constexpr size_t kMinChunk = size_t{4} << 10;
constexpr size_t kMaxFirstChunk = size_t{16} << 20;
constexpr size_t kMaxChunk = size_t{64} << 20;
constexpr size_t kHeader = 16;  // the chunk header, rounded to the arena's alignment

}  // namespace

Arena::Arena(size_t expected) noexcept {
  next_ = expected < kMinChunk ? kMinChunk : expected > kMaxFirstChunk ? kMaxFirstChunk : expected;
}

void* Arena::allocate_slow(size_t bytes) noexcept {
  // Chunks are runs of pages (storage/pages.h), never blocks of the C library's allocator: how
  // fast a parse is does not depend on what other code left in its heap.
  if (next_ < kMinChunk) next_ = kMinChunk;
  if (bytes > SIZE_MAX - 2 * kHeader) return nullptr;
  if (bytes > next_ / 2) {
    // A large piece gets a chunk of its own, put behind the current one so that what is left
    // of that stays in use.
    size_t size = kHeader + bytes;
    auto* c = static_cast<Chunk*>(map_pages(size));
    if (c == nullptr) return nullptr;
    c->size = size;
    used_ += size;
    if (last_ == nullptr) {
      c->prev = nullptr;
      last_ = c;
    } else {
      c->prev = last_->prev;
      last_->prev = c;
    }
    return reinterpret_cast<char*>(c) + kHeader;
  }
  size_t size = next_;
  auto* c = static_cast<Chunk*>(map_pages(size));
  if (c == nullptr) return nullptr;
  c->prev = last_;
  c->size = size;
  last_ = c;
  used_ += size;
  if (next_ < kMaxChunk) next_ *= 2;
  cur_ = reinterpret_cast<char*>(c) + kHeader;
  end_ = reinterpret_cast<char*>(c) + size;
  void* p = cur_;
  cur_ += bytes;
  return p;
}

void Arena::release() noexcept {
  Chunk* c = last_;
  while (c != nullptr) {
    Chunk* prev = c->prev;
    unmap_pages(c, c->size);
    c = prev;
  }
  last_ = nullptr;
  cur_ = end_ = nullptr;
  used_ = 0;
}

}  // namespace tessary::storage
