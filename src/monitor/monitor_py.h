// The Python class Monitor and the module functions that hand out monitors.
#pragma once

#include <optional>

#include "lib/py_ref_py.h"
#include "platform/win_types.h"

namespace lumigrab::py {

// The class object (created on first demand); null with an error pending if
// it cannot be created.
PyTypeObject* monitor_class();

// primary_monitor and enumerate_monitors, in registration order.
PyMethodDef* monitor_functions();

// The handle of a Monitor instance (taken for shared use while read), or
// nothing when `object` is not one.
std::optional<win::HMONITOR> monitor_handle_of(PyObject* object);

}  // namespace lumigrab::py
