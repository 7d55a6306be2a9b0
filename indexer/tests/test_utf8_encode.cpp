// Encoding a str's units to UTF-8: the scalar twin against an encoder written here, over every
// code point and the edges of each form; every vector kernel (and the default overloads) against
// the twin over the same units: lengths around the block edges, every single-unit change in a
// block, random and mostly-ASCII texts, failures. Every run has guard bytes on both sides of the
// output's stated bound, and the units and the output start at varying alignments.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "index/utf8.h"
#include "support.h"

using namespace support;

namespace {

// UTF-8 of code point c appended to s, built from the low six bits up; false for a surrogate or
// a value above 0x10FFFF.
bool reference_encode(uint32_t c, std::string& s) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
  const int len = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  static const uint8_t marks[5] = {0, 0x00, 0xC0, 0xE0, 0xF0};
  char buf[4];
  for (int k = len - 1; k > 0; --k) {
    buf[k] = static_cast<char>(0x80 | (c & 0x3F));
    c >>= 6;
  }
  buf[0] = static_cast<char>(marks[len] | c);
  s.append(buf, static_cast<size_t>(len));
  return true;
}

template <class T>
constexpr size_t bytes_per_unit() {
  return sizeof(T) == 1 ? 2 : sizeof(T) == 2 ? 3 : 4;
}

template <class T>
struct Run {
  Utf8Encoded r{};
  std::string out;  // the bytes written, when ok
};

constexpr size_t kGuard = 64;
constexpr uint8_t kFill = 0xA5;

// Encodes units with kernel k (the default overload when `best`), the units and the output
// placed `shift` elements / bytes past an aligned start. The bytes before the output and past
// its bound must keep their fill.
template <class T>
Run<T> run(const std::vector<T>& units, Kernel k, bool best, size_t shift, const char* what) {
  std::vector<T> in(units.size() + 8);
  T* u = in.data() + shift % 8;
  for (size_t i = 0; i < units.size(); ++i) u[i] = units[i];
  const size_t bound = bytes_per_unit<T>() * units.size();
  std::vector<uint8_t> buf(kGuard + bound + kGuard, kFill);
  uint8_t* out = buf.data() + kGuard - shift % 32;
  const size_t start = kGuard - shift % 32;
  Run<T> x;
  x.r = best ? encode_utf8(u, units.size(), out) : encode_utf8(u, units.size(), out, k);
  for (size_t i = 0; i < start; ++i)
    CHECK_MSG(buf[i] == kFill, what << ": " << kernel_name(k) << " wrote before the output");
  for (size_t i = start + bound; i < buf.size(); ++i)
    if (buf[i] != kFill) {
      CHECK_MSG(false, what << ": " << kernel_name(k) << " wrote at byte " << (i - start - bound) << " past the bound ("
                            << units.size() << " units)");
      break;
    }
  if (x.r.ok) {
    CHECK_MSG(x.r.bytes <= bound, what << ": " << kernel_name(k) << " reports more bytes than the bound");
    if (x.r.bytes <= bound) x.out.assign(reinterpret_cast<const char*>(out), x.r.bytes);
  }
  return x;
}

// The twin against the reference, then every other kernel and the default overload against the
// twin.
template <class T>
void check_all(const std::vector<T>& units, const char* what, size_t shift = 0) {
  std::string want;
  size_t bad = units.size();
  for (size_t i = 0; i < units.size() && bad == units.size(); ++i)
    if (!reference_encode(units[i], want)) bad = i;
  const Run<T> twin = run(units, Kernel::Scalar, false, shift, what);
  if (bad == units.size()) {
    CHECK_MSG(twin.r.ok && twin.out == want, what << ": the twin differs from the reference (" << units.size()
                                                 << " units, ok " << twin.r.ok << ")");
  } else {
    CHECK_MSG(!twin.r.ok && twin.r.bytes == bad, what << ": the twin reports " << twin.r.ok << "/" << twin.r.bytes
                                                      << ", the first bad unit is " << bad);
  }
  std::vector<std::pair<Kernel, bool>> others;
  for (Kernel k : available_kernels())
    if (k != Kernel::Scalar) others.push_back({k, false});
  others.push_back({best_kernel(), true});
  for (auto [k, best] : others) {
    const Run<T> r = run(units, k, best, shift + 3, what);
    if (r.r.ok != twin.r.ok || r.r.bytes != twin.r.bytes || r.out != twin.out) {
      size_t at = 0;
      while (at < r.out.size() && at < twin.out.size() && r.out[at] == twin.out[at]) ++at;
      CHECK_MSG(false, what << ": " << kernel_name(k) << (best ? " (default)" : "") << " gives " << r.r.ok << "/"
                            << r.r.bytes << ", the twin " << twin.r.ok << "/" << twin.r.bytes << " ("
                            << units.size() << " units" << (r.r.ok && twin.r.ok ? ", first byte differing at " : "")
                            << (r.r.ok && twin.r.ok ? std::to_string(at) : std::string()) << ")");
    }
  }
}

