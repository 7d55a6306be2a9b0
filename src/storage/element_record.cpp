#include "storage/element_record.h"

namespace tessary::storage {

void ElementRecord::release_children() noexcept {
  if (children.empty()) return;
  std::vector<ElementRecord> work = std::move(children);
  // Each popped record has its children moved onto the work list before it is destroyed, so
  // its destructor never has a subtree left to release.
  while (!work.empty()) {
    ElementRecord r = std::move(work.back());
    work.pop_back();
    for (auto& c : r.children) work.push_back(std::move(c));
    r.children.clear();
  }
}

ElementRecord nest(FlatTree&& tree) noexcept {
  std::vector<ElementRecord> done;  // finished subtrees awaiting their parent
  for (FlatElement& e : tree.elements) {
    ElementRecord r;
    r.name = std::move(e.name);
    r.text = std::move(e.text);
    r.attrs = std::move(e.attrs);
    const size_t k = e.child_count <= done.size() ? static_cast<size_t>(e.child_count) : done.size();
    r.children.reserve(k);
    for (size_t i = done.size() - k; i < done.size(); ++i) r.children.push_back(std::move(done[i]));
    done.resize(done.size() - k);
    done.push_back(std::move(r));
  }
  tree.elements.clear();
  if (done.empty()) return ElementRecord();
  return std::move(done.back());
}

}  // namespace tessary::storage
