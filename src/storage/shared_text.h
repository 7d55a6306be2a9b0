// A UTF-8 string that either owns its bytes or is a byte range of a SourceBuffer. The optional
// form adds a third state, absent, in the same representation (no separate presence flag).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "index/utf8.h"
#include "storage/alloc_failure.h"
#include "storage/source_buffer.h"

namespace tessary::storage {

// Three words. The first is one of:
//   the owned bytes' address (even, or null): owned text;
//   the buffer's address | 1: a shared range, which counts one reference on its buffer;
//   the buffer's address | 3: a shared range that counts none (see shared_unowned);
//   2: absent text.
// A range that counts none may instead be a range of characters of the str a document was read
// from (see source_chars): then the top bit of the second word is set, and the second and third
// words are the first character and the one after the last, in the str's own units.
// Owned text keeps its capacity in the low 56 bits of the third word and, in the top 8, its
// largest byte when that was known where it was made (0xFF, which UTF-8 never holds, when not).
// Owned text of capacity 0 is not freed: its bytes belong to something that outlives it (the
// arena of a parsed document, see unowned()).
//
// A counted shared range holds one reference on its buffer, given back when it is released.
// The reader makes ranges that hold none (shared_unowned): its nodes hold the document instead.
class SharedText {
 public:
  enum class Tag : uint8_t { Owned = 0, Shared = 1, Absent = 2 };

  // Absent text.
  SharedText() noexcept = default;

  // A new Owned value holding a copy of `s`, whose largest byte is at most `max_byte` when given.
  static SharedText owned(std::string_view s, uint8_t max_byte = kUnknownMax) noexcept {
    SharedText t;
    t.w_ = 0;
    if (!s.empty()) {
      char* p = static_cast<char*>(std::malloc(s.size()));
      if (p == nullptr) [[unlikely]] {
        note_allocation_failure();  // empty instead; the call reports MemoryError
        return t;
      }
      std::memcpy(p, s.data(), s.size());
      t.w_ = reinterpret_cast<uintptr_t>(p);
      t.a_ = s.size();
      t.b_ = s.size() | (uint64_t{max_byte} << 56);
    }
    return t;
  }
  // Takes over a malloc'd string of `capacity` bytes, `length` of them used.
  static SharedText adopt(char* p, size_t length, size_t capacity, uint8_t max_byte = kUnknownMax) noexcept {
    SharedText t;
    t.w_ = reinterpret_cast<uintptr_t>(p);
    t.a_ = length;
    t.b_ = capacity | (uint64_t{max_byte} << 56);
    if (capacity == 0) {
      t.w_ = 0;
      t.b_ = 0;
    }
    return t;
  }

  // A range [start, end) of `buffer` that holds no reference on it: for texts inside a parsed
  // document's nodes, which are covered by the reference each node holds on its document.
  static SharedText shared_unowned(SourceBuffer* buffer, uint64_t start, uint64_t end) noexcept {
    SharedText t;
    t.w_ = reinterpret_cast<uintptr_t>(buffer) | 3;
    t.a_ = start;
    t.b_ = end;
    return t;
  }
  // Characters [first, end) of the str `buffer` was read from (SourceBuffer::chars): a long
  // text of a document that keeps no UTF-8 form of it. Holds no reference, like shared_unowned.
  // Such text has no bytes to view: view(), checked_view() and bounded_view() must not be used
  // on it (the checked ones fail), and readers ask is_chars() first.
  static SharedText source_chars(SourceBuffer* buffer, uint64_t first, uint64_t end) noexcept {
    SharedText t;
    t.w_ = reinterpret_cast<uintptr_t>(buffer) | 3;
    t.a_ = kCharsBit | first;
    t.b_ = end;
    return t;
  }
  // Text whose bytes live elsewhere for at least as long as the value (a document's arena),
  // with its largest byte. `p` must be even: the low bit tells shared ranges apart.
  static SharedText unowned(const char* p, size_t length, uint8_t max_byte) noexcept {
    SharedText t;
    t.w_ = reinterpret_cast<uintptr_t>(p);
    t.a_ = length;
    t.b_ = uint64_t{max_byte} << 56;
    return t;
  }

  SharedText(SharedText&& o) noexcept : w_(o.w_), a_(o.a_), b_(o.b_) { o.w_ = kAbsent; }
  SharedText& operator=(SharedText&& o) noexcept {
    if (this != &o) {
      release();
      w_ = o.w_; a_ = o.a_; b_ = o.b_;
      o.w_ = kAbsent;
    }
    return *this;
  }
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText&) = delete;
  ~SharedText() { release(); }

