// Hash map from attribute name to attribute value. Keys are compared and hashed by their text
// (SipHash-1-3 over the bytes plus one 0xFF byte) with a random 128-bit key per map. Iteration
// follows the internal slot order, which is fixed for the map's life and kept by copies. An empty
// map allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/arena.h"
#include "storage/shared_text.h"

namespace tessary::storage {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

// A fresh key for a new map: drawn from this thread's random keys (seeded once per thread from
// the operating system) and varied for every map.
HashKey next_hash_key() noexcept;

uint64_t siphash13(HashKey key, std::string_view bytes) noexcept;

struct AttrEntry {
  SharedText key;
  SharedText value;
};

// Layout: one allocation holding a header, an index of `buckets` slots (position 0: empty,
// otherwise 1 + the position of an entry, with 32 bits of the key's hash to skip most key
// comparisons) and the entries, stored densely. Lookups probe the
// index linearly from the key's hash; iteration walks the index, so its order is that of the
// hash buckets under this map's key, not the order of insertion.
//
// The reader's maps live in their document's arena (in_arena) and are never changed once made.
// Those of up to kLinearMax entries have no index: their entries are stored in the order a
// freshly keyed table of that size would list them (the order is drawn for each map, as the
// key would be), found by comparing keys one after the other and listed in stored order. Larger
// ones are indexed tables like the others, in the arena.
class AttrMap {
 public:
  AttrMap() noexcept = default;
  // Sized for `n` entries, freshly keyed. Allocates nothing when n is 0.
  explicit AttrMap(size_t n) noexcept;
  AttrMap(AttrMap&& o) noexcept : t_(o.t_) { o.t_ = nullptr; }
  AttrMap& operator=(AttrMap&& o) noexcept {
    if (this != &o) {
      if (t_ != nullptr) clear();  // the check inline: most maps moved into are empty
      t_ = o.t_;
      o.t_ = nullptr;
    }
    return *this;
  }
  AttrMap(const AttrMap&) = delete;
  AttrMap& operator=(const AttrMap&) = delete;
  ~AttrMap() {
    if (t_ != nullptr) clear();
  }

  size_t size() const noexcept { return t_ ? t_->count : 0; }
  bool empty() const noexcept { return size() == 0; }

  // Inserts when no entry has the same key text; returns false (leaving the map as it was)
  // when the key is already present. The arguments are consumed either way. When the table
  // cannot grow, the entry is dropped and the failure noted (storage/alloc_failure.h), and true
  // returned: the call that made the map fails with MemoryError.
  bool insert_unique(SharedText key, SharedText value) noexcept;

  static constexpr size_t kLinearMax = 16;

  // An index-free table being filled by the reader: its slots are listed by the set bits of
  // `occupied`, lowest first, and the k-th of them holds the entry that comes item_at[bit]-th in
  // document order. The caller constructs each at slots[k] (keys distinct, holding nothing that
  // needs releasing), then hands the table to a map with finish_linear.
  struct LinearFill {
    AttrEntry* slots;
    uint64_t occupied;
    uint8_t item_at[32];
    void* table;
    uint32_t count;
  };
  // Room for n entries, 1 <= n <= kLinearMax, in `arena`; false when it cannot be had.
  static bool start_linear(Arena& arena, size_t n, LinearFill& fill) noexcept;
  // Makes `out` (empty) the map of a filled table; `sole` is the buffer every key and value is a
  // range of, or null when there is none.
  static void finish_linear(LinearFill& fill, AttrMap& out, SourceBuffer* sole) noexcept;
  struct ArenaFill {
    enum class Status : uint8_t { Ok, Duplicate, OutOfMemory } status;
    size_t at;  // Duplicate: the position in `items` of the first key that repeats an earlier one
  };
  // Makes `out` (empty) a map of items[0, n) in `arena`; keys and values must hold nothing that
  // needs releasing (ranges made with shared_unowned, or texts in the arena). The items are
  // moved in, or left where they are on a duplicate or when the memory cannot be had.
  static ArenaFill in_arena(Arena& arena, AttrEntry* items, size_t n, AttrMap& out) noexcept;
  // Moves entries[0, n) into this map, which must be empty and sized for at least n, in that
  // order. Stops at the first entry whose key repeats an earlier one and returns its position
  // (that entry and the ones after it stay in `entries`); returns n when all keys are unique.
  size_t fill_unique(AttrEntry* entries, size_t n) noexcept;
  // Inserts, replacing the value of an existing equal key.
  void insert_or_replace(SharedText key, SharedText value) noexcept;
  const AttrEntry* find(std::string_view key) const noexcept;

