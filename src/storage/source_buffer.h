// The immutable text of one parsed document, shared by every range that points into it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "storage/arena.h"

namespace tessary::storage {

// The object that keeps a borrowed document's bytes alive, and how to let go of it when the
// buffer is destroyed. The buffer calls `release(object)` once, on whichever thread gives back
// its last reference (which may not hold the interpreter lock).
struct BufferOwner {
  void* object = nullptr;
  void (*release)(void* object) noexcept = nullptr;
};

class SourceBuffer {
 public:
  enum class Origin : uint8_t { PythonBacked = 0, Owned = 1, Encoded = 2 };

  // Wraps bytes that belong to another object: the UTF-8 form of the str given to read_string,
  // which the module layer hands over as `owner` and which is released once the buffer goes.
  // `data` points at the string's own UTF-8 representation, which the interpreter ends with a
  // 0 byte. Starts with one reference. `max_byte_bound` is at least the largest byte of the text
  // (see max_byte_bound()).
  static SourceBuffer* python_backed(BufferOwner owner, const char* data, size_t length,
                                     uint8_t max_byte_bound) noexcept;
  // How owned bytes were allocated: with malloc, or as a run of pages (storage/pages.h).
  enum class Memory : uint8_t { Malloc, Pages };
  // Takes ownership of `data`, `capacity` bytes allocated as `memory` says (more than `length`:
  // the byte after the text is set to 0). Starts with one reference.
  // Both return null when the buffer cannot be allocated; the caller still owns what it gave
  // (the owner, the data) and releases it.
  static SourceBuffer* owned(char* data, size_t length, size_t capacity, uint8_t max_byte_bound,
                             Memory memory = Memory::Malloc) noexcept;
  // Gives back `capacity` bytes at `data` allocated as `memory` says (nothing for null or no
  // capacity); pages are kept for reuse when `keep_pages` says so.
  static void free_memory(Memory memory, char* data, size_t capacity, bool keep_pages) noexcept;

  // The UTF-8 form of a str whose characters are not all ASCII, made for this buffer (`data`,
  // as for owned()), and the str itself (`owner`, released once the buffer goes), whose
  // characters `chars` (`char_width` bytes each: 1, 2 or 4) long texts may refer to instead of
  // the bytes (see SharedText::source_chars), so that the bytes can be given up.
  static SourceBuffer* encoded(BufferOwner owner, const void* chars, uint8_t char_width, char* data, size_t length,
                               size_t capacity, uint8_t max_byte_bound, Memory memory) noexcept;
  // The characters of the str the buffer was made from, and their width in bytes; null and 0
  // for a buffer that was not made from one by encoded().
  const void* chars() const noexcept { return chars_; }
  uint8_t char_width() const noexcept { return char_width_; }
  // Whether the bytes are the buffer's own (owned or encoded), which replace_text may give up.
  bool owns_text() const noexcept { return origin_ != Origin::PythonBacked; }
  // For an owned or encoded buffer: gives up its bytes for `data` (a run of `capacity` bytes
  // from map_pages, more than `length`; the byte after the text is set to 0), which the caller
  // has filled with the bytes every range of the buffer refers to, at their new places. Only
  // the parse that holds the buffer alone may do this.
  void replace_text(char* data, size_t length, size_t capacity) noexcept;

  void retain() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  // `n` references at once.
  void retain_n(uint64_t n) noexcept { count_.fetch_add(n, std::memory_order_relaxed); }
  void release() noexcept { release_n(1); }
  void release_n(uint64_t n) noexcept {
    if (n != 0 && count_.fetch_sub(n, std::memory_order_acq_rel) == n) destroy();
  }

  // The arena of this document: what a parse of it makes that lives as long as the document
  // (its nodes, their tables, decoded texts) is allocated here, and released with the buffer
  // when the last node (which each hold a reference) is gone. The buffer itself is the first
  // thing in it. Only the parse that holds the buffer alone allocates from it.
  Arena& arena() noexcept { return arena_; }

