// The two indexing strategies, written once over a kernel's primitive table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/mod.h"
#include "simd/kernels.h"

namespace tessary::index::detail {

IndexResult sequential(const uint8_t* data, size_t length, const simd::KernelOps& ops);
IndexResult quote_masked(const uint8_t* data, size_t length, const simd::KernelOps& ops);
MarkupBitmaps classify(const uint8_t* data, size_t length, const simd::KernelOps& ops);

}  // namespace tessary::index::detail
