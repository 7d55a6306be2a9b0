#pragma once

#include "module/pyref.h"

namespace tessary::module {

// The exception raised for a violated internal invariant: derived directly from BaseException
// so ordinary `except Exception` handlers do not swallow it. Created once per process; returns
// a borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

}  // namespace tessary::module
