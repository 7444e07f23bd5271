#include "lib/numpy_py.h"

#include "lib/fault.h"
#include "lib/python_error_py.h"

namespace lumigrab::py {
namespace {

void** g_table = nullptr;
PyObject* g_capsule = nullptr;  // kept so the table stays valid

[[noreturn]] void capsule_fault(PythonError error) {
  fault("Failed to access NumPy array API capsule: " + error.debug_form());
}

// The pending exception of a failed step that ran Python code: a fault, except
// what is no error of NumPy's (KeyboardInterrupt from Ctrl+C, SystemExit, or
// any other exception that is not an Exception), which goes on as itself.
[[noreturn]] void fail_with_pending() {
  PythonError error = PythonError::fetch();
  if (PyErr_GivenExceptionMatches(error.type(), PyExc_Exception) == 0) {
    throw error;
  }
  capsule_fault(std::move(error));
}

}  // namespace

void** numpy_api() {
  if (g_table != nullptr) {
    return g_table;
  }
  PyRef name = PyRef::steal(require_object(PyUnicode_FromString("numpy.core.multiarray")));
  PyRef module = PyRef::steal(PyImport_Import(name.get()));
  if (!module) {
    fail_with_pending();
  }
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) {
    fail_with_pending();
  }
  if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
    capsule_fault(PythonError::make(
        PyExc_TypeError,
        "'" + type_qualname(capsule.get()) + "' object cannot be converted to 'PyCapsule'"));
  }
  const char* capsule_name = PyCapsule_GetName(capsule.get());
  if (capsule_name == nullptr) {
    PyErr_Clear();
  }
  void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
  if (table == nullptr) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_ValueError, "the capsule holds no pointer");
    }
    capsule_fault(PythonError::fetch());
  }
  if (g_table == nullptr) {
    g_table = static_cast<void**>(table);
    g_capsule = capsule.release();
  }
  return g_table;
}

}  // namespace lumigrab::py
