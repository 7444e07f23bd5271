#include "lib/panic_py.h"

#include "lib/python_error_py.h"

namespace lumigrab::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc("kelvo_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
      return nullptr;
    }
    // Another thread may have made it while the interpreter lock was dropped
    // inside CPython; the first one stays.
    if (g_panic_type == nullptr) {
      g_panic_type = type;
    } else {
      Py_DECREF(type);
    }
  }
  return g_panic_type;
}

void set_panic_exception(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    return;  // the error of making the type stays pending
  }
  PyRef text = PyRef::steal(require_object(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
  PyRef args = PyRef::steal(require_object(PyTuple_Pack(1, text.get())));
  PyErr_SetObject(type, args.get());
}

}  // namespace lumigrab::py