  // Asks the processor to start loading the table (all of it, up to about 1 KB), for a walk
  // that will read it soon.
  void prefetch() const noexcept;

  // The same for the table's header only, which is all that releasing it usually reads (the
  // allocator's own header sits just before it).
  void prefetch_header() const noexcept {
    if (!t_) return;
    __builtin_prefetch(reinterpret_cast<const char*>(t_) - 16);
    __builtin_prefetch(t_);
  }

  // The entries, stored densely whatever the form, for the parse that made the map in its
  // document's arena and moves the ranges they hold (see SourceBuffer::replace_text); null for
  // an empty map. Keys keep their text, so the index stays right.
  AttrEntry* entries_to_relayout(size_t& count) noexcept {
    count = t_ ? t_->count : 0;
    return t_ ? t_->entries() : nullptr;
  }

  // Where the table lies, null for an empty map: for a walk that asks for the memory around it.
  const void* table_address() const noexcept { return t_; }

  // For a map without index (or an empty one): its entries in their listed order, as `first`
  // and `count`, and true; false for an indexed table, which is walked with the iterator.
  bool stored_in_order(const AttrEntry*& first, size_t& count) const noexcept {
    if (t_ == nullptr) {
      first = nullptr;
      count = 0;
      return true;
    }
    if (!t_->linear()) return false;
    first = t_->entries();
    count = t_->count;
    return true;
  }

  // At least the largest byte of every key and value (see SharedText::max_byte); 0 when empty.
  uint8_t max_byte() const noexcept;

  void clear() noexcept;
  // As clear(), with shared ranges' buffer references given back through `batch`.
  void clear(ReleaseBatch& batch) noexcept;

  // Iteration in bucket order. Tables of up to 64 buckets (up to 32 entries) are walked through a
  // mask of their occupied buckets, one bit per entry, with no branch per empty bucket.
  class Iterator;
  Iterator begin() const noexcept;
  Iterator end() const noexcept;

  class View;
  // A view of this map's entries that does not own them: valid while the map lives unchanged.
  View view() const noexcept;

