// Allocations that may fail deep inside code with no error path of its own (copying a text,
// growing an attribute table or a byte string) do not end the process: they leave their object
// in a valid, smaller state and mark this thread's call as failed. Whoever started the call
// (the reader's build, the module's entry wrapper) looks at the mark when it is done and
// reports MemoryError instead of the result, which it releases. The mark is only written on a
// failure, so the paths that succeed pay nothing but the one look at the end.
#pragma once

namespace tessary::storage {

namespace detail {
// Initial-exec TLS: a plain offset from the thread pointer, no __tls_get_addr call.
[[gnu::tls_model("initial-exec")]] inline thread_local bool allocation_failed = false;
}  // namespace detail

[[gnu::cold, gnu::noinline]] inline void note_allocation_failure() noexcept { detail::allocation_failed = true; }
inline bool allocation_failed() noexcept { return detail::allocation_failed; }

// The mark of one call: cleared when the call starts, the outer call's mark put back when it
// ends (a call may run inside another, through a Python callback; a failure inside has
// already become the inner call's MemoryError by then).
class AllocationFailureScope {
 public:
  AllocationFailureScope() noexcept : saved_(detail::allocation_failed) { detail::allocation_failed = false; }
  ~AllocationFailureScope() { detail::allocation_failed = saved_; }
  AllocationFailureScope(const AllocationFailureScope&) = delete;
  AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;
  bool failed() const noexcept { return detail::allocation_failed; }

 private:
  bool saved_;
};

}  // namespace tessary::storage
