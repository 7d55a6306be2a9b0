// The interpreter lock: the per-thread lock depth, running engine work without the lock, and
// the pool of reference releases requested while the lock was not held.
#pragma once

#include <utility>

#include "module/pyref.h"
#include "storage/source_buffer.h"

namespace tessary::module {

// Releases a reference now when this thread holds the lock, otherwise queues it for the next
// entry into the module on any thread.
void release_object(Ref o) noexcept;

// What a SourceBuffer that borrows the bytes of `str` keeps: the reference moves into it and is
// given to release_object when the buffer is destroyed, on whatever thread that happens.
storage::BufferOwner buffer_owner(Ref str) noexcept;

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
