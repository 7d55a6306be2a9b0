// libFuzzer target for the reader's engine: the tree builder and reference decoding, without
// Python.
//
// For every input:
//  - build_tree runs over an Owned buffer holding the input, once with the name of the first
//    start tag as the root and once with the name of another start tag picked by the first byte
//    (or a fixed name when there is none). A successful result is checked node by node, walked
//    from the root through the child addresses each node stores: every node must lie in the
//    buffer's arena layout (header, fields, children), every range must lie inside the buffer on
//    character boundaries and hold no reference, every string must be valid UTF-8 when the input
//    is, names must be non-empty, texts must be trimmed of white space and never empty,
//    attribute maps must find each of their keys, every node must be reached exactly once, and
//    the buffer's reference count must be exactly one (ours) plus one per node. After a
//    failure, or once the tree's references are given back, only our reference may remain.
//  - decode_into runs over the whole input in both modes, from the first byte needing work, and
//    is compared with a plain byte-at-a-time decoder written here: same status, same output,
//    same error message.
//  - build_tree runs once more with one of its allocations failing, the n-th for an n picked
//    by the input's last bytes: it must end in an error (OutOfMemory, or the document's own
//    error met first) or in a whole tree (when the build had fewer allocations than n), and
//    leave no reference on the buffer after a failure; libFuzzer's leak check covers the rest.
// The sanitizers catch reads outside the input, which libFuzzer hands over in a buffer of
// exactly its size (copied here into a malloc'd buffer of exactly that size).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "read/builder.h"
#include "read/decode.h"
#include "read/read_error.h"
#include "storage/node_fields.h"
#include "storage/source_buffer.h"

