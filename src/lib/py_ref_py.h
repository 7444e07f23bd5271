// Owner of one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumigrab::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~PyRef() { Py_XDECREF(ptr_); }
  PyRef& operator=(PyRef other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* ptr) noexcept {
    PyRef ref;
    ref.ptr_ = ptr;
    return ref;
  }
  // Adds a reference of its own to a borrowed one.
  static PyRef borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return steal(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Gives the reference up, for returning it to CPython.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace lumigrab::py
