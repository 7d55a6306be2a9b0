// The strs of names and attribute keys, made once per to_dict call: a document uses few distinct
// names, so most lookups find the str already made, with its hash already computed for the
// dictionaries it goes into. Sharing equal strs is not observable (the interpreter itself shares
// interned and one-character strings freely). Keys are the texts' bytes, which stay where the
// borrowed tree keeps them for the whole conversion.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "entities/node.h"

namespace tessary::entities {

class StrCache {
 public:
  StrCache() : slots_(kSlots) {}
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  // A new reference to a str of `t`.
  Result<Ref> get(const storage::SharedText& t) {
    std::string_view v;
    if (!t.checked_view(&v)) return module::fault(module::Fault::BadTextRange);
    if (v.size() > kMaxLength) return text_to_python(t);
    const uint64_t h = hash(v);
    size_t i = static_cast<size_t>(h) & (kSlots - 1);
    for (size_t probes = 0; probes < 8; ++probes, i = (i + 1) & (kSlots - 1)) {
      Slot& s = slots_[i];
      if (!s.str) {
        Result<Ref> made = text_to_python(t);
        if (!made) return made;
        if (used_ < kSlots / 2) {
          s = {h, v.data(), static_cast<uint32_t>(v.size()), Ref::borrow(made->get())};
          ++used_;
        }
        return made;
      }
      if (s.hash == h && s.size == v.size() && (v.empty() || std::memcmp(s.bytes, v.data(), v.size()) == 0)) {
        return Ref::borrow(s.str.get());
      }
    }
    return text_to_python(t);
  }

 private:
  static constexpr size_t kSlots = 1024;
  static constexpr size_t kMaxLength = 64;
  struct Slot {
    uint64_t hash = 0;
    const char* bytes = nullptr;
    uint32_t size = 0;
    Ref str;  // null: empty slot
  };
  static uint64_t hash(std::string_view v) {
    // Two overlapping words (or the bytes of a shorter text) and the length, mixed.
    const auto* p = reinterpret_cast<const unsigned char*>(v.data());
    const size_t n = v.size();
    uint64_t a = 0, b = 0;
    if (n >= 8) {
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + n - 8, 8);
    } else {
      for (size_t i = 0; i < n; ++i) a |= uint64_t{p[i]} << (8 * i);
    }
    if (n > 16) {
      uint64_t m;
      std::memcpy(&m, p + n / 2 - 4, 8);
      b ^= m * 0xC2B2AE3D27D4EB4Full;
    }
    uint64_t x = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 31);
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

}  // namespace tessary::entities
