// The primitives each instruction set supplies to the indexer. The strategies
// in index/structural.cpp are written once against this table; a kernel only
// provides the byte-level work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/structural_index.h"
#include "index/utf8.h"

namespace tessary::index::simd {

// Quote state carried from one 64-byte block to the next.
enum QuoteState : uint8_t { kOutside = 0, kInDouble = 1, kInSingle = 2 };

struct KernelOps {
  Kernel kernel;
  // First occurrence of c in [p, end), or end.
  const uint8_t* (*find_byte)(const uint8_t* p, const uint8_t* end, uint8_t c);
  // Classifies `nblocks` whole 64-byte blocks starting at `data`: word i of
  // `lt`/`gt` gets the '<'/'>' bits of block i that lie outside quotes, word
  // i of `quotes` (when not null) every '"' and '\'' of block i. `*state` is
  // the quote state before the first block and is left as the state after
  // the last one.
  void (*classify)(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                   uint64_t* quotes, uint8_t* state);
  // Number of '<' and '"' bytes in [p, p + n).
  MarkupCounts (*count)(const uint8_t* p, size_t n);
  uint64_t (*prefix_xor)(uint64_t x);
  // UTF-8 to 16-bit units, with the contract of decode_utf8 (index/utf8.h).
  Utf8Decoded (*decode_ucs2)(const uint8_t* p, size_t n, uint16_t* out, size_t capacity);
  // UTF-8 to 32-bit units, four-byte forms included; the same result as the twin
  // (decode_scalar_from, generic/utf8.h) for every input, units and bits included when it fails.
  Utf8Decoded (*decode_ucs4)(const uint8_t* p, size_t n, uint32_t* out, size_t capacity);
  // Offset of the first byte of [p, p + n) that does not begin a valid UTF-8 character, or n
  // (the contract of find_invalid_utf8, index/utf8.h); when that is n, the largest byte of
  // [p, p + n) in *max (0 when empty), otherwise an unspecified value.
  size_t (*validate_utf8)(const uint8_t* p, size_t n, uint8_t* max);
  // A str's units (1, 2 or 4 bytes) to UTF-8, with the contract of encode_utf8 (index/utf8.h):
  // the same result as the twin (encode_scalar_from, generic/utf8_encode.h) for every input,
  // the index of the first unit that cannot be encoded included.
  Utf8Encoded (*encode_ucs1)(const uint8_t* units, size_t n, uint8_t* out);
  Utf8Encoded (*encode_ucs2)(const uint16_t* units, size_t n, uint8_t* out);
  Utf8Encoded (*encode_ucs4)(const uint32_t* units, size_t n, uint8_t* out);
};

// The primitive table of a kernel, or nullptr when this CPU or this build
// does not have it.
const KernelOps* kernel_ops(Kernel k);
// Like kernel_ops, but an unavailable kernel yields the scalar table.
const KernelOps& ops_or_scalar(Kernel k);

// Each kernel's table; nullptr when the CPU lacks the instructions.
const KernelOps* scalar_kernel_ops();
#if TESSARY_INDEXER_X86
const KernelOps* sse2_kernel_ops();
const KernelOps* avx2_kernel_ops();
#endif
#if TESSARY_INDEXER_NEON
const KernelOps* neon_kernel_ops();
#endif

}  // namespace tessary::index::simd
