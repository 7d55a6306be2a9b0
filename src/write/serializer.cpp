#include "write/serializer.h"

#include <cstring>
#include <type_traits>
#include <string_view>
#include <vector>

#include "storage/grow.h"
#include "write/escape.h"

namespace tessary::write {

namespace {

// The buffer of the last range read, kept at hand: the texts of a parsed document are mostly
// ranges of one buffer. Only a plain buffer is kept: one that is not empty, whose first byte
// continues no character (as in any UTF-8 document) and which a 0 byte follows (as every
// document buffer is made); ranges of others are checked the long way. A range is known to be
// of the kept buffer by one compare of the word that holds its buffer and form; before the
// first range, `word` holds a value that no text has.
struct RangeBuffer {
  uintptr_t word = ~uintptr_t{0};  // the kept ranges' SharedText::buffer_word()
  const unsigned char* data = nullptr;
  uint64_t length = 0;
};
[[gnu::noinline]] bool keep_range_buffer(const storage::SharedText& t, RangeBuffer& at) noexcept {
  const storage::SourceBuffer* b = t.buffer();
  const auto* data = reinterpret_cast<const unsigned char*>(b->data());
  const uint64_t length = b->length();
  if (length == 0 || (data[0] & 0xC0) == 0x80 || data[length] != 0) return false;
  at = {t.buffer_word(), data, length};
  return true;
}

// Reads a name, key, value or text, checking that a range lies inside its buffer and on
// character boundaries (as SharedText::checked_view does). False when it does not.
[[gnu::always_inline]] inline bool read_text(const storage::SharedText& t, RangeBuffer& at, std::string_view* out) noexcept {
  if (t.buffer_word() != at.word) [[unlikely]] {
    if (!t.is_shared()) {
      *out = t.view();
      return true;
    }
    if (!keep_range_buffer(t, at)) return t.checked_view(out);
  }
  const uint64_t start = t.range_start(), end = t.range_end();
  if (start > end || end > at.length) [[unlikely]] return false;
  // Neither the first byte nor the one after the range may continue a character. Both can be
  // read without a branch on where the range lies: a range at the end reads the 0 byte after
  // the buffer, and the buffer's first byte continues nothing. Continuation bytes (0x80 to 0xBF)
  // are exactly the bytes below -64 when read as signed.
  const int first = static_cast<int8_t>(at.data[start]);
  const int after = static_cast<int8_t>(at.data[end]);
  if ((first < after ? first : after) < -64) [[unlikely]] return false;
  *out = {reinterpret_cast<const char*>(at.data) + start, static_cast<size_t>(end - start)};
  return true;
}

// A line feed and 64 spaces: a line break with up to 64 spaces of indentation is one copy of
// this, of which only the first 1 + indentation bytes count.
constexpr char kBreak[65] = {'\n', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                             ' ',  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                             ' ',  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                             ' ',  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// Names, keys and values up to this long are written in place (room for a value's longest
// escaped form is asked for: six bytes per byte); longer ones piece by piece.
constexpr size_t kInPlacePiece = 2048;

}  // namespace

template <class Sink>
WriteError XmlWriter<Sink>::error() const noexcept {
  if (bad_text_) return {WriteError::Kind::BadText, 0};
  if (out_of_memory_) return {WriteError::Kind::OutOfMemory, 0};
  return sink_.error();
}

template <class Sink>
typename XmlWriter<Sink>::Window XmlWriter<Sink>::refill(char* w, size_t n) noexcept {
  sink_.commit(w);
  const bool made = sink_.make_room(n);
  return {sink_.cursor(), sink_.limit(), made};
}

template <class Sink>
bool XmlWriter<Sink>::line_break_slow(uint64_t depth) noexcept {
  if (!sink_.put('\n')) return false;
  uint64_t total;
  if (!__builtin_mul_overflow(indent_, depth, &total)) return sink_.fill_spaces(total);
  // More than 2^64 spaces: level by level, until the sink refuses.
  for (uint64_t d = 0; d < depth; ++d) {
    if (!sink_.fill_spaces(indent_)) return false;
  }
  return true;
}

template <class Sink>
bool XmlWriter<Sink>::append_slow(std::string_view piece) noexcept {
  return sink_.append(piece.data(), piece.size());
}

template <class Sink>
bool XmlWriter<Sink>::attribute_slow(std::string_view key, std::string_view value) noexcept {
  return sink_.put(' ') && sink_.append(key.data(), key.size()) && sink_.append("=\"", 2) &&
         write_escaped(sink_, value, EscapeMode::Attribute) && sink_.put('"');
}

template <class Sink>
bool XmlWriter<Sink>::write_text(std::string_view text) noexcept {
  // Escaped in place, a slice at a time, in room for the longest possible result (every byte
  // replaced by six), the sink handing on what it holds first if need be. Slices end on
  // character boundaries, so the sink never holds part of a character.
  while (!text.empty()) {
    size_t n = text.size();
    if (n > kInPlaceText) {
      n = kInPlaceText;
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    if (!sink_.make_room(6 * n)) {
      if (sink_.error().kind != WriteError::Kind::None) return false;
      return write_escaped(sink_, text, EscapeMode::Text);
    }
    sink_.commit(escape_into<EscapeMode::Text>(sink_.cursor(), text.substr(0, n)));
    text.remove_prefix(n);
  }
  return true;
}

template <class Sink>
bool XmlWriter<Sink>::write_chars(const storage::SharedText& text) noexcept {
  if constexpr (std::is_same_v<Sink, StrSink>) {
    // Into a str: the characters are copied as they are, with no UTF-8 form between.
    const storage::SourceBuffer* b = text.buffer();
    const uint64_t start = text.chars_start();
    return sink_.append_text_units(static_cast<const char*>(b->chars()) + start * b->char_width(),
                                   static_cast<size_t>(text.chars_end() - start), b->char_width());
  } else {
    return storage::for_each_utf8_piece(text, [&](std::string_view p) { return write_text(p); });
  }
}

template <class Sink>
bool XmlWriter<Sink>::write_tree(const Element* root) noexcept {
  // The elements whose start tag is written and whose end tag is not, each with the next child
  // to visit and its name (as the start tag wrote it, for the end tag).
  struct Frame {
    PyObject* const* next;
    PyObject* const* end;
    const char* name;
    size_t name_size;
  };
  std::vector<Frame> stack;
  RangeBuffer ranges;
  // The cursor and the end of the window; never in memory, as nothing takes their address.
  char* w = sink_.cursor();
  char* limit = sink_.limit();
  // The cursor goes back to the sink for a slow path and is taken again after it.
  const auto hand_back = [&]() __attribute__((always_inline)) { sink_.commit(w); };
  const auto take = [&]() __attribute__((always_inline)) {
    w = sink_.cursor();
    limit = sink_.limit();
  };
  // Room for `n` bytes at w, made by the sink if need be. False when it cannot be made: the
  // piece then goes piece by piece, unless the sink failed.
  const auto room = [&](size_t n) __attribute__((always_inline)) -> bool {
    if (static_cast<size_t>(limit - w) >= n) [[likely]] return true;
    const Window r = refill(w, n);
    w = r.cursor;
    limit = r.limit;
    return r.made;
  };
  const auto sink_failed = [&]() __attribute__((always_inline)) { return sink_.error().kind != WriteError::Kind::None; };
  // Ends the write at a range that is not valid, the sink holding all that was written before.
  const auto bad_text = [&]() __attribute__((always_inline)) {
    hand_back();
    bad_text_ = true;
    return false;
  };

  uint64_t depth = 0;        // elements open: the stack's size
  uint64_t spaces = 0;       // indent × depth, when it is at most 64
  bool short_indent = true;  // whether it is
  const auto set_depth = [&](uint64_t d) __attribute__((always_inline)) {
    depth = d;
    short_indent = !__builtin_mul_overflow(indent_, d, &spaces) && spaces <= 64;
  };
  bool pending_break = false;  // a line break is due before the next tag
  const Element* e = root;

  for (;;) {
    // ---- the start tag of e, its text, and its end tag when it has no children
    if (pending_break) {
      if (short_indent && room(sizeof kBreak)) [[likely]] {
        std::memcpy(w, kBreak, sizeof kBreak);
        w += 1 + spaces;
      } else {
        if (sink_failed()) return false;
        hand_back();
        if (!line_break_slow(depth)) return false;
        take();
      }
    }
    pending_break = true;
    std::string_view name;
    if (!read_text(e->name, ranges, &name)) [[unlikely]] return bad_text();
    if (name.size() <= kInPlacePiece && room(name.size() + 1)) [[likely]] {
      *w = '<';
      w = copy_piece(w + 1, name.data(), name.size());
    } else {
      if (sink_failed()) return false;
      hand_back();
      if (!sink_.put('<') || !append_slow(name)) return false;
      take();
    }
    // One attribute; false when the write ends.
    const auto attribute = [&](const storage::AttrEntry& a) __attribute__((always_inline)) {
      std::string_view key, value;
      if (!read_text(a.key, ranges, &key) || !read_text(a.value, ranges, &value)) [[unlikely]] return bad_text();
      if ((key.size() | value.size()) <= kInPlacePiece && room(key.size() + 6 * value.size() + 4)) [[likely]] {
        *w = ' ';
        w = copy_piece(w + 1, key.data(), key.size());
        w[0] = '=';
        w[1] = '"';
        w = escape_into<EscapeMode::Attribute>(w + 2, value);
        *w++ = '"';
        return true;
      }
      if (sink_failed()) return false;
      hand_back();
      if (!attribute_slow(key, value)) return false;
      take();
      return true;
    };
    // A parsed document's tables list their entries in stored order: walked as an array.
    const storage::AttrEntry* stored;
    size_t stored_count;
    if (e->attrs.stored_in_order(stored, stored_count)) [[likely]] {
      for (size_t i = 0; i < stored_count; ++i) {
        if (!attribute(stored[i])) return false;
      }
    } else {
      for (const auto& a : e->attrs) {
        if (!attribute(a)) return false;
      }
    }
    const Py_ssize_t children = e->child_count();
    const bool has_text = e->text.present();
    if (children == 0 && !has_text) {
      // Self-closing; the line break stays due.
      if (room(2)) [[likely]] {
        w[0] = '/';
        w[1] = '>';
        w += 2;
      } else {
        if (sink_failed()) return false;
        hand_back();
        if (!sink_.append("/>", 2)) return false;
        take();
      }
    } else {
      if (room(1)) [[likely]] {
        *w++ = '>';
      } else {
        if (sink_failed()) return false;
        hand_back();
        if (!sink_.put('>')) return false;
        take();
      }
      if (has_text) {
        std::string_view text;
        const bool bytes = read_text(e->text, ranges, &text);
        if (!bytes) [[unlikely]] {
          if (!e->text.is_chars()) return bad_text();
          // Characters of the str the document was read from (see write_chars).
          if (sink_failed()) return false;
          hand_back();
          if (!write_chars(e->text)) return false;
          take();
        } else if (text.size() <= kInPlaceText && room(6 * text.size())) [[likely]] {
          // Texts of up to a slice in place; longer ones through write_text, a slice at a time.
          w = escape_into<EscapeMode::Text>(w, text);
        } else {
          if (sink_failed()) return false;
          hand_back();
          if (!write_text(text)) return false;
          take();
        }
        pending_break = false;
      }
      if (children == 0) {
        // The end tag follows the text at once (no line break is due after a text).
        if (name.size() <= kInPlacePiece && room(name.size() + 3)) [[likely]] {
          w[0] = '<';
          w[1] = '/';
          w = copy_piece(w + 2, name.data(), name.size());
          *w++ = '>';
        } else {
          if (sink_failed()) return false;
          hand_back();
          if (!sink_.append("</", 2) || !append_slow(name) || !sink_.put('>')) return false;
          take();
        }
        pending_break = true;
      } else {
        PyObject* const* kids = e->children();
        if (!storage::try_push_back(stack, Frame{kids + 1, kids + children, name.data(), name.size()})) {
          hand_back();
          out_of_memory_ = true;
          return false;
        }
        set_depth(depth + 1);
        for (Py_ssize_t k = 1; k < 4 && k < children; ++k) prefetch_node(child_at(e, k));
        e = child_at(e, 0);
        continue;
      }
    }

    // ---- the next element: the next child of the innermost open element whose children are
    // not all written, after the end tags of those that are done
    for (;;) {
      if (stack.empty()) {
        hand_back();
        return true;
      }
      Frame& f = stack.back();
      if (f.next != f.end) {
        e = reinterpret_cast<const Element*>(*f.next++);
        // Three siblings ahead (the nearer ones were asked for at earlier steps): the nodes of a
        // large document are rarely in the cache when the walk reaches them.
        if (f.end - f.next > 2) prefetch_node(reinterpret_cast<const Element*>(f.next[2]));
        // The sibling after it, asked for two steps before, is in the cache by now: its
        // subtree is asked for while e's is written.
        if (f.next != f.end) prefetch_subtree(reinterpret_cast<const Element*>(*f.next));
        break;
      }
      const std::string_view done(f.name, f.name_size);
      stack.pop_back();
      set_depth(depth - 1);
      if (pending_break) {
        if (short_indent && room(sizeof kBreak)) [[likely]] {
          std::memcpy(w, kBreak, sizeof kBreak);
          w += 1 + spaces;
        } else {
          if (sink_failed()) return false;
          hand_back();
          if (!line_break_slow(depth)) return false;
          take();
        }
      }
      pending_break = true;
      if (done.size() <= kInPlacePiece && room(done.size() + 3)) [[likely]] {
        w[0] = '<';
        w[1] = '/';
        w = copy_piece(w + 2, done.data(), done.size());
        *w++ = '>';
      } else {
        if (sink_failed()) return false;
        hand_back();
        if (!sink_.append("</", 2) || !append_slow(done) || !sink_.put('>')) return false;
        take();
      }
    }
  }
}

template class XmlWriter<FileSink>;
template class XmlWriter<StrSink>;

}  // namespace tessary::write
