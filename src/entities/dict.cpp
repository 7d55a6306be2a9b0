// Node.to_dict and Node.from_dict: conversion between Node trees and nested dictionaries of
// the shape {"name": str, "attrs": {str: str}, "children": [dict, ...], "text": str | None}.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
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
using storage::AttrEntry;
using storage::AttrMap;
using storage::HashKey;
using storage::SharedText;

// ---- the order of a freshly seeded table --------------------------------------------------
// Both directions use maps laid out like AttrMap: at least 2 buckets, at most 3/4 full, linear
// probing from SipHash-1-3 of the key under a fresh random key per map, iterated in slot order.
// fresh_order() computes, for `n` distinct keys inserted in the given order into such a map
// sized for n, the order in which that map would list them.
struct OrderSlot {
  uint64_t hash;  // 0: empty
  uint32_t index;
};

class FreshOrder {
 public:
  // The hash of each key under a fresh random key is the output of a keyed pseudo-random
  // function never used before; so is a generator seeded from one SipHash output under a fresh
  // key. The orders that come out are the same, with the same unpredictability, for one hash
  // per map instead of one per key.
  const std::vector<uint32_t>& compute(size_t n) {
    size_t buckets = 2;
    while (buckets * 3 / 4 < n) buckets *= 2;
    const size_t mask = buckets - 1;
    slots_.assign(buckets, OrderSlot{0, 0});
    uint64_t state = storage::siphash13(storage::next_hash_key(), {});
    for (size_t i = 0; i < n; ++i) {
      const uint64_t h = next(state) | (1ull << 63);
      size_t j = static_cast<size_t>(h) & mask;
      while (slots_[j].hash != 0) j = (j + 1) & mask;  // keys are distinct: no replacement
      slots_[j] = {h, static_cast<uint32_t>(i)};
    }
    order_.clear();
    for (const OrderSlot& s : slots_) {
      if (s.hash != 0) order_.push_back(s.index);
    }
    return order_;
  }

  // The order of the four keys of a node's map (8 buckets). Their home buckets under a fresh
  // key are four hash values of that key; one SipHash output under the fresh key supplies them
  // as four 3-bit fields instead of four hashes of the key texts. Either way they are the
  // outputs of a keyed pseudo-random function under a key never used before, so the orders that
  // come out are the same, with the same unpredictability, at a quarter of the hashing.
  static std::array<uint8_t, 4> four() {
    const uint64_t h = storage::siphash13(storage::next_hash_key(), {});
    int8_t slot[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    for (int i = 0; i < 4; ++i) {
      unsigned j = static_cast<unsigned>(h >> (3 * i)) & 7;
      while (slot[j] >= 0) j = (j + 1) & 7;
      slot[j] = static_cast<int8_t>(i);
    }
    std::array<uint8_t, 4> out{};
    int k = 0;
    for (int8_t v : slot) {
      if (v >= 0) out[k++] = static_cast<uint8_t>(v);
    }
    return out;
  }

  std::vector<const AttrEntry*> entries;  // scratch for one node's attributes

 private:
  // SplitMix64.
  static uint64_t next(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  std::vector<OrderSlot> slots_;
  std::vector<uint32_t> order_;
};

// ---- the four keys --------------------------------------------------------------------------
enum class Field : uint8_t { Name = 0, Attrs = 1, Children = 2, Text = 3, Other = 4 };
constexpr std::string_view kFieldNames[4] = {"name", "attrs", "children", "text"};

Field classify(std::string_view key) {
  for (int i = 0; i < 4; ++i) {
    if (key == kFieldNames[i]) return static_cast<Field>(i);
  }
  return Field::Other;
}

// The four key strings of the dictionaries to_dict makes, created once per process and kept.
// Reusing them instead of making four new str objects per node is not observable: they are
// equal strs, and str identity is not something the interpreter itself keeps stable (it shares
// one-character and interned strings freely).
Result<PyObject* const*> key_objects() {
  static PyObject* keys[4] = {nullptr, nullptr, nullptr, nullptr};
  if (keys[3] == nullptr) {
    for (int i = 0; i < 4; ++i) {
      if (keys[i] != nullptr) continue;
      keys[i] = PyUnicode_InternFromString(kFieldNames[i].data());
      if (keys[i] == nullptr) return Error::fetch();
    }
  }
  return static_cast<PyObject* const*>(keys);
}

// ---- to_dict --------------------------------------------------------------------------------
// Owned references awaiting their parent's list; released unless moved on.
class Pending {
 public:
  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    for (PyObject* o : refs_) Py_DECREF(o);
  }
  size_t size() const noexcept { return refs_.size(); }
  void push(Ref r) { refs_.push_back(r.release()); }
  // A list of the references from `base` on, moved into it.
  Result<Ref> take_list(size_t base) {
    const size_t n = refs_.size() - base;
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
    if (l == nullptr) return Error::fetch();
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), refs_[base + i]);
    refs_.resize(base);
    return Ref::steal(l);
  }
  Ref pop() {
    Ref r = Ref::steal(refs_.back());
    refs_.pop_back();
    return r;
  }
  // The references from `base` on, for a callee that takes them over; then forget() them.
  PyObject* const* from(size_t base) const noexcept { return refs_.data() + base; }
  void forget(size_t base) noexcept { refs_.resize(base); }

 private:
  std::vector<PyObject*> refs_;
};

