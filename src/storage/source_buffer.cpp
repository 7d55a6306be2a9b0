#include "storage/source_buffer.h"

#include <cstdlib>
#include <new>

namespace tessary::storage {

SourceBuffer* SourceBuffer::python_backed(BufferOwner owner, const char* data, size_t length,
                                         uint8_t max_byte_bound) noexcept {
  auto* b = new (std::nothrow) SourceBuffer();
  if (b == nullptr) return nullptr;
  b->max_byte_bound_ = max_byte_bound;
  b->origin_ = Origin::PythonBacked;
  b->owner_ = owner;
  b->data_ = data;
  b->length_ = length;
  return b;
}

SourceBuffer* SourceBuffer::owned(char* data, size_t length, size_t capacity, uint8_t max_byte_bound) noexcept {
  if (capacity <= length) return nullptr;  // no room for the terminating 0
  auto* b = new (std::nothrow) SourceBuffer();
  if (b == nullptr) return nullptr;
  data[length] = '\0';
  b->max_byte_bound_ = max_byte_bound;
  b->origin_ = Origin::Owned;
  b->data_ = data;
  b->length_ = length;
  b->capacity_ = capacity;
  return b;
}

void SourceBuffer::destroy() noexcept {
  if (origin_ == Origin::Owned) {
    if (capacity_ != 0) std::free(const_cast<char*>(data_));
  } else if (owner_.release != nullptr) {
    owner_.release(owner_.object);
  }
  delete this;
}

}  // namespace tessary::storage