  Tag tag() const noexcept {
    if (w_ == kAbsent) return Tag::Absent;
    return (w_ & 1) ? Tag::Shared : Tag::Owned;
  }
  bool absent() const noexcept { return w_ == kAbsent; }
  bool present() const noexcept { return w_ != kAbsent; }
  bool is_shared() const noexcept { return (w_ & 1) != 0; }  // kAbsent is even
  SourceBuffer* buffer() const noexcept { return is_shared() ? buf() : nullptr; }
  // The word that holds a shared range's buffer and form (counted or not): equal for two
  // ranges exactly when they are of one buffer in one form. A reader that keeps the last
  // buffer it met tells a range of it by this one compare.
  uintptr_t buffer_word() const noexcept { return w_; }
  uint64_t range_start() const noexcept { return a_; }
  uint64_t range_end() const noexcept { return b_; }
  // A range of the document's str (source_chars), rather than of its bytes.
  bool is_chars() const noexcept { return (w_ & 3) == 3 && (a_ & kCharsBit) != 0; }
  uint64_t chars_start() const noexcept { return a_ & ~kCharsBit; }
  uint64_t chars_end() const noexcept { return b_; }
  // Moves an uncounted byte range to start at `start` of its buffer, the same length (for a
  // buffer whose bytes are laid out anew).
  void move_range(uint64_t start) noexcept {
    b_ = start + (b_ - a_);
    a_ = start;
  }

  // The bytes, without checking a shared range (engine code only makes valid ranges).
  std::string_view view() const noexcept {
    if (w_ & 1) return {buf()->data() + a_, static_cast<size_t>(b_ - a_)};
    if (w_ == kAbsent) return {};
    return {reinterpret_cast<const char*>(w_), static_cast<size_t>(a_)};
  }
  // The bytes, after checking that a shared range lies inside its buffer and on character
  // boundaries. Returns false when it does not.
  bool checked_view(std::string_view* out) const noexcept {
    if (w_ & 1) {
      const SourceBuffer* b = buf();
      const size_t len = b->length();
      if (a_ > b_ || b_ > len) return false;
      const auto* d = reinterpret_cast<const unsigned char*>(b->data());
      auto boundary = [&](uint64_t off) { return off == 0 || off == len || (d[off] & 0xC0) != 0x80; };
      if (!boundary(a_) || !boundary(b_)) return false;
    }
    *out = view();
    return true;
  }
  // The first half of checked_view: the range lies inside its buffer. `edges` receives which
  // character-boundary checks remain, for a reader about to touch the bytes anyway: bit 0, that
  // the first byte (out->data()[0]) is not a continuation byte; bit 1, that the byte just after
  // the range (out->data()[out->size()]) is not. Both bytes lie inside the buffer when asked for.
  bool bounded_view(std::string_view* out, unsigned* edges) const noexcept {
    *edges = 0;
    if (w_ & 1) {
      const size_t len = buf()->length();
      if (a_ > b_ || b_ > len) return false;
      *edges = (a_ != 0 && a_ != len ? 1u : 0u) | (b_ != len ? 2u : 0u);
    }
    *out = view();
    return true;
  }
  // The second half: whether the bytes `edges` names are where characters start.
  static bool edges_ok(std::string_view v, unsigned edges) noexcept {
    const auto* d = reinterpret_cast<const unsigned char*>(v.data());
    return (!(edges & 1) || (d[0] & 0xC0) != 0x80) && (!(edges & 2) || (d[v.size()] & 0xC0) != 0x80);
  }

  // Releases the value, except that a shared range's buffer reference is added to `batch`
  // instead of being given back one by one (see ReleaseBatch).
  void release_into(class ReleaseBatch& batch) noexcept;

  size_t size() const noexcept { return view().size(); }
  // At least the largest byte of the text (exactly it for owned text; the buffer's bound for a
  // range); 0 when absent. Measures owned text whose largest byte was not recorded.
  uint8_t max_byte() const noexcept {
    const uint8_t known = max_byte_bound();
    if (known != kUnknownMax) return known;
    return index::max_byte(reinterpret_cast<const uint8_t*>(w_), static_cast<size_t>(a_));
  }
  // The same without looking at the bytes: 0xFF for owned text whose largest byte was not known
  // where it was made.
  uint8_t max_byte_bound() const noexcept {
    if (w_ & 1) return buf()->max_byte_bound();
    if (w_ == kAbsent || a_ == 0) return 0;
    return static_cast<uint8_t>(b_ >> 56);
  }
  bool operator==(const SharedText& o) const noexcept { return view() == o.view(); }

