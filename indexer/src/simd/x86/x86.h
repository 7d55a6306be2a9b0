// Tables of the x86 kernels. They are plain data so that the dispatcher can
// hand them out without running any code compiled for AVX2.
#pragma once

#include "simd/kernels.h"

namespace tessary::index::simd {
extern const KernelOps kSse2Ops;
extern const KernelOps kAvx2Ops;
}  // namespace tessary::index::simd
