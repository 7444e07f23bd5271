#include "lib/class_py.h"

#include <string>
#include <vector>

#include "lib/fault.h"
#include "lib/python_error_py.h"

namespace lumigrab::py {
namespace {

// Docstrings handed to CPython stay alive for the life of the process.
const char* composed_doc(const ClassRecipe& recipe) {
  auto* doc = new std::string(recipe.name);  // NOLINT(cppcoreguidelines-owning-memory)
  std::string body = recipe.doc;
  while (!body.empty() && body.back() == '\0') {
    body.pop_back();
  }
  *doc += std::string(recipe.text_signature) + "\n--\n\n" + body;
  return doc->c_str();
}

}  // namespace

PyTypeObject* class_object(const ClassRecipe& recipe, PyTypeObject*& cache) {
  if (cache != nullptr) {
    return cache;
  }
  const std::string full_name = std::string("builtins.") + recipe.name;
  std::vector<PyType_Slot> slots = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, const_cast<char*>(composed_doc(recipe))},
      {Py_tp_dealloc, reinterpret_cast<void*>(recipe.release)},
      {Py_tp_new, reinterpret_cast<void*>(recipe.new_instance)},
  };
  if (recipe.properties != nullptr) {
    slots.push_back({Py_tp_getset, recipe.properties});
  }
  if (recipe.methods != nullptr) {
    slots.push_back({Py_tp_methods, recipe.methods});
  }
  if (recipe.repr != nullptr) {
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(recipe.repr)});
  }
  slots.push_back({0, nullptr});
  // CPython keeps pointing at the type's name.
  auto* kept_name = new std::string(full_name);  // NOLINT(cppcoreguidelines-owning-memory)
  PyType_Spec spec{kept_name->c_str(), recipe.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    return nullptr;
  }
  if (cache == nullptr) {
    cache = reinterpret_cast<PyTypeObject*>(type);
  } else {
    Py_DECREF(type);
  }
  return cache;
}

PyTypeObject* require_class(const ClassRecipe& recipe, PyTypeObject*& cache) {
  PyTypeObject* type = class_object(recipe, cache);
  if (type == nullptr) {
    PyErr_Print();
    fault(std::string("failed to create type object for ") + recipe.name);
  }
  return type;
}

PyObject* allocate_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return require_object(alloc(type, 0));
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace lumigrab::py
