#include "index/structural.h"

#include "index/lexer.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace tessary::index::detail {
namespace {

using simd::KernelOps;
using lex::is_cdata_open;
using lex::is_comment_open;
using lex::scan_until;
using lex::kSpace;
using lex::kStartNameEnd;

// ---------------------------------------------------------------------------
// The tables

std::atomic<size_t> row_limit{kMaxTagRows};

class TableBuilder {
 public:
  TableBuilder(const uint8_t* data, size_t length) : limit_(row_limit.load(std::memory_order_relaxed)) {
    ix_.data = data;
    ix_.length = length;
    if (length >= 128) {
      // One row per 128 bytes at least; more when the document's first 4 KiB hold more '<'
      // than that (tag-dense documents), so the tables do not grow by copying as they fill.
      const size_t sample = length < 4096 ? length : 4096;
      size_t lt = 0;
      for (size_t i = 0; i < sample; ++i) lt += data[i] == '<';
      size_t rows = length / 128;
      const size_t estimate = static_cast<size_t>(static_cast<double>(lt) * (static_cast<double>(length) / sample) * 1.1);
      if (estimate > rows) rows = estimate;
      ix_.tag_starts.reserve(rows);
      ix_.tag_ends.reserve(rows);
      ix_.tag_kinds.reserve(rows);
      ix_.tag_names.reserve(rows);
      ix_.tag_depths.reserve(rows);
      ix_.tag_parents.reserve(rows);
    }
    if (length >= 256) ix_.text_ranges.reserve(length / 256);
  }

  void text(uint64_t start, uint64_t end) { ix_.text_ranges.push_back({start, end, top()}); }

  // A CDATA section: its content row, when it has content, then its tag row.
  void cdata(uint64_t start, uint64_t end, uint64_t content_end) {
    if (start + 9 < content_end) text(start + 9, content_end);
    tag(TagKind::CData, start, end, 0, 0);
  }

  // Depth and parent follow the open-tag stack: an Open tag takes the
  // counter before it and is pushed; a Close tag pops first and takes the
  // counter after; everything else takes the current values.
  void tag(TagKind kind, uint64_t start, uint64_t end, uint64_t name_start, uint64_t name_len) {
    const auto row = static_cast<int32_t>(ix_.tag_starts.size());
    uint16_t depth = depth_;
    int32_t parent = top();
    if (kind == TagKind::Open) {
      open_.push_back(row);
      ++depth_;  // wraps at 65,536
    } else if (kind == TagKind::Close) {
      if (depth_ != 0) --depth_;
      depth = depth_;
      if (!open_.empty()) open_.pop_back();
      parent = top();
    }
    ix_.tag_starts.push_back(start);
    ix_.tag_ends.push_back(end);
    ix_.tag_kinds.push_back(kind);
    ix_.tag_names.push_back({name_start, name_len});
    ix_.tag_depths.push_back(depth);
    ix_.tag_parents.push_back(parent);
  }

  // Rows past the limit are checked for here rather than as they are added: their numbers
  // (wrapped past 32 bits) are only ever seen in a result that is then refused.
  IndexResult finish() {
    if (ix_.tag_starts.size() > limit_) [[unlikely]] {
      return IndexResult{StructuralIndexError{StructuralIndexError::Kind::TooManyTags, ix_.tag_starts[limit_]}, {}};
    }
    return IndexResult{std::nullopt, std::move(ix_)};
  }

 private:

  int32_t top() const { return open_.empty() ? -1 : open_.back(); }

  StructuralIndex ix_;
  std::vector<int32_t> open_;
  uint16_t depth_ = 0;
  size_t limit_;
};

IndexResult unclosed(uint64_t at) {
  return IndexResult{StructuralIndexError{StructuralIndexError::Kind::UnclosedTag, at}, {}};
}

IndexResult truncated() {
  return IndexResult{StructuralIndexError{StructuralIndexError::Kind::TruncatedInput, 0}, {}};
}

// ---------------------------------------------------------------------------
// The bitmaps of the walk, classified a chunk of blocks at a time into a ring
// that slides along the document: the walk reads words that were just
// written, memory stays fixed whatever the document size, and a walk that
// gives up early has not paid for classifying the rest.
//
// A word can be read once ensure() has covered it and while it is among the
// last kRingWords classified. The walk only reads words near its position
// (at most kMaxLookback words behind the furthest word it has asked for) and
// answers questions about longer ranges from the text itself.

class BitmapWindow {
 public:
  static constexpr size_t kChunkWords = 1024;  // 64 KiB of text per step
  static constexpr size_t kRingWords = 4 * kChunkWords;
  static constexpr size_t kMaxLookback = kRingWords - 2 * kChunkWords;

