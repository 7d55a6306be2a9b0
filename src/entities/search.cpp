// Node.search_by_name, search_by_attr, search_by_text and search: a depth-limited, pre-order
// walk of the subtree that collects the matching Node objects themselves.
#include <cstdint>
#include <string_view>
#include <vector>

#include "entities/methods.h"
#include "entities/node.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/entry.h"

namespace tessary::entities {

namespace {

using module::Params;
using module::Status;

// The three tests. Each compares the stored bytes with the search string exactly (length, then
// bytes); nothing is copied or decoded. Shared ranges are viewed without re-checking: the reader
// and the constructor only make ranges inside their buffer and on character boundaries.
struct NameTest {
  std::string_view s;
  bool operator()(const NodeObject* n) const noexcept { return n->name.view() == s; }
};
struct AttrTest {
  std::string_view s;
  // One lookup; an empty map is not probed at all.
  bool operator()(const NodeObject* n) const noexcept { return !n->attrs.empty() && n->attrs.find(s) != nullptr; }
};
struct TextTest {
  std::string_view s;
  bool operator()(const NodeObject* n) const noexcept { return n->text.present() && storage::text_equals(n->text, s); }
};

// One node on the current path: its shared borrow and a temporary reference, both held until
// its whole subtree has been visited, so the borrows nest along the path.
struct Frame {
  NodeObject* node;
  Py_ssize_t next;  // index of the next child to visit
  int64_t budget;   // levels still allowed below this node; negative: unlimited
  SharedBorrow borrow;
  Ref hold;
};

// The walk, with an explicit stack in place of recursion so that any depth works; it keeps the
// recursive order: a node is tested before its descendants, and an earlier child's subtree is
// finished before a later child is visited. `budget` < 0 means unlimited: a negative depth never
// reaches zero when decremented, so it behaves as no limit (and is never decremented here,
// which would overflow for the smallest 32-bit value).
template <class Test>
Status walk(PyObject* start, int64_t budget, const Test& test, RefVector& found) {
  std::vector<Frame> stack;
  auto visit = [&](PyObject* o, int64_t b) -> Status {
    Result<SharedBorrow> borrow = SharedBorrow::take(as_node(o)->borrow, o);
    if (!borrow) return module::fault(module::Fault::BorrowRefusedInWalk);
    NodeObject* n = as_node(o);
    if (test(n)) {
      note_shared(n);
      found.push_new(o);
    }
    // A node whose children are not visited needs no frame: its borrow ends here.
    if (n->child_count() > 0 && b != 0) stack.push_back({n, 0, b, std::move(*borrow), Ref::borrow(o)});
    return module::ok_status();
  };
  Status s = visit(start, budget);
  if (!s) return s;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.node->child_count()) {
      PyObject* child = f.node->children()[f.next++];
      s = visit(child, f.budget < 0 ? f.budget : f.budget - 1);
      if (!s) return s;  // `stack` releases the borrows and references on the path
      continue;
    }
    stack.pop_back();
  }
  return module::ok_status();
}

enum class Kind : uint8_t { Name = 0, Attr = 1, Text = 2 };

Result<Ref> run(PyObject* self, Kind kind, std::string_view s, int64_t budget) {
  if (!is_node(self)) return module::type_mismatch(self, "Node");
  RefVector found;  // the matches in visit order; released unless they move into the list
  Status st = kind == Kind::Name   ? walk(self, budget, NameTest{s}, found)
              : kind == Kind::Attr ? walk(self, budget, AttrTest{s}, found)
                                   : walk(self, budget, TextTest{s}, found);
  if (!st) return st.take_error();
  Ref list = found.take_list();
  if (!list) return Error::fetch();
  return list;
}

// The string parameter (borrowed from the str object, which the caller's arguments keep alive)
// and the optional depth, in that order.
struct Query {
  std::string_view s;
  int64_t budget = -1;
};

Result<Query> convert_query(PyObject* str_slot, const char* str_param, PyObject* depth_slot) {
  Query q;
  Result<std::string_view> v = module::text_kept(str_slot);
  if (!v) return v.take_error().with_note(str_param);
  q.s = *v;
  if (!module::is_none(depth_slot)) {
    Result<int32_t> d = module::to_i32(depth_slot);
    if (!d) return d.take_error().with_note("depth");
    q.budget = *d;  // negative stays negative: unlimited
  }
  return q;
}

PyObject* search_one(const Params& p, Kind kind, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return module::entry([&]() -> Result<Ref> {
    PyObject* slots[2];
    Status bound = module::bind_vector(p, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    Result<Query> q = convert_query(slots[0], p.names[0], slots[1]);
    if (!q) return q.take_error();
    return run(self, kind, q->s, q->budget);
  });
}

const char* const kByNameNames[] = {"name", "depth"};
const char* const kByAttrNames[] = {"key", "depth"};
const char* const kByTextNames[] = {"text", "depth"};
const char* const kSearchNames[] = {"by", "value", "depth"};
const Params kByNameParams{"search_by_name", "Node", kByNameNames, 2, 1};
const Params kByAttrParams{"search_by_attr", "Node", kByAttrNames, 2, 1};
const Params kByTextParams{"search_by_text", "Node", kByTextNames, 2, 1};
const Params kSearchParams{"search", "Node", kSearchNames, 3, 2};

}  // namespace

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return search_one(kByNameParams, Kind::Name, self, args, nargsf, kwnames);
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return search_one(kByAttrParams, Kind::Attr, self, args, nargsf, kwnames);
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return search_one(kByTextParams, Kind::Text, self, args, nargsf, kwnames);
}

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return module::entry([&]() -> Result<Ref> {
    PyObject* slots[3];
    Status bound = module::bind_vector(kSearchParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    uint8_t member;
    {
      // A momentary borrow of the member, only to read its value.
      Result<SharedBorrow> by = borrow_search_type(slots[0]);
      if (!by) return by.take_error().with_note("by");
      member = reinterpret_cast<SearchTypeObject*>(slots[0])->value;
    }
    Result<Query> q = convert_query(slots[1], "value", slots[2]);
    if (!q) return q.take_error();
    const Kind kind = member == 0 ? Kind::Name : member == 1 ? Kind::Attr : Kind::Text;
    return run(self, kind, q->s, q->budget);
  });
}

}  // namespace tessary::entities
