// The Python class Capture.
#pragma once

#include "lib/py_ref_py.h"

namespace lumigrab::py {

PyTypeObject* capture_class();

}  // namespace lumigrab::py
