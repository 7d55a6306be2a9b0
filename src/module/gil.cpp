#include "module/gil.h"

#include <mutex>
#include <vector>

#include "module/grow.h"

namespace tessary::module {

namespace {

[[gnu::tls_model("initial-exec")]] thread_local int depth = 0;

struct PendingPool {
  std::mutex mutex;
  std::vector<Ref> objects;  // each released by the entry that takes it, with the lock
};

PendingPool& pool() {
  // Never destroyed: releases may still be queued while the process exits.
  static PendingPool* p = new PendingPool();
  return *p;
}

}  // namespace

void release_object(Ref o) noexcept {
  if (!o) return;
  // Outside any entry (a Node destroyed by the interpreter, say) the lock may still be held:
  // release at once then too, so nothing waits for the next call into the module.
  if (depth > 0 || PyGILState_Check()) return;  // `o` releases its reference here
  PendingPool& p = pool();
  {
    std::lock_guard<std::mutex> g(p.mutex);
    if (try_push_back(p.objects, std::move(o))) return;
  }
  // No room to queue it: take the lock for just this release instead.
  PyGILState_STATE held = PyGILState_Ensure();
  o = Ref();
  PyGILState_Release(held);
}

namespace {

void release_owner(void* object) noexcept { release_object(Ref::steal(static_cast<PyObject*>(object))); }

}  // namespace

storage::BufferOwner buffer_owner(Ref str) noexcept { return {str.release(), &release_owner}; }

void apply_pending_releases() noexcept {
  PendingPool& p = pool();
  std::vector<Ref> taken;  // released as it goes out of scope, with the lock held
  {
    std::lock_guard<std::mutex> g(p.mutex);
    if (p.objects.empty()) return;
    taken.swap(p.objects);
  }
}

EntryScope::EntryScope() noexcept {
  ++depth;
  apply_pending_releases();
}

EntryScope::~EntryScope() { --depth; }

LockReleased::LockReleased() noexcept : saved_depth_(depth) {
  depth = 0;
  state_ = PyEval_SaveThread();
}

LockReleased::~LockReleased() {
  PyEval_RestoreThread(state_);
  depth = saved_depth_;
  apply_pending_releases();
}

}  // namespace tessary::module