  BitmapWindow(const uint8_t* d, size_t n, const KernelOps& ops)
      : d_(d), n_(n), ops_(ops), words_((n + 63) / 64), mask_(ring_size(words_) - 1),
        bits_(new uint64_t[3 * ring_size(words_)]),
        lt_(bits_.get()), gt_(lt_ + mask_ + 1), q_(gt_ + mask_ + 1) {}

  size_t words() const { return words_; }

  void ensure(size_t word) {
    while (word >= ready_) fill_chunk();
  }
  uint64_t lt(size_t w) const { return lt_[w & mask_]; }
  uint64_t gt(size_t w) const { return gt_[w & mask_]; }
  uint64_t q(size_t w) const { return q_[w & mask_]; }

 private:
  // The ring: kRingWords, or for a shorter document the power of two that
  // holds all of it (then it never wraps).
  static size_t ring_size(size_t words) {
    size_t size = 1;
    while (size < words && size < kRingWords) size *= 2;
    return size;
  }

  // Classifies the next chunk; chunks start at multiples of kChunkWords, so
  // one never wraps around the ring.
  void fill_chunk() {
    const size_t from = ready_;
    size_t to = from + kChunkWords;
    if (to > words_) to = words_;
    const size_t full = n_ / 64;
    const size_t whole_to = to < full ? to : full;
    const size_t slot = from & mask_;
    if (whole_to > from)
      ops_.classify(d_ + 64 * from, whole_to - from, lt_ + slot, gt_ + slot, q_ + slot, &state_);
    if (to > full) {
      // The final partial block, padded with bytes that are never markup.
      uint8_t block[64] = {};
      std::memcpy(block, d_ + 64 * full, n_ - 64 * full);
      const size_t last = full & mask_;
      ops_.classify(block, 1, lt_ + last, gt_ + last, q_ + last, &state_);
    }
    ready_ = to;
  }

  const uint8_t* d_;
  size_t n_;
  const KernelOps& ops_;
  size_t words_;
  size_t mask_;
  std::unique_ptr<uint64_t[]> bits_;
  uint64_t* lt_;
  uint64_t* gt_;
  uint64_t* q_;
  size_t ready_ = 0;
  uint8_t state_ = simd::kOutside;
};

constexpr size_t kNone = ~size_t{0};

}  // namespace

// ---------------------------------------------------------------------------
// The sequential strategy: jump from one delimiter to the next.

namespace {

template <class Find>
IndexResult sequential_with(const uint8_t* d, size_t n, const Find& find) {
  TableBuilder tb(d, n);
  const LexOutcome o = lex_sequential(d, n, 0, find, tb);
  if (o.kind == LexOutcome::Kind::Unclosed) return unclosed(o.at);
  if (o.kind == LexOutcome::Kind::Truncated) return truncated();
  return tb.finish();
}

}  // namespace

IndexResult sequential(const uint8_t* d, size_t n, const KernelOps& ops) { return sequential_with(d, n, OpsFind{&ops}); }

IndexResult sequential_inline(const uint8_t* d, size_t n) { return sequential_with(d, n, InlineFind{}); }

