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

}  // namespace tessary::storage