template <class T>
std::vector<T> narrow(const std::vector<uint32_t>& v) {
  std::vector<T> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = static_cast<T>(v[i]);
  return out;
}

// Runs check_all at each width that holds every value of cps.
void check_widths(const std::vector<uint32_t>& cps, const char* what, size_t shift = 0) {
  uint32_t top = 0;
  for (uint32_t c : cps) top = c > top ? c : top;
  if (top <= 0xFF) check_all(narrow<uint8_t>(cps), what, shift);
  if (top <= 0xFFFF) check_all(narrow<uint16_t>(cps), what, shift);
  check_all(cps, what, shift);
}

// Values at and around the edges of the forms and of what can be encoded.
const uint32_t kEdges[] = {0x00,   0x7F,   0x80,    0xFF,     0x100,    0x7FF,      0x800,     0xD7FF,
                           0xD800, 0xDBFF, 0xDC00,  0xDFFF,   0xE000,   0xFFFD,     0xFFFF,    0x10000,
                           0x10FFFF, 0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};

// A code point of a class picked at random: ASCII most often.
uint32_t random_char(std::mt19937_64& rng, uint32_t max) {
  const unsigned r = static_cast<unsigned>(rng() % 16);
  uint32_t c;
  if (r < 7) c = 0x20 + static_cast<uint32_t>(rng() % 0x5F);
  else if (r < 10) c = 0x80 + static_cast<uint32_t>(rng() % 0x780);
  else if (r < 14) c = 0x800 + static_cast<uint32_t>(rng() % 0xF800);
  else c = 0x10000 + static_cast<uint32_t>(rng() % 0x100000);
  if (c >= 0xD800 && c <= 0xDFFF) c -= 0x1000;
  return c > max ? c % (max + 1) : c;
}

void append_word(std::vector<uint32_t>& v, const char32_t* w) {
  while (*w) v.push_back(static_cast<uint32_t>(*w++));
}

}  // namespace

TEST(every_code_point_matches_the_reference) {
  // Each width over all it holds, surrogates left out (they fail, below); every kernel too.
  std::vector<uint32_t> all;
  for (uint32_t c = 0; c <= 0x10FFFF; ++c)
    if (c < 0xD800 || c > 0xDFFF) all.push_back(c);
  check_all(all, "every code point");
  check_all(narrow<uint16_t>(std::vector<uint32_t>(all.begin(), all.begin() + (0x10000 - 0x800))), "the BMP");
  check_all(narrow<uint8_t>(std::vector<uint32_t>(all.begin(), all.begin() + 0x100)), "Latin-1");
  // Every surrogate and some values above 0x10FFFF fail where they stand, after 40 ASCII units.
  for (uint32_t c : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu, 0xD912u, 0x110000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    std::vector<uint32_t> v(40, 'a');
    v.push_back(c);
    v.push_back('b');
    check_widths(v, "a unit that cannot be encoded");
    const Utf8Encoded r = encode_utf8(v.data(), v.size(), std::vector<uint8_t>(4 * v.size()).data(), Kernel::Scalar);
    CHECK(!r.ok && r.bytes == 40);
  }
}

