#include "storage/attr_map.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace tessary::storage {

namespace {

struct ThreadKeys {
  bool seeded = false;
  HashKey key{0, 0};
};
[[gnu::tls_model("initial-exec")]] thread_local ThreadKeys thread_keys;

void seed(ThreadKeys& tk) noexcept {
  uint64_t words[2] = {0, 0};
  size_t got = 0;
  auto* p = reinterpret_cast<unsigned char*>(words);
  // The system call itself rather than glibc's getrandom(), which glibc only has from 2.25 on:
  // the module is built for glibc 2.17. Kernels older than 3.17 lack it; /dev/urandom then.
  while (got < sizeof words) {
    long n = syscall(SYS_getrandom, p + got, sizeof words - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof words) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      while (got < sizeof words) {
        ssize_t n = read(fd, p + got, sizeof words - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      close(fd);
    }
  }
  if (got < sizeof words) {
    // No random source: fall back to an address- and time-derived key rather than failing.
    words[0] ^= reinterpret_cast<uintptr_t>(&tk) * 0x9E3779B97F4A7C15ull;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    words[1] ^= static_cast<uint64_t>(ts.tv_nsec) * 0xBF58476D1CE4E5B9ull + static_cast<uint64_t>(ts.tv_sec);
  }
  tk.key = {words[0], words[1]};
  tk.seeded = true;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only (x86_64, AArch64)
}

}  // namespace

HashKey next_hash_key() noexcept {
  ThreadKeys& tk = thread_keys;
  if (!tk.seeded) seed(tk);
  HashKey k = tk.key;
  tk.key.k0 += 1;
  return k;
}

namespace {
// The hash, inlined into the map's own loops.
[[gnu::always_inline]] inline uint64_t siphash13_inline(HashKey key, std::string_view bytes) noexcept {
  // The message is the bytes followed by one 0xFF byte.
  SipState s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull,
             key.k0 ^ 0x6c7967656e657261ull, key.k1 ^ 0x7465646279746573ull};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  const uint64_t total = n + 1;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) s.absorb(load_le64(p + i));
  // The 0..7 remaining bytes, read without touching memory past them: two overlapping 4-byte
  // loads, or the first, middle and last byte of a shorter rest.
  const unsigned char* t = p + i;
  const size_t rest = n - i;
  uint64_t w = 0;
  if (rest >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, t, 4);
    std::memcpy(&hi, t + rest - 4, 4);
    w = static_cast<uint64_t>(lo) | (static_cast<uint64_t>(hi) << (8 * (rest - 4)));
  } else if (rest > 0) {
    w = static_cast<uint64_t>(t[0]) | (static_cast<uint64_t>(t[rest / 2]) << (8 * (rest / 2))) |
        (static_cast<uint64_t>(t[rest - 1]) << (8 * (rest - 1)));
  }
  w |= uint64_t{0xFF} << (8 * rest);  // the terminator
  if (rest == 7) {
    s.absorb(w);  // the terminator completed a word: the length goes in a word of its own
    w = 0;
  }
  s.absorb(w | ((total & 0xFF) << 56));
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
}  // namespace

uint64_t siphash13(HashKey key, std::string_view bytes) noexcept { return siphash13_inline(key, bytes); }

size_t AttrMap::buckets_for(size_t n) noexcept {
  // At most half full, so that linear probing stays short; a single attribute, the commonest
  // case, takes two buckets.
  size_t b = 2;
  while (b / 2 < n) b *= 2;
  return b;
}

AttrMap::Table* AttrMap::allocate(size_t buckets, size_t capacity, HashKey key) noexcept {
  // Counts and positions are 32-bit: a table past that is refused like one that does not fit.
  if (buckets > UINT32_MAX || capacity > UINT32_MAX - 1) [[unlikely]] {
    note_allocation_failure();
    return nullptr;
  }
  const size_t index_end = sizeof(Table) + buckets * sizeof(Bucket);
  const size_t bytes = index_end + capacity * sizeof(AttrEntry);
  void* mem = std::malloc(bytes);
  if (mem == nullptr) [[unlikely]] {
    note_allocation_failure();
    return nullptr;
  }
  return init(mem, buckets, capacity, key, 0);
}

AttrMap::Table* AttrMap::init(void* mem, size_t buckets, size_t capacity, HashKey key, uint32_t flags) noexcept {
  auto* t = static_cast<Table*>(mem);
  t->key = key;
  t->mask = buckets == 0 ? 0 : static_cast<uint32_t>(buckets - 1);
  t->count = 0;
  t->capacity = static_cast<uint32_t>(capacity);
  t->flags = flags;
  t->sole = 0;
  if (buckets != 0) std::memset(t->index(), 0, buckets * sizeof(Bucket));
  return t;
}

