// libFuzzer target: every kernel and both strategies on the same input.
//
// What must agree, and is checked on every input:
//  - each vector kernel's primitives with their byte-at-a-time twins
//    (classification bitmaps, '<'/'"' counts, byte search from several
//    starts, prefix XOR of words taken from the input);
//  - the index of every kernel with that of the scalar kernel, per strategy;
//  - UTF-8 decoding into 16-bit and 8-bit units, with a capacity that is exact and one
//    that is a unit short;
//  - UTF-8 validation of every kernel with the scalar twin, and the
//    piece-by-piece validator, fed the input cut at places the input picks,
//    with the whole-text answer;
//  - the inline byte searches (this CPU's primitives and the SWAR fallback)
//    with their byte-at-a-time twins;
//  - the sequential strategy with the inline searches the reader lexes with, against the
//    scalar one;
//  - encoding a str's units to UTF-8: the input read as 1-, 2- and 4-byte units (as they are,
//    and folded so that most units are ASCII and the rest spread over the forms), every kernel
//    against the twin, with guard bytes past the output bound;
//  - the two strategies with each other. The bitmap strategy checks its own
//    exactness as it walks and returns the sequential result wherever quote
//    tracking could make it differ, so the two agree on every input, well
//    formed or not; comparing them unconditionally is stronger (and cheaper)
//    than first deciding whether the input is well formed.
// Sanitizers catch reads outside the input, which libFuzzer hands over in a
// buffer of exactly its size.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <vector>

#include "../tests/support.h"
#include "index/utf8.h"
#include "simd/bytes.h"

namespace {

using namespace support;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "MISMATCH: %s: %s\n", what, detail.c_str());
  std::abort();
}

void check_primitives(Kernel k, const uint8_t* data, size_t size) {
  const MarkupBitmaps a = classify_blocks(data, size, Kernel::Scalar);
  const MarkupBitmaps b = classify_blocks(data, size, k);
  if (a.lt_bits != b.lt_bits || a.gt_bits != b.gt_bits || a.length != b.length)
    fail("classify_blocks", kernel_name(k));
  const MarkupCounts ca = count_markup(data, size, Kernel::Scalar);
  const MarkupCounts cb = count_markup(data, size, k);
  if (ca.lt != cb.lt || ca.dq != cb.dq) fail("count_markup", kernel_name(k));
  static const uint8_t needles[] = {'<', '>', '"', '\'', '-', ']', '?'};
  const size_t step = size / 7 + 1;
  for (uint8_t c : needles) {
    for (size_t from = 0; from <= size; from += step) {
      if (find_byte(data + from, data + size, c, Kernel::Scalar) !=
          find_byte(data + from, data + size, c, k))
        fail("find_byte", kernel_name(k));
    }
  }
  const Utf8Shape shape = measure_utf8(data, size);
  for (size_t cap : {static_cast<size_t>(shape.chars), shape.chars > 0 ? static_cast<size_t>(shape.chars) - 1 : 0}) {
    // The kernel against the twin for each unit width of a str, with sentinels past the
    // capacity that must stay untouched.
    const auto compare_decoders = [&]<class Unit>(Unit, const char* what, const char* past) {
      std::vector<Unit> x(cap + 16, 0), y(cap + 16, 0);
      const Utf8Decoded a = decode_utf8(data, size, x.data(), cap, Kernel::Scalar);
      const Utf8Decoded b = decode_utf8(data, size, y.data(), cap, k);
      if (a.ok != b.ok || (a.ok && (a.units != b.units || a.bits != b.bits ||
                                    !std::equal(x.begin(), x.begin() + a.units, y.begin()))))
        fail(what, kernel_name(k));
      for (size_t i = cap; i < cap + 16; ++i) {
        if (y[i] != 0) fail(past, kernel_name(k));
      }
    };
    compare_decoders(uint16_t{}, "decode_utf8", "decode_utf8 wrote past its capacity");
    compare_decoders(uint8_t{}, "decode_utf8 to 8-bit units", "decode_utf8 to 8-bit units wrote past its capacity");
    compare_decoders(uint32_t{}, "decode_utf8 to 32-bit units", "decode_utf8 to 32-bit units wrote past its capacity");
  }
  for (size_t i = 0; i + 8 <= size && i < 64; i += 8) {
    uint64_t w;
    std::memcpy(&w, data + i, 8);
    if (prefix_xor(w, k) != prefix_xor(w, Kernel::Scalar)) fail("prefix_xor", kernel_name(k));
  }
}

// Validation: every kernel against the twin, and the input fed in pieces (with the largest byte
// the validator finds on the way). The cuts come from
// the input's own bytes, so the fuzzer steers them too.
void check_validation(const uint8_t* data, size_t size) {
  const size_t want = find_invalid_utf8(data, size, Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    if (find_invalid_utf8(data, size, k) != want) fail("find_invalid_utf8", kernel_name(k));
    Utf8Validator v(k);
    size_t at = 0;
    bool ok = true;
    for (size_t i = 0; i < size && i < 64; ++i) {
      const size_t cut = at + data[i] % 9;
      if (cut > size) break;
      ok = v.feed(data + at, cut - at) && ok;
      at = cut;
    }
    ok = v.feed(data + at, size - at) && ok;
    ok = v.finish() && ok;
    if (ok != (want == size) || (!ok && v.error_offset() != want)) fail("Utf8Validator in pieces", kernel_name(k));
    if (ok && v.max_byte() != max_byte(data, size)) fail("Utf8Validator largest byte", kernel_name(k));
  }
}

