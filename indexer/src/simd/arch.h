// Which byte primitives the compiler's target instruction set gets. This is the only place
// that tests the compiler's architecture macros: everything else asks for `Native` (bytes.h)
// or for one architecture's primitives by name.
//
//   x86-64   SSE2, which every x86-64 CPU has (AVX2 is chosen at run time, see kernels.h)
//   AArch64  Advanced SIMD (NEON), which every AArch64 CPU has
//   other    SWAR: eight bytes at a time in a 64-bit word
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define TESSARY_SIMD_SSE2 1
#define TESSARY_SIMD_NEON 0
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TESSARY_SIMD_SSE2 0
#define TESSARY_SIMD_NEON 1
#else
#define TESSARY_SIMD_SSE2 0
#define TESSARY_SIMD_NEON 0
#endif
