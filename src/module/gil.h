// The interpreter lock: the per-thread lock depth, running engine work without the lock, and
// the pool of reference releases requested while the lock was not held.
#pragma once

#include <utility>

#include "module/pyref.h"

namespace tessary::module {

// How many times this module has entered the interpreter on this thread with the lock held.
int lock_depth() noexcept;

// Releases a reference now when this thread holds the lock (depth > 0), otherwise queues it.
void release_object(PyObject* o) noexcept;

// Carries out every queued release (lock held).
void apply_pending_releases() noexcept;

// Counts one entry into the module for its duration and applies the pending pool at the start.
class EntryScope {
 public:
  EntryScope() noexcept;
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Saves the depth and sets it to 0, releases the lock; on destruction re-acquires it, restores
// the depth and applies the pending pool.
class LockReleased {
 public:
  LockReleased() noexcept;
  ~LockReleased();
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* state_;
  int saved_depth_;
};

// Runs `work` (which must not touch any Python object) with the lock released.
template <class F>
auto without_lock(F&& work) {
  LockReleased released;
  return std::forward<F>(work)();
}

}  // namespace tessary::module
