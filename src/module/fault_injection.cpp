// Allocation-failure injection, compiled only into the build the allocation-failure tests use
// (CMake option TESSARY_FAULT_INJECTION). The link wraps the module's own references to
// malloc, calloc, realloc and operator new (-Wl,--wrap), so every allocation made by the
// module's code, the engine's and the standard containers' alike, passes through a counter
// here; the allocations of the interpreter and of other libraries do not. Tests arm the counter
// through plain C functions found with ctypes: the module itself gains no names.
#ifdef TESSARY_FAULT_INJECTION

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "storage/pages.h"

namespace {

// Allocations left before the one that fails (0: none fails), and whether one did.
std::atomic<long> countdown{0};
std::atomic<long> failed{0};

bool fail_this_one() noexcept {
  if (countdown.load(std::memory_order_relaxed) == 0) return false;
  if (countdown.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
  failed.fetch_add(1, std::memory_order_relaxed);
  return true;
}

}  // namespace

#define TESSARY_EXPORT extern "C" __attribute__((visibility("default")))

// From now on, the n-th allocation of the module fails (and only that one); 0 disarms.
TESSARY_EXPORT void tessary_fault_fail_nth(long n) {
  failed.store(0, std::memory_order_relaxed);
  countdown.store(n, std::memory_order_relaxed);
}
// How many injected failures happened since the last tessary_fault_fail_nth.
TESSARY_EXPORT long tessary_fault_failures() { return failed.load(std::memory_order_relaxed); }

#ifdef TESSARY_FAULT_INJECTION_MMAP
// Gives back the page runs kept for reuse (storage/pages.h), so that the next parse maps its
// pages afresh and every one of those mappings can be made to fail.
TESSARY_EXPORT void tessary_fault_drop_kept_pages() { tessary::storage::drop_kept_pages(); }
#endif

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __real__Znwm(size_t);
void* __real__Znam(size_t);
void* __real__ZnwmRKSt9nothrow_t(size_t, const std::nothrow_t&) noexcept;

void* __wrap_malloc(size_t n) { return fail_this_one() ? nullptr : __real_malloc(n); }
void* __wrap_calloc(size_t n, size_t size) { return fail_this_one() ? nullptr : __real_calloc(n, size); }
void* __wrap_realloc(void* p, size_t n) { return fail_this_one() ? nullptr : __real_realloc(p, n); }
// operator new(size_t) and operator new[](size_t): they throw as the real ones do.
void* __wrap__Znwm(size_t n) {
  if (fail_this_one()) throw std::bad_alloc();
  return __real__Znwm(n);
}
void* __wrap__Znam(size_t n) {
  if (fail_this_one()) throw std::bad_alloc();
  return __real__Znam(n);
}
#ifdef TESSARY_FAULT_INJECTION_MMAP
// Pages straight from the system (storage/pages.h) fail as mmap does. Only where the link wraps
// nothing but the module's own code: a fuzz target's sanitizer runtime maps memory too.
void* __real_mmap(void*, size_t, int, int, int, off_t);
void* __wrap_mmap(void* addr, size_t n, int prot, int flags, int fd, off_t off) {
  return fail_this_one() ? MAP_FAILED : __real_mmap(addr, n, prot, flags, fd, off);
}
#endif
// The nothrow forms return null.
void* __wrap__ZnwmRKSt9nothrow_t(size_t n, const std::nothrow_t& t) noexcept {
  if (fail_this_one()) return nullptr;
  return __real__ZnwmRKSt9nothrow_t(n, t);
}
}

#endif  // TESSARY_FAULT_INJECTION