// The strs of names and attribute keys, made once per conversion: a document uses few distinct
// names, so most lookups find the str already made, with its hash already computed for the
// dictionaries it goes into. Sharing equal strs is not observable (the interpreter itself shares
// interned and one-character strings freely). Keys are the texts' bytes, which stay where the
// borrowed tree keeps them for the whole conversion.
class StrCache {
 public:
  StrCache() : slots_(kSlots) {}
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;
  ~StrCache() {
    for (const Slot& s : slots_) Py_XDECREF(s.str);
  }

  // A new reference to a str of `t`.
  Result<Ref> get(const SharedText& t) {
    std::string_view v;
    if (!t.checked_view(&v)) return Error::panic("text range lies outside its buffer or splits a character");
    if (v.size() > kMaxLength) return text_to_python(t);
    const uint64_t h = hash(v);
    size_t i = static_cast<size_t>(h) & (kSlots - 1);
    for (size_t probes = 0; probes < 8; ++probes, i = (i + 1) & (kSlots - 1)) {
      Slot& s = slots_[i];
      if (s.str == nullptr) {
        Result<Ref> made = text_to_python(t);
        if (!made) return made;
        if (used_ < kSlots / 2) {
          s = {h, v.data(), static_cast<uint32_t>(v.size()), Py_NewRef(made->get())};
          ++used_;
        }
        return made;
      }
      if (s.hash == h && s.size == v.size() && (v.empty() || std::memcmp(s.bytes, v.data(), v.size()) == 0)) {
        return Ref::borrow(s.str);
      }
    }
    return text_to_python(t);
  }

 private:
  static constexpr size_t kSlots = 1024;
  static constexpr size_t kMaxLength = 64;
  struct Slot {
    uint64_t hash = 0;
    const char* bytes = nullptr;
    uint32_t size = 0;
    PyObject* str = nullptr;
  };
  static uint64_t hash(std::string_view v) {
    // Two overlapping words (or the bytes of a shorter text) and the length, mixed.
    const auto* p = reinterpret_cast<const unsigned char*>(v.data());
    const size_t n = v.size();
    uint64_t a = 0, b = 0;
    if (n >= 8) {
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + n - 8, 8);
    } else {
      for (size_t i = 0; i < n; ++i) a |= uint64_t{p[i]} << (8 * i);
    }
    if (n > 16) {
      uint64_t m;
      std::memcpy(&m, p + n / 2 - 4, 8);
      b ^= m * 0xC2B2AE3D27D4EB4Full;
    }
    uint64_t x = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 31);
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// A new dict sized for `n` entries.
PyObject* presized_dict(size_t n) {
#if PY_VERSION_HEX < 0x030E0000
  return n > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(n)) : PyDict_New();