AttrMap::Table* AttrMap::allocate_in(Arena& arena, size_t buckets, size_t capacity, HashKey key) noexcept {
  if (buckets > UINT32_MAX || capacity > UINT32_MAX - 1) [[unlikely]] return nullptr;
  void* mem = arena.allocate(sizeof(Table) + buckets * sizeof(Bucket) + capacity * sizeof(AttrEntry));
  if (mem == nullptr) [[unlikely]] return nullptr;
  return init(mem, buckets, capacity, key, Table::kInArena);
}

namespace {

// This thread's generator of the orders of index-free tables: SplitMix64, seeded from the
// thread's random keys.
[[gnu::tls_model("initial-exec")]] thread_local uint64_t order_state = 0;
[[gnu::tls_model("initial-exec")]] thread_local bool order_seeded = false;

}  // namespace

uint64_t next_order_bits() noexcept {
  if (!order_seeded) [[unlikely]] {
    const HashKey k = next_hash_key();
    order_state = k.k0 ^ (k.k1 << 1);
    order_seeded = true;
  }
  uint64_t z = (order_state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

namespace {

inline bool same_key(const SharedText& a, const SharedText& b) noexcept {
  const std::string_view x = a.view(), y = b.view();
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size()) == 0;
}

}  // namespace

AttrMap::ArenaFill AttrMap::in_arena(Arena& arena, AttrEntry* items, size_t n, AttrMap& out) noexcept {
  using Status = ArenaFill::Status;
  if (n == 0) return {Status::Ok, 0};
  if (n > kLinearMax) {
    Table* t = allocate_in(arena, buckets_for(n), n, next_hash_key());
    if (t == nullptr) return {Status::OutOfMemory, 0};
    AttrMap m;
    m.t_ = t;
    const size_t dup = m.fill_unique(items, n);
    if (dup < n) return {Status::Duplicate, dup};
    out = std::move(m);
    return {Status::Ok, 0};
  }
  // A repeated key, in document order: the first key equal to one before it.
  for (size_t i = 1; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (same_key(items[i].key, items[j].key)) return {Status::Duplicate, i};
    }
  }
  LinearFill fill;
  if (!start_linear(arena, n, fill)) return {Status::OutOfMemory, 0};
  SourceBuffer* sole = items[0].key.buffer();
  for (size_t i = 0; i < n; ++i) {
    if (items[i].key.buffer() != sole || items[i].value.buffer() != sole) sole = nullptr;
  }
  size_t k = 0;
  for (uint64_t m = fill.occupied; m != 0; m &= m - 1) {
    new (&fill.slots[k++]) AttrEntry{std::move(items[fill.item_at[__builtin_ctzll(m)]])};
  }
  finish_linear(fill, out, sole);
  return {Status::Ok, 0};
}

AttrMap::AttrMap(size_t n) noexcept {
  if (n > 0) t_ = allocate(buckets_for(n), n, next_hash_key());
}

void AttrMap::clear() noexcept {
  if (!t_) return;
  ReleaseBatch batch;
  clear(batch);
}

void AttrMap::note_texts(const SharedText& a, const SharedText* b) noexcept {
  if (t_->mixed()) return;
  SourceBuffer* buf = a.buffer();
  if (buf == nullptr || (b != nullptr && b->buffer() != buf)) {
    t_->sole = Table::kMixed;
  } else if (t_->sole == 0) {
    t_->sole = reinterpret_cast<uintptr_t>(buf);
  } else if (t_->sole_buffer() != buf) {
    t_->sole = Table::kMixed;
  }
}

void AttrMap::clear(ReleaseBatch& batch) noexcept {
  if (!t_) return;
  if (t_->in_arena()) {
    // Nothing in it holds a reference, and its memory goes with the arena.
    t_ = nullptr;
    return;
  }
  if (!t_->mixed()) {
    // Every text is a range of one buffer: give back all their references at once.
    if (t_->sole != 0) batch.add_n(t_->sole_buffer(), 2 * uint64_t{t_->count});
    std::free(t_);
    t_ = nullptr;
    return;
  }
  AttrEntry* e = t_->entries();
  for (uint32_t i = 0, n = t_->count; i < n; ++i) {
    e[i].key.release_into(batch);
    e[i].value.release_into(batch);
    e[i].~AttrEntry();
  }
  std::free(t_);
  t_ = nullptr;
}

uint8_t AttrMap::max_byte() const noexcept {
  if (!t_ || t_->count == 0) return 0;
  if (!t_->mixed()) return t_->sole_buffer()->max_byte_bound();
  uint8_t top = 0;
  const AttrEntry* e = t_->entries();
  for (uint32_t i = 0; i < t_->count; ++i) {
    const uint8_t k = e[i].key.max_byte(), v = e[i].value.max_byte();
    top = k > top ? k : top;
    top = v > top ? v : top;
  }
  return top;
}

[[gnu::always_inline]] inline size_t AttrMap::probe(std::string_view key, uint64_t h) const noexcept {
  const Bucket* ix = t_->index();
  const AttrEntry* e = t_->entries();
  const auto h32 = static_cast<uint32_t>(h);
  size_t i = static_cast<size_t>(h) & t_->mask;
  for (;;) {
    const Bucket b = ix[i];
    if (b.pos == 0) return i;
    if (b.hash == h32) {
      const std::string_view k = e[b.pos - 1].key.view();
      if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) return i;
    }
    i = (i + 1) & t_->mask;
  }
}

