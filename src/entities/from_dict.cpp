// Node.from_dict: a Node tree from nested dictionaries of the shape to_dict makes. The whole
// structure is first converted into NodeMaps (where a value that fits no variant fails the
// call), then the nodes are built from them, children first.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entities/dict_errors.h"
#include "entities/dict_keys.h"
#include "entities/dict_path.h"
#include "entities/methods.h"
#include "entities/node.h"
#include "entities/node_map.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/entry.h"
#include "module/grow.h"

namespace tessary::entities {

namespace {

using module::Params;
using module::Status;
using storage::AttrMap;
using storage::SharedText;

// ---- Python structure to NodeMap ------------------------------------------------------------
// One dictionary being converted, and, while the value at hand is a sequence being tried as a
// Vec, that sequence's iterator and the NodeMaps of its items so far.
struct Level {
  Ref dict;
  Py_ssize_t pos = 0;
  Py_ssize_t size = 0;       // its length when its conversion began
  Py_ssize_t remaining = 0;  // entries still to come
  NodeMap map;
  Field field = Field::Other;  // the key of the value at hand
  Ref value;
  bool iterating = false;  // the value at hand is a sequence being iterated
  Ref iter;                // its iterator; null for an exact list or tuple, read by index
  Py_ssize_t index = 0;
  std::vector<NodeMap> items;

  void stop_iterating() {
    iterating = false;
    iter = Ref();
    items.clear();
  }
};

Level new_level(PyObject* dict) {
  Level l;
  l.dict = Ref::borrow(dict);
  l.size = PyDict_GET_SIZE(dict);
  l.remaining = l.size;
  return l;
}

// The next item of the sequence at hand: a new reference, or null at its end (with an exception
// set when the iteration failed). An exact list or tuple is read by index as its own iterator
// would read it (a list against its length at each step, so a list changed meanwhile is read
// the same way), without making an iterator object for the collector to track.
Ref next_item(Level& l) {
  if (l.iter) return Ref::steal(PyIter_Next(l.iter.get()));
  PyObject* seq = l.value.get();
  if (PyList_CheckExact(seq)) {
    if (l.index < PyList_GET_SIZE(seq)) return Ref::borrow(PyList_GET_ITEM(seq, l.index++));
    return Ref();
  }
  if (l.index < PyTuple_GET_SIZE(seq)) return Ref::borrow(PyTuple_GET_ITEM(seq, l.index++));
  return Ref();
}

// What trying the variants on a value gave. Aborted: the whole conversion stops with
// `failure.plain` as it is (memory ran out), instead of the value merely fitting no variant.
struct Trial {
  enum class Kind : uint8_t { Done, Iterating, Failed, Aborted } kind;
  HashmapTypes value;
  Failure failure;
};

Trial done(HashmapTypes v) { return {Trial::Kind::Done, std::move(v), {}}; }
Trial failed(Failure f) { return {Trial::Kind::Failed, {}, std::move(f)}; }
Trial aborted(Error e) { return {Trial::Kind::Aborted, {}, plain_failure(std::move(e))}; }

// The variants after Vec, for a value that is not a str; `vec` is the Vec failure when the value
// was iterated (or its iterator could not be had), empty when it is no sequence at all. The
// reasons that follow from the value's type alone are only spelled out when every variant failed.
Trial try_after_vec(PyObject* v, Failure* vec) {
  using V = HashmapTypes::Variant;
  if (v == Py_None) return done(HashmapTypes{V::NullableString, {}, {}, {}});
  Error map_error;
  if (PyDict_Check(v)) {
    Result<AttrMap> m = module::str_map(v);
    if (m) return done(HashmapTypes{V::Map, {}, {}, std::move(*m)});
    map_error = m.take_error();
  } else {
    map_error = module::type_mismatch(v, "dict");
  }
  const std::string not_str = field_reason("String", describe(module::type_mismatch(v, "str")));
  Failure vec_failure = vec != nullptr ? std::move(*vec) : plain_failure(module::type_mismatch(v, "Sequence"));
  return failed(union_failure(not_str, std::move(vec_failure),
                              field_reason("NullableString", describe(module::type_mismatch(v, "str"))),
                              field_reason("Map", describe(map_error))));
}

// A str that cannot be encoded: every variant fails, without running any Python code.
Trial unencodable_str(PyObject* v, const Error& string_error) {
  std::string string_reason = field_reason("String", describe(string_error));
  Result<std::string_view> again = module::text_kept(v);  // NullableString takes a str the same way
  std::string nullable_reason = field_reason("NullableString", again ? std::string() : describe(again.error()));
  return failed(union_failure(string_reason, plain_failure(module::fault(module::Fault::StrNotSequence)),
                              nullable_reason, field_reason("Map", describe(module::type_mismatch(v, "dict")))));
}

// Tries the variants on the value at hand of `level`, in order, as far as can be done without
// iterating a sequence; for a sequence it starts the iteration and reports Iterating.
Trial try_value(Level& level, PyObject* v, Field field) {
  using V = HashmapTypes::Variant;
  if (PyUnicode_Check(v)) {
    Result<std::string_view> s = module::text_kept(v);
    if (!s) return unencodable_str(v, s.error());
    // Only the text of "name" and "text" is kept; any other key's string is dropped anyway.
    const bool keep = field == Field::Name || field == Field::Text;
    return done(
        HashmapTypes{V::String, keep ? SharedText::owned(*s, module::str_max_byte_bound(v)) : SharedText(), {}, {}});
  }
  if (!PySequence_Check(v)) return try_after_vec(v, nullptr);
  // An exact list or tuple has the length it reports (a list changed meanwhile is read as its
  // own iterator would read it); any other sequence's __len__ is only a hint.
  size_t room;
  Ref it;
  if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
    room = static_cast<size_t>(PyList_CheckExact(v) ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v));
  } else {
    Py_ssize_t n = PySequence_Size(v);
    if (n < 0) PyErr_Clear();  // no length: start empty and grow
    room = module::presize_from_hint(n);
    it = Ref::steal(PyObject_GetIter(v));
    if (!it) {
      if (PyErr_ExceptionMatches(PyExc_MemoryError)) return aborted(Error::fetch());
      Failure vec = plain_failure(Error::fetch());
      return try_after_vec(v, &vec);
    }
  }
  level.iterating = true;
  level.iter = std::move(it);
  level.index = 0;
  level.items.clear();
  if (!module::try_reserve(level.items, room)) return aborted(module::fault(module::Fault::OutOfMemory));
  return {Trial::Kind::Iterating, {}, {}};
}

