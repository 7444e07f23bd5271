#include "lib/python_error_py.h"

#include "lib/fault.h"
#include "lib/panic_py.h"

namespace lumigrab::py {
namespace {

std::string repr_text(PyObject* object) {
  if (object == nullptr) {
    return "None";
  }
  PyRef repr = PyRef::steal(PyObject_Repr(object));
  if (!repr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  const char* text = PyUnicode_AsUTF8(repr.get());
  if (text == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return text;
}

// A PanicException that passed through Python code called by the module is
// the same fault going on: report it and raise it again as a fault.
[[noreturn]] void continue_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  std::string message = "Unwrapped panic from Python code";
  if (value != nullptr) {
    PyRef str = PyRef::steal(PyObject_Str(value));
    const char* text = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (text != nullptr) {
      message = text;
    } else {
      PyErr_Clear();
    }
  }
  PySys_WriteStderr("--- A panic passed through Python code; its traceback follows ---\n");
  PyErr_Restore(type, value, traceback);
  PyErr_PrintEx(0);
  fault(std::move(message));
}

}  // namespace

PythonError PythonError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (PyErr_GivenExceptionMatches(type, panic_exception_type())) {
    continue_panic(type, value, traceback);
  }
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

PythonError PythonError::make(PyObject* type, const std::string& text) {
  PyRef message = PyRef::steal(require_object(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
  PyRef value = PyRef::steal(PyObject_CallOneArg(type, message.get()));
  if (!value) {
    return fetch();
  }
  return {PyRef::borrow(type), std::move(value), PyRef()};
}

void PythonError::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyObject* PythonError::value() {
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  type_ = PyRef::steal(type);
  value_ = PyRef::steal(value);
  traceback_ = PyRef::steal(traceback);
  return value_.get();
}

std::string PythonError::debug_form() {
  PyObject* instance = value();
  return "PythonError { type: " + repr_text(type_.get()) + ", value: " + repr_text(instance) +
         ", traceback: " + (traceback_ ? repr_text(traceback_.get()) : std::string("None")) + " }";
}

void raise_runtime_error(const std::string& text) {
  throw PythonError::make(PyExc_RuntimeError, text);
}

void raise_type_error(const std::string& text) {
  throw PythonError::make(PyExc_TypeError, text);
}

void raise_pending() {
  throw PythonError::fetch();
}

PyObject* require_object(PyObject* result) {
  if (result == nullptr) {
    PyErr_Print();
    fault("Python API call failed");
  }
  return result;
}

std::string type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

}  // namespace lumigrab::py
