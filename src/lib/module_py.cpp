// The module's entry point: creation, registration, and the per-process
// caches that make a second import return the same module.
#include <atomic>
#include <string>

#include "capture/capture_py.h"
#include "lib/boundary_py.h"
#include "lib/py_ref_py.h"
#include "monitor/monitor_py.h"
#include "window/window_py.h"

namespace lumigrab::py {
namespace {

constexpr const char* kVersion = "0.1.1";

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "lumigrab",
    "Screen capture into NumPy arrays: this module exports the lumigrab library to Python.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* module_all(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      raise_pending();
    }
    PyErr_Clear();
    all = PyRef::steal(require_object(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
      raise_pending();
    }
  }
  if (!PyList_Check(all.get())) {
    raise_type_error("'" + type_qualname(all.get()) + "' object cannot be converted to 'PyList'");
  }
  return all.release();
}

void add_value(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(module_all(module));
  PyRef name_object = PyRef::steal(require_object(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), name_object.get()) != 0) {
    fault("could not append __name__ to __all__: " + PythonError::fetch().debug_form());
  }
  if (PyObject_SetAttr(module, name_object.get(), value) != 0) {
    raise_pending();
  }
}

void add_function(PyObject* module, PyMethodDef* definition) {
  const char* module_name = PyModule_GetName(module);
  if (module_name == nullptr) {
    raise_pending();
  }
  PyRef module_name_object = PyRef::steal(require_object(PyUnicode_FromString(module_name)));
  PyRef function =
      PyRef::steal(PyCMethod_New(definition, module, module_name_object.get(), nullptr));
  if (!function) {
    raise_pending();
  }
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) {
    raise_pending();
  }
  const char* name_text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (name_text == nullptr) {
    if (PyErr_Occurred() == nullptr) {
      raise_type_error("'" + type_qualname(name.get()) +
                       "' object cannot be converted to 'PyString'");
    }
    raise_pending();
  }
  add_value(module, name_text, function.get());
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) {
    raise_pending();
  }
  add_value(module, name, reinterpret_cast<PyObject*>(type));
}

// Registration, strictly in this order.
void module_body(PyObject* module) {
  add_function(module, window_functions() + 0);  // enumerate_windows
  add_function(module, window_functions() + 1);  // foreground_window
  add_class(module, "Window", window_class());
  add_function(module, monitor_functions() + 0);  // primary_monitor
  add_function(module, monitor_functions() + 1);  // enumerate_monitors
  add_class(module, "Monitor", monitor_class());
  add_class(module, "Capture", capture_class());
  PyRef version = PyRef::steal(require_object(PyUnicode_FromString(kVersion)));
  add_value(module, "__version__", version.get());
}

PyRef initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    raise_pending();
  }
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    throw PythonError::make(
        PyExc_ImportError,
        "lumigrab does not support sub-interpreters: it is already loaded in another "
        "interpreter of this process");
  }
  if (g_module != nullptr) {
    return PyRef::borrow(g_module);
  }
  PyRef module = PyRef::steal(PyModule_Create2(&g_definition, 1013));
  if (!module) {
    raise_pending();
  }
  module_body(module.get());
  if (g_module == nullptr) {
    g_module = module.release();
  }
  return PyRef::borrow(g_module);
}

}  // namespace
}  // namespace lumigrab::py

PyMODINIT_FUNC PyInit_lumigrab() {
  return lumigrab::py::boundary([] { return lumigrab::py::initialise(); });
}
