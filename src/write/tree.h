// The tree the writer reads: the Node objects themselves, read where they are, without the
// interpreter lock and without a copy. That is safe for the whole write call: the caller holds
// the root, every node holds its children, a node's name, text, attribute map and children never
// change while it lives, and the walk reads only those fields (never a reference count, never a
// Python API). Every child of a Node is a Node: the class admits no other.
//
// The walk costs memory in proportion to the tree's depth only, so a write needs nothing of the
// size of the tree beyond its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "entities/node.h"
#include "storage/grow.h"

namespace tessary::write {

using Element = entities::NodeObject;

inline const Element* child_at(const Element* e, Py_ssize_t i) noexcept {
  return reinterpret_cast<const Element*>(e->children()[i]);
}

// Asks the processor to start loading what writing `e` reads first: the node, and the head of
// its attribute table (which reads the node for the table's address: best when the node was
// prefetched a step earlier).
inline void prefetch_node(const Element* e) noexcept {
  __builtin_prefetch(e);
  __builtin_prefetch(reinterpret_cast<const char*>(e) + 64);
}
inline void prefetch_attrs(const Element* e) noexcept { e->attrs.prefetch_header(); }

enum class WalkEnd : uint8_t {
  Done,         // every element was opened and closed
  Stopped,      // a visitor returned failure
  OutOfMemory,  // the stack of open elements could not grow
};

// Visits the tree under `root` in document order without recursion: `open(e, depth)` for each
// element as it starts (depth 0 for the root) and `close(e)` once all its children are done.
// open returns 1 when the element takes children and an end tag (close follows them, and follows
// at once when it has none), 0 when it is complete as it is (no close), -1 to stop the walk; close
// returns false to stop it. The next sibling of each element, which the walk usually reaches soon
// after it, is prefetched one step ahead and its attribute table as it comes.
template <class Open, class Close>
WalkEnd walk_tree(const Element* root, Open&& open, Close&& close) noexcept {
  struct Frame {
    const Element* e;
    PyObject* const* next;  // the next child to visit
    PyObject* const* end;
  };
  std::vector<Frame> stack;
  const Element* e = root;
  for (;;) {
    const int r = open(e, static_cast<uint64_t>(stack.size()));
    if (r < 0) return WalkEnd::Stopped;
    if (r > 0) {
      const Py_ssize_t n = e->child_count();
      if (n > 0) {
        if (!storage::try_push_back(stack, Frame{e, e->children(), e->children() + n})) return WalkEnd::OutOfMemory;
        if (n > 1) prefetch_node(child_at(e, 1));
      } else if (!close(e)) {
        return WalkEnd::Stopped;
      }
    }
    // Close every element whose children are all visited; then the next element is the next
    // child of the innermost one still open.
    for (;;) {
      if (stack.empty()) return WalkEnd::Done;
      Frame& f = stack.back();
      if (f.next != f.end) {
        e = reinterpret_cast<const Element*>(*f.next++);
        if (f.next != f.end) {
          const Element* sibling = reinterpret_cast<const Element*>(*f.next);
          prefetch_attrs(sibling);
          if (f.end - f.next > 1) prefetch_node(reinterpret_cast<const Element*>(f.next[1]));
        }
        break;
      }
      const Element* done = f.e;
      stack.pop_back();
      if (!close(done)) return WalkEnd::Stopped;
    }
  }
}

// What write_string needs to know of a tree before it makes the result: bounds, read without
// touching the bytes of any name, key, value or text.
struct TreeSurvey {
  uint64_t elements = 0;
  // About how large the output is before escaping and indentation: advice for sizing buffers.
  uint64_t size_hint = 0;
  // The sum of every element's depth (the root's is 0): indentation is about twice this times
  // the indent.
  uint64_t depth_sum = 0;
  // At least the largest byte of any name, key, value or text: the kind of str the output needs.
  uint8_t max_byte = 0;
  bool out_of_memory = false;  // the walk's stack could not grow: nothing else is known
};

// Surveys the tree under `root`. Ranges are not checked here (a range outside its buffer only
// skews the estimate; the serializer reports it). A Node that occurs several times is counted at
// every occurrence. Needs no interpreter lock.
TreeSurvey survey_tree(const Element* root) noexcept;

}  // namespace tessary::write
