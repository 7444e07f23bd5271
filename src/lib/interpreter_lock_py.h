// Giving the interpreter lock up around work that may wait (a thread, a lock,
// the GPU, a display server), so that other Python threads run meanwhile.
//
// Nothing may touch a Python object while the lock is given up: such code
// makes plain C++ values, and takes the lock back (WithInterpreterLock) for
// the few steps that need it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumigrab::py {

// Lets other Python threads run for as long as it lives; the lock is taken
// back however the scope is left, so an exception made without the lock
// reaches the boundary wrapper with it held.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Takes the interpreter lock back, inside a scope that gave it up.
class WithInterpreterLock {
 public:
  WithInterpreterLock() noexcept : state_(PyGILState_Ensure()) {}
  WithInterpreterLock(const WithInterpreterLock&) = delete;
  WithInterpreterLock& operator=(const WithInterpreterLock&) = delete;
  ~WithInterpreterLock() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Runs `work` without the interpreter lock and returns what it returns.
template <typename Work>
decltype(auto) without_interpreter_lock(Work&& work) {
  const WithoutInterpreterLock unlocked;
  return std::forward<Work>(work)();
}

}  // namespace lumigrab::py
