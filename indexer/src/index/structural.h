// The two indexing strategies, written once over a kernel's primitive table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/structural_index.h"
#include "simd/kernels.h"

namespace tessary::index::detail {

// The row limit the tables are built with: kMaxTagRows, lowered only by tests, which cannot
// afford documents of two billion tags to see the limit work.
size_t tag_row_limit();
void set_tag_row_limit(size_t rows);

IndexResult sequential(const uint8_t* data, size_t length, const simd::KernelOps& ops);
IndexResult sequential_inline(const uint8_t* data, size_t length);
// The bitmap walk alone: nullopt where it gives way to the sequential
// strategy (see structural.cpp).
std::optional<IndexResult> try_quote_masked(const uint8_t* data, size_t length,
                                            const simd::KernelOps& ops);
IndexResult quote_masked(const uint8_t* data, size_t length, const simd::KernelOps& ops);
MarkupBitmaps classify(const uint8_t* data, size_t length, const simd::KernelOps& ops);

}  // namespace tessary::index::detail
