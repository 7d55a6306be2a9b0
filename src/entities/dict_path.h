// The dictionaries on the path from_dict is converting, by identity, so that a dictionary that
// contains itself (directly, or through the children of its children) is refused instead of
// being converted forever. A dictionary shared by several parents is on the path only while one
// of them is being converted, so it converts once per occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tessary::entities {

// A set of addresses that are added and removed in stack order. Open addressing with linear
// probing: an entry takes the first free slot from its hash on, and since every entry added
// after it has been removed by the time it is, clearing its slot leaves the table exactly as it
// was before it was added (no tombstones, no shifting). The slot of each entry is kept in
// `order_`, in the order the entries came.
class PathSet {
 public:
  enum class Added : uint8_t { Yes, AlreadyOnPath, OutOfMemory };

  PathSet() noexcept = default;
  PathSet(const PathSet&) = delete;
  PathSet& operator=(const PathSet&) = delete;
  ~PathSet() {
    std::free(slots_);
    std::free(order_);
  }

  // Adds `p` as the newest entry, unless it is already in the set.
  Added push(const void* p) noexcept {
    if ((count_ + 1) * 2 > capacity_ && !grow()) return Added::OutOfMemory;
    size_t i = home(p);
    for (; slots_[i] != nullptr; i = (i + 1) & (capacity_ - 1)) {
      if (slots_[i] == p) return Added::AlreadyOnPath;
    }
    slots_[i] = p;
    order_[count_++] = static_cast<uint32_t>(i);
    return Added::Yes;
  }

  // Removes the newest entry.
  void pop() noexcept { slots_[order_[--count_]] = nullptr; }

  size_t size() const noexcept { return count_; }

 private:
  size_t home(const void* p) const noexcept {
    // Fibonacci hashing of the address (whose low bits are alignment): the top bits of the
    // product index a table of capacity_ = 2^bits_ slots.
    const uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> (64 - bits_));
  }

  // Doubles the table (at most half full) and adds the entries again in the order they came,
  // which rebuilds the same kind of table and their slots with it.
  bool grow() noexcept {
    const unsigned bits = bits_ + 1;
    const size_t capacity = size_t{1} << bits;
    if (capacity > (size_t{1} << 31)) return false;
    auto* slots = static_cast<const void**>(std::calloc(capacity, sizeof(const void*)));
    auto* order = static_cast<uint32_t*>(std::malloc(capacity / 2 * sizeof(uint32_t)));
    if (slots == nullptr || order == nullptr) {
      std::free(slots);
      std::free(order);
      return false;
    }
    const void** old_slots = slots_;
    uint32_t* old_order = order_;
    const size_t n = count_;
    slots_ = slots;
    order_ = order;
    bits_ = bits;
    capacity_ = capacity;
    count_ = 0;
    for (size_t k = 0; k < n; ++k) {
      const void* p = old_slots[old_order[k]];
      size_t i = home(p);
      while (slots_[i] != nullptr) i = (i + 1) & (capacity_ - 1);
      slots_[i] = p;
      order_[count_++] = static_cast<uint32_t>(i);
    }
    std::free(old_slots);
    std::free(old_order);
    return true;
  }

  const void** slots_ = nullptr;
  uint32_t* order_ = nullptr;  // the slot of each entry, oldest first
  size_t count_ = 0;
  size_t capacity_ = 0;
  unsigned bits_ = 4;  // the first table has 2^5 slots
};

}  // namespace tessary::entities
