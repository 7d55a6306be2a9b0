// Every vector kernel against its byte-at-a-time twin.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "harness.h"
#include "support.h"

using namespace support;

namespace {

std::vector<Kernel> vector_kernels() {
  std::vector<Kernel> out;
  for (Kernel k : available_kernels())
    if (k != Kernel::Scalar) out.push_back(k);
  return out;
}

// Bytes drawn mostly from the characters the kernels look for.
std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
  static const uint8_t alphabet[] = {'<', '>', '"', '\'', 'a', ' ', '/', '!', 0x00, 0xFF, 0x80};
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    uint64_t r = rng();
    b = (r & 3) == 0 ? static_cast<uint8_t>(r >> 8) : alphabet[(r >> 8) % sizeof alphabet];
  }
  return v;
}

const uint8_t kNeedles[] = {'<', '>', '"', '\'', 0x00, 0xFF, 'a'};

// Compares every primitive of kernel k with the scalar one on [p, p + n).
void compare_primitives(Kernel k, const uint8_t* p, size_t n, bool all_find_starts) {
  MarkupBitmaps a = classify_blocks(p, n, Kernel::Scalar);
  MarkupBitmaps b = classify_blocks(p, n, k);
  CHECK_MSG(a.lt_bits == b.lt_bits && a.gt_bits == b.gt_bits && a.length == b.length,
            kernel_name(k) << " classify differs at length " << n);
  MarkupCounts ca = count_markup(p, n, Kernel::Scalar);
  MarkupCounts cb = count_markup(p, n, k);
  CHECK_MSG(ca.lt == cb.lt && ca.dq == cb.dq, kernel_name(k) << " count differs at length " << n);
  for (uint8_t c : kNeedles) {
    for (size_t from = 0; from <= n; from += all_find_starts ? 1 : 61) {
      const uint8_t* x = find_byte(p + from, p + n, c, Kernel::Scalar);
      const uint8_t* y = find_byte(p + from, p + n, c, k);
      CHECK_MSG(x == y, kernel_name(k) << " find_byte(" << int(c) << ") from " << from
                                       << " of " << n << ": " << (x - p) << " vs " << (y - p));
    }
  }
}

}  // namespace

TEST(prefix_xor_matches_definition) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> words{0, 1, ~uint64_t{0}, uint64_t{1} << 63, 0x8000000000000001ull,
                              0x5555555555555555ull, 0xAAAAAAAAAAAAAAAAull};
  for (int i = 0; i < 2000; ++i) words.push_back(rng() & rng());
  for (uint64_t w : words) {
    uint64_t want = 0, acc = 0;
    for (int i = 0; i < 64; ++i) {
      acc ^= (w >> i) & 1;
      want |= acc << i;
    }
    for (Kernel k : available_kernels())
      CHECK_MSG(prefix_xor(w, k) == want, kernel_name(k) << " prefix_xor(" << w << ")");
  }
  CHECK_EQ(prefix_xor(0b1001), uint64_t{0b0111});
}

TEST(kernels_match_scalar_for_every_short_length) {
  std::mt19937_64 rng(1);
  for (Kernel k : vector_kernels()) {
    for (size_t n = 0; n <= 3 * 64 + 1; ++n) {
      for (int round = 0; round < 4; ++round) {
        std::vector<uint8_t> v = random_bytes(rng, n);
        compare_primitives(k, v.data(), n, true);
      }
    }
  }
}

TEST(kernels_match_scalar_for_every_single_byte_change) {
  // A base text with markup and both quote kinds in every block, so that
  // each change can flip the quote state carried into the next block.
  std::string base;
  while (base.size() < 3 * 64 + 1) base += "<a k=\"v'\" j='w\"'>t</a>";
  base.resize(3 * 64 + 1);
  std::vector<uint8_t> v(base.begin(), base.end());
  const uint8_t values[] = {'<', '>', '"', '\'', 'x', 0x00, 0xFF, 0x3C ^ 0x80, 0x22 | 0x80};
  for (Kernel k : vector_kernels()) {
    for (size_t pos = 0; pos < v.size(); ++pos) {
      const uint8_t saved = v[pos];
      for (uint8_t value : values) {
        v[pos] = value;
        compare_primitives(k, v.data(), v.size(), false);
        const IndexResult inl = index_sequential_inline(v.data(), v.size());
        CHECK_MSG(difference(index_sequential(v.data(), v.size(), Kernel::Scalar), inl).empty(),
                  "inline searches differ, byte " << pos);
        IndexResult a = index_quote_masked(v.data(), v.size(), Kernel::Scalar);
        IndexResult b = index_quote_masked(v.data(), v.size(), k);
        CHECK_MSG(difference(a, b).empty(), kernel_name(k) << " index differs, byte " << pos);
      }
      v[pos] = saved;
    }
  }
}

TEST(kernels_match_scalar_on_random_documents) {
  DocGenerator gen(11);
  std::mt19937_64 rng(3);
  for (int i = 0; i < 40; ++i) {
    std::string doc = gen.document(200 + rng() % 300000);
    {
      const IndexResult a = index_sequential(bytes(doc), doc.size(), Kernel::Scalar);
      const IndexResult b = index_sequential_inline(bytes(doc), doc.size());
      CHECK_MSG(difference(a, b).empty(), "inline searches, doc " << i << ": " << difference(a, b));
    }
    for (Kernel k : vector_kernels()) {
      compare_primitives(k, bytes(doc), doc.size(), false);
      for (int s = 0; s < 2; ++s) {
        IndexResult a = s ? index_quote_masked(bytes(doc), doc.size(), Kernel::Scalar)
                          : index_sequential(bytes(doc), doc.size(), Kernel::Scalar);
        IndexResult b = s ? index_quote_masked(bytes(doc), doc.size(), k)
                          : index_sequential(bytes(doc), doc.size(), k);
        CHECK_MSG(difference(a, b).empty(), kernel_name(k) << " strategy " << s << " doc " << i
                                                           << ": " << difference(a, b));
      }
    }
  }
}

TEST(no_reads_past_the_end) {
  // Inputs that end right before an inaccessible page: any vector load past
  // the end faults.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  CHECK(mem != MAP_FAILED);
  if (mem == MAP_FAILED) return;
  uint8_t* base = static_cast<uint8_t*>(mem);
  CHECK_EQ(mprotect(base + page, page, PROT_NONE), 0);
  std::mt19937_64 rng(5);
  for (size_t n = 0; n <= 300; ++n) {
    uint8_t* p = base + page - n;
    std::vector<uint8_t> v = random_bytes(rng, n);
    if (n != 0) std::memcpy(p, v.data(), n);
    for (Kernel k : available_kernels()) {
      compare_primitives(k, p, n, n < 100);
      (void)index_sequential(p, n, k);
      (void)index_quote_masked(p, n, k);
    }
    (void)index_sequential_inline(p, n);
  }
  munmap(mem, 2 * page);
}

TEST(best_kernel_is_available) {
  CHECK(kernel_available(best_kernel()));
  CHECK(kernel_available(Kernel::Scalar));
  CHECK_EQ(std::string(kernel_name(Kernel::AVX2)), "avx2");
#if defined(__aarch64__)
  CHECK_EQ(best_kernel(), Kernel::NEON);
#elif defined(__x86_64__)
  CHECK(best_kernel() == Kernel::AVX2 || best_kernel() == Kernel::SSE2);
  CHECK(kernel_available(Kernel::SSE2));
#endif
}
