#include "storage/source_buffer.h"

#include <cstdlib>
#include <new>

namespace tessary::storage {

[[gnu::tls_model("initial-exec")]] thread_local SourceBuffer::Reserve SourceBuffer::reserve_;

SourceBuffer* SourceBuffer::python_backed(void* py_str, const char* data, size_t length, uint8_t top_byte) noexcept {
  auto* b = new SourceBuffer();
  b->top_byte_ = top_byte;
  b->origin_ = Origin::PythonBacked;
  b->py_str_ = py_str;
  b->data_ = data;
  b->length_ = length;
  return b;
}

SourceBuffer* SourceBuffer::owned(char* data, size_t length, size_t capacity, uint8_t top_byte) noexcept {
  auto* b = new SourceBuffer();
  b->top_byte_ = top_byte;
  b->origin_ = Origin::Owned;
  b->data_ = data;
  b->length_ = length;
  b->capacity_ = capacity;
  return b;
}

void SourceBuffer::destroy() noexcept {
  if (origin_ == Origin::Owned) {
    if (capacity_ != 0) std::free(const_cast<char*>(data_));
  } else if (py_str_ != nullptr) {
    release_python_object(py_str_);
  }
  delete this;
}

}  // namespace tessary::storage
