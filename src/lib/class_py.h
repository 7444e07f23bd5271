// Building the module's classes: one recipe shared by Monitor, Window and
// Capture, each created once per process.
#pragma once

#include "lib/py_ref_py.h"

namespace lumigrab::py {

struct ClassRecipe {
  const char* name;            // "Monitor"
  const char* text_signature;  // "(id=None)"
  const char* doc;             // the docstring after the signature line
  int basic_size;
  newfunc new_instance;
  destructor release;
  PyGetSetDef* properties;  // null-terminated, or null
  PyMethodDef* methods;     // null-terminated, or null
  reprfunc repr;            // the text form, or null for object's
};

// The class object for `recipe`, created on first demand and kept for the
// life of the process in `cache`. A borrowed reference; null with a Python
// error pending when it cannot be created.
PyTypeObject* class_object(const ClassRecipe& recipe, PyTypeObject*& cache);

// The class object, or a fault when it cannot be created.
PyTypeObject* require_class(const ClassRecipe& recipe, PyTypeObject*& cache);

// Allocates an instance through the class's allocation slot.
PyObject* allocate_instance(PyTypeObject* type);

// The release routine's last step: free the object and drop its class.
void free_instance(PyObject* self);

}  // namespace lumigrab::py
