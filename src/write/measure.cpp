#include "write/measure.h"

#include <string_view>

#include "write/escape.h"

namespace tessary::write {

namespace {

// Walks the tree as XmlWriter::write_tree does and adds up what each step writes. `Utf8` false:
// every byte of the tree is ASCII, so lengths are character counts and only escapes need a look.
template <bool Utf8>
class Measure {
 public:
  Measure(uint64_t indent, uint64_t prefix) noexcept : indent_(indent), chars_(prefix) {}

  OutputSize run(const Element* root) noexcept {
    const WalkEnd end = walk_tree(
        root, [this](const Element* e, uint64_t) { return too_large_ ? -1 : open(e); },
        [this](const Element* e) {
          close(e);
          return !too_large_;
        });
    if (too_large_) return result(OutputSize::Status::TooLarge);
    if (end == WalkEnd::OutOfMemory) return result(OutputSize::Status::OutOfMemory);
    return result(end == WalkEnd::Done ? OutputSize::Status::Ok : OutputSize::Status::BadText);
  }

 private:
  OutputSize result(OutputSize::Status s) const noexcept { return {chars_, max_byte_, s}; }

  // Sums stay below kMaxOutputChars, far from wrapping: every addend is at most that large.
  void add(uint64_t n) noexcept {
    if (n >= kMaxOutputChars || (chars_ += n) >= kMaxOutputChars) {
      too_large_ = true;
      chars_ = kMaxOutputChars;
    }
  }
  void note(uint8_t m) noexcept { max_byte_ = m > max_byte_ ? m : max_byte_; }

  void plain(std::string_view s) noexcept {
    if constexpr (Utf8) {
      const auto* p = reinterpret_cast<const uint8_t*>(s.data());
      if (s.size() < 16 && !simd::swar::any_high_in_short(p, s.size())) return add(s.size());
      const simd::ByteTally t = simd::tally<true>(p, s.size());
      add(s.size() - t.continuations);
      note(t.max_byte);
    } else {
      add(s.size());
    }
  }
  template <EscapeMode M>
  void escaped(std::string_view s) noexcept {
    const EscapedSize z = escaped_size<M, Utf8>(s);
    add(z.chars);
    if constexpr (Utf8) note(z.max_byte);
  }

  void line_break() noexcept {
    uint64_t spaces;
    if (__builtin_mul_overflow(indent_, depth_, &spaces)) {
      too_large_ = true;
      chars_ = kMaxOutputChars;
      return;
    }
    add(1);
    add(spaces);
  }

  // As XmlWriter::open: 1 when the element stays open, 0 when self-closed, -1 for a bad range.
  int open(const Element* e) noexcept {
    if (pending_break_) line_break();
    pending_break_ = true;
    std::string_view name, text;
    unsigned edges;
    // Inside their buffers, so reading them is safe; the writer checks the character boundaries
    // as it copies them.
    if (!e->name.bounded_view(&name, &edges)) return -1;
    const bool has_text = e->text.present();
    if (has_text && !e->text.bounded_view(&text, &edges)) return -1;
    add(1);
    plain(name);
    for (const auto& a : e->attrs) {
      std::string_view key, value;
      if (!a.key.bounded_view(&key, &edges) || !a.value.bounded_view(&value, &edges)) return -1;
      add(4);  // ' ', '=', and the two quotes
      plain(key);
      escaped<EscapeMode::Attribute>(value);
    }
    if (e->child_count() == 0 && !has_text) {
      add(2);
      return 0;
    }
    add(1);
    ++depth_;
    if (has_text) {
      escaped<EscapeMode::Text>(text);
      pending_break_ = false;
    }
    return 1;
  }

  void close(const Element* e) noexcept {
    --depth_;
    if (pending_break_) line_break();
    pending_break_ = true;
    add(3);
    plain(e->name.view());  // checked in open
  }

  uint64_t indent_;
  uint64_t depth_ = 0;
  uint64_t chars_;
  uint8_t max_byte_ = 0;
  bool pending_break_ = false;
  bool too_large_ = false;
};

bool reaches(std::string_view s, uint8_t threshold) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  if (s.size() < 16 && !simd::swar::any_high_in_short(p, s.size())) return false;
  return simd::tally<true>(p, s.size()).max_byte >= threshold;
}

}  // namespace

bool reaches_byte(const Element* root, uint8_t threshold) noexcept {
  bool found = false;
  const auto visit = [&](const Element* e, uint64_t) -> int {
    std::string_view name, text;
    unsigned edges;
    // A range outside its buffer stops the search as a find: the writer then reports it.
    if (!e->name.bounded_view(&name, &edges) || reaches(name, threshold)) return found = true, -1;
    if (e->text.present() && (!e->text.bounded_view(&text, &edges) || reaches(text, threshold))) {
      return found = true, -1;
    }
    for (const auto& a : e->attrs) {
      std::string_view key, value;
      if (!a.key.bounded_view(&key, &edges) || !a.value.bounded_view(&value, &edges) || reaches(key, threshold) ||
          reaches(value, threshold)) {
        return found = true, -1;
      }
    }
    return 1;
  };
  // A stack that cannot grow ends the search as a find too: the write then fails the same way.
  return walk_tree(root, visit, [](const Element*) { return true; }) != WalkEnd::Done || found;
}

OutputSize measure_output(const Element* root, uint8_t max_byte, uint64_t indent, uint64_t prefix_chars) noexcept {
  if (max_byte < 0x80) return Measure<false>(indent, prefix_chars).run(root);
  return Measure<true>(indent, prefix_chars).run(root);
}

}  // namespace tessary::write