#else
  (void)n;
  return PyDict_New();
#endif
}

// The dictionary of one node whose children's dictionaries are the last entries of `pending`
// from `base` on.
//
// The intermediate string maps are skipped: the Python objects are made straight from the
// node's record. What stays observable is kept exactly: each dictionary lists its keys in the
// order a freshly seeded map would (the "attrs" map receiving the attributes in the node map's
// own order, sized for their count; the node map receiving the four keys), and every str is
// made from the record's text.
Result<Ref> node_dict(NodeObject* n, Pending& pending, size_t base, FreshOrder& order, PyObject* const* keys,
                      StrCache& strs) {
  Result<Ref> children = pending.take_list(base);
  if (!children) return children.take_error();
  Result<Ref> name = strs.get(n->name);
  if (!name) return name.take_error();
  const size_t count = n->attrs.size();
  Ref attrs = Ref::steal(presized_dict(count));
  if (!attrs) return Error::fetch();
  if (count == 1) {
    const AttrEntry& e = *n->attrs.begin();
    Result<Ref> k = strs.get(e.key);
    if (!k) return k.take_error();
    Result<Ref> v = text_to_python(e.value);
    if (!v) return v.take_error();
    if (PyDict_SetItem(attrs.get(), k->get(), v->get()) < 0) return Error::fetch();
  } else if (count > 1) {
    std::vector<const AttrEntry*>& entries = order.entries;
    entries.clear();
    for (const AttrEntry& e : n->attrs) entries.push_back(&e);
    for (uint32_t i : order.compute(entries.size())) {
      Result<Ref> k = strs.get(entries[i]->key);
      if (!k) return k.take_error();
      Result<Ref> v = text_to_python(entries[i]->value);
      if (!v) return v.take_error();
      if (PyDict_SetItem(attrs.get(), k->get(), v->get()) < 0) return Error::fetch();
    }
  }
  Ref text;
  if (n->text.absent()) {
    text = Ref::borrow(Py_None);
  } else {
    Result<Ref> t = text_to_python(n->text);
    if (!t) return t.take_error();
    text = std::move(*t);
  }
  PyObject* values[4] = {name->get(), attrs.get(), children->get(), text.get()};
  Ref d = Ref::steal(PyDict_New());
  if (!d) return Error::fetch();
  for (uint8_t i : FreshOrder::four()) {
    if (PyDict_SetItem(d.get(), keys[i], values[i]) < 0) return Error::fetch();
  }
  return d;
}

// A node on the current path: its shared borrow and a temporary reference are held until its
// subtree is converted, so the borrows nest along the path.
struct DictFrame {
  NodeObject* node;
  Py_ssize_t next;
  size_t base;  // where this node's children's dictionaries start in `pending`
  SharedBorrow borrow;
  Ref hold;
};

// Children before parents, with an explicit stack so that any depth works; children lists keep
// the children's order.
Result<Ref> to_dict(PyObject* self, SharedBorrow root_borrow) {
  Result<PyObject* const*> keys = key_objects();
  if (!keys) return keys.take_error();
  FreshOrder order;
  StrCache strs;
  Pending pending;
  std::vector<DictFrame> stack;
  stack.push_back({as_node(self), 0, 0, std::move(root_borrow), Ref::borrow(self)});
  while (!stack.empty()) {
    DictFrame& f = stack.back();
    if (f.next < f.node->child_count()) {
      PyObject* child = f.node->children()[f.next++];
      Result<SharedBorrow> b = SharedBorrow::take(as_node(child)->borrow, child);
      if (!b) return Error::panic("Already mutably borrowed");
      if (as_node(child)->child_count() == 0) {
        // A leaf needs no frame; its borrow ends with this block.
        Result<Ref> d = node_dict(as_node(child), pending, pending.size(), order, *keys, strs);
        if (!d) return d.take_error();
        pending.push(std::move(*d));
      } else {
        stack.push_back({as_node(child), 0, pending.size(), std::move(*b), Ref::borrow(child)});
      }
      continue;
    }
    Result<Ref> d = node_dict(f.node, pending, f.base, order, *keys, strs);
    if (!d) return d.take_error();
    stack.pop_back();
    pending.push(std::move(*d));
  }
  return pending.pop();
}

