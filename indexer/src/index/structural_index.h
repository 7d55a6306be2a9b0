// Structural index of an XML document: one pass over the raw UTF-8 bytes that
// records where every tag, comment, CDATA section and processing instruction
// starts and ends, and where the character data between them lies.
//
// Everything here is a pure function of its input; nothing throws, nothing
// keeps global state apart from the CPU feature detection done once per
// process. Every offset is a byte offset into the caller's buffer, which must
// outlive the index built from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessary::index {

enum class TagKind : uint8_t {
  Open = 0,
  Close = 1,
  SelfClose = 2,
  Comment = 3,
  CData = 4,
  ProcessingInstruction = 5
};

// A tag's name. The length is 64-bit so that names of any size are recorded
// whole. Comments and CDATA sections have start 0, length 0.
struct NameRange {
  uint64_t start;
  uint64_t length;
  bool operator==(const NameRange&) const = default;
};

// A non-empty run of character data between two pieces of markup, or the
// content of a CDATA section. `end` is exclusive; `parent` is the row of the
// enclosing open start tag, or -1.
struct TextRange {
  uint64_t start;
  uint64_t end;
  int32_t parent;
  bool operator==(const TextRange&) const = default;
};

// Parallel tables: row k of the six tag_* tables describes the k-th piece of
// markup in document order.
struct StructuralIndex {
  std::vector<uint64_t> tag_starts, tag_ends;
  std::vector<TagKind> tag_kinds;
  std::vector<NameRange> tag_names;
  std::vector<uint16_t> tag_depths;  // wraps at 65,536 by design
  std::vector<int32_t> tag_parents;
  std::vector<TextRange> text_ranges;
  const uint8_t* data = nullptr;
  size_t length = 0;
  size_t tag_count() const { return tag_starts.size(); }
};

// The most rows an index holds: rows and parents are stored as 32-bit numbers. A document with
// more pieces of markup fails with TooManyTags rather than getting wrapped row numbers.
inline constexpr size_t kMaxTagRows = 0x7FFFFFFF;
// The limit in force: kMaxTagRows, lowered only by tests. A reader that takes the lexer's rows
// without tables (index/lexer.h) applies it too.
size_t tag_row_limit();

struct StructuralIndexError {
  enum class Kind : uint8_t { UnclosedTag, TruncatedInput, TooManyTags, OutOfMemory } kind;
  uint64_t offset;  // the '<' for UnclosedTag, the first tag past the limit for TooManyTags
  // "Unclosed tag at byte {offset}", "Truncated input", "More than 2147483647 tags: the tag at
  // byte {offset} is past the limit", or "Out of memory".
  std::string text() const;
  bool operator==(const StructuralIndexError&) const = default;
};

struct IndexResult {
  std::optional<StructuralIndexError> error;  // set on failure
  StructuralIndex index;                      // valid when !error
  bool ok() const { return !error; }
};

// Vector instruction sets the primitives are written for. Scalar is the
// byte-at-a-time twin of every vector kernel and is always available; all
// kernels give identical results.
enum class Kernel : uint8_t { Scalar, SSE2, AVX2, NEON };

// The fastest kernel this CPU runs, detected once per process.
Kernel best_kernel();
bool kernel_available(Kernel);
const char* kernel_name(Kernel);  // "scalar", "sse2", "avx2", "neon"

// Indexes the document with the strategy chosen from its first 4,096 bytes.
// A kernel that is not available on this CPU is replaced by the scalar twin.
// When the tables cannot be allocated the result is an OutOfMemory error:
// these functions never throw.
IndexResult build_structural_index(const uint8_t* data, size_t length);
IndexResult build_structural_index(const uint8_t* data, size_t length, Kernel k);

// The lexer that jumps from delimiter to delimiter.
IndexResult index_sequential(const uint8_t* data, size_t length, Kernel k);
// The same lexer with the compiler's target primitives inlined (index/lexer.h, InlineFind): how
// the reader lexes a document. The same result as every kernel's.
IndexResult index_sequential_inline(const uint8_t* data, size_t length);
// The strategy over bitmaps of unquoted '<' and '>'. Where quote tracking
// could make it see the document differently from the lexer (a quote outside
// a start tag's attributes, an unterminated construct, an error) it returns
// the lexer's result instead, so both strategies always give the same result.
IndexResult index_quote_masked(const uint8_t* data, size_t length, Kernel k);

enum class Strategy : uint8_t { Sequential, QuoteMasked };
// The sampling rule: more than five '"' per '<' in the first 4,096 bytes
// selects QuoteMasked.
Strategy choose_strategy(const uint8_t* data, size_t length);
Strategy choose_strategy(const uint8_t* data, size_t length, Kernel k);
const char* strategy_name(Strategy);  // "sequential", "quote-masked"

// Bitmaps of '<' and '>' outside quotes, with a three-state quote machine
// (outside, in "...", in '...') run over the whole document. Bit b of word w
// stands for byte 64*w + b; ceil(length / 64) words each.
struct MarkupBitmaps {
  std::vector<uint64_t> lt_bits, gt_bits;
  size_t length;
};
MarkupBitmaps classify_blocks(const uint8_t* data, size_t length, Kernel k);

// Bit i of the result is the XOR of bits 0..i of x.
uint64_t prefix_xor(uint64_t x);
uint64_t prefix_xor(uint64_t x, Kernel k);

// The byte search of the sequential strategy: first occurrence of c in
// [p, end), or end.
const uint8_t* find_byte(const uint8_t* p, const uint8_t* end, uint8_t c);
const uint8_t* find_byte(const uint8_t* p, const uint8_t* end, uint8_t c, Kernel k);

// Counts of '<' and '"' bytes in [data, data + length), as used by the
// sampling rule.
struct MarkupCounts {
  size_t lt;
  size_t dq;
};
MarkupCounts count_markup(const uint8_t* data, size_t length, Kernel k);

}  // namespace tessary::index
