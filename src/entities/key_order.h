// The order in which a freshly seeded hash table lists its keys, for the dictionaries to_dict
// makes: each lists its keys in the order such a table would, though Python dictionaries keep
// insertion order. The orders are as unpredictable as the table's own, for one hash per table.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "storage/attr_map.h"

namespace tessary::entities {

class FreshOrder {
 public:
  // For `n` distinct keys inserted in the given order into a table of at least 2 buckets filled
  // to at most three quarters, probed linearly from a keyed hash under a fresh random key and
  // listed in bucket order: the positions of the keys in the order that table lists them.
  //
  // The hash of each key under a fresh random key is the output of a keyed pseudo-random
  // function never used before; so is a generator seeded from one SipHash output under a fresh
  // key. The orders that come out are the same, with the same unpredictability, for one hash
  // per table instead of one per key.
  const std::vector<uint32_t>& compute(size_t n) {
    size_t buckets = 2;
    while (buckets * 3 / 4 < n) buckets *= 2;
    const size_t mask = buckets - 1;
    slots_.assign(buckets, Slot{0, 0});
    uint64_t state = storage::siphash13(storage::next_hash_key(), {});
    for (size_t i = 0; i < n; ++i) {
      const uint64_t h = next(state) | (1ull << 63);
      size_t j = static_cast<size_t>(h) & mask;
      while (slots_[j].hash != 0) j = (j + 1) & mask;  // keys are distinct: no replacement
      slots_[j] = {h, static_cast<uint32_t>(i)};
    }
    order_.clear();
    for (const Slot& s : slots_) {
      if (s.hash != 0) order_.push_back(s.index);
    }
    return order_;
  }

  // The order of the four keys of a node's dictionary (a table of 8 buckets). Their home buckets
  // under a fresh key are four hash values of that key; one SipHash output under the fresh key
  // supplies them as four 3-bit fields instead of four hashes of the key texts. Either way they
  // are the outputs of a keyed pseudo-random function under a key never used before, so the
  // orders that come out are the same, with the same unpredictability, at a quarter of the
  // hashing.
  static std::array<uint8_t, 4> four() {
    const uint64_t h = storage::siphash13(storage::next_hash_key(), {});
    int8_t slot[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    for (int i = 0; i < 4; ++i) {
      unsigned j = static_cast<unsigned>(h >> (3 * i)) & 7;
      while (slot[j] >= 0) j = (j + 1) & 7;
      slot[j] = static_cast<int8_t>(i);
    }
    std::array<uint8_t, 4> out{};
    int k = 0;
    for (int8_t v : slot) {
      if (v >= 0) out[k++] = static_cast<uint8_t>(v);
    }
    return out;
  }

 private:
  struct Slot {
    uint64_t hash;  // 0: empty
    uint32_t index;
  };
  // SplitMix64.
  static uint64_t next(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  std::vector<Slot> slots_;
  std::vector<uint32_t> order_;
};

}  // namespace tessary::entities