// One unit width: every kernel against the twin on the same units. The result must match
// exactly (the index of the first bad unit included), and so must the bytes when it succeeds.
template <class T>
void check_encode_units(const std::vector<T>& units, const char* what) {
  const size_t bound = (sizeof(T) == 1 ? 2 : sizeof(T) == 2 ? 3 : 4) * units.size();
  std::vector<uint8_t> want(bound + 1), got(bound + 32);
  const Utf8Encoded a = encode_utf8(units.data(), units.size(), want.data(), Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    if (k == Kernel::Scalar) continue;
    std::fill(got.begin(), got.end(), 0xA5);
    const Utf8Encoded b = encode_utf8(units.data(), units.size(), got.data(), k);
    if (a.ok != b.ok || a.bytes != b.bytes || (a.ok && !std::equal(want.begin(), want.begin() + a.bytes, got.begin())))
      fail(what, kernel_name(k));
    for (size_t i = bound; i < got.size(); ++i)
      if (got[i] != 0xA5) fail(what, std::string(kernel_name(k)) + " wrote past the bound");
  }
}

void check_encode(const uint8_t* data, size_t size) {
  std::vector<uint8_t> u8(data, data + size);
  check_encode_units(u8, "encode_utf8 of 1-byte units");
  std::vector<uint16_t> u16(size / 2), f16(size / 2);
  if (!u16.empty()) std::memcpy(u16.data(), data, u16.size() * 2);
  // Folded by the top two bits: half ASCII, a quarter below 0x800, a quarter as they are.
  for (size_t i = 0; i < u16.size(); ++i) {
    const uint16_t u = u16[i];
    f16[i] = static_cast<uint16_t>((u >> 15) == 0 ? u & 0x7F : (u >> 14) == 2 ? u & 0x7FF : u);
  }
  check_encode_units(u16, "encode_utf8 of 2-byte units");
  check_encode_units(f16, "encode_utf8 of 2-byte units, folded");
  std::vector<uint32_t> u32(size / 4), f32(size / 4);
  if (!u32.empty()) std::memcpy(u32.data(), data, u32.size() * 4);
  // Folded by the top three bits: half ASCII, then below 0x800, the BMP, up to 0x10FFFF, and as
  // they are.
  static const uint32_t masks[8] = {0x7F, 0x7F, 0x7F, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF, 0xFFFFFFFF};
  for (size_t i = 0; i < u32.size(); ++i) f32[i] = u32[i] & masks[u32[i] >> 29];
  check_encode_units(u32, "encode_utf8 of 4-byte units");
  check_encode_units(f32, "encode_utf8 of 4-byte units, folded");
}

template <uint8_t... Cs>
void check_search(const uint8_t* data, size_t size) {
  namespace s = tessary::simd;
  const size_t step = size / 5 + 1;
  for (size_t from = 0; from <= size; from += step) {
    const uint8_t* want = s::find_any_scalar<Cs...>(data + from, data + size);
    if (s::find_any_with<s::Native, Cs...>(data + from, data + size) != want) fail("find_any", "native");
    if (s::find_any_with<s::swar::Arch, Cs...>(data + from, data + size) != want) fail("find_any", "swar");
  }
  std::vector<size_t> a, b, c;
  s::for_each_match_scalar<Cs...>(data, size, [&](size_t i) { a.push_back(i); return true; });
  s::for_each_match_with<s::Native, Cs...>(data, size, [&](size_t i) { b.push_back(i); return true; });
  s::for_each_match_with<s::swar::Arch, Cs...>(data, size, [&](size_t i) { c.push_back(i); return true; });
  if (a != b) fail("for_each_match", "native");
  if (a != c) fail("for_each_match", "swar");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_validation(data, size);
  check_encode(data, size);
  check_search<'<', '&'>(data, size);
  check_search<'&', '<', '>', '"', '\'', '\t', '\n', '\r'>(data, size);
  const IndexResult reference = index_sequential(data, size, Kernel::Scalar);
  {
    const std::string d = difference(reference, index_sequential_inline(data, size));
    if (!d.empty()) fail("inline", "sequential with inline searches vs scalar sequential: " + d);
  }
  for (Kernel k : available_kernels()) {
    if (k != Kernel::Scalar) check_primitives(k, data, size);
    std::string d = difference(reference, index_sequential(data, size, k));
    if (!d.empty()) fail(kernel_name(k), "sequential vs scalar sequential: " + d);
    d = difference(reference, index_quote_masked(data, size, k));
    if (!d.empty()) fail(kernel_name(k), "quote-masked vs scalar sequential: " + d);
    d = difference(reference, build_structural_index(data, size, k));
    if (!d.empty()) fail(kernel_name(k), "build_structural_index vs scalar sequential: " + d);
  }
  return 0;
}
