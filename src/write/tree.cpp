#include "write/tree.h"

namespace tessary::write {

TreeSurvey survey_tree(const Element* root) noexcept {
  TreeSurvey s;
  const WalkEnd end = walk_tree(
      root,
      [&](const Element* e, uint64_t depth) -> int {
        std::string_view name, text;
        unsigned edges;
        if (!e->name.bounded_view(&name, &edges)) return -1;
        const bool has_text = e->text.present();
        if (has_text && !e->text.bounded_view(&text, &edges)) return -1;
        const size_t attrs = e->attrs.size();
        ++s.elements;
        s.depth_sum += depth;
        // Two tags, the text, a line feed and a typical size per attribute (which saves visiting
        // them).
        s.size_hint += 2 * name.size() + 6 + text.size() + 20 * uint64_t{attrs};
        uint8_t m = e->name.max_byte();
        if (has_text) m = m > e->text.max_byte() ? m : e->text.max_byte();
        if (attrs > 0) m = m > e->attrs.max_byte() ? m : e->attrs.max_byte();
        s.max_byte = m > s.max_byte ? m : s.max_byte;
        return 1;
      },
      [](const Element*) { return true; });
  if (end == WalkEnd::Stopped) s.status = TreeSurvey::Status::BadText;
  if (end == WalkEnd::OutOfMemory) s.status = TreeSurvey::Status::OutOfMemory;
  return s;
}

}  // namespace tessary::write