// ---- from_dict: the intermediate form -------------------------------------------------------
// The NodeMap of one dictionary. Of its keys only the four a node is built from are kept, each
// with what its value converted to; every other key's value is converted all the same (so an
// unconvertible one fails the call) and then dropped, which is exactly what removing the four
// keys from a full map and dropping the rest would come to. A key given twice (two str subclass
// keys with equal text) replaces the earlier value, as in a map.
struct NodeMap {
  SharedText name;               // "name", when its value was a String
  SharedText text;               // "text", when a String or a NullableString with text
  std::vector<NodeMap> children;  // "children", when a Vec
  AttrMap attrs;                 // "attrs", when a Map
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
  ~NodeMap() { release_children(); }

  // Frees the subtree with a work list: each popped map has its children moved onto the list
  // before it is destroyed, so no destructor ever has a subtree left to free.
  void release_children() noexcept {
    if (children.empty()) return;
    std::vector<NodeMap> work = std::move(children);
    children.clear();
    while (!work.empty()) {
      NodeMap m = std::move(work.back());
      work.pop_back();
      for (NodeMap& c : m.children) work.push_back(std::move(c));
      m.children.clear();
    }
  }
};

// What one value converted to: the union HashmapTypes, its variants in trial order.
struct HashmapTypes {
  enum class Variant : uint8_t { String = 0, Vec = 1, NullableString = 2, Map = 3 };
  Variant variant = Variant::NullableString;
  SharedText text;              // String; NullableString (absent: none)
  std::vector<NodeMap> items;   // Vec
  AttrMap map;                  // Map
};

void put(NodeMap& m, Field field, HashmapTypes&& v) {
  using V = HashmapTypes::Variant;
  switch (field) {
    case Field::Name:
      m.has_name = v.variant == V::String;
      m.name = m.has_name ? std::move(v.text) : SharedText();
      break;
    case Field::Attrs:
      m.has_attrs = v.variant == V::Map;
      m.attrs = m.has_attrs ? std::move(v.map) : AttrMap();
      break;
    case Field::Children:
      m.has_children = v.variant == V::Vec;
      m.children = m.has_children ? std::move(v.items) : std::vector<NodeMap>();
      break;
    case Field::Text:
      m.text = (v.variant == V::String || v.variant == V::NullableString) ? std::move(v.text) : SharedText();
      break;
    case Field::Other:
      break;  // converted, then dropped
  }
}

// ---- from_dict: failures --------------------------------------------------------------------
// A failed conversion on its way up. Either a plain error (a type mismatch or an interpreter
// exception), or a union error, whose message is kept in pieces: a union error around a nested
// one only adds a piece at each end, so an error from deep inside costs time linear in its
// length instead of being copied once per level. The message is `front` read backwards, then
// `back` in order.
struct Failure {
  bool is_union = false;
  Error plain;
  std::vector<std::string> front;  // innermost first
  std::vector<std::string> back;   // innermost first
};

std::string type_qualname(PyObject* type) {
  Ref q = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  Py_ssize_t n = 0;
  const char* s = q ? PyUnicode_AsUTF8AndSize(q.get(), &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(type)->tp_name;
  }
  return std::string(s, static_cast<size_t>(n));
}

// One exception printed as "Type: message".
std::string describe_exception(PyObject* exc) {
  std::string out = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  out += ": ";
  Ref s = Ref::steal(PyObject_Str(exc));
  Py_ssize_t n = 0;
  const char* u = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
  if (u == nullptr) {
    PyErr_Clear();
    out += "<exception str() failed>";
  } else {
    out.append(u, static_cast<size_t>(n));
  }
  return out;
}

