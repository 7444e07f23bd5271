// Argument matching and conversion for the entry points that take arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "lib/python_error_py.h"

namespace lumigrab::py {

// The parameters of one entry point; all positional-or-keyword, the first
// `required` of them required.
struct Signature {
  const char* name;  // as messages show it, e.g. "Monitor.__new__()"
  std::span<const char* const> parameters;
  std::size_t required;
};

// Matches a fast call (positional array, keyword names tuple). `out` gets one
// borrowed reference per parameter, null where none was passed.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> out);

// Matches a classic call (argument tuple, keyword dict or null).
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out);

// The conversion error of `parameter` as a TypeError that names it, keeping
// what caused the original.
PythonError reword_argument_error(const char* parameter, PythonError& error);

// Runs a conversion of argument `parameter`; a TypeError from it (exactly that
// type) is reworded to name the argument, anything else passes unchanged.
template <typename Convert>
auto convert_argument(const char* parameter, Convert&& convert) {
  try {
    return convert();
  } catch (PythonError& error) {
    if (error.type() == PyExc_TypeError) {
      throw reword_argument_error(parameter, error);
    }
    throw;
  }
}

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void raise_conversion_error(PyObject* object, const char* target);

// None gives nothing; otherwise an unsigned 64-bit integer through the index
// protocol.
std::optional<std::uint64_t> to_optional_u64(PyObject* object);

// A str, as UTF-8.
std::string to_utf8_string(PyObject* object);

// None gives `if_none`; otherwise exactly a bool.
bool to_bool_or(PyObject* object, bool if_none);

}  // namespace lumigrab::py
