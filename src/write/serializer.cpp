#include "write/serializer.h"

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "write/escape.h"

namespace tessary::write {

using storage::ElementRecord;
using storage::SharedText;

namespace {

// Gives back everything an element still holds once it has been written. Its children are
// already released shells by then, so this never walks a subtree.
void release_written(ElementRecord& e) noexcept {
  std::vector<ElementRecord>().swap(e.children);
  e.name = SharedText();
  e.text = SharedText();
  e.attrs.clear();
}

}  // namespace

template <class Sink>
WriteError XmlWriter<Sink>::error() const noexcept {
  if (bad_text_) return {WriteError::Kind::BadText, 0};
  return sink_.error();
}

template <class Sink>
bool XmlWriter<Sink>::line_break() noexcept {
  uint64_t total;
  if (!__builtin_mul_overflow(indent_, depth_, &total) && total <= 64) {
    if (char* w = sink_.room(65)) {
      // A short indentation: the line feed and a fixed 64-byte run of spaces, of which only
      // `total` count.
      *w = '\n';
      std::memset(w + 1, ' ', 64);
      sink_.commit(w + 1 + total);
      return true;
    }
  }
  if (!sink_.put('\n')) return false;
  if (!__builtin_mul_overflow(indent_, depth_, &total)) return sink_.fill_spaces(total);
  // More than 2^64 spaces: level by level, until the sink refuses.
  for (uint64_t d = 0; d < depth_; ++d) {
    if (!sink_.fill_spaces(indent_)) return false;
  }
  return true;
}

template <class Sink>
int XmlWriter<Sink>::open(ElementRecord& e) noexcept {
  if (pending_break_ && !line_break()) return -1;
  pending_break_ = true;
  std::string_view name;
  if (!e.name.checked_view(&name)) return bad_text(), -1;
  if (char* w = sink_.room(name.size() + 1)) {
    *w = '<';
    sink_.commit(copy_piece(w + 1, name.data(), name.size()));
  } else if (!sink_.put('<') || !sink_.append(name.data(), name.size())) {
    return -1;
  }
  for (const auto& a : e.attrs) {
    std::string_view key, value;
    if (!a.key.checked_view(&key) || !a.value.checked_view(&value)) return bad_text(), -1;
    // In place when the sink has room for the longest possible result (every value byte
    // replaced by six), else piece by piece.
    if (key.size() < (size_t{1} << 40) && value.size() < (size_t{1} << 40)) {
      if (char* w = sink_.room(key.size() + 6 * value.size() + 4)) {
        *w++ = ' ';
        w = copy_piece(w, key.data(), key.size());
        *w++ = '=';
        *w++ = '"';
        w = escape_into<EscapeMode::Attribute>(w, value);
        *w++ = '"';
        sink_.commit(w);
        continue;
      }
    }
    if (!sink_.put(' ') || !sink_.append(key.data(), key.size()) || !sink_.append("=\"", 2) ||
        !write_escaped(sink_, value, EscapeMode::Attribute) || !sink_.put('"')) {
      return -1;
    }
  }
  if (e.children.empty() && e.text.absent()) return sink_.append("/>", 2) ? 0 : -1;
  if (!sink_.put('>')) return -1;
  ++depth_;
  if (e.text.present()) {
    std::string_view text;
    if (!e.text.checked_view(&text)) return bad_text(), -1;
    if (!write_escaped(sink_, text, EscapeMode::Text)) return -1;
    pending_break_ = false;
    e.text = SharedText();
  }
  return 1;
}

template <class Sink>
bool XmlWriter<Sink>::close(ElementRecord& e) noexcept {
  --depth_;
  if (pending_break_ && !line_break()) return false;
  pending_break_ = true;
  std::string_view name;
  if (!e.name.checked_view(&name)) return bad_text();
  if (char* w = sink_.room(name.size() + 3)) {
    w[0] = '<';
    w[1] = '/';
    w = copy_piece(w + 2, name.data(), name.size());
    *w = '>';
    sink_.commit(w + 1);
    return true;
  }
  return sink_.append("</", 2) && sink_.append(name.data(), name.size()) && sink_.put('>');
}

template <class Sink>
bool XmlWriter<Sink>::write_element(ElementRecord&& root_in) noexcept {
  // Owned here, so whatever is not written when a failure stops the walk is released on return
  // (the record's own release needs no recursion).
  ElementRecord root = std::move(root_in);
  const int r = open(root);
  if (r < 0) return false;
  if (r == 0) {
    release_written(root);
    return true;
  }
  struct Frame {
    ElementRecord* e;
    size_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.e->children.size()) {
      // Attribute tables are scattered in memory: start loading the one two siblings ahead.
      if (f.next + 2 < f.e->children.size()) f.e->children[f.next + 2].attrs.prefetch();
      ElementRecord& child = f.e->children[f.next++];
      const int c = open(child);
      if (c < 0) return false;
      if (c == 0) {
        release_written(child);
      } else {
        stack.push_back({&child, 0});
      }
      continue;
    }
    ElementRecord& done = *f.e;
    stack.pop_back();
    if (!close(done)) return false;
    release_written(done);
  }
  return true;
}

template class XmlWriter<MemorySink>;
template class XmlWriter<FileSink>;

}  // namespace tessary::write