// A failure printed as "Type: message", then ", caused by " and each cause printed the same way.
// A chain of causes that loops back is followed only until it repeats.
std::string describe(const Error& e) {
  switch (e.kind) {
    case Error::Kind::Ready: {
      std::string out = describe_exception(e.exc_value.get());
      std::unordered_set<PyObject*> seen{e.exc_value.get()};
      Ref cause = Ref::steal(PyException_GetCause(e.exc_value.get()));
      while (cause && seen.insert(cause.get()).second) {
        out += ", caused by ";
        out += describe_exception(cause.get());
        cause = Ref::steal(PyException_GetCause(cause.get()));
      }
      return out;
    }
    case Error::Kind::Type: return "TypeError: " + e.message;
    case Error::Kind::Value: return "ValueError: " + e.message;
    case Error::Kind::Overflow: return "OverflowError: " + e.message;
    case Error::Kind::Runtime: return "RuntimeError: " + e.message;
    default: return e.message;
  }
}

constexpr std::string_view kUnionHead = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

std::string field_reason(const char* variant, const std::string& cause) {
  std::string r = "TypeError: failed to extract field HashmapTypes::";
  r += variant;
  r += ".0, caused by ";
  r += cause;
  return r;
}

// The union error for a value that converted to no variant; `vec` is the Vec variant's failure.
Failure union_failure(const std::string& string_reason, Failure vec, const std::string& nullable_reason,
                      const std::string& map_reason) {
  std::string head(kUnionHead);
  head += "\n- variant String (String): ";
  head += string_reason;
  head += "\n- variant Vec (Vec): ";
  std::string tail = "\n- variant NullableString (NullableString): ";
  tail += nullable_reason;
  tail += "\n- variant Map (Map): ";
  tail += map_reason;
  Failure f;
  f.is_union = true;
  if (vec.is_union) {
    head += field_reason("Vec", "TypeError: ");
    f.front = std::move(vec.front);
    f.back = std::move(vec.back);
    f.front.push_back(std::move(head));
    f.back.push_back(std::move(tail));
  } else {
    head += field_reason("Vec", describe(vec.plain));
    head += tail;
    f.front.push_back(std::move(head));
  }
  return f;
}

Failure plain_failure(Error e) {
  Failure f;
  f.plain = std::move(e);
  return f;
}

// The error a failure of the whole conversion is raised as: a conversion error of `dict_`, or,
// for a violated invariant (a dictionary changed while converted), that internal error as is.
Error finish(Failure f) {
  if (!f.is_union) {
    if (f.plain.kind == Error::Kind::Panic) return std::move(f.plain);
    return std::move(f.plain).with_note("dict_");
  }
  size_t total = 0;
  for (const std::string& p : f.front) total += p.size();
  for (const std::string& p : f.back) total += p.size();
  std::string message;
  message.reserve(total);
  for (auto p = f.front.rbegin(); p != f.front.rend(); ++p) message += *p;
  for (const std::string& p : f.back) message += p;
  return Error::type(std::move(message)).with_note("dict_");
}

// ---- from_dict: Python structure to NodeMap -------------------------------------------------
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

// What trying a value gave.
struct Outcome {
  enum class Kind : uint8_t { Done, Iterating, Failed } kind;
  HashmapTypes value;
  Failure failure;
};

Outcome done(HashmapTypes v) { return {Outcome::Kind::Done, std::move(v), {}}; }
Outcome failed(Failure f) { return {Outcome::Kind::Failed, {}, std::move(f)}; }