TEST(edges_of_each_form_give_the_bytes_they_should) {
  // Spelled out here, so that the reference above cannot share a mistake with the twin.
  const struct {
    uint32_t c;
    const char* utf8;
  } cases[] = {{0x7F, "\x7F"},
               {0x80, "\xC2\x80"},
               {0xFF, "\xC3\xBF"},
               {0x7FF, "\xDF\xBF"},
               {0x800, "\xE0\xA0\x80"},
               {0xD7FF, "\xED\x9F\xBF"},
               {0xE000, "\xEE\x80\x80"},
               {0xFFFF, "\xEF\xBF\xBF"},
               {0x10000, "\xF0\x90\x80\x80"},
               {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
  for (const auto& t : cases) {
    for (Kernel k : available_kernels()) {
      // Alone, and in the middle of a block after 20 ASCII units.
      for (size_t before : {size_t{0}, size_t{20}}) {
        std::vector<uint32_t> v(before, 'x');
        v.push_back(t.c);
        v.resize(before + 40, 'y');
        std::vector<uint8_t> out(4 * v.size());
        const std::string want = std::string(before, 'x') + t.utf8 + std::string(39, 'y');
        const Utf8Encoded r = encode_utf8(v.data(), v.size(), out.data(), k);
        CHECK_MSG(r.ok && std::string(reinterpret_cast<char*>(out.data()), r.bytes) == want,
                  kernel_name(k) << ": U+" << std::hex << t.c);
        if (t.c <= 0xFFFF) {
          const std::vector<uint16_t> w = narrow<uint16_t>(v);
          const Utf8Encoded r2 = encode_utf8(w.data(), w.size(), out.data(), k);
          CHECK_MSG(r2.ok && std::string(reinterpret_cast<char*>(out.data()), r2.bytes) == want,
                    kernel_name(k) << ": 16-bit U+" << std::hex << t.c);
        }
      }
    }
  }
  // Inside a vector block and in the tail.
  for (uint32_t c : {0xD800u, 0xDFFFu, 0x110000u})
    for (size_t at : {size_t{5}, size_t{20}, size_t{40}})
      for (Kernel k : available_kernels()) {
        std::vector<uint32_t> v(41, 'z');
        v[at] = c;
        std::vector<uint8_t> out(4 * v.size());
        const Utf8Encoded r = encode_utf8(v.data(), v.size(), out.data(), k);
        CHECK_MSG(!r.ok && r.bytes == at, kernel_name(k) << ": " << std::hex << c << " accepted");
        if (c <= 0xFFFF) {
          const std::vector<uint16_t> w = narrow<uint16_t>(v);
          const Utf8Encoded r2 = encode_utf8(w.data(), w.size(), out.data(), k);
          CHECK_MSG(!r2.ok && r2.bytes == at, kernel_name(k) << ": 16-bit " << std::hex << c << " accepted");
        }
      }
}

TEST(every_length_around_the_block_edges) {
  // Fillers of each form, and classes cycling so that a block mixes them; the output bound is met
  // exactly by the widest forms (Latin-1 from 0x80 in 1-byte units, three-byte forms in 2-byte
  // units, supplementary characters in 4-byte units).
  const std::vector<std::vector<uint32_t>> fillers = {
      {'a', 'b', 'c'}, {0xE9, 0xFF, 0x80}, {0x3B1, 0x44F, 0x7FF}, {0x6771, 0xAC00, 0xFFFF},
      {0x1F600, 0x10FFFF, 0x10000}, {'a', 0xE9, 0x44F, 'q', 0x4EAC, 0x1F600, ' ', 0xFF}};
  size_t shift = 0;
  for (const auto& f : fillers) {
    for (size_t n = 0; n <= 200; ++n) {
      std::vector<uint32_t> v(n);
      for (size_t i = 0; i < n; ++i) v[i] = f[i % f.size()];
      check_widths(v, "length sweep", shift++);
      // The same with the non-ASCII units confined to the last few, where the tail takes over.
      if (n >= 5) {
        std::vector<uint32_t> w(n, 'k');
        for (size_t i = n - 5; i < n; ++i) w[i] = v[i];
        check_widths(w, "length sweep, wide tail", shift++);
      }
    }
  }
}

TEST(every_single_unit_change_in_a_block) {
  // Bases of each form, 80 units long (past two 32-unit steps and into the tail), with each edge
  // value placed at each position.
  for (uint32_t base : {uint32_t{'a'}, uint32_t{0xE9}, uint32_t{0x3B1}, uint32_t{0x6771}, uint32_t{0x1F600}}) {
    for (size_t pos = 0; pos < 80; ++pos) {
      for (uint32_t c : kEdges) {
        std::vector<uint32_t> v(80, base);
        v[pos] = c;
        check_widths(v, "single unit changed", pos);
      }
    }
  }
}

TEST(random_mixed_texts) {
  std::mt19937_64 rng(7);
  for (uint32_t max : {0xFFu, 0xFFFFu, 0x10FFFFu}) {
    for (int t = 0; t < 400; ++t) {
      std::vector<uint32_t> v(rng() % 700);
      // Runs of one class now and then, as real text has.
      for (size_t i = 0; i < v.size(); ++i) v[i] = (i > 0 && rng() % 3 == 0) ? v[i - 1] ^ (rng() % 4) : random_char(rng, max);
      for (uint32_t& c : v)
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xE000;
      check_widths(v, "random text", static_cast<size_t>(t));
    }
  }
}

TEST(mostly_ascii_with_sprinkled_words) {
  // ASCII words first, then Latin-1 ones, then the rest of the BMP, then a supplementary one.
  static const char32_t* words[] = {U"the", U"index", U"records", U"where", U"every", U"tag",
                                    U"begins", U"and", U"ends", U"of", U"café", U"naïve", U"ÿ",
                                    U"東京", U"русский", U"Ωmega", U"日本語のテキスト", U"😀"};
  std::mt19937_64 rng(3);
  for (int t = 0; t < 300; ++t) {
    const unsigned kinds = t % 3 == 0 ? 13 : t % 3 == 1 ? 17 : 18;  // Latin-1 only, the BMP, all
    std::vector<uint32_t> v;
    const size_t target = rng() % 2000;
    while (v.size() < target) {
      append_word(v, words[rng() % 9 == 0 ? rng() % kinds : rng() % 10]);
      v.push_back(' ');
    }
    check_widths(v, "mostly ASCII", static_cast<size_t>(t));
  }
}

TEST(failures_report_the_first_bad_unit) {
  // A bad unit anywhere in a random text, sometimes a second one later; each kernel must stop at
  // the first, in whichever kind of block it lies.
  std::mt19937_64 rng(5);
  const uint32_t bad16[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xDABC};
  const uint32_t bad32[] = {0xD800, 0xDFFF, 0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x1FFFFF};
  for (int t = 0; t < 1500; ++t) {
    const bool wide = t % 2 == 1;
    const uint32_t max = wide ? 0x10FFFF : 0xFFFF;
    std::vector<uint32_t> v(1 + rng() % 300);
    const unsigned mode = t % 5;
    for (uint32_t& c : v) c = mode == 0 ? 'a' + static_cast<uint32_t>(rng() % 26) : random_char(rng, mode == 1 ? 0x7FF : max);
    const size_t at = rng() % v.size();
    v[at] = wide ? bad32[rng() % 7] : bad16[rng() % 5];
    if (rng() % 2 == 0 && at + 1 < v.size()) v[at + 1 + rng() % (v.size() - at - 1)] = wide ? 0x110000 : 0xDC00;
    if (wide) check_all(v, "a bad unit", static_cast<size_t>(t));
    else check_all(narrow<uint16_t>(v), "a bad unit", static_cast<size_t>(t));
  }
}

TEST(blocks_of_each_kind_in_any_order) {
  // Sixteen-unit chunks of one kind each (ASCII, one or all units below 0x800, one or all of
  // three bytes) in random order, with runs of ASCII chunks long enough for a kernel to take them
  // as a long ASCII run, after an ASCII prefix of 0-31 units so that vector steps straddle chunks;
  // sometimes a surrogate somewhere after the first run. The kernels switch forms, and leave and
  // enter ASCII runs, within one call.
  std::mt19937_64 rng(11);
  const uint32_t two[] = {0x80, 0xE9, 0x3B1, 0x44F, 0x7FF};
  const uint32_t three[] = {0x800, 0x4EAC, 0xD7FF, 0xE000, 0xFFFF};
  for (int t = 0; t < 600; ++t) {
    std::vector<uint32_t> v(rng() % 32, 'p');
    size_t first_run_end = 0;
    for (int c = 0; c < 24; ++c) {
      const unsigned kind = static_cast<unsigned>(rng() % 6);
      if (kind == 0) {
        // An ASCII run of up to 20 chunks, the last unit of it sometimes not ASCII.
        v.resize(v.size() + 16 * (rng() % 21), 'a' + static_cast<uint32_t>(rng() % 26));
        if (rng() % 3 == 0 && !v.empty()) v.back() = two[rng() % 5];
        if (first_run_end == 0) first_run_end = v.size();
        continue;
      }
      std::vector<uint32_t> chunk(16, ' ' + static_cast<uint32_t>(rng() % 90));
      for (uint32_t& u : chunk) {
        if (kind == 2 || (kind == 4 && rng() % 2 == 0)) u = two[rng() % 5];
        if (kind == 3 || (kind == 4 && rng() % 4 == 0)) u = three[rng() % 5];
      }
      if (kind == 1) chunk[rng() % 16] = two[rng() % 5];
      if (kind == 5) chunk[rng() % 16] = three[rng() % 5];
      v.insert(v.end(), chunk.begin(), chunk.end());
    }
    if (t % 4 == 3 && v.size() > first_run_end) v[first_run_end + rng() % (v.size() - first_run_end)] = 0xD800 + static_cast<uint32_t>(rng() % 0x800);
    check_widths(v, "chunks of each kind", static_cast<size_t>(t));
  }
}