bool AttrMap::grow() noexcept {
  // Doubles the entry room, with buckets for it that keep the table at most half full.
  Table* old = t_;
  const size_t n = old->count;
  const size_t capacity = n < 2 ? 4 : n * 2;
  Table* grown = allocate(buckets_for(capacity), capacity, old->key);
  if (grown == nullptr) return false;  // the table stays as it was
  t_ = grown;
  t_->sole = old->sole;
  AttrEntry* from = old->entries();
  AttrEntry* to = t_->entries();
  Bucket* ix = t_->index();
  // Re-index in the old bucket order so equal histories give equal layouts.
  const Bucket* old_ix = old->index();
  for (size_t b = 0, nb = old->buckets(); b < nb; ++b) {
    if (old_ix[b].pos == 0) continue;
    AttrEntry& src = from[old_ix[b].pos - 1];
    const uint32_t pos = t_->count++;
    new (&to[pos]) AttrEntry{std::move(src)};
    src.~AttrEntry();
    const std::string_view k = to[pos].key.view();
    const uint64_t h = siphash13(t_->key, k);
    ix[probe(k, h)] = {pos + 1, static_cast<uint32_t>(h)};
  }
  std::free(old);
  return true;
}

bool AttrMap::insert_unique(SharedText key, SharedText value) noexcept {
  if (!t_) {
    t_ = allocate(buckets_for(1), 1, next_hash_key());
    if (!t_) return true;  // not kept: the allocation failure fails the call
  }
  const std::string_view kv = key.view();
  const uint64_t h = siphash13(t_->key, kv);
  size_t b = probe(kv, h);
  if (t_->index()[b].pos != 0) return false;
  if (t_->count == t_->capacity) {
    if (!grow()) return true;  // as above
    b = probe(kv, h);
  }
  note_texts(key, &value);
  const uint32_t pos = t_->count++;
  new (&t_->entries()[pos]) AttrEntry{std::move(key), std::move(value)};
  t_->index()[b] = {pos + 1, static_cast<uint32_t>(h)};
  return true;
}

size_t AttrMap::fill_unique(AttrEntry* items, size_t n) noexcept {
  if (n == 0) return 0;
  if (!t_) {
    t_ = allocate(buckets_for(n), n, next_hash_key());
    if (!t_) return n;  // none kept: the allocation failure fails the call
  }
  if (t_->capacity - t_->count < n) {
    // Not sized for them: insert one by one, growing as needed.
    for (size_t j = 0; j < n; ++j) {
      if (find(items[j].key.view()) != nullptr) return j;
      insert_unique(std::move(items[j].key), std::move(items[j].value));
    }
    return n;
  }
  Table* const t = t_;
  // Hashes first, a block at a time: each is an independent chain of arithmetic, so the
  // processor overlaps several of them.
  constexpr size_t kBlock = 16;
  uint64_t hashes[kBlock];
  Bucket* const ix = t->index();
  AttrEntry* const entries = t->entries();
  for (size_t base = 0; base < n; base += kBlock) {
    const size_t m = n - base < kBlock ? n - base : kBlock;
    for (size_t j = 0; j < m; ++j) hashes[j] = siphash13_inline(t->key, items[base + j].key.view());
    for (size_t j = 0; j < m; ++j) {
      AttrEntry& item = items[base + j];
      const std::string_view kv = item.key.view();
      const uint64_t h = hashes[j];
      const size_t b = probe(kv, h);
      if (ix[b].pos != 0) return base + j;
      note_texts(item.key, &item.value);
      const uint32_t pos = t->count++;
      new (&entries[pos]) AttrEntry{std::move(item.key), std::move(item.value)};
      ix[b] = {pos + 1, static_cast<uint32_t>(h)};
    }
  }
  return n;
}

void AttrMap::insert_or_replace(SharedText key, SharedText value) noexcept {
  if (t_) {
    const std::string_view kv = key.view();
    const size_t b = probe(kv, siphash13(t_->key, kv));
    const uint32_t slot = t_->index()[b].pos;
    if (slot != 0) {
      note_texts(value, nullptr);
      t_->entries()[slot - 1].value = std::move(value);
      return;
    }
  }
  insert_unique(std::move(key), std::move(value));
}

const AttrEntry* AttrMap::find(std::string_view key) const noexcept {
  if (!t_ || t_->count == 0) return nullptr;
  if (t_->linear()) {
    const AttrEntry* e = t_->entries();
    for (uint32_t i = 0; i < t_->count; ++i) {
      const std::string_view k = e[i].key.view();
      if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) return &e[i];
    }
    return nullptr;
  }
  const size_t b = probe(key, siphash13(t_->key, key));
  const uint32_t slot = t_->index()[b].pos;
  return slot != 0 ? &t_->entries()[slot - 1] : nullptr;
}

}  // namespace tessary::storage