// The variants after Vec, for a value that is not a str; `vec` is the Vec failure when the value
// was iterated (or its iterator could not be had), empty when it is no sequence at all. The
// reasons that follow from the value's type alone are only spelled out when every variant failed.
Outcome try_after_vec(PyObject* v, Failure* vec) {
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

// Tries the variants on the value at hand of `level`, in order, as far as can be done without
// iterating a sequence; for a sequence it starts the iteration and reports Iterating.
Outcome try_value(Level& level, PyObject* v, Field field) {
  using V = HashmapTypes::Variant;
  if (PyUnicode_Check(v)) {
    Result<std::string_view> s = module::text_kept(v);
    if (s) {
      // Only the text of "name" and "text" is kept; any other key's string is dropped anyway.
      const bool keep = field == Field::Name || field == Field::Text;
      return done(HashmapTypes{V::String, keep ? SharedText::owned(*s, module::str_top_byte(v)) : SharedText(), {}, {}});
    }
    // A str that cannot be encoded: every variant fails, without running any Python code.
    std::string string_reason = field_reason("String", describe(s.error()));
    Result<std::string_view> again = module::text_kept(v);  // NullableString takes a str the same way
    std::string nullable_reason = field_reason("NullableString", again ? std::string() : describe(again.error()));
    return failed(union_failure(string_reason, plain_failure(Error::type("Can't extract `str` to `Vec`")),
                                nullable_reason, field_reason("Map", describe(module::type_mismatch(v, "dict")))));
  }
  if (!PySequence_Check(v)) return try_after_vec(v, nullptr);
  Py_ssize_t n = PySequence_Size(v);
  if (n < 0) {
    PyErr_Clear();
    n = 0;
  }
  Ref it;
  if (!PyList_CheckExact(v) && !PyTuple_CheckExact(v)) {
    it = Ref::steal(PyObject_GetIter(v));
    if (!it) {
      Failure vec = plain_failure(Error::fetch());
      return try_after_vec(v, &vec);
    }
  }
  level.iterating = true;
  level.iter = std::move(it);
  level.index = 0;
  level.items.clear();
  level.items.reserve(static_cast<size_t>(n));
  return {Outcome::Kind::Iterating, {}, {}};
}

Level new_level(PyObject* dict) {
  Level l;
  l.dict = Ref::borrow(dict);
  l.size = PyDict_GET_SIZE(dict);
  l.remaining = l.size;
  return l;
}

// The whole structure into NodeMaps, before anything is validated. Dictionaries nest through the
// items of sequences; an explicit stack of levels replaces recursion, so any depth works.
Result<NodeMap> to_node_map(PyObject* top) {
  if (!PyDict_Check(top)) return module::type_mismatch(top, "dict").with_note("dict_");
  std::vector<Level> stack;
  stack.push_back(new_level(top));
  Failure fail;
  bool failing = false;
  for (;;) {
    if (failing) {
      // The level on top failed: it was an item of its parent's sequence, which therefore fails
      // as a Vec; the parent goes on with the remaining variants of that value.
      if (!fail.is_union && fail.plain.kind == Error::Kind::Panic) return std::move(fail.plain);
      stack.pop_back();
      if (stack.empty()) return finish(std::move(fail));
      Level& p = stack.back();
      p.stop_iterating();
      Outcome o = try_after_vec(p.value.get(), &fail);
      if (o.kind == Outcome::Kind::Failed) {
        fail = std::move(o.failure);
        continue;
      }
      failing = false;
      put(p.map, p.field, std::move(o.value));
      p.value = Ref();
      continue;
    }
    Level& l = stack.back();
    if (l.iterating) {
      Ref item = next_item(l);
      if (item && PyDict_Check(item.get())) {
        stack.push_back(new_level(item.get()));
        continue;
      }
      Failure vec;
      if (!item && !PyErr_Occurred()) {
        // Every item converted: the value is a Vec.
        put(l.map, l.field, HashmapTypes{HashmapTypes::Variant::Vec, {}, std::move(l.items), {}});
        l.stop_iterating();
        l.value = Ref();
        continue;
      }
      vec = plain_failure(item ? module::type_mismatch(item.get(), "dict") : Error::fetch());
      if (vec.plain.kind == Error::Kind::Panic) return std::move(vec.plain);
      l.stop_iterating();
      Outcome o = try_after_vec(l.value.get(), &vec);
      if (o.kind == Outcome::Kind::Failed) {
        fail = std::move(o.failure);
        failing = true;
        continue;
      }
      put(l.map, l.field, std::move(o.value));
      l.value = Ref();
      continue;
    }
    // The dictionary must keep its size and its keys while it is converted: Python code run by
    // a sequence's iteration could change it.
    if (PyDict_GET_SIZE(l.dict.get()) != l.size) return Error::panic("dictionary changed size during iteration");
    PyObject *k, *v;
    if (!PyDict_Next(l.dict.get(), &l.pos, &k, &v)) {
      NodeMap m = std::move(l.map);
      stack.pop_back();
      if (stack.empty()) return m;
      stack.back().items.push_back(std::move(m));
      continue;
    }
    if (l.remaining == 0) return Error::panic("dictionary keys changed during iteration");
    --l.remaining;
    // Strong references: Python code run while the value is converted may remove the entry.
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (!PyUnicode_Check(key.get())) {
      fail = plain_failure(module::type_mismatch(key.get(), "str"));
      failing = true;
      continue;
    }
    Result<std::string_view> kv = module::text_kept(key.get());
    if (!kv) {
      fail = plain_failure(kv.take_error());
      failing = true;
      continue;
    }
    const Field field = classify(*kv);
    Outcome o = try_value(l, value.get(), field);
    switch (o.kind) {
      case Outcome::Kind::Done:
        put(l.map, field, std::move(o.value));
        break;
      case Outcome::Kind::Iterating:
        l.field = field;
        l.value = std::move(value);
        break;
      case Outcome::Kind::Failed:
        fail = std::move(o.failure);
        failing = true;
        break;
    }
  }
}

// ---- from_dict: NodeMap to Node -------------------------------------------------------------
// Children before parents with an explicit stack; a node's name, attrs and children are checked
// when it is reached, so each child is validated completely before the next one.
Result<Ref> build_nodes(NodeMap& root) {
  struct Frame {
    NodeMap* map;
    size_t next;
    size_t base;  // where this node's children start in `made`
  };
  Pending made;
  std::vector<Frame> stack;
  auto enter = [&](NodeMap* m) -> Status {
    if (!m->has_name) return Error::value("Invalid name");
    if (!m->has_attrs) return Error::value("Invalid attrs");
    if (!m->has_children) return Error::value("Invalid children");
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
    const size_t n = made.size() - base;
    m->children.clear();  // converted shells
    // The attribute map is the Map converted from the dictionary, moved rather than copied into
    // another freshly keyed map of the same size: its order is as unspecified either way.
    Result<Ref> node = make_node_moving(std::move(m->name), std::move(m->attrs), made.from(base),
                                        static_cast<Py_ssize_t>(n), std::move(m->text));
    made.forget(base);  // those references moved into the node (or were released)
    if (!node) return node.take_error();
    made.push(std::move(*node));
  }
  return made.pop();
}

const char* const kFromDictNames[] = {"dict_"};
const Params kFromDictParams{"from_dict", "Node", kFromDictNames, 1, 1};

}  // namespace

// The cyclic collector is paused while the dictionaries are built. They form a tree, so there is
// nothing for it to find among them, but every few hundred new containers it would scan them
// all again, which made most of the cost of converting a large tree. No Python code runs during
// the conversion, so the pause cannot be seen; the collector resumes, with the new objects
// counted, before the call returns.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

PyObject* node_to_dict(PyObject* self, PyObject*) {
  return module::entry([&]() -> Result<Ref> {
    Result<SharedBorrow> b = borrow_node(self);
    if (!b) return b.take_error();
    CollectorPause pause;
    return to_dict(self, std::move(*b));
  });
}

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return module::entry([&]() -> Result<Ref> {
    PyObject* slots[1];
    Status bound = module::bind_vector(kFromDictParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    Result<NodeMap> map = to_node_map(slots[0]);
    if (!map) return map.take_error();
    return build_nodes(*map);
  });
}

}  // namespace tessary::entities