// The whole structure into NodeMaps, before anything is validated. Dictionaries nest through the
// items of sequences; an explicit stack of levels replaces recursion, so any depth works. Each
// step looks at one thing: a failure on its way up, the next item of a sequence, or the next
// entry of a dictionary.
class StructureReader {
 public:
  Result<NodeMap> run(PyObject* top) {
    if (!PyDict_Check(top)) return module::type_mismatch(top, "dict").with_note("dict_");
    if (Step s = enter(top)) return std::move(*s);
    for (;;) {
      Step s = failing_ ? unwind_failure() : stack_.back().iterating ? next_item_of(stack_.back())
                                                                      : next_entry_of(stack_.back());
      if (s) return std::move(*s);
    }
  }

 private:
  using Step = std::optional<Result<NodeMap>>;  // empty: go on

  void fail_with(Failure f) {
    fail_ = std::move(f);
    failing_ = true;
  }

  // Starts converting `dict`, which goes on the path; a dictionary already on it contains
  // itself, and the conversion stops there (everything built so far is released).
  Step enter(PyObject* dict) {
    switch (path_.push(dict)) {
      case PathSet::Added::Yes: break;
      case PathSet::Added::AlreadyOnPath: return dict_fault(DictFault::CircularReference);
      case PathSet::Added::OutOfMemory: return module::fault(module::Fault::OutOfMemory);
    }
    if (!module::try_push_back(stack_, new_level(dict))) {
      path_.pop();
      return module::fault(module::Fault::OutOfMemory);
    }
    return std::nullopt;
  }

  // The dictionary on top is done with, converted or failed.
  void leave() {
    stack_.pop_back();
    path_.pop();
  }

  // The Vec variant of the value at hand of `l` failed with `vec`: the remaining variants decide.
  void try_rest(Level& l, Failure* vec) {
    l.stop_iterating();
    Trial t = try_after_vec(l.value.get(), vec);
    if (t.kind == Trial::Kind::Failed) {
      fail_with(std::move(t.failure));
      return;
    }
    failing_ = false;
    put(l.map, l.field, std::move(t.value));
    l.value = Ref();
  }

  // The level on top failed: it was an item of its parent's sequence, which therefore fails as a
  // Vec; the parent goes on with the remaining variants of that value.
  Step unwind_failure() {
    if (!fail_.is_union && fail_.plain.kind == Error::Kind::Panic) return std::move(fail_.plain);
    leave();
    if (stack_.empty()) return conversion_error(std::move(fail_));
    Failure vec = std::move(fail_);
    try_rest(stack_.back(), &vec);
    return std::nullopt;
  }

