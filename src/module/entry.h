// The wrapper every call from the interpreter runs through: it counts the entry on this
// thread, applies the pending-release pool, runs the operation and raises its error value.
#pragma once

#include "module/errors.h"
#include "module/gil.h"

namespace tessary::module {

template <class F>
PyObject* entry(F&& operation) noexcept {
  EntryScope scope;
  Result<Ref> r = operation();
  if (r.ok()) return r.value().release();
  raise(r.take_error());
  return nullptr;
}

// For slots that return an int (-1 on failure).
template <class F>
int entry_int(F&& operation) noexcept {
  EntryScope scope;
  Result<int> r = operation();
  if (r.ok()) return r.value();
  raise(r.take_error());
  return -1;
}

}  // namespace tessary::module
