// PanicException: how a fault reaches Python.
#pragma once

#include <string>

#include "lib/py_ref_py.h"

namespace lumigrab::py {

// The exception type, made on first use and kept for the life of the process.
// Null (with a Python error set) only if CPython cannot make it.
PyObject* panic_exception_type();

// Sets a PanicException carrying `message` as the pending exception.
void set_panic_exception(const std::string& message);

}  // namespace lumigrab::py
