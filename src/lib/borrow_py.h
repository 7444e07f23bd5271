// The borrow counter every instance carries: shared uses may overlap, an
// exclusive use may not overlap anything. Touched only under the interpreter
// lock, so it needs no atomics.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lib/python_error_py.h"

namespace lumigrab::py {

class SharedBorrow {
 public:
  explicit SharedBorrow(Py_ssize_t& counter) : counter_(counter) {
    if (counter_ == -1) {
      raise_runtime_error("Already mutably borrowed");
    }
    ++counter_;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { --counter_; }

 private:
  Py_ssize_t& counter_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(Py_ssize_t& counter) : counter_(counter) {
    if (counter_ != 0) {
      raise_runtime_error("Already borrowed");
    }
    counter_ = -1;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { counter_ = 0; }

 private:
  Py_ssize_t& counter_;
};

}  // namespace lumigrab::py
