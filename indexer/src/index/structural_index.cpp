#include "index/structural_index.h"

#include <new>
#include <stdexcept>

#include "index/structural.h"
#include "simd/kernels.h"

namespace tessary::index {

namespace {

Kernel detect_best_kernel() {
  for (Kernel k : {Kernel::AVX2, Kernel::NEON, Kernel::SSE2})
    if (simd::kernel_ops(k) != nullptr) return k;
  return Kernel::Scalar;
}

// The sample that decides the strategy.
constexpr size_t kSampleBytes = 4096;
constexpr double kQuoteRatio = 5.0;

// Runs one indexing, turning a table that cannot grow into an error value: the tables are
// standard vectors, and nothing of a failed index is kept.
template <class F>
IndexResult guarded(F&& index) noexcept {
  try {
    return index();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IndexResult{StructuralIndexError{StructuralIndexError::Kind::OutOfMemory, 0}, {}};
}

}  // namespace

std::string StructuralIndexError::text() const {
  switch (kind) {
    case Kind::UnclosedTag: return "Unclosed tag at byte " + std::to_string(offset);
    case Kind::TruncatedInput: return "Truncated input";
    case Kind::TooManyTags:
      return "More than " + std::to_string(kMaxTagRows) + " tags: the tag at byte " + std::to_string(offset) +
             " is past the limit";
    case Kind::OutOfMemory: break;
  }
  return "Out of memory";
}

size_t tag_row_limit() { return detail::tag_row_limit(); }

Kernel best_kernel() {
  static const Kernel best = detect_best_kernel();
  return best;
}

bool kernel_available(Kernel k) { return simd::kernel_ops(k) != nullptr; }

const char* kernel_name(Kernel k) {
  switch (k) {
    case Kernel::Scalar:
      return "scalar";
    case Kernel::SSE2:
      return "sse2";
    case Kernel::AVX2:
      return "avx2";
    case Kernel::NEON:
      return "neon";
  }
  return "unknown";
}

const char* strategy_name(Strategy s) {
  return s == Strategy::QuoteMasked ? "quote-masked" : "sequential";
}

Strategy choose_strategy(const uint8_t* data, size_t length, Kernel k) {
  const size_t sample = length < kSampleBytes ? length : kSampleBytes;
  const MarkupCounts c = simd::ops_or_scalar(k).count(data, sample);
  const double lt = static_cast<double>(c.lt > 0 ? c.lt : 1);
  return static_cast<double>(c.dq) / lt > kQuoteRatio ? Strategy::QuoteMasked
                                                       : Strategy::Sequential;
}

Strategy choose_strategy(const uint8_t* data, size_t length) {
  return choose_strategy(data, length, best_kernel());
}

IndexResult build_structural_index(const uint8_t* data, size_t length, Kernel k) {
  const simd::KernelOps& ops = simd::ops_or_scalar(k);
  if (choose_strategy(data, length, ops.kernel) == Strategy::QuoteMasked)
    return guarded([&] { return detail::quote_masked(data, length, ops); });
  return guarded([&] { return detail::sequential(data, length, ops); });
}

IndexResult build_structural_index(const uint8_t* data, size_t length) {
  return build_structural_index(data, length, best_kernel());
}

IndexResult index_sequential(const uint8_t* data, size_t length, Kernel k) {
  return guarded([&] { return detail::sequential(data, length, simd::ops_or_scalar(k)); });
}

IndexResult index_sequential_inline(const uint8_t* data, size_t length) {
  return guarded([&] { return detail::sequential_inline(data, length); });
}

IndexResult index_quote_masked(const uint8_t* data, size_t length, Kernel k) {
  return guarded([&] { return detail::quote_masked(data, length, simd::ops_or_scalar(k)); });
}

MarkupBitmaps classify_blocks(const uint8_t* data, size_t length, Kernel k) {
  return detail::classify(data, length, simd::ops_or_scalar(k));
}

uint64_t prefix_xor(uint64_t x, Kernel k) { return simd::ops_or_scalar(k).prefix_xor(x); }

uint64_t prefix_xor(uint64_t x) { return prefix_xor(x, best_kernel()); }

const uint8_t* find_byte(const uint8_t* p, const uint8_t* end, uint8_t c, Kernel k) {
  return simd::ops_or_scalar(k).find_byte(p, end, c);
}

const uint8_t* find_byte(const uint8_t* p, const uint8_t* end, uint8_t c) {
  static const simd::KernelOps& best = simd::ops_or_scalar(best_kernel());
  return best.find_byte(p, end, c);
}

MarkupCounts count_markup(const uint8_t* data, size_t length, Kernel k) {
  return simd::ops_or_scalar(k).count(data, length);
}

}  // namespace tessary::index
