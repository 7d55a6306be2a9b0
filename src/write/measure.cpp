#include "write/measure.h"

#include <string_view>
#include <vector>

#include "storage/grow.h"
#include "write/escape.h"

namespace tessary::write {

namespace {

// Walks the tree as XmlWriter::write_tree does and adds up what each step writes. `Utf8` false:
// every byte of the tree is ASCII, so lengths are character counts and only escapes need a look.
template <bool Utf8>
class Measure {
 public:
  Measure(uint64_t indent, uint64_t prefix) noexcept : indent_(indent), chars_(prefix) {}

  OutputSize run(const Snapshot& tree) noexcept {
    const SnapElements& elements = tree.elements;
    const size_t count = elements.size();
    struct Frame {
      const SnapElement* e;
      uint64_t left;
    };
    std::vector<Frame> stack;
    size_t i = 0;
    for (;;) {
      const SnapElement& e = elements[i];
      const int r = open(e);
      if (r < 0) return result(OutputSize::Status::BadText);
      if (r > 0) {
        if (e.child_count > 0) {
          if (!storage::try_push_back(stack, Frame{&e, e.child_count})) {
            return result(OutputSize::Status::OutOfMemory);
          }
        } else {
          close(e);
        }
      }
      for (;;) {
        if (too_large_) return result(OutputSize::Status::TooLarge);
        if (stack.empty()) return result(OutputSize::Status::Ok);
        Frame& f = stack.back();
        if (f.left > 0) {
          --f.left;
          break;
        }
        const SnapElement* done = f.e;
        stack.pop_back();
        close(*done);
      }
      if (++i >= count) return result(OutputSize::Status::BadText);
    }
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
  int open(const SnapElement& e) noexcept {
    if (pending_break_) line_break();
    pending_break_ = true;
    const std::string_view name = e.name_view();
    add(1);
    plain(name);
    for (const auto& a : e.attrs) {
      std::string_view key, value;
      // Inside their buffers, so reading them is safe; the writer checks the character
      // boundaries as it copies them.
      unsigned edges;
      if (!a.key.bounded_view(&key, &edges) || !a.value.bounded_view(&value, &edges)) return -1;
      add(4);  // ' ', '=', and the two quotes
      plain(key);
      escaped<EscapeMode::Attribute>(value);
    }
    if (e.child_count == 0 && !e.has_text) {
      add(2);
      return 0;
    }
    add(1);
    ++depth_;
    if (e.has_text) {
      escaped<EscapeMode::Text>(e.text_view());
      pending_break_ = false;
    }
    return 1;
  }

  void close(const SnapElement& e) noexcept {
    --depth_;
    if (pending_break_) line_break();
    pending_break_ = true;
    add(3);
    plain(e.name_view());
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

bool reaches_byte(const Snapshot& tree, uint8_t threshold) noexcept {
  const SnapElements& elements = tree.elements;
  for (size_t i = 0; i < elements.size(); ++i) {
    const SnapElement& e = elements[i];
    if (reaches(e.name_view(), threshold) || (e.has_text && reaches(e.text_view(), threshold))) return true;
    for (const auto& a : e.attrs) {
      std::string_view key, value;
      unsigned edges;
      if (!a.key.bounded_view(&key, &edges) || !a.value.bounded_view(&value, &edges)) return true;
      if (reaches(key, threshold) || reaches(value, threshold)) return true;
    }
  }
  return false;
}

OutputSize measure_output(const Snapshot& tree, uint64_t indent, uint64_t prefix_chars) noexcept {
  if (tree.max_byte < 0x80) return Measure<false>(indent, prefix_chars).run(tree);
  return Measure<true>(indent, prefix_chars).run(tree);
}

}  // namespace tessary::write
