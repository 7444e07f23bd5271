// The boundary wrapper: the one place where C++ outcomes become Python ones.
//
// Every entry point runs its body through `boundary`. A value is returned as
// a new reference; a PythonError becomes the pending exception; a Fault
// becomes PanicException. Nothing else may cross into CPython.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "lib/fault.h"
#include "lib/interpreter_lock_py.h"
#include "lib/panic_py.h"
#include "lib/python_error_py.h"

namespace lumigrab::py {

namespace detail {

// A fault while an outcome is being turned into a Python exception has no
// caller left to receive it.
[[noreturn]] inline void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// Turns the exception in flight into the pending Python exception.
inline void set_pending_from_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (PythonError& error) {
      std::move(error).restore();
    } catch (const Fault& failure) {
      set_panic_exception(failure.message());
    } catch (const std::bad_alloc&) {
      // Allocation failure is reported like the fault it is, without
      // allocating a report of its own first.
      set_panic_exception("memory allocation failed");
    } catch (const std::exception& other) {
      set_panic_exception(other.what());
    }
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace detail

// Runs `body` (returning a PyRef) and hands the outcome to CPython. Only the
// unwinding that ends a thread at shutdown leaves it (see ThreadEnding).
template <typename Body>
PyObject* boundary(Body&& body) {
  try {
    return body().release();
  } catch (const ThreadEnding&) {
    throw;
  } catch (...) {
    detail::set_pending_from_current_exception();
    return nullptr;
  }
}

// Same, for bodies whose failure value is -1 (init-style slots).
template <typename Body>
int boundary_status(Body&& body) {
  try {
    body();
    return 0;
  } catch (const ThreadEnding&) {
    throw;
  } catch (...) {
    detail::set_pending_from_current_exception();
    return -1;
  }
}

// The release of an instance: no caller can receive an outcome, so a failure
// goes to CPython's unraisable-exception hook.
template <typename Body>
void boundary_release(PyObject* object, Body&& body) {
  try {
    body();
  } catch (const ThreadEnding&) {
    throw;
  } catch (...) {
    detail::set_pending_from_current_exception();
    PyErr_WriteUnraisable(object);
  }
}

}  // namespace lumigrab::py
