#include "storage/arena.h"

#include <cstdlib>
#include <utility>

#include "storage/pages.h"

namespace tessary::storage {

namespace {

constexpr size_t kMinChunk = size_t{4} << 10;
constexpr size_t kMaxFirstChunk = size_t{16} << 20;
constexpr size_t kMaxChunk = size_t{64} << 20;
constexpr size_t kHeader = 16;  // the chunk header, rounded to the arena's alignment
// Chunks from this size up come from the operating system (storage/pages.h), smaller ones from
// the C library.
constexpr size_t kMappedChunk = size_t{128} << 10;

void* chunk_memory(size_t size) noexcept { return size >= kMappedChunk ? map_pages(size) : std::malloc(size); }

void free_chunk(void* p, size_t size) noexcept {
  if (size >= kMappedChunk) {
    unmap_pages(p, size);
  } else {
    std::free(p);
  }
}

}  // namespace

Arena::Arena(size_t expected) noexcept {
  next_ = expected < kMinChunk ? kMinChunk : expected > kMaxFirstChunk ? kMaxFirstChunk : expected;
}

void* Arena::allocate_slow(size_t bytes) noexcept {
  if (next_ < kMinChunk) next_ = kMinChunk;
  if (bytes > SIZE_MAX - kHeader) return nullptr;
  if (bytes > next_ / 2) {
    // A large piece gets a chunk of its own, put behind the current one so that what is left
    // of that stays in use.
    auto* c = static_cast<Chunk*>(chunk_memory(kHeader + bytes));
    if (c == nullptr) return nullptr;
    c->size = kHeader + bytes;
    used_ += c->size;
    if (last_ == nullptr) {
      c->prev = nullptr;
      last_ = c;
    } else {
      c->prev = last_->prev;
      last_->prev = c;
    }
    return reinterpret_cast<char*>(c) + kHeader;
  }
  const size_t size = next_;
  auto* c = static_cast<Chunk*>(chunk_memory(size));
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

void Arena::absorb(Arena&& o) noexcept {
  if (o.last_ == nullptr) return;
  if (last_ == nullptr) {
    *this = std::move(o);
    return;
  }
  // Its chunks go behind ours; our current chunk stays the one allocations come from.
  Chunk* first = o.last_;
  while (first->prev != nullptr) first = first->prev;
  first->prev = last_->prev;
  last_->prev = o.last_;
  used_ += o.used_;
  o.cur_ = o.end_ = nullptr;
  o.last_ = nullptr;
  o.used_ = 0;
}

void Arena::release() noexcept {
  Chunk* c = last_;
  while (c != nullptr) {
    Chunk* prev = c->prev;
    free_chunk(c, c->size);
    c = prev;
  }
  last_ = nullptr;
  cur_ = end_ = nullptr;
  used_ = 0;
}

}  // namespace tessary::storage
