// Vector growth that reports running out of memory (storage/grow.h), and the room to reserve
// for a sequence from its length hint.
#pragma once

#include <cstddef>

#include "storage/grow.h"

namespace tessary::module {

using storage::try_push_back;
using storage::try_reserve;

// How many elements to reserve for a sequence that says it holds `reported`: a length from
// Python's __len__ is a hint, never a promise (it may be far more than the sequence yields, or
// less), so the room asked for up front is capped and the rest grows as items arrive.
inline constexpr size_t kLengthHintCap = 4096;
inline size_t presize_from_hint(std::ptrdiff_t reported) noexcept {
  if (reported <= 0) return 0;
  return static_cast<size_t>(reported) < kLengthHintCap ? static_cast<size_t>(reported) : kLengthHintCap;
}

}  // namespace tessary::module
