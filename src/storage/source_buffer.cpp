#include "storage/source_buffer.h"

#include "storage/pages.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace tessary::storage {

SourceBuffer* SourceBuffer::make(size_t length) noexcept {
  // The buffer is the first thing in its own arena, whose first chunk is sized for what a parse
  // of `length` bytes will put there: one allocation for the buffer and the nodes, from pages
  // rather than the C library's allocator.
  Arena arena(length);
  void* mem = arena.allocate(sizeof(SourceBuffer));
  if (mem == nullptr) return nullptr;
  auto* b = new (mem) SourceBuffer();
  b->arena_ = std::move(arena);
  return b;
}

SourceBuffer* SourceBuffer::python_backed(BufferOwner owner, const char* data, size_t length,
                                         uint8_t max_byte_bound) noexcept {
  SourceBuffer* b = make(length);
  if (b == nullptr) return nullptr;
  b->max_byte_bound_ = max_byte_bound;
  b->origin_ = Origin::PythonBacked;
  b->owner_ = owner;
  b->data_ = data;
  b->length_ = length;
  b->document_length_ = length;
  return b;
}

SourceBuffer* SourceBuffer::owned(char* data, size_t length, size_t capacity, uint8_t max_byte_bound,
                                 Memory memory) noexcept {
  if (capacity <= length) return nullptr;  // no room for the terminating 0
  SourceBuffer* b = make(length);
  if (b == nullptr) return nullptr;
  data[length] = '\0';
  b->max_byte_bound_ = max_byte_bound;
  b->origin_ = Origin::Owned;
  b->data_ = data;
  b->length_ = length;
  b->document_length_ = length;
  b->capacity_ = capacity;
  b->memory_ = memory;
  return b;
}

SourceBuffer* SourceBuffer::encoded(BufferOwner owner, const void* chars, uint8_t char_width, char* data,
                                   size_t length, size_t capacity, uint8_t max_byte_bound, Memory memory) noexcept {
  SourceBuffer* b = owned(data, length, capacity, max_byte_bound, memory);
  if (b == nullptr) return nullptr;
  b->origin_ = Origin::Encoded;
  b->owner_ = owner;
  b->chars_ = chars;
  b->char_width_ = char_width;
  return b;
}

void SourceBuffer::free_memory(Memory memory, char* data, size_t capacity, bool keep_pages) noexcept {
  if (data == nullptr || capacity == 0) return;
  if (memory == Memory::Malloc) {
    std::free(data);
  } else if (keep_pages) {
    unmap_pages(data, capacity);
  } else {
    unmap_pages_now(data, capacity);
  }
}

void SourceBuffer::free_text(bool keep_pages) noexcept {
  free_memory(memory_, const_cast<char*>(data_), capacity_, keep_pages);
}

void SourceBuffer::replace_text(char* data, size_t length, size_t capacity) noexcept {
  free_text(false);
  data[length] = '\0';
  data_ = data;
  length_ = length;
  capacity_ = capacity;
  memory_ = Memory::Pages;
}

void SourceBuffer::destroy() noexcept {
  if (origin_ != Origin::PythonBacked) free_text(true);
  if (origin_ != Origin::Owned && owner_.release != nullptr) owner_.release(owner_.object);
  // This object lives in its own arena: the arena is taken out first and released last.
  Arena arena = std::move(arena_);
  this->~SourceBuffer();
}

}  // namespace tessary::storage
