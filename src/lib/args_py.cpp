#include "lib/args_py.h"

#include <cstring>

namespace lumigrab::py {
namespace {

std::string was_were(Py_ssize_t given) {
  return std::to_string(given) + (given == 1 ? " was" : " were");
}

[[noreturn]] void too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t count = signature.parameters.size();
  std::string text = std::string(signature.name) + " takes ";
  if (signature.required == count) {
    text += std::to_string(count);
  } else {
    text += "from " + std::to_string(signature.required) + " to " + std::to_string(count);
  }
  raise_type_error(text + " positional arguments but " + was_were(given) + " given");
}

[[noreturn]] void missing_required(const Signature& signature, std::span<PyObject*> out) {
  std::string names;
  std::size_t missing = 0;
  std::vector<const char*> missing_names;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) {
      missing_names.push_back(signature.parameters[i]);
    }
  }
  missing = missing_names.size();
  for (std::size_t i = 0; i < missing; ++i) {
    if (i > 0) {
      names += i + 1 == missing ? " and " : ", ";
    }
    names += std::string("'") + missing_names[i] + "'";
  }
  raise_type_error(std::string(signature.name) + " missing " + std::to_string(missing) +
                   " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                   names);
}

// Places one keyword argument, in the order the keywords came.
void place_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                   std::span<PyObject*> out) {
  const char* name = PyUnicode_AsUTF8(keyword);
  if (name == nullptr) {
    raise_pending();
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (std::strcmp(signature.parameters[i], name) == 0) {
      if (out[i] != nullptr) {
        raise_type_error(std::string(signature.name) + " got multiple values for argument '" +
                         name + "'");
      }
      out[i] = value;
      return;
    }
  }
  raise_type_error(std::string(signature.name) + " got an unexpected keyword argument '" + name +
                   "'");
}

void place_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      std::span<PyObject*> out) {
  for (auto& slot : out) {
    slot = nullptr;
  }
  if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
    too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = args[i];
  }
}

void check_required(const Signature& signature, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) {
      missing_required(signature, out);
    }
  }
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> out) {
  place_positional(signature, args, nargs, out);
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
  }
  check_required(signature, out);
}

void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out) {
  place_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value) != 0) {
      place_keyword(signature, keyword, value, out);
    }
  }
  check_required(signature, out);
}

PythonError reword_argument_error(const char* parameter, PythonError& error) {
  PyObject* original = error.value();
  PyRef text = PyRef::steal(PyObject_Str(original));
  const char* original_text = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (original_text == nullptr) {
    return PythonError::fetch();
  }
  PythonError reworded = PythonError::make(
      PyExc_TypeError, std::string("argument '") + parameter + "': " + original_text);
  // The new error keeps what caused the original, not the original itself.
  PyException_SetCause(reworded.value(), PyException_GetCause(original));
  return reworded;
}

void raise_conversion_error(PyObject* object, const char* target) {
  raise_type_error("'" + type_qualname(object) + "' object cannot be converted to '" + target +
                   "'");
}

std::optional<std::uint64_t> to_optional_u64(PyObject* object) {
  if (object == nullptr || object == Py_None) {
    return std::nullopt;
  }
  PyRef number = PyRef::steal(PyNumber_Index(object));
  if (!number) {
    raise_pending();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    raise_pending();
  }
  return static_cast<std::uint64_t>(value);
}

std::string to_utf8_string(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_conversion_error(object, "PyString");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) {
    raise_pending();
  }
  return {text, static_cast<std::size_t>(size)};
}

bool to_bool_or(PyObject* object, bool if_none) {
  if (object == nullptr || object == Py_None) {
    return if_none;
  }
  if (!PyBool_Check(object)) {
    raise_conversion_error(object, "PyBool");
  }
  return object == Py_True;
}

}  // namespace lumigrab::py
