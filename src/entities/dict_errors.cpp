#include "entities/dict_errors.h"

#include <unordered_set>
#include <utility>

namespace tessary::entities {

using module::Ref;

Error dict_fault(DictFault f) {
  const DictFaultText& t = kDictFaultTexts[static_cast<unsigned>(f)];
  return t.kind == Error::Kind::Value ? Error::value(t.text) : Error::panic(t.text);
}

Failure plain_failure(Error e) {
  Failure f;
  f.plain = std::move(e);
  return f;
}

namespace {

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
    out += dict_text::kStrFailed;
  } else {
    out.append(u, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

// A chain of causes that loops back is followed only until it repeats.
std::string describe(const Error& e) {
  switch (e.kind) {
    case Error::Kind::Ready: {
      std::string out = describe_exception(e.exc_value.get());
      std::unordered_set<PyObject*> seen{e.exc_value.get()};
      Ref cause = Ref::steal(PyException_GetCause(e.exc_value.get()));
      while (cause && seen.insert(cause.get()).second) {
        out += dict_text::kCausedBy;
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

std::string field_reason(const char* variant, const std::string& cause) {
  std::string r(dict_text::kFieldHead);
  r += variant;
  r += dict_text::kFieldTail;
  r += cause;
  return r;
}

Failure union_failure(const std::string& string_reason, Failure vec, const std::string& nullable_reason,
                      const std::string& map_reason) {
  std::string head(dict_text::kUnionHead);
  head += dict_text::kVariantString;
  head += string_reason;
  head += dict_text::kVariantVec;
  std::string tail(dict_text::kVariantNullable);
  tail += nullable_reason;
  tail += dict_text::kVariantMap;
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

Error conversion_error(Failure f) {
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

}  // namespace tessary::entities
