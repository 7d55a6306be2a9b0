#include "write/serializer.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "storage/grow.h"
#include "write/escape.h"

namespace tessary::write {

template <class Sink>
WriteError XmlWriter<Sink>::error() const noexcept {
  if (bad_text_) return {WriteError::Kind::BadText, 0};
  if (out_of_memory_) return {WriteError::Kind::OutOfMemory, 0};
  return sink_.error();
}

template <class Sink>
int XmlWriter<Sink>::sink_error_or_bad_text() noexcept {
  if (sink_.error().kind == WriteError::Kind::None) bad_text_ = true;
  return -1;
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
bool XmlWriter<Sink>::write_text(std::string_view text) noexcept {
  // Escaped in place, a slice at a time, when the sink can give room for the longest possible
  // result (every byte replaced by six), handing on what it holds first if need be. Slices end
  // on character boundaries, so the sink never holds part of a character. A sink that cannot
  // give the room takes the text piece by piece.
  while (!text.empty()) {
    size_t n = text.size();
    if (n > kInPlaceText) {
      n = kInPlaceText;
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    const size_t need = 6 * n + 1;
    char* w = sink_.room(need);
    if (w == nullptr && sink_.make_room(need)) w = sink_.room(need);
    if (w == nullptr) {
      if (sink_.error().kind != WriteError::Kind::None) return false;
      return write_escaped(sink_, text, EscapeMode::Text);
    }
    sink_.commit(escape_into<EscapeMode::Text>(w, text.substr(0, n)));
    text.remove_prefix(n);
  }
  return true;
}

template <class Sink>
int XmlWriter<Sink>::open(const SnapElement& e) noexcept {
  if (pending_break_ && !line_break()) return -1;
  pending_break_ = true;
  const std::string_view name = e.name_view();
  if (!storage::SharedText::edges_ok(name, e.edges & 3u)) return bad_text(), -1;
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
  if (e.child_count == 0 && !e.has_text) return sink_.append("/>", 2) ? 0 : -1;
  if (!sink_.put('>')) return -1;
  ++depth_;
  if (e.has_text) {
    if (!storage::SharedText::edges_ok(e.text_view(), e.edges >> 2) || !write_text(e.text_view())) {
      return sink_error_or_bad_text();
    }
    pending_break_ = false;
  }
  return 1;
}

template <class Sink>
bool XmlWriter<Sink>::close(const SnapElement& e) noexcept {
  --depth_;
  if (pending_break_ && !line_break()) return false;
  pending_break_ = true;
  const std::string_view name = e.name_view();
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
bool XmlWriter<Sink>::write_tree(const Snapshot& tree) noexcept {
  // The elements are in pre-order: after an element come its children's subtrees, so a stack of
  // open elements with the number of children each still has to write is all the walk needs.
  const SnapElements& elements = tree.elements;
  const size_t count = elements.size();
  struct Frame {
    const SnapElement* e;
    uint64_t left;
  };
  std::vector<Frame> stack;
  size_t i = 0;
  for (;;) {
    // Attribute tables are scattered in memory: start loading one a few elements ahead.
    if (i + 4 < count) elements[i + 4].attrs.prefetch();
    const SnapElement& e = elements[i];
    const int r = open(e);
    if (r < 0) return false;
    if (r > 0) {
      if (e.child_count > 0) {
        if (!storage::try_push_back(stack, Frame{&e, e.child_count})) return out_of_memory();
      } else if (!close(e)) {
        return false;
      }
    }
    // Close every element whose children are all written; then the next element is the next
    // child of the innermost one still open.
    for (;;) {
      if (stack.empty()) return true;
      Frame& f = stack.back();
      if (f.left > 0) {
        --f.left;
        break;
      }
      const SnapElement* done = f.e;
      stack.pop_back();
      if (!close(*done)) return false;
    }
    if (++i >= count) return bad_text();  // fewer elements than the counts promise: not a snapshot
  }
}

template class XmlWriter<MemorySink>;
template class XmlWriter<FileSink>;
template class XmlWriter<UnitSink>;

}  // namespace tessary::write
