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
#include "lib/interpreter_lock_py.h"
#include "lib/result.h"

namespace lumigrab::py {

// For a failure that is otherwise a fault: RuntimeError, as query_or_raise
// makes it, when it failed where there is no desktop to reach. Such a failure
// lies outside the program, so the program must be able to catch it.
template <typename T, typename E>
void raise_if_unreachable(const Result<T, E>& result) {
  if (!result) {
    const std::optional<std::string> reason =
        without_interpreter_lock([] { return desktop_unreachable(); });
    if (reason) {
      raise_runtime_error(with_reason(text_form(result.error()), *reason));
    }
  }
}

// Runs `query` (which returns a Result) without the interpreter lock, since
// asking the desktop may wait (for a display server), and returns its value,
// or raises RuntimeError with the error's text form (and, where there is no
// desktop to reach, why), made without the lock too.
template <typename Query>
auto query_or_raise(Query&& query) {
  std::optional<std::string> failure;
  auto result = without_interpreter_lock([&] {
    auto answer = std::forward<Query>(query)();
    if (!answer) {
      failure = with_unreachable_reason(text_form(answer.error()));
    }
    return answer;
  });
  if (failure) {
    raise_runtime_error(*failure);
  }
  return std::move(result).value();
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