// ---------------------------------------------------------------------------
// The bitmap strategy: walk the unquoted '<' bits, ending each tag at the
// next unquoted '>' bit.
//
// Quote tracking runs over the whole text, character data included, so an
// apostrophe in text ("don't") can hide markup the sequential strategy sees.
// The walk is exact whenever the quote state is "outside" at every place
// where the sequential strategy looks for the next '<', and each construct's
// end comes out the same. It checks that as it goes, from the bitmaps it
// already has:
//  - every construct ends on an unquoted '>' (for comments, CDATA sections
//    and processing instructions, found by the same byte search as in the
//    sequential strategy, the '>' bit must be set), so the state is outside
//    right after it;
//  - a gap of character data that holds quotes hides no '<' (a raw search
//    over that gap finds the same '<' as the bitmap);
//  - end tags hold no quotes, declarations (<!DOCTYPE ...>) end on the first
//    raw '>', and a start-tag name holds no quotes, so the attribute walk of
//    the sequential strategy starts outside quotes and pairs them exactly as
//    the bitmap did;
//  - the '<' bits inside any construct are skipped, as the sequential
//    strategy resumes after the construct's end whatever its kind.
// Where a check fails, or the walk meets anything the strategies treat
// differently (an error, an unterminated construct, a final lone '<'), it
// gives up and the sequential result is used, so the two strategies always
// agree. The checks cost a few bitmap word tests per construct; only gaps
// that contain quotes are searched byte-wise.

namespace {

// The walk's state and its steps. Each step that records a construct returns the construct's
// end, or kNone where the walk gives up.
class QuoteMaskedWalk {
 public:
  QuoteMaskedWalk(const uint8_t* d, size_t n, const KernelOps& ops)
      : d_(d), n_(n), bm_(d, n, ops), tb_(d, n), sr_{d, n, OpsFind{&ops}} {}

  std::optional<IndexResult> run() {
    size_t next = 0;  // one past the previous construct's end
    for (size_t w = 0; w < bm_.words(); ++w) {
      bm_.ensure(w);
      uint64_t m = bm_.lt(w);
      if (next > 64 * w) m = next >= 64 * w + 64 ? 0 : m & (~uint64_t{0} << (next - 64 * w));
      while (m != 0) {
        const size_t s = 64 * w + static_cast<size_t>(__builtin_ctzll(m));
        if (!same_next_lt(next, s)) return std::nullopt;
        if (next < s) tb_.text(next, s);
        if (s + 1 >= n_) return std::nullopt;
        const size_t end = construct(s);
        if (end == kNone) return std::nullopt;
        next = end + 1;
        // Drop the '<' bits inside the construct; a construct that runs past this word
        // continues the outer loop at the word holding its end.
        if (next >= 64 * w + 64) {
          w = next / 64 - 1;
          break;
        }
        m &= ~uint64_t{0} << (next - 64 * w);
      }
    }
    if (next < n_ && !same_next_lt(next, n_)) return std::nullopt;
    return tb_.finish();
  }

 private:
  // The construct whose '<' is at s (s + 1 < n), by the byte after it.
  size_t construct(size_t s) {
    const uint8_t c = d_[s + 1];
    if (c == '!' && is_comment_open(d_, n_, s)) return comment(s);
    if (c == '!' && is_cdata_open(d_, n_, s)) return cdata(s);
    if (c == '?') return processing_instruction(s);
    if (c == '!' || c == '/') return declaration_or_end_tag(s, c == '/');
    return start_tag(s);
  }

  size_t comment(size_t s) {
    const size_t end = sr_.comment_end(s);
    if (end == n_ || !gt_at(end)) return kNone;
    tb_.tag(TagKind::Comment, s, end, 0, 0);
    return end;
  }

  size_t cdata(size_t s) {
    const size_t end = sr_.cdata_close(s);
    if (end == n_ || !gt_at(end)) return kNone;
    tb_.cdata(s, end, end - 2);
    return end;
  }

  size_t processing_instruction(size_t s) {
    const auto pi = sr_.pi(s);
    if (pi.end >= n_ || !gt_at(pi.end)) return kNone;
    tb_.tag(TagKind::ProcessingInstruction, s, pi.end, s + 2, pi.target_end - (s + 2));
    return pi.end;
  }

  // A declaration or an end tag: the sequential strategy ends it on the first '>', the bitmap
  // on the first unquoted one; the same byte exactly when that first '>' is unquoted.
  size_t declaration_or_end_tag(size_t s, bool end_tag) {
    const size_t end = sr_.template find<'>'>(s + 2);
    if (end == n_ || !gt_at(end)) return kNone;
    if (end_tag) {
      const size_t name_end = scan_until(d_, s + 2, end, kSpace);
      tb_.tag(TagKind::Close, s, end, s + 2, name_end - (s + 2));
    }
    return end;
  }