 private:
  struct Bucket {
    uint32_t pos;   // 0: empty; otherwise 1 + the entry's position
    uint32_t hash;  // low 32 bits of the key's hash
  };
  struct Table {
    HashKey key;
    uint32_t mask;      // buckets - 1; 0 for a table without index (linear())
    uint32_t count;
    uint32_t capacity;  // room for entries
    uint32_t flags;
    static constexpr uint32_t kInArena = 1;  // in a document's arena: never freed on its own
    // The buffer every key and value is a range of (null when empty), or kMixed when some
    // are not ranges of one buffer. A map with a buffer here is released without visiting its
    // entries.
    uintptr_t sole;
    static constexpr uintptr_t kMixed = 1;
    bool mixed() const noexcept { return sole == kMixed; }
    SourceBuffer* sole_buffer() const noexcept { return reinterpret_cast<SourceBuffer*>(sole); }
    size_t buckets() const noexcept { return static_cast<size_t>(mask) + 1; }
    bool linear() const noexcept { return mask == 0; }
    bool in_arena() const noexcept { return (flags & kInArena) != 0; }
    // Where iteration ends: past the last entry, or the last bucket.
    size_t stop() const noexcept { return linear() ? count : buckets(); }
    Bucket* index() noexcept { return reinterpret_cast<Bucket*>(this + 1); }
    const Bucket* index() const noexcept { return reinterpret_cast<const Bucket*>(this + 1); }
    // Entries follow the index (8-byte aligned: the header and buckets are multiples of 8).
    AttrEntry* entries() noexcept {
      return reinterpret_cast<AttrEntry*>(reinterpret_cast<char*>(this + 1) + (linear() ? 0 : buckets() * sizeof(Bucket)));
    }
    const AttrEntry* entries() const noexcept { return const_cast<Table*>(this)->entries(); }
  };
  // Null, the failure noted, when the memory cannot be had.
  static Table* allocate(size_t buckets, size_t capacity, HashKey key) noexcept;
  // The same in an arena (buckets 0: a table without index).
  static Table* allocate_in(Arena& arena, size_t buckets, size_t capacity, HashKey key) noexcept;
  static Table* init(void* mem, size_t buckets, size_t capacity, HashKey key, uint32_t flags) noexcept;
  // Keeps `sole`/`mixed` true of an entry about to be added (or a value about to replace one).
  void note_texts(const SharedText& a, const SharedText* b) noexcept;
  static size_t buckets_for(size_t n) noexcept;
  // False (the table unchanged, the failure noted) when the larger table cannot be had.
  bool grow() noexcept;
  // The bucket holding `key`, or the empty bucket where it would go.
  size_t probe(std::string_view key, uint64_t h) const noexcept;

  Table* t_ = nullptr;
};

class AttrMap::Iterator {
 public:
  Iterator(const Table* t, size_t i) noexcept : t_(t), i_(i) {
    if (!t_ || i_ != 0) return;
    if (t_->linear()) {
      linear_ = true;
      return;
    }
    const size_t b = t_->buckets();
    if (b <= 64) {
      const Bucket* ix = t_->index();
      uint64_t occupied = 0;
      for (size_t j = 0; j < b; ++j) occupied |= uint64_t{ix[j].pos != 0} << j;
      occupied_ = occupied;
      masked_ = true;
      i_ = occupied != 0 ? static_cast<size_t>(__builtin_ctzll(occupied)) : b;
    } else {
      skip();
    }
  }
  const AttrEntry& operator*() const noexcept {
    return linear_ ? t_->entries()[i_] : t_->entries()[t_->index()[i_].pos - 1];
  }
  const AttrEntry* operator->() const noexcept { return &**this; }
  Iterator& operator++() noexcept {
    if (linear_) {
      ++i_;
    } else if (masked_) {
      occupied_ &= occupied_ - 1;
      i_ = occupied_ != 0 ? static_cast<size_t>(__builtin_ctzll(occupied_)) : t_->buckets();
    } else {
      ++i_;
      skip();
    }
    return *this;
  }
  bool operator!=(const Iterator& o) const noexcept { return i_ != o.i_; }
  bool operator==(const Iterator& o) const noexcept { return i_ == o.i_; }

 private:
  void skip() noexcept {
    const Bucket* ix = t_->index();
    const size_t b = t_->buckets();
    while (i_ < b && ix[i_].pos == 0) ++i_;
  }
  const Table* t_;
  size_t i_;
  uint64_t occupied_ = 0;  // buckets not yet visited, when masked_
  bool masked_ = false;
  bool linear_ = false;  // a table without index: i_ is the entry's position
};

// Reads a map's entries, in its order, without owning them (one word).
class AttrMap::View {
 public:
  View() noexcept = default;
  explicit View(const Table* t) noexcept : t_(t) {}
  size_t size() const noexcept { return t_ ? t_->count : 0; }
  bool empty() const noexcept { return size() == 0; }
  Iterator begin() const noexcept { return Iterator(t_, 0); }
  Iterator end() const noexcept { return Iterator(t_, t_ ? t_->stop() : 0); }
  // As AttrMap::prefetch.
  void prefetch() const noexcept {
    if (!t_) return;
    const char* p = reinterpret_cast<const char*>(t_);
    const char* end = reinterpret_cast<const char*>(t_->entries() + t_->count);
    if (end - p > 1024) end = p + 1024;
    for (; p < end; p += 64) __builtin_prefetch(p);
  }