  Step next_item_of(Level& l) {
    Ref item = next_item(l);
    if (item && PyDict_Check(item.get())) return enter(item.get());  // `l` is not used past this point
    if (!item && !PyErr_Occurred()) {
      // Every item converted: the value is a Vec.
      put(l.map, l.field, HashmapTypes{HashmapTypes::Variant::Vec, {}, std::move(l.items), {}});
      l.stop_iterating();
      l.value = Ref();
      return std::nullopt;
    }
    // Running out of memory ends the call as a MemoryError rather than as a reason why this
    // value is no Vec.
    if (!item && PyErr_ExceptionMatches(PyExc_MemoryError)) return Error::fetch();
    Failure vec = plain_failure(item ? module::type_mismatch(item.get(), "dict") : Error::fetch());
    if (vec.plain.kind == Error::Kind::Panic) return std::move(vec.plain);
    try_rest(l, &vec);
    return std::nullopt;
  }

  Step next_entry_of(Level& l) {
    // The dictionary must keep its size and its keys while it is converted: Python code run by
    // a sequence's iteration could change it.
    if (PyDict_GET_SIZE(l.dict.get()) != l.size) return dict_fault(DictFault::SizeChanged);
    PyObject *k, *v;
    if (!PyDict_Next(l.dict.get(), &l.pos, &k, &v)) {
      NodeMap m = std::move(l.map);
      leave();
      if (stack_.empty()) return m;
      if (!module::try_push_back(stack_.back().items, std::move(m))) return module::fault(module::Fault::OutOfMemory);
      return std::nullopt;
    }
    if (l.remaining == 0) return dict_fault(DictFault::KeysChanged);
    --l.remaining;
    // Strong references: Python code run while the value is converted may remove the entry.
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (!PyUnicode_Check(key.get())) {
      fail_with(plain_failure(module::type_mismatch(key.get(), "str")));
      return std::nullopt;
    }
    Result<std::string_view> kv = module::text_kept(key.get());
    if (!kv) {
      fail_with(plain_failure(kv.take_error()));
      return std::nullopt;
    }
    const Field field = classify(*kv);
    Trial t = try_value(l, value.get(), field);
    switch (t.kind) {
      case Trial::Kind::Done:
        put(l.map, field, std::move(t.value));
        break;
      case Trial::Kind::Iterating:
        l.field = field;
        l.value = std::move(value);
        break;
      case Trial::Kind::Failed:
        fail_with(std::move(t.failure));
        break;
      case Trial::Kind::Aborted:
        return std::move(t.failure.plain);
    }
    return std::nullopt;
  }

  std::vector<Level> stack_;
  PathSet path_;  // the dictionaries of stack_
  Failure fail_;
  bool failing_ = false;
};

// ---- NodeMap to Node ------------------------------------------------------------------------
// Children before parents with an explicit stack; a node's name, attrs and children are checked
// when it is reached, so each child is validated completely before the next one.
Result<Ref> build_nodes(NodeMap& root) {
  struct Frame {
    NodeMap* map;
    size_t next;
    size_t base;  // where this node's children start in `made`
  };
  RefVector made;  // nodes awaiting their parent
  std::vector<Frame> stack;
  auto enter = [&](NodeMap* m) -> Status {
    if (!m->has_name) return dict_fault(DictFault::InvalidName);
    if (!m->has_attrs) return dict_fault(DictFault::InvalidAttrs);
    if (!m->has_children) return dict_fault(DictFault::InvalidChildren);
    stack.push_back({m, 0, made.size()});
    return module::ok_status();
  };
  Status s = enter(&root);
  if (!s) return s.take_error();
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.map->children.size()) {
      NodeMap* child = &f.map->children[f.next++];
      s = enter(child);
      if (!s) return s.take_error();
      continue;
    }
    NodeMap* m = f.map;
    const size_t base = f.base;
    stack.pop_back();
    m->children.clear();  // converted shells
    // The attribute map is the Map converted from the dictionary, moved rather than copied into
    // another freshly keyed map of the same size: its order is as unspecified either way.
    Result<Ref> node = make_node(std::move(m->name), std::move(m->attrs), made, base, std::move(m->text));
    if (!node) return node.take_error();
    made.push(std::move(*node));
  }
  return made.pop();
}

const char* const kFromDictNames[] = {"dict_"};
const Params kFromDictParams{"from_dict", "Node", kFromDictNames, 1, 1};

}  // namespace

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return module::entry([&]() -> Result<Ref> {
    PyObject* slots[1];
    Status bound = module::bind_vector(kFromDictParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    Result<NodeMap> map = StructureReader().run(slots[0]);
    if (!map) return map.take_error();
    return build_nodes(*map);
  });
}

}  // namespace tessary::entities
