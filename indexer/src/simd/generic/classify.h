// Block classification written once for every vector kernel.
//
// A kernel supplies a primitive type `Prim` with
//   static RawMasks classify64(const uint8_t* block);  // raw '<' '>' '"' '\'' bits
//   static uint64_t prefix_xor(uint64_t x);
// and instantiates the templates below in its own translation unit.
//
// Everything in this header has internal linkage (anonymous namespace) and
// uses no standard-library templates: a kernel's translation unit may be
// compiled for an instruction set the rest of the program must not assume,
// and nothing it emits may be merged with code from other translation units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/structural_index.h"
#include "simd/kernels.h"

namespace tessary::index::simd {
namespace {

struct RawMasks {
  uint64_t lt, gt, dq, sq;
};

// Bits a..b inclusive, 0 <= a <= b <= 63.
inline uint64_t bit_span(unsigned a, unsigned b) {
  return (~uint64_t{0} << a) & (~uint64_t{0} >> (63 - b));
}

// Mask of the bytes inside quotes when both quote kinds occur in the block (or
// the block starts inside the kind that does not occur): the quotes are taken
// in order, each opening quote paired with the next quote of its own kind.
inline uint64_t inside_mixed(uint64_t dq, uint64_t sq, uint8_t& state) {
  uint64_t inside = 0;
  unsigned start = 0;  // first byte of the open region
  uint64_t quotes = dq | sq;
  while (quotes != 0) {
    unsigned b = static_cast<unsigned>(__builtin_ctzll(quotes));
    uint64_t bit = uint64_t{1} << b;
    quotes &= quotes - 1;
    if (state == kOutside) {
      state = (dq & bit) ? kInDouble : kInSingle;
      start = b;
    } else if ((state == kInDouble && (dq & bit)) || (state == kInSingle && (sq & bit))) {
      inside |= bit_span(start, b);
      state = kOutside;
    }
  }
  if (state != kOutside) inside |= ~uint64_t{0} << start;
  return inside;
}

// Clears the '<' and '>' bits that lie inside quotes and advances the state.
template <class Prim>
inline void remove_quoted(RawMasks& m, uint8_t& state) {
  if ((m.dq | m.sq) == 0) {
    if (state != kOutside) m.lt = m.gt = 0;
    return;
  }
  uint64_t inside;
  if (m.sq == 0 && state != kInSingle) {
    uint64_t px = Prim::prefix_xor(m.dq);
    inside = state == kInDouble ? ~px : px;
    if (px >> 63) state = state == kOutside ? kInDouble : kOutside;
  } else if (m.dq == 0 && state != kInDouble) {
    uint64_t px = Prim::prefix_xor(m.sq);
    inside = state == kInSingle ? ~px : px;
    if (px >> 63) state = state == kOutside ? kInSingle : kOutside;
  } else {
    inside = inside_mixed(m.dq, m.sq, state);
  }
  m.lt &= ~inside;
  m.gt &= ~inside;
}

template <class Prim>
void classify_full_blocks(const uint8_t* data, size_t nblocks, uint64_t* lt, uint64_t* gt,
                          uint64_t* quotes, uint8_t* state_io) {
  uint8_t state = *state_io;
  for (size_t i = 0; i < nblocks; ++i) {
    RawMasks m = Prim::classify64(data + 64 * i);
    if (quotes != nullptr) quotes[i] = m.dq | m.sq;
    remove_quoted<Prim>(m, state);
    lt[i] = m.lt;
    gt[i] = m.gt;
  }
  *state_io = state;
}

// '<' and '"' counts: whole 64-byte blocks through the kernel, the rest of
// the bytes one at a time.
template <class Prim>
MarkupCounts count_with_blocks(const uint8_t* p, size_t n) {
  MarkupCounts c{0, 0};
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    RawMasks m = Prim::classify64(p + i);
    c.lt += static_cast<size_t>(__builtin_popcountll(m.lt));
    c.dq += static_cast<size_t>(__builtin_popcountll(m.dq));
  }
  for (; i < n; ++i) {
    c.lt += p[i] == '<';
    c.dq += p[i] == '"';
  }
  return c;
}

}  // namespace
}  // namespace tessary::index::simd