namespace {

using tessary::read::DecodeMode;
using tessary::read::DecodeStatus;
using tessary::read::ReadError;
using tessary::storage::NodeFields;
using tessary::storage::NodeLayout;
using tessary::storage::SharedText;
using tessary::storage::SourceBuffer;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "FAILED: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// An independent UTF-8 check: shortest forms only, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const unsigned c = p[i];
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Decodes one code point of valid UTF-8 at s[i]; sets the sequence's length.
uint32_t code_point_at(std::string_view s, size_t i, size_t& len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned c = p[i];
  if (c < 0x80) { len = 1; return c; }
  if ((c & 0xE0) == 0xC0) { len = 2; return ((c & 0x1F) << 6) | (p[i + 1] & 0x3F); }
  if ((c & 0xF0) == 0xE0) { len = 3; return ((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F); }
  len = 4;
  return ((c & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
}

bool white_space(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool starts_or_ends_with_white_space(std::string_view s) {
  if (s.empty()) return false;
  size_t len;
  if (white_space(code_point_at(s, 0, len))) return true;
  size_t last = s.size() - 1;
  while (last > 0 && (static_cast<unsigned char>(s[last]) & 0xC0) == 0x80) --last;
  return white_space(code_point_at(s, last, len));
}

// ---- the reference decoder ---------------------------------------------------------------

struct RefDecode {
  bool failed = false;
  bool changed = false;
  std::string out;
  std::string message;  // the whole exception text of a failure
};

void put_utf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A numeric reference body after '#': the code point, or 0 when invalid.
uint32_t ref_number(std::string_view digits) {
  unsigned radix = 10;
  if (!digits.empty() && digits[0] == 'x') {
    radix = 16;
    digits.remove_prefix(1);
  }
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  if (digits.empty()) return 0;
  uint64_t v = 0;
  for (char ch : digits) {
    int d;
    if (ch >= '0' && ch <= '9') d = ch - '0';
    else if (radix == 16 && ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
    else if (radix == 16 && ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
    else return 0;
    v = v * radix + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return 0;
  }
  if (v == 0 || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) return 0;
  return static_cast<uint32_t>(v);
}

RefDecode reference_decode(std::string_view run, uint64_t base, DecodeMode mode) {
  RefDecode r;
  bool changed = false;
  for (size_t i = 0; i < run.size();) {
    const char c = run[i];
    if (mode == DecodeMode::Attribute && (c == '\t' || c == '\n' || c == '\r')) {
      changed = true;
      r.out += ' ';
      i += (c == '\r' && i + 1 < run.size() && run[i + 1] == '\n') ? 2 : 1;
      continue;
    }
    if (c != '&') {
      r.out += c;
      ++i;
      continue;
    }
    changed = true;
    const size_t semi = run.find(';', i + 1);
    const std::string at = std::to_string(base + i);
    if (semi == std::string_view::npos) {
      r.failed = true;
      r.message = "malformed XML at byte " + at + ": unterminated entity reference";
      return r;
    }
    const std::string_view body = run.substr(i + 1, semi - i - 1);
    if (body == "lt") r.out += '<';
    else if (body == "gt") r.out += '>';
    else if (body == "amp") r.out += '&';
    else if (body == "quot") r.out += '"';
    else if (body == "apos") r.out += '\'';
    else if (body.empty() || body[0] != '#') {
      r.failed = true;
      r.message = "unknown entity reference '&" + std::string(body) + ";' at byte " + at;
      return r;
    } else {
      const uint32_t cp = ref_number(body.substr(1));
      if (cp == 0) {
        r.failed = true;
        r.message = "malformed XML at byte " + at + ": invalid character reference '&" + std::string(body) + ";'";
        return r;
      }
      put_utf8(r.out, cp);
    }
    i = semi + 1;
  }
  r.changed = changed;
  return r;
}

// The first byte of `run` that needs work in `mode`, or its length.
size_t first_special(std::string_view run, DecodeMode mode) {
  for (size_t i = 0; i < run.size(); ++i) {
    const char c = run[i];
    if (c == '&' || (mode == DecodeMode::Attribute && (c == '\t' || c == '\n' || c == '\r'))) return i;
  }
  return run.size();
}

void check_decode(std::string_view run, uint64_t base, DecodeMode mode, bool input_utf8) {
  const RefDecode want = reference_decode(run, base, mode);
  const char* mode_name = mode == DecodeMode::Text ? "text" : "attribute";
  const size_t first = first_special(run, mode);
  if (first == run.size()) {
    if (want.changed || want.failed) fail("decode: the reference changed a run with nothing to do", mode_name);
    return;
  }
  // Exactly the run's length: decoding never lengthens it, and the sanitizer catches a write
  // past the room given.
  std::vector<char> room(run.size());
  size_t written = 0;
  ReadError error;
  const DecodeStatus got =
      tessary::read::decode_into(run.data(), run.size(), first, base, mode, room.data(), written, error);
  if ((got == DecodeStatus::Failed) != want.failed) fail("decode status differs from the reference", mode_name);
  if (got == DecodeStatus::Changed) {
    const std::string_view out(room.data(), written);
    if (out != want.out) fail("decode: output differs from the reference", mode_name);
    if (written > run.size()) fail("decode: output longer than its input", mode_name);
    if (input_utf8 && !valid_utf8(out)) fail("decode: output is not UTF-8", mode_name);
    return;
  }
  if (error.text() != want.message) fail("decode: error differs from the reference", error.text());
  if (!error.has_offset() || error.offset < base || error.offset >= base + run.size() ||
      run[error.offset - base] != '&') {
    fail("decode: error offset is not at an '&'", error.text());
  }
}

// ---- the tree walk ---------------------------------------------------------------------------

// The layout the builds here use: an object header of zeros (no interpreter), then the count.
const NodeLayout kLayout{};

struct NodeView {
  const uint64_t* words;
  uint64_t child_count() const { return words[2]; }
  const NodeFields& fields() const {
    return *reinterpret_cast<const NodeFields*>(reinterpret_cast<const char*>(words) + NodeLayout::kFieldsOffset);
  }
  const void* child(uint64_t i) const {
    const void* const* c = reinterpret_cast<const void* const*>(&fields() + 1);
    return c[i];
  }
};

struct Walk {
  const SourceBuffer* buffer;
  bool input_utf8;
  uint64_t nodes = 0;

  std::string_view text(const SharedText& t, const char* what) {
    std::string_view v;
    if (t.is_shared()) {
      if (t.buffer() != buffer) fail("shared range of another buffer", what);
    }
    // On input that is not UTF-8 a range may legitimately start at a stray continuation byte,
    // so only the bounds are checked there.
    if (input_utf8) {
      if (!t.checked_view(&v)) fail("checked_view refused a range", what);
      if (!valid_utf8(v)) fail("string is not UTF-8", what);
    } else {
      if (t.is_shared() && (t.range_start() > t.range_end() || t.range_end() > buffer->length())) {
        fail("shared range outside its buffer", what);
      }
      v = t.view();
    }
    return v;
  }

  void node(const NodeView& n) {
    ++nodes;
    if (n.words[0] != kLayout.header[0] || n.words[1] != kLayout.header[1]) fail("node header not as laid out");
    const NodeFields& e = n.fields();
    if (e.document != buffer) fail("node of another document");
    if (e.borrow.load() != 0) fail("node borrowed from the start");
    if (!e.name.present()) fail("element without a name");
    if (text(e.name, "name").empty()) fail("empty element name");
    if (e.text.present()) {
      const std::string_view t = text(e.text, "text");
      if (t.empty()) fail("present but empty text");
      if (input_utf8 && starts_or_ends_with_white_space(t)) fail("text not trimmed", t);
    }
    size_t count = 0;
    for (const auto& entry : e.attrs) {
      ++count;
      if (!entry.key.present() || !entry.value.present()) fail("absent attribute key or value");
      const std::string_view k = text(entry.key, "attribute key");
      text(entry.value, "attribute value");
      if (k.empty()) fail("empty attribute key");
      if (e.attrs.find(k) != &entry) fail("attribute map does not find its own key", k);
    }
    if (count != e.attrs.size()) fail("attribute map size differs from its iteration");
  }
};

// Every node of the tree under `root`, with a work list; each must be reached once (a tree, no
// sharing), and the buffer must hold one reference per node besides ours.
void walk_tree(const void* root, uint64_t nodes, const SourceBuffer* buffer, bool input_utf8) {
  Walk w{buffer, input_utf8};
  std::vector<const void*> work{root};
  std::vector<const void*> seen;
  while (!work.empty()) {
    const NodeView n{static_cast<const uint64_t*>(work.back())};
    work.pop_back();
    seen.push_back(n.words);
    w.node(n);
    for (uint64_t i = 0; i < n.child_count(); ++i) work.push_back(n.child(i));
  }
  std::sort(seen.begin(), seen.end());
  if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) fail("a node reached twice");
  if (w.nodes != nodes) fail("the tree's node count differs from its nodes", std::to_string(w.nodes));
  if (buffer->use_count() != 1 + nodes) {
    fail("buffer reference count differs from the nodes in the tree",
         std::to_string(buffer->use_count()) + " vs 1 + " + std::to_string(nodes));
  }
}

// The name of the n-th start tag found by a crude scan: '<' followed by a byte that cannot
// begin other markup, up to white space, '/' or '>'.
std::vector<std::string_view> start_tag_names(std::string_view doc, size_t limit) {
  std::vector<std::string_view> names;
  for (size_t i = doc.find('<'); i != std::string_view::npos && names.size() < limit; i = doc.find('<', i + 1)) {
    if (i + 1 >= doc.size()) break;
    const char c = doc[i + 1];
    if (c == '/' || c == '!' || c == '?') continue;
    size_t j = i + 1;
    while (j < doc.size() && !std::strchr(" \t\r\n\f/>", doc[j]) && doc[j] != '\0') ++j;
    if (j > i + 1) names.push_back(doc.substr(i + 1, j - i - 1));
  }
  return names;
}

void check_build(SourceBuffer* buffer, std::string_view root, bool input_utf8) {
  tessary::read::BuildResult built = tessary::read::build_tree(buffer, root, kLayout);
  if (auto* e = std::get_if<ReadError>(&built)) {
    const std::string message = e->text();
    if (message.empty()) fail("empty error text");
    if (e->has_offset() && e->offset > buffer->length()) {
      fail("error offset beyond the document", message);
    }
    if (buffer->use_count() != 1) fail("failed build kept buffer references");
    return;
  }
  const tessary::read::BuiltTree tree = std::get<tessary::read::BuiltTree>(built);
  if (NodeView{static_cast<const uint64_t*>(tree.root)}.fields().name.view() != root) {
    fail("root has another name than the one asked for");
  }
  walk_tree(tree.root, tree.nodes, buffer, input_utf8);
  // The nodes' references, given back as freeing the tree does; their memory stays with the
  // buffer's arena.
  buffer->release_n(tree.nodes);
  if (buffer->use_count() != 1) fail("released tree kept buffer references");
}

}  // namespace

// The allocation-failure counter linked into this target (every allocation of the target passes
// it; it is armed only around one build).
extern "C" void tessary_fault_fail_nth(long n);
extern "C" long tessary_fault_failures();

namespace {

void check_failing_build(SourceBuffer* buffer, std::string_view root, long nth, bool input_utf8) {
  std::optional<tessary::read::BuildResult> built;
  tessary_fault_fail_nth(nth);
  built.emplace(tessary::read::build_tree(buffer, root, kLayout));
  const long failures = tessary_fault_failures();
  tessary_fault_fail_nth(0);
  if (auto* e = std::get_if<ReadError>(&*built)) {
    // A malformed document may fail before the failing allocation is reached: any error is
    // sound here, a tree after a failed allocation is not.
    if (buffer->use_count() != 1) fail("failed build kept buffer references", e->text());
    return;
  }
  // A tree after a failed allocation is sound where the failure was in a shortcut that gave way
  // to the general path (reading a start tag in one pass): it must be whole.
  (void)failures;
  const tessary::read::BuiltTree tree = std::get<tessary::read::BuiltTree>(*built);
  walk_tree(tree.root, tree.nodes, buffer, input_utf8);
  buffer->release_n(tree.nodes);
  if (buffer->use_count() != 1) fail("released tree kept buffer references");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A heap copy sized exactly for the input and the 0 byte a document's buffer ends with, so
  // that any read past that is caught.
  char* copy = static_cast<char*>(std::malloc(size + 1));
  if (copy == nullptr) std::abort();
  if (size != 0) std::memcpy(copy, data, size);
  SourceBuffer* buffer = SourceBuffer::owned(copy, size, size + 1, 0xFF);
  const std::string_view doc(copy, size);
  const bool input_utf8 = valid_utf8(doc);

  static const char* const kFixed[] = {"r", "a", "root", "x"};
  const std::vector<std::string_view> names = start_tag_names(doc, 64);
  // The names are views of the buffer, which outlives both builds.
  if (!names.empty()) {
    check_build(buffer, names.front(), input_utf8);
    const std::string_view other = names[(size ? data[0] : 0) % names.size()];
    if (other != names.front()) check_build(buffer, other, input_utf8);
  } else {
    check_build(buffer, kFixed[(size ? data[0] : 0) % 4], input_utf8);
  }

  {
    const std::string_view root = names.empty() ? std::string_view(kFixed[0]) : names.front();
    const long nth = size >= 2 ? 1 + (data[size - 1] | (data[size - 2] << 8)) % 256 : 1;
    check_failing_build(buffer, root, nth, input_utf8);
  }

  check_decode(doc, 7, DecodeMode::Text, input_utf8);
  check_decode(doc, 0, DecodeMode::Attribute, input_utf8);

  if (buffer->use_count() != 1) fail("buffer references left after the input");
  buffer->release();
  return 0;
}
