// Throughput of encode_utf8 per kernel, against a plain unit-at-a-time loop.
//
//   bench_encode [MILLION_UNITS] [DUMP_DIR] [UTF8_FILE...]
//
// Builds texts of MILLION_UNITS million characters (default 20) in the unit width a str would
// store them in: mostly-ASCII prose with non-ASCII words sprinkled in (UCS-2), pure ASCII
// (1-byte units), Latin-1 prose (1-byte units), CJK-heavy text (UCS-2) and prose with an emoji
// now and then (UCS-4). Prints MB/s of UTF-8 written and milliseconds per text, best of several
// runs in CPU time of the benchmark thread. With DUMP_DIR, writes each text's UTF-8 there too, so
// that other encoders can be timed on the same characters ("-" for none). Each UTF8_FILE adds a
// row for its characters, in the narrowest unit width that holds them, as a str would store them.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "index/utf8.h"

using namespace tessary::index;

namespace {

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double best_seconds(int runs, const std::function<void()>& fn) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const double t0 = thread_seconds();
    fn();
    best = std::min(best, thread_seconds() - t0);
  }
  return best;
}

// The loop a first version would write: one unit at a time, no vectors, no word tricks.
template <class T>
Utf8Encoded plain_loop(const T* u, size_t n, uint8_t* out) {
  size_t o = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = u[i];
    if (c < 0x80) {
      out[o++] = static_cast<uint8_t>(c);
    } else if (c < 0x800) {
      out[o++] = static_cast<uint8_t>(0xC0 | (c >> 6));
      out[o++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return {i, false};
      out[o++] = static_cast<uint8_t>(0xE0 | (c >> 12));
      out[o++] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      out[o++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
      out[o++] = static_cast<uint8_t>(0xF0 | (c >> 18));
      out[o++] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
      out[o++] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      out[o++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else {
      return {i, false};
    }
  }
  return {o, true};
}

// Words separated by spaces until `n` characters, a word from `rare` one time in `one_in`, with
// an element tag now and then as in a document.
std::u32string prose(size_t n, const std::vector<std::u32string>& common, const std::vector<std::u32string>& rare,
                     unsigned one_in, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::u32string s;
  while (s.size() < n) {
    if (rng() % 60 == 0) s += U"<p class=\"x\">";
    s += (!rare.empty() && rng() % one_in == 0) ? rare[rng() % rare.size()] : common[rng() % common.size()];
    s += rng() % 12 == 0 ? U".\n" : U" ";
  }
  s.resize(n);
  return s;
}

struct Text {
  const char* name;
  unsigned width;
  std::u32string chars;
};

template <class T>
std::vector<T> units_of(const std::u32string& s) {
  std::vector<T> u(s.size());
  for (size_t i = 0; i < s.size(); ++i) u[i] = static_cast<T>(s[i]);
  return u;
}

template <class T>
void report(const Text& t, const char* dump_dir) {
  const std::vector<T> units = units_of<T>(t.chars);
  const size_t n = units.size();
  std::vector<uint8_t> out((sizeof(T) == 1 ? 2 : sizeof(T) == 2 ? 3 : 4) * n);
  const Utf8Encoded want = encode_utf8(units.data(), n, out.data(), Kernel::Scalar);
  if (!want.ok) {
    std::fprintf(stderr, "%s: the text does not encode\n", t.name);
    std::exit(1);
  }
  if (dump_dir != nullptr) {
    std::ofstream f(std::string(dump_dir) + "/" + t.name + ".txt", std::ios::binary);
    f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(want.bytes));
  }
  std::printf("%s: %zu characters in %u-byte units, %.1f MB of UTF-8\n", t.name, n, t.width,
              static_cast<double>(want.bytes) / 1e6);
  const auto line = [&](const char* what, const std::function<Utf8Encoded()>& fn) {
    Utf8Encoded r{};
    const double s = best_seconds(7, [&] { r = fn(); });
    if (!r.ok || r.bytes != want.bytes) {
      std::fprintf(stderr, "%s: %s gives a different result\n", t.name, what);
      std::exit(1);
    }
    std::printf("  %-10s %9.0f MB/s %8.2f ms\n", what, static_cast<double>(want.bytes) / s / 1e6, s * 1e3);
  };
  line("plain loop", [&] { return plain_loop(units.data(), n, out.data()); });
  for (Kernel k : {Kernel::Scalar, Kernel::SSE2, Kernel::AVX2, Kernel::NEON}) {
    if (!kernel_available(k)) continue;
    line(kernel_name(k), [&] { return encode_utf8(units.data(), n, out.data(), k); });
  }
}

// The code points of UTF-8 text (assumed well formed), or an empty string if the file cannot
// be read.
std::u32string read_utf8_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::u32string s;
  for (size_t i = 0; i < b.size();) {
    const auto c = static_cast<uint8_t>(b[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t v = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    for (size_t k = 1; k < len && i + k < b.size(); ++k) v = (v << 6) | (static_cast<uint8_t>(b[i + k]) & 0x3F);
    s.push_back(static_cast<char32_t>(v));
    i += len;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = (argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 20) * 1000000;
  const char* dump = argc > 2 && std::string(argv[2]) != "-" ? argv[2] : nullptr;
  const std::vector<std::u32string> english = {U"the",  U"index", U"records", U"where", U"every", U"tag",
                                               U"begins", U"and", U"ends", U"it", U"does", U"not",
                                               U"copy", U"text", U"so", U"parsing", U"stays", U"fast",
                                               U"on", U"large", U"documents", U"with", U"long", U"prose"};
  const std::vector<std::u32string> sprinkled = {U"café", U"東京", U"русский", U"naïve", U"Zürich", U"日本語"};
  const std::vector<std::u32string> latin1 = {U"café", U"naïve", U"Zürich", U"señor", U"garçon", U"Ærø"};
  const std::vector<std::u32string> cjk = {U"東京", U"日本語", U"文書", U"索引", U"高速", U"処理", U"の", U"は",
                                           U"大きな", U"テキスト", U"中文", U"한국어"};
  const std::vector<std::u32string> emoji = {U"😀", U"🚀", U"𝔘𝔫𝔦𝔠𝔬𝔡𝔢", U"café"};
  std::printf("best kernel: %s\n", kernel_name(best_kernel()));
  report<uint16_t>({"mostly-ascii-ucs2", 2, prose(n, english, sprinkled, 8, 1)}, dump);
  report<uint8_t>({"ascii-ucs1", 1, prose(n, english, {}, 1, 2)}, dump);
  report<uint8_t>({"latin1-ucs1", 1, prose(n, english, latin1, 8, 3)}, dump);
  report<uint16_t>({"cjk-ucs2", 2, prose(n, cjk, english, 10, 4)}, dump);
  report<uint32_t>({"emoji-ucs4", 4, prose(n, english, emoji, 20, 5)}, dump);
  for (int a = 3; a < argc; ++a) {
    Text t{argv[a], 1, read_utf8_file(argv[a])};
    if (t.chars.empty()) {
      std::fprintf(stderr, "%s: no text read\n", argv[a]);
      return 1;
    }
    const char32_t top = *std::max_element(t.chars.begin(), t.chars.end());
    if (top <= 0xFF) {
      report<uint8_t>(t, nullptr);
    } else if (top <= 0xFFFF) {
      t.width = 2;
      report<uint16_t>(t, nullptr);
    } else {
      t.width = 4;
      report<uint32_t>(t, nullptr);
    }
  }
  return 0;
}
