// Helpers shared by the indexer tests and the fuzz target.
#pragma once

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "index/structural_index.h"

namespace support {

using namespace tessary::index;

inline const uint8_t* bytes(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

inline std::vector<Kernel> available_kernels() {
  std::vector<Kernel> out;
  for (Kernel k : {Kernel::Scalar, Kernel::SSE2, Kernel::AVX2, Kernel::NEON})
    if (kernel_available(k)) out.push_back(k);
  return out;
}

// Empty when the two results are the same, else a description of the first
// difference.
inline std::string difference(const IndexResult& a, const IndexResult& b) {
  std::ostringstream os;
  if (a.ok() != b.ok()) {
    os << "one failed: " << (a.ok() ? "ok" : a.error->text()) << " vs "
       << (b.ok() ? "ok" : b.error->text());
    return os.str();
  }
  if (!a.ok()) {
    if (!(*a.error == *b.error)) os << "errors " << a.error->text() << " vs " << b.error->text();
    return os.str();
  }
  const StructuralIndex& x = a.index;
  const StructuralIndex& y = b.index;
  if (x.tag_count() != y.tag_count() || x.tag_ends.size() != y.tag_ends.size()) {
    os << "tag counts " << x.tag_count() << " vs " << y.tag_count();
    return os.str();
  }
  for (size_t i = 0; i < x.tag_count(); ++i) {
    if (x.tag_starts[i] != y.tag_starts[i] || x.tag_ends[i] != y.tag_ends[i] ||
        x.tag_kinds[i] != y.tag_kinds[i] || !(x.tag_names[i] == y.tag_names[i]) ||
        x.tag_depths[i] != y.tag_depths[i] || x.tag_parents[i] != y.tag_parents[i]) {
      os << "row " << i << ": start " << x.tag_starts[i] << "/" << y.tag_starts[i] << " end "
         << x.tag_ends[i] << "/" << y.tag_ends[i] << " kind " << int(x.tag_kinds[i]) << "/"
         << int(y.tag_kinds[i]) << " name " << x.tag_names[i].start << "+"
         << x.tag_names[i].length << "/" << y.tag_names[i].start << "+" << y.tag_names[i].length
         << " depth " << x.tag_depths[i] << "/" << y.tag_depths[i] << " parent "
         << x.tag_parents[i] << "/" << y.tag_parents[i];
      return os.str();
    }
  }
  if (x.text_ranges.size() != y.text_ranges.size()) {
    os << "text range counts " << x.text_ranges.size() << " vs " << y.text_ranges.size();
    return os.str();
  }
  for (size_t i = 0; i < x.text_ranges.size(); ++i) {
    if (!(x.text_ranges[i] == y.text_ranges[i])) {
      os << "text range " << i << ": " << x.text_ranges[i].start << "-" << x.text_ranges[i].end
         << "@" << x.text_ranges[i].parent << " vs " << y.text_ranges[i].start << "-"
         << y.text_ranges[i].end << "@" << y.text_ranges[i].parent;
      return os.str();
    }
  }
  if (x.data != y.data || x.length != y.length) return "different source slice";
  return {};
}

// Random well-formed documents whose character data, comments, CDATA
// sections, processing instructions and internal DTD subset are full of
// quotes, apostrophes and stray '>' — everything that can mislead quote
// tracking — built iteratively (no recursion over depth).
class DocGenerator {
 public:
  explicit DocGenerator(uint64_t seed) : rng_(seed) {}

  // With `lone_quotes` false, every quote outside a tag is one of a pair
  // with nothing but plain text between them.
  std::string document(size_t target_bytes, bool lone_quotes = true) {
    lone_quotes_ = lone_quotes;
    std::string out;
    if (coin(2)) out += "<?xml version=\"1.0\" encoding='UTF-8'?>\n";
    if (coin(3))
      out += "<!DOCTYPE r [\n<!ENTITY e \"it's\">\n<!ATTLIST r a CDATA 'x'>\n]>\n";
    std::vector<std::string> open;
    open.push_back(name());
    start_tag(out, open.back(), false);
    while (out.size() < target_bytes || open.size() > 1) {
      if (out.size() >= target_bytes || (open.size() > 1 && pick(5) == 0)) {
        out += "</" + open.back() + (coin(4) ? " \n>" : ">");
        open.pop_back();
        continue;
      }
      switch (pick(10)) {
        case 0: case 1: case 2:
          text(out);
          break;
        case 3:
          if (open.size() < 40) {
            open.push_back(name());
            start_tag(out, open.back(), false);
          }
          break;
        case 4:
          start_tag(out, name(), true);
          break;
        case 5:
          out += "<!--" + filler() + "-->";
          break;
        case 6:
          out += "<![CDATA[" + filler() + "]]>";
          break;
        case 7:
          out += "<?pi" + std::to_string(pick(9)) + " " + filler() + "?>";
          break;
        default:
          text(out);
          break;
      }
    }
    out += "</" + open.back() + ">";
    if (coin(2)) out += "\n<!-- trailing -->\n";
    return out;
  }

  uint64_t pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  bool coin(uint64_t n) { return pick(n) == 0; }

 private:
  std::string name() {
    static const char* names[] = {"a", "b", "row", "item", "x:y", "long-element-name", "n\xc3\xa9"};
    return names[pick(7)];
  }

  void start_tag(std::string& out, const std::string& n, bool self_close) {
    out += "<" + n;
    const uint64_t attrs = pick(5);
    for (uint64_t i = 0; i < attrs; ++i) {
      static const char* values[] = {"1", "a > b", "it's", "say \"hi\"", "", "x/>y",
                                     "&amp;", "  spaced  "};
      std::string v = values[pick(8)];
      // Pick the quote that the value does not contain.
      const char q = v.find('"') != std::string::npos ? '\''
                     : v.find('\'') != std::string::npos ? '"'
                     : (coin(2) ? '"' : '\'');
      out += static_cast<char>(coin(4) ? '\n' : ' ');
      out += 'k';
      out += std::to_string(i);
      out += coin(3) ? " = " : "=";
      out += q;
      out += v;
      out += q;
    }
    if (coin(4)) out += " ";
    out += self_close ? "/>" : ">";
  }

  void text(std::string& out) {
    static const char* pieces[] = {"plain text ", "don't ", "\"quoted\" ", "a > b ", "&lt; ",
                                   "\n  ", "'", "\"", "caf\xc3\xa9 ", "x"};
    const uint64_t count = 1 + pick(6);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t p = pick(10);
      if (!lone_quotes_ && (p == 1 || p == 6 || p == 7)) p = 0;
      out += pieces[p];
    }
  }

  // Body of a comment, CDATA section or processing instruction.
  std::string filler() {
    static const char* pieces[] = {" it's ", " \"q\" ", " <b> ", " a>b ", " ' ", " \" ", " - ",
                                   " ] "};
    std::string s;
    const uint64_t count = pick(5);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t p = pick(8);
      if (!lone_quotes_ && (p == 0 || p == 4 || p == 5)) p = 6;
      s += pieces[p];
    }
    return s;
  }

  std::mt19937_64 rng_;
  bool lone_quotes_ = true;
};

}  // namespace support
