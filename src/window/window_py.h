// The Python class Window and the module functions that hand out windows.
#pragma once

#include <optional>

#include "lib/py_ref_py.h"
#include "platform/win_types.h"

namespace lumigrab::py {

PyTypeObject* window_class();

// enumerate_windows and foreground_window, in registration order.
PyMethodDef* window_functions();

// The handle of a Window instance (taken for shared use while read), or
// nothing when `object` is not one.
std::optional<win::HWND> window_handle_of(PyObject* object);

}  // namespace lumigrab::py