  // The name ends on or before the first unquoted '>', itself a name terminator, so a plain
  // scan finds it.
  size_t start_tag(size_t s) {
    const size_t name_end = scan_until(d_, s + 1, n_, kStartNameEnd);
    if (name_end == n_ || quotes_in(s, name_end)) return kNone;
    const size_t end = next_gt(name_end);
    if (end == kNone) return kNone;
    const TagKind kind = d_[end - 1] == '/' ? TagKind::SelfClose : TagKind::Open;
    tb_.tag(kind, s, end, s + 1, name_end - (s + 1));
    return end;
  }

  // Any quote in [a, b)? Called with b at or before the furthest position the walk has reached
  // plus one word; long ranges are searched in the text.
  bool quotes_in(size_t a, size_t b) {
    if (a >= b) return false;
    const size_t wa = a / 64, wb = (b - 1) / 64;
    if (wb - wa >= BitmapWindow::kMaxLookback) return sr_.template find<'"'>(a) < b || sr_.template find<'\''>(a) < b;
    bm_.ensure(wb);
    for (size_t w = wa; w <= wb; ++w) {
      uint64_t m = bm_.q(w);
      if (w == wa) m &= ~uint64_t{0} << (a % 64);
      if (w == wb) m &= ~uint64_t{0} >> (63 - (b - 1) % 64);
      if (m != 0) return true;
    }
    return false;
  }

  // Is the byte at p an unquoted '>'?
  bool gt_at(size_t p) {
    bm_.ensure(p / 64);
    return ((bm_.gt(p / 64) >> (p % 64)) & 1) != 0;
  }

  // First unquoted '>' at or after `from`, or kNone.
  size_t next_gt(size_t from) {
    size_t w = from / 64;
    if (w >= bm_.words()) return kNone;
    bm_.ensure(w);
    uint64_t m = bm_.gt(w) & (~uint64_t{0} << (from % 64));
    while (m == 0) {
      if (++w >= bm_.words()) return kNone;
      bm_.ensure(w);
      m = bm_.gt(w);
    }
    return 64 * w + static_cast<size_t>(__builtin_ctzll(m));
  }

  // The sequential strategy looks for '<' from `from`; does it find `s` (n: finds none)?
  bool same_next_lt(size_t from, size_t s) { return !quotes_in(from, s) || sr_.template find<'<'>(from) == s; }

  const uint8_t* d_;
  size_t n_;
  BitmapWindow bm_;
  TableBuilder tb_;
  const Searcher<OpsFind> sr_;
};

}  // namespace

size_t tag_row_limit() { return row_limit.load(std::memory_order_relaxed); }
void set_tag_row_limit(size_t rows) { row_limit.store(rows < kMaxTagRows ? rows : kMaxTagRows, std::memory_order_relaxed); }

std::optional<IndexResult> try_quote_masked(const uint8_t* d, size_t n, const KernelOps& ops) {
  return QuoteMaskedWalk(d, n, ops).run();
}

IndexResult quote_masked(const uint8_t* d, size_t n, const KernelOps& ops) {
  std::optional<IndexResult> r = try_quote_masked(d, n, ops);
  return r ? std::move(*r) : sequential(d, n, ops);
}

MarkupBitmaps classify(const uint8_t* d, size_t n, const KernelOps& ops) {
  MarkupBitmaps out{std::vector<uint64_t>((n + 63) / 64), std::vector<uint64_t>((n + 63) / 64), n};
  uint8_t state = simd::kOutside;
  const size_t full = n / 64;
  ops.classify(d, full, out.lt_bits.data(), out.gt_bits.data(), nullptr, &state);
  if (n % 64 != 0) {
    uint8_t block[64] = {};
    std::memcpy(block, d + 64 * full, n % 64);
    ops.classify(block, 1, out.lt_bits.data() + full, out.gt_bits.data() + full, nullptr, &state);
  }
  return out;
}

}  // namespace tessary::index::detail