 private:
  const Table* t_ = nullptr;
};

// The next 64 random bits of this thread's draws of the orders of index-free tables.
uint64_t next_order_bits() noexcept;

// Inline: the reader makes one table per start tag.
inline bool AttrMap::start_linear(Arena& arena, size_t n, LinearFill& fill) noexcept {
  // A table without index, in the arena (as allocate_in with no buckets).
  void* mem = arena.allocate(sizeof(Table) + n * sizeof(AttrEntry));
  if (mem == nullptr) [[unlikely]] return false;
  Table* t = static_cast<Table*>(mem);
  t->key = HashKey{0, 0};
  t->mask = 0;
  t->count = 0;
  t->capacity = static_cast<uint32_t>(n);
  t->flags = Table::kInArena;
  t->sole = 0;
  fill.table = t;
  fill.slots = t->entries();
  fill.count = static_cast<uint32_t>(n);
  if (n == 1) {
    fill.occupied = 1;
    fill.item_at[0] = 0;
    return true;
  }
  // The order a table of buckets_for(n) buckets, probed linearly, lists the keys in when each
  // key's home bucket is drawn at random: what an index under a fresh random key gives. The free
  // buckets are a bit mask, kept twice over (the copy above the table's buckets stands for the
  // wrap to bucket 0), so that the first free bucket from the home on is one count of trailing
  // zeros; the occupied buckets, in order, are the listing.
  const unsigned shift = 64u - static_cast<unsigned>(__builtin_clzll(2 * n - 1));  // log2 buckets_for(n)
  const unsigned buckets = 1u << shift;                                              // at most 32
  const uint64_t twice = uint64_t{1} | uint64_t{1} << buckets;
  uint64_t free = (uint64_t{1} << buckets) * twice - twice;  // both copies all free
  uint8_t* const item_at = fill.item_at;  // the key in each occupied bucket
  const auto place = [&](size_t first, size_t last, uint64_t bits) {
    for (size_t i = first; i < last; ++i) {
      const unsigned home = static_cast<unsigned>(bits) & (buckets - 1);
      bits >>= shift;
      const unsigned pos = (home + static_cast<unsigned>(__builtin_ctzll(free >> home))) & (buckets - 1);
      free &= ~(twice << pos);
      item_at[pos] = static_cast<uint8_t>(i);
    }
  };
  // One draw gives the homes of 64 / shift keys (12 or more); only tables of 13 keys or more
  // need a second. The quotient is looked up: a division would wait for the divider on every
  // start tag with attributes.
  static_assert(kLinearMax <= 16, "at most 32 buckets: shift at most 5");
  constexpr uint8_t kPerDraw[6] = {0, 64, 32, 21, 16, 12};  // 64 / shift, shift 1 to 5
  const size_t per_draw = kPerDraw[shift];
  place(0, n < per_draw ? n : per_draw, next_order_bits());
  if (n > per_draw) place(per_draw, n, next_order_bits());
  fill.occupied = ~free & ((uint64_t{1} << buckets) - 1);
  return true;
}

inline void AttrMap::finish_linear(LinearFill& fill, AttrMap& out, SourceBuffer* sole) noexcept {
  Table* t = static_cast<Table*>(fill.table);
  t->count = fill.count;
  t->sole = sole != nullptr ? reinterpret_cast<uintptr_t>(sole) : Table::kMixed;
  if (out.t_ != nullptr) out.clear();
  out.t_ = t;
}

inline AttrMap::Iterator AttrMap::begin() const noexcept { return Iterator(t_, 0); }
inline AttrMap::Iterator AttrMap::end() const noexcept { return Iterator(t_, t_ ? t_->stop() : 0); }
inline AttrMap::View AttrMap::view() const noexcept { return View(t_); }
inline void AttrMap::prefetch() const noexcept { view().prefetch(); }

}  // namespace tessary::storage
