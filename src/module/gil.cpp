#include "module/gil.h"

#include <mutex>
#include <vector>

#include "storage/source_buffer.h"

namespace tessary::module {

namespace {

[[gnu::tls_model("initial-exec")]] thread_local int depth = 0;

struct PendingPool {
  std::mutex mutex;
  std::vector<PyObject*> objects;
};

PendingPool& pool() {
  // Never destroyed: releases may still be queued while the process exits.
  static PendingPool* p = new PendingPool();
  return *p;
}

}  // namespace

int lock_depth() noexcept { return depth; }

void release_object(PyObject* o) noexcept {
  if (o == nullptr) return;
  // Outside any entry (a Node destroyed by the interpreter, say) the lock may still be held:
  // release at once then too, so nothing waits for the next call into the module.
  if (depth > 0 || PyGILState_Check()) {
    Py_DECREF(o);
    return;
  }
  PendingPool& p = pool();
  std::lock_guard<std::mutex> g(p.mutex);
  p.objects.push_back(o);
}

void apply_pending_releases() noexcept {
  PendingPool& p = pool();
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> g(p.mutex);
    if (p.objects.empty()) return;
    taken.swap(p.objects);
  }
  for (PyObject* o : taken) Py_DECREF(o);
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

namespace tessary::storage {

void release_python_object(void* object) noexcept {
  tessary::module::release_object(static_cast<PyObject*>(object));
}

}  // namespace tessary::storage