 private:
  static constexpr uintptr_t kAbsent = 2;
  static constexpr uint64_t kCharsBit = uint64_t{1} << 63;
  static constexpr uint8_t kUnknownMax = 0xFF;
  static constexpr uint64_t kCapacityMask = (uint64_t{1} << 56) - 1;
  SourceBuffer* buf() const noexcept { return reinterpret_cast<SourceBuffer*>(w_ & ~uintptr_t{3}); }
  // A shared range that holds a reference on its buffer.
  bool counted() const noexcept { return (w_ & 3) == 1; }
  void release() noexcept {
    if (w_ & 1) {
      if (counted()) buf()->release();
    } else if (w_ != kAbsent && (b_ & kCapacityMask) != 0) {
      std::free(reinterpret_cast<void*>(w_));
    }
    w_ = kAbsent;
  }

  uintptr_t w_ = kAbsent;
  uint64_t a_ = 0;  // Owned: length; Shared: start
  uint64_t b_ = 0;  // Owned: capacity; Shared: end (exclusive)
};

static_assert(sizeof(SharedText) == 24);

// The UTF-8 form of a text made of a str's characters (SharedText::source_chars), handed to
// `piece` a slice at a time (each ends where a character does); stops early, returning false,
// when `piece` returns false. Encodes into a buffer on the stack: allocates nothing.
template <class Piece>
bool for_each_utf8_piece(const SharedText& t, Piece&& piece) noexcept {
  const SourceBuffer* b = t.buffer();
  const unsigned width = b->char_width();
  const char* chars = static_cast<const char*>(b->chars());
  constexpr size_t kChars = 1024;
  uint8_t out[4 * kChars];
  for (uint64_t i = t.chars_start(), end = t.chars_end(); i < end;) {
    const size_t n = end - i < kChars ? static_cast<size_t>(end - i) : kChars;
    const char* at = chars + i * width;
    const index::Utf8Encoded r =
        width == 1   ? index::encode_utf8(reinterpret_cast<const uint8_t*>(at), n, out)
        : width == 2 ? index::encode_utf8(reinterpret_cast<const uint16_t*>(at), n, out)
                     : index::encode_utf8(reinterpret_cast<const uint32_t*>(at), n, out);
    // The characters were encoded once already, when the document was read.
    if (!piece(std::string_view(reinterpret_cast<const char*>(out), r.ok ? r.bytes : 0))) return false;
    i += n;
  }
  return true;
}

// Whether `t` is exactly `s`, whatever its form.
inline bool text_equals(const SharedText& t, std::string_view s) noexcept {
  if (!t.is_chars()) return t.view() == s;
  bool same = true;
  for_each_utf8_piece(t, [&](std::string_view p) {
    same = s.substr(0, p.size()) == p;
    s.remove_prefix(same ? p.size() : 0);
    return same;
  });
  return same && s.empty();
}

// Gives back buffer references in runs: consecutive releases on the same buffer cost one atomic
// subtraction instead of one each. Flushed on destruction.
class ReleaseBatch {
 public:
  ReleaseBatch() noexcept = default;
  ReleaseBatch(const ReleaseBatch&) = delete;
  ReleaseBatch& operator=(const ReleaseBatch&) = delete;
  ~ReleaseBatch() { flush(); }
  void add(SourceBuffer* b) noexcept {
    if (b != buf_) {
      flush();
      buf_ = b;
    }
    ++n_;
  }
  void add_n(SourceBuffer* b, uint64_t n) noexcept {
    if (b != buf_) {
      flush();
      buf_ = b;
    }
    n_ += n;
  }
  void flush() noexcept {
    if (buf_ != nullptr) buf_->release_n(n_);
    buf_ = nullptr;
    n_ = 0;
  }

 private:
  SourceBuffer* buf_ = nullptr;
  uint64_t n_ = 0;
};

inline void SharedText::release_into(ReleaseBatch& batch) noexcept {
  if (w_ & 1) {
    if (counted()) batch.add(buf());
    w_ = kAbsent;
  } else {
    release();
  }
}

}  // namespace tessary::storage