  // The text, [data(), data() + length()), followed by a 0 byte that is not part of it: a scan
  // that stops at a 0 byte needs no bound check of its own before it.
  const char* data() const noexcept { return data_; }
  size_t length() const noexcept { return length_; }
  // The length of the document as it was read, in bytes of UTF-8: length() until the buffer
  // gives up the bytes no range refers to (replace_text), which a writer's estimate of its
  // output should not follow.
  size_t document_length() const noexcept { return document_length_; }
  // At least the largest byte of the text, so at least that of any range of it: below 0x80 every
  // range is ASCII, below 0xC4 Latin-1, below 0xF0 in the Basic Multilingual Plane. Lets strings
  // be made from ranges without measuring them first.
  uint8_t max_byte_bound() const noexcept { return max_byte_bound_; }
  uint64_t use_count() const noexcept { return count_.load(std::memory_order_relaxed); }

  // The tree a parse made in this arena: its root node and how many nodes it has, each holding
  // one reference on this buffer. Until a node other than the root is handed to other code
  // (note_node_shared), each of them is held by its parent alone, so the end of the root is the
  // end of all of them: they can be given back at once instead of one at a time.
  // `decoded`: how many of the document's bytes the parse read into decoded copies (texts with
  // references), which no range of the tree refers to.
  void set_tree(const void* root, uint64_t nodes, uint64_t decoded = 0) noexcept {
    tree_root_ = root;
    tree_nodes_ = nodes;
    decoded_bytes_ = decoded;
  }
  const void* tree_root() const noexcept { return tree_root_; }
  uint64_t tree_nodes() const noexcept { return tree_nodes_; }
  uint64_t decoded_bytes() const noexcept { return decoded_bytes_; }
  void note_node_shared() noexcept { nodes_shared_.store(true, std::memory_order_relaxed); }
  bool nodes_shared() const noexcept { return nodes_shared_.load(std::memory_order_relaxed); }

  SourceBuffer(const SourceBuffer&) = delete;
  SourceBuffer& operator=(const SourceBuffer&) = delete;

 private:
  SourceBuffer() = default;
  ~SourceBuffer() = default;
  // A buffer placed at the start of a new arena.
  static SourceBuffer* make(size_t length) noexcept;
  void destroy() noexcept;
  // An owned or encoded buffer's bytes; pages are kept for reuse when `keep_pages` says so.
  void free_text(bool keep_pages) noexcept;

  std::atomic<uint64_t> count_{1};
  std::atomic<bool> nodes_shared_{false};
  const void* tree_root_ = nullptr;
  uint64_t tree_nodes_ = 0;
  uint64_t decoded_bytes_ = 0;
  Origin origin_ = Origin::Owned;
  Memory memory_ = Memory::Malloc;  // Owned only
  uint8_t max_byte_bound_ = 0xFF;
  uint8_t char_width_ = 0;  // Encoded only
  BufferOwner owner_;  // PythonBacked and Encoded
  const void* chars_ = nullptr;  // Encoded only
  size_t capacity_ = 0;
  const char* data_ = nullptr;
  size_t length_ = 0;
  size_t document_length_ = 0;
  Arena arena_;
};

// One counted reference to a SourceBuffer, released on destruction.
class BufferRef {
 public:
  BufferRef() = default;
  // Adopts a reference the caller already owns.
  static BufferRef adopt(SourceBuffer* b) noexcept { BufferRef r; r.b_ = b; return r; }
  BufferRef(BufferRef&& o) noexcept : b_(o.b_) { o.b_ = nullptr; }
  BufferRef& operator=(BufferRef&& o) noexcept {
    if (this != &o) { reset(); b_ = o.b_; o.b_ = nullptr; }
    return *this;
  }
  BufferRef(const BufferRef&) = delete;
  BufferRef& operator=(const BufferRef&) = delete;
  ~BufferRef() { reset(); }
  void reset() noexcept { if (b_) { b_->release(); b_ = nullptr; } }
  SourceBuffer* get() const noexcept { return b_; }
  SourceBuffer* operator->() const noexcept { return b_; }
  explicit operator bool() const noexcept { return b_ != nullptr; }

 private:
  SourceBuffer* b_ = nullptr;
};

}  // namespace tessary::storage
