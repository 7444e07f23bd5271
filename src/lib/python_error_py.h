// Python exceptions as values on their way to the boundary wrapper.
#pragma once

#include <string>

#include "lib/py_ref_py.h"

namespace lumigrab::py {

// A Python exception taken out of (or not yet put into) the interpreter's
// error indicator. Thrown as a C++ exception; the boundary wrapper restores it.
class PythonError {
 public:
  PythonError(PyRef type, PyRef value, PyRef traceback) noexcept
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

  // Takes the pending exception. With none pending, a SystemError. A pending
  // PanicException is not an ordinary error: it continues as a fault.
  static PythonError fetch();

  // A new exception of `type` with the message `text`.
  static PythonError make(PyObject* type, const std::string& text);

  // Puts the exception back as the pending one.
  void restore() &&;

  PyObject* type() const noexcept { return type_.get(); }
  // The normalised exception instance.
  PyObject* value();

  // How the error reads inside a fault message.
  std::string debug_form();

 private:
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// Throws RuntimeError with `text`: how every own error reaches Python.
[[noreturn]] void raise_runtime_error(const std::string& text);
[[noreturn]] void raise_type_error(const std::string& text);
// Throws the pending exception (or the SystemError for none).
[[noreturn]] void raise_pending();

// The result of a CPython call that must succeed to make a basic object
// (string, integer, list): a failure is printed and becomes a fault.
PyObject* require_object(PyObject* result);

// The qualified name of an object's type, or a stand-in when it cannot be read.
std::string type_qualname(PyObject* object);

}  // namespace lumigrab::py

#include <vector>

#include "lib/desktop.h"
#include "lib/result.h"

namespace lumigrab::py {

// The value of `result`, or RuntimeError with the error's text form (and,
// where there is no desktop to reach, why).
template <typename T, typename E>
T value_or_raise(Result<T, E> result) {
  if (!result) {
    raise_runtime_error(with_unreachable_reason(text_form(result.error())));
  }
  return std::move(result).value();
}

// For a failure that is otherwise a fault: RuntimeError, as value_or_raise
// makes it, when it failed where there is no desktop to reach. Such a failure
// lies outside the program, so the program must be able to catch it.
template <typename T, typename E>
void raise_if_unreachable(const Result<T, E>& result) {
  if (!result) {
    if (const std::optional<std::string> reason = desktop_unreachable()) {
      raise_runtime_error(with_reason(text_form(result.error()), *reason));
    }
  }
}

// A new list with one object made by `make` per item, in order.
template <typename Item, typename Make>
PyRef list_of(const std::vector<Item>& items, Make&& make) {
  PyRef list = PyRef::steal(require_object(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
  }
  return list;
}

}  // namespace lumigrab::py
