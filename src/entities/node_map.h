// from_dict's intermediate form: what each dictionary converted to, before any node is made.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "entities/dict_keys.h"
#include "storage/attr_map.h"
#include "storage/grow.h"
#include "storage/shared_text.h"

namespace tessary::entities {

// The NodeMap of one dictionary. Of its keys only the four a node is built from are kept, each
// with what its value converted to; every other key's value is converted all the same (so an
// unconvertible one fails the call) and then dropped, which is exactly what removing the four
// keys from a full map and dropping the rest would come to. A key given twice (two str subclass
// keys with equal text) replaces the earlier value, as in a map.
struct NodeMap {
  storage::SharedText name;       // "name", when its value was a String
  storage::SharedText text;       // "text", when a String or a NullableString with text
  std::vector<NodeMap> children;  // "children", when a Vec
  storage::AttrMap attrs;         // "attrs", when a Map
  bool has_name = false;
  bool has_attrs = false;
  bool has_children = false;

  NodeMap() noexcept = default;
  NodeMap(NodeMap&&) noexcept = default;
  NodeMap& operator=(NodeMap&& o) noexcept {
    if (this != &o) {
      release_children();
      name = std::move(o.name);
      text = std::move(o.text);
      children = std::move(o.children);
      attrs = std::move(o.attrs);
      has_name = o.has_name;
      has_attrs = o.has_attrs;
      has_children = o.has_children;
    }
    return *this;
  }
  NodeMap(const NodeMap&) = delete;
  NodeMap& operator=(const NodeMap&) = delete;
  ~NodeMap() {
    if (!children.empty()) release_children();
  }

  // Frees the subtree with a work list: each popped map has its children moved onto the list
  // before it is destroyed, so no destructor ever has a subtree left to free. Out of line: most
  // maps reach their destructor with their children already moved out.
  //
  // It runs while a failed call unwinds, when memory may have run out, so it needs none: when
  // the list cannot grow, the popped map's own child list becomes the work list, the rest of
  // the old one parked as the children of the slot its last child leaves, and that child is
  // taken next.
  [[gnu::noinline]] void release_children() noexcept {
    if (children.empty()) return;
    std::vector<NodeMap> work = std::move(children);
    children.clear();
    while (!work.empty()) {
      NodeMap m = std::move(work.back());
      work.pop_back();
      while (!m.children.empty()) {
        const size_t need = work.size() + m.children.size();
        if (need <= work.capacity() ||
            storage::try_reserve(work, need > 2 * work.capacity() ? need : 2 * work.capacity())) {
          for (NodeMap& c : m.children) work.push_back(std::move(c));
          m.children.clear();
          break;
        }
        NodeMap next = std::move(m.children.back());
        m.children.back().children = std::move(work);
        work = std::move(m.children);
        m.children = std::vector<NodeMap>();
        m = std::move(next);
      }
    }
  }
};

// What one value converted to: the union HashmapTypes, its variants in trial order.
struct HashmapTypes {
  enum class Variant : uint8_t { String = 0, Vec = 1, NullableString = 2, Map = 3 };
  Variant variant = Variant::NullableString;
  storage::SharedText text;    // String; NullableString (absent: none)
  std::vector<NodeMap> items;  // Vec
  storage::AttrMap map;        // Map
};

// Records what the value of `field` converted to.
inline void put(NodeMap& m, Field field, HashmapTypes&& v) {
  using V = HashmapTypes::Variant;
  switch (field) {
    case Field::Name:
      m.has_name = v.variant == V::String;
      m.name = m.has_name ? std::move(v.text) : storage::SharedText();
      break;
    case Field::Attrs:
      m.has_attrs = v.variant == V::Map;
      m.attrs = m.has_attrs ? std::move(v.map) : storage::AttrMap();
      break;
    case Field::Children:
      m.has_children = v.variant == V::Vec;
      m.children = m.has_children ? std::move(v.items) : std::vector<NodeMap>();
      break;
    case Field::Text:
      m.text = (v.variant == V::String || v.variant == V::NullableString) ? std::move(v.text) : storage::SharedText();
      break;
    case Field::Other:
      break;  // converted, then dropped
  }
}

}  // namespace tessary::entities
