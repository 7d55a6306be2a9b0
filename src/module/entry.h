// The wrapper every call from the interpreter runs through: it counts the entry on this
// thread, applies the pending-release pool, runs the operation and raises its error value.
#pragma once

#include <new>
#include <stdexcept>

#include "module/errors.h"
#include "module/gil.h"
#include "storage/alloc_failure.h"

namespace tessary::module {

// Runs the operation. Running out of memory ends it in MemoryError, whichever way it shows:
// a standard container or string that cannot grow throws std::bad_alloc, which unwinds the
// operation (its Refs, borrows and texts release what it built) and is caught here; an
// allocation with no error path of its own (storage/alloc_failure.h) marks the call, and a
// result made despite it is released instead of returned.
template <class T, class F>
Result<T> run_guarded(F&& operation) noexcept {
  storage::AllocationFailureScope allocation;
  try {
    Result<T> r = operation();
    if (allocation.failed()) [[unlikely]] return fault(Fault::OutOfMemory);
    return r;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fault(Fault::OutOfMemory);
}

template <class F>
PyObject* entry(F&& operation) noexcept {
  EntryScope scope;
  Result<Ref> r = run_guarded<Ref>(operation);
  if (r.ok()) return r.value().release();
  raise(r.take_error());
  return nullptr;
}

// For slots that return an int (-1 on failure).
template <class F>
int entry_int(F&& operation) noexcept {
  EntryScope scope;
  Result<int> r = run_guarded<int>(operation);
  if (r.ok()) return r.value();
  raise(r.take_error());
  return -1;
}

}  // namespace tessary::module
