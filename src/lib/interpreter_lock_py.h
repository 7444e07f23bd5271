// Giving the interpreter lock up around work that may wait (a thread, a lock,
// the GPU, a display server), so that other Python threads run meanwhile.
//
// Nothing may touch a Python object while the lock is given up: such code
// makes plain C++ values, and takes the lock back (WithInterpreterLock) for
// the few steps that need it, holding no lock of its own then.
//
// A thread other than the main one that asks for the interpreter lock while
// the interpreter shuts down (a daemon thread) is ended by CPython. With
// glibc that ending unwinds the thread's stack as an exception, ThreadEnding,
// which must pass through every frame: whatever takes the lock back does so
// where an exception may leave (never in a destructor), and nothing catches
// ThreadEnding for good. On Windows the thread ends where it stands.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>

#if defined(__GLIBC__)
#include <cxxabi.h>
#endif

namespace lumigrab::py {

#if defined(__GLIBC__)
using ThreadEnding = ::abi::__forced_unwind;
#else
// Never thrown where threads end without unwinding.
struct ThreadEnding {};
#endif

// Runs `work` without the interpreter lock and returns what it returns, with
// the lock taken back however `work` ends (except when the thread is ended:
// it then never had the lock back).
template <typename Work>
std::invoke_result_t<Work> without_interpreter_lock(Work&& work) {
  PyThreadState* const state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
      std::forward<Work>(work)();
      PyEval_RestoreThread(state);
    } else {
      std::invoke_result_t<Work> result = std::forward<Work>(work)();
      PyEval_RestoreThread(state);
      return result;
    }
  } catch (const ThreadEnding&) {
    throw;
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
}

// Takes the interpreter lock back for its scope, inside work that runs
// without it.
class WithInterpreterLock {
 public:
  WithInterpreterLock() : state_(PyGILState_Ensure()) {}
  WithInterpreterLock(const WithInterpreterLock&) = delete;
  WithInterpreterLock& operator=(const WithInterpreterLock&) = delete;
  ~WithInterpreterLock() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

}  // namespace lumigrab::py
