#include "simd/kernels.h"

namespace tessary::index::simd {

const KernelOps* kernel_ops(Kernel k) {
  switch (k) {
    case Kernel::Scalar:
      return scalar_kernel_ops();
#if TESSARY_INDEXER_X86
    case Kernel::SSE2:
      return sse2_kernel_ops();
    case Kernel::AVX2:
      return avx2_kernel_ops();
#endif
#if TESSARY_INDEXER_NEON
    case Kernel::NEON:
      return neon_kernel_ops();
#endif
    default:
      return nullptr;
  }
}

const KernelOps& ops_or_scalar(Kernel k) {
  const KernelOps* ops = kernel_ops(k);
  return ops != nullptr ? *ops : *scalar_kernel_ops();
}

}  // namespace tessary::index::simd
