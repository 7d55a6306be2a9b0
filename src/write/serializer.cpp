#include "write/serializer.h"

#include <cstring>
#include <string_view>

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
int XmlWriter<Sink>::open(const Element* e) noexcept {
  if (pending_break_ && !line_break()) return -1;
  pending_break_ = true;
  std::string_view name;
  unsigned edges;
  if (!e->name.bounded_view(&name, &edges) || !storage::SharedText::edges_ok(name, edges)) return bad_text(), -1;
  if (char* w = sink_.room(name.size() + 1)) {
    *w = '<';
    sink_.commit(copy_piece(w + 1, name.data(), name.size()));
  } else if (!sink_.put('<') || !sink_.append(name.data(), name.size())) {
    return -1;
  }
  for (const auto& a : e->attrs) {
    std::string_view key, value;
    if (!a.key.checked_view(&key) || !a.value.checked_view(&value)) return bad_text(), -1;
    // In place when the sink has room for the longest possible result (every value byte
    // replaced by six), else piece by piece.
    if ((key.size() | value.size()) < (size_t{1} << 40)) {
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
  const bool has_text = e->text.present();
  if (e->child_count() == 0 && !has_text) return sink_.append("/>", 2) ? 0 : -1;
  if (!sink_.put('>')) return -1;
  ++depth_;
  if (has_text) {
    std::string_view text;
    if (!e->text.bounded_view(&text, &edges) || !storage::SharedText::edges_ok(text, edges)) {
      return bad_text(), -1;
    }
    if (!write_text(text)) return sink_error_or_bad_text();
    pending_break_ = false;
  }
  return 1;
}

template <class Sink>
bool XmlWriter<Sink>::close(const Element* e) noexcept {
  --depth_;
  if (pending_break_ && !line_break()) return false;
  pending_break_ = true;
  const std::string_view name = e->name.view();  // checked as the start tag was written
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
bool XmlWriter<Sink>::write_tree(const Element* root) noexcept {
  const WalkEnd end = walk_tree(
      root, [this](const Element* e, uint64_t) { return open(e); }, [this](const Element* e) { return close(e); });
  if (end == WalkEnd::OutOfMemory) {
    out_of_memory_ = true;
    return false;
  }
  return end == WalkEnd::Done;
}

template class XmlWriter<MemorySink>;
template class XmlWriter<FileSink>;
template class XmlWriter<UnitSink>;

}  // namespace tessary::write
