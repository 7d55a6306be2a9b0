// Run-time choice between the x86 kernels. Compiled for the baseline so that
// the check itself runs on any x86-64 CPU.
#include <cpuid.h>

#include "simd/x86/x86.h"

namespace tessary::index::simd {
namespace {

// AVX2 needs the CPU flag and the operating system's consent to save the
// 256-bit registers (OSXSAVE, then XCR0 bits 1 and 2). The AVX2 kernel is also
// compiled for POPCNT, which every CPU with AVX2 has; it is checked all the same.
bool detect_avx2_pclmul() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool pclmul = (c & bit_PCLMUL) != 0 && (c & bit_POPCNT) != 0;
  const bool osxsave = (c & bit_OSXSAVE) != 0;
  const bool avx = (c & bit_AVX) != 0;
  if (!pclmul || !osxsave || !avx) return false;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6) != 0x6) return false;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_AVX2) != 0;
}

}  // namespace

const KernelOps* sse2_kernel_ops() { return &kSse2Ops; }

const KernelOps* avx2_kernel_ops() {
  static const bool available = detect_avx2_pclmul();
  return available ? &kAvx2Ops : nullptr;
}

}  // namespace tessary::index::simd
