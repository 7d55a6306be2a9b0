#include "write/tree.h"

namespace tessary::write {

namespace {

// Adds up the sizes and largest-byte bounds of texts without reading their bytes or checking
// their ranges (the serializer checks each range as it writes it). Ranges of one buffer, as
// most texts of a document read from one source are, share the buffer's bound: it is read once
// per run of them.
class Bounds {
 public:
  // Returns the text's size.
  uint64_t add(const storage::SharedText& t) noexcept {
    uint64_t n;
    if (const storage::SourceBuffer* b = t.buffer()) {
      n = t.range_end() - t.range_start();
      if (b != last_) {
        last_ = b;
        note(b->max_byte_bound());
      }
    } else {
      n = t.size();
      note(t.max_byte());
    }
    size_ += n;
    return n;
  }
  void note(uint8_t m) noexcept { max_ = m > max_ ? m : max_; }
  uint64_t size() const noexcept { return size_; }
  uint8_t max_byte() const noexcept { return max_; }

 private:
  const storage::SourceBuffer* last_ = nullptr;
  uint64_t size_ = 0;
  uint8_t max_ = 0;
};

}  // namespace

TreeSurvey survey_tree(const Element* root) noexcept {
  TreeSurvey s;
  Bounds texts;
  uint64_t attrs = 0, names = 0;
  const WalkEnd end = walk_tree(
      root,
      [&](const Element* e, uint64_t depth) -> int {
        ++s.elements;
        s.depth_sum += depth;
        names += texts.add(e->name);
        texts.add(e->text);
        if (const size_t n = e->attrs.size()) {
          attrs += n;
          texts.note(e->attrs.max_byte());
        }
        return 1;
      },
      [](const Element*) { return true; });
  s.out_of_memory = end == WalkEnd::OutOfMemory;
  // Two tags, the text, a line feed and a typical size per attribute (which saves visiting them).
  s.size_hint = texts.size() + names + 6 * s.elements + 20 * attrs;
  s.max_byte = texts.max_byte();
  return s;
}

}  // namespace tessary::write
