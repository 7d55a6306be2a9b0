// Throughput of the structural index per strategy and kernel.
//
//   bench_indexer [MEGABYTES] [CORPUS_DIR]
//
// Generates a text-heavy and an attribute-dense document of MEGABYTES each
// (default 50) and, when CORPUS_DIR (default: the CLDR XML data under
// /usr/share/unicode/cldr/common) exists, indexes each of its *.xml files.
// Prints GB/s (10^9 bytes per second), best of several runs, measured in CPU
// time of the benchmark thread so that other load on a shared machine does
// not count against the indexer.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "index/structural_index.h"

using namespace tessary::index;

namespace {

std::string text_heavy(size_t bytes, uint64_t seed) {
  static const char* words[] = {"the", "structural", "index", "records", "where", "every",
                                "tag", "begins", "and", "ends;", "it", "doesn't", "copy",
                                "text,", "so", "parsing", "stays", "fast", "on", "large",
                                "documents", "with", "long", "paragraphs", "of", "prose."};
  std::mt19937_64 rng(seed);
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<book lang=\"en\">\n";
  while (out.size() < bytes) {
    out += "<chapter n=\"" + std::to_string(rng() % 1000) + "\">\n<title>Chapter</title>\n";
    for (int p = 0; p < 20 && out.size() < bytes; ++p) {
      out += "<p>";
      const size_t len = 400 + rng() % 1600;
      const size_t start = out.size();
      while (out.size() - start < len) {
        if (rng() % 40 == 0) {
          out += "<em>";
          out += words[rng() % 26];
          out += "</em> ";
        } else {
          out += words[rng() % 26];
          out += ' ';
        }
      }
      out += "</p>\n";
    }
    out += "</chapter>\n";
  }
  out += "</book>\n";
  return out;
}

std::string attribute_dense(size_t bytes, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string out = "<?xml version=\"1.0\"?>\n<table>\n";
  while (out.size() < bytes) {
    const uint64_t id = rng() % 1000000;
    out += "<row id=\"" + std::to_string(id) + "\" name=\"item-" + std::to_string(id) +
           "\" price=\"" + std::to_string(rng() % 10000) + ".50\" qty=\"" +
           std::to_string(rng() % 50) + "\" flag=\"" + (rng() % 2 ? "true" : "false") +
           "\" owner=\"" + (rng() % 20 == 0 ? "O'Brien" : "Smith") + "\"/>\n";
  }
  out += "</table>\n";
  return out;
}

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_of(const std::function<void()>& fn) {
  const double t0 = thread_seconds();
  fn();
  return thread_seconds() - t0;
}

// Best GB/s over `runs` runs of fn, which processes `bytes` bytes.
double best_gbps(size_t bytes, int runs, const std::function<void()>& fn) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) best = std::min(best, seconds_of(fn));
  return static_cast<double>(bytes) / best / 1e9;
}

std::vector<Kernel> kernels() {
  std::vector<Kernel> out;
  for (Kernel k : {Kernel::Scalar, Kernel::SSE2, Kernel::AVX2, Kernel::NEON})
    if (kernel_available(k)) out.push_back(k);
  return out;
}

// Indexes every document in `docs` once; aborts on an indexing failure,
// which would make the numbers meaningless.
void index_all(const std::vector<std::string>& docs, int strategy, Kernel k) {
  for (const std::string& d : docs) {
    const auto* p = reinterpret_cast<const uint8_t*>(d.data());
    IndexResult r = strategy == 0   ? index_sequential(p, d.size(), k)
                    : strategy == 1 ? index_quote_masked(p, d.size(), k)
                                    : build_structural_index(p, d.size(), k);
    if (!r.ok()) {
      std::fprintf(stderr, "indexing failed: %s\n", r.error->text().c_str());
      std::exit(1);
    }
  }
}

void report(const char* title, const std::vector<std::string>& docs, int runs) {
  size_t bytes = 0;
  size_t tags = 0;
  for (const auto& d : docs) bytes += d.size();
  {
    const auto* p = reinterpret_cast<const uint8_t*>(docs.front().data());
    tags = build_structural_index(p, docs.front().size()).index.tag_count();
  }
  const auto& first = docs.front();
  const Strategy chosen =
      choose_strategy(reinterpret_cast<const uint8_t*>(first.data()), first.size());
  std::printf("%s: %zu document(s), %.1f MB, %zu tags in the first; sample picks %s\n", title,
              docs.size(), static_cast<double>(bytes) / 1e6, tags, strategy_name(chosen));
  std::printf("  %-8s %12s %14s %10s %10s %10s\n", "kernel", "sequential", "quote-masked",
              "auto", "classify", "find '<'");
  for (Kernel k : kernels()) {
    double g[3];
    for (int s = 0; s < 3; ++s) g[s] = best_gbps(bytes, runs, [&] { index_all(docs, s, k); });
    volatile size_t sink = 0;
    const double classify = best_gbps(bytes, runs, [&] {
      for (const auto& d : docs)
        sink = sink + classify_blocks(reinterpret_cast<const uint8_t*>(d.data()), d.size(), k)
                          .lt_bits.size();
    });
    // Counting every '<' with repeated searches: the lexer's inner loop.
    const double find = best_gbps(bytes, runs, [&] {
      for (const auto& d : docs) {
        const auto* p = reinterpret_cast<const uint8_t*>(d.data());
        const uint8_t* end = p + d.size();
        for (p = find_byte(p, end, '<', k); p < end; p = find_byte(p + 1, end, '<', k))
          sink = sink + 1;
      }
    });
    std::printf("  %-8s %12.2f %14.2f %10.2f %10.2f %10.2f  GB/s\n", kernel_name(k), g[0], g[1],
                g[2], classify, find);
  }
}

std::vector<std::string> load_corpus(const std::filesystem::path& dir) {
  std::vector<std::string> docs;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return docs;
  std::vector<std::filesystem::path> files;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file() && it->path().extension() == ".xml") files.push_back(it->path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!s.empty()) docs.push_back(std::move(s));
  }
  return docs;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mb = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 50;
  const std::filesystem::path corpus =
      argc > 2 ? argv[2] : "/usr/share/unicode/cldr/common";
  std::printf("best kernel: %s\n", kernel_name(best_kernel()));
  report("text-heavy", {text_heavy(mb * 1000000, 1)}, 5);
  report("attribute-dense", {attribute_dense(mb * 1000000, 2)}, 5);
  std::vector<std::string> docs = load_corpus(corpus);
  if (docs.empty()) {
    std::printf("corpus: no *.xml under %s, skipped\n", corpus.c_str());
    return 0;
  }
  report(("corpus " + corpus.string()).c_str(), docs, 3);
  return 0;
}
