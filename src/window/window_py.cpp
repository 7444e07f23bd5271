#include "window/window_py.h"

#include <array>

#include "lib/args_py.h"
#include "lib/borrow_py.h"
#include "lib/boundary_py.h"
#include "lib/class_py.h"
#include "lib/desktop.h"
#include "window/window.h"

namespace lumigrab::py {
namespace {

struct WindowObject {
  PyObject_HEAD
  win::HWND handle;
  Py_ssize_t borrow;
};

WindowObject* as_window(PyObject* self) {
  return reinterpret_cast<WindowObject*>(self);
}

PyTypeObject* g_window_class = nullptr;

PyTypeObject* require_window_class();

PyRef new_window(win::HWND handle) {
  PyRef object = PyRef::steal(allocate_instance(require_window_class()));
  as_window(object.get())->handle = handle;
  as_window(object.get())->borrow = 0;
  return object;
}

// The window `query` finds, or RuntimeError with the text of what it did not
// find, followed by why where the desktop cannot be reached or lists no
// windows at all (both made without the interpreter lock).
template <typename Query>
win::HWND found_or_raise(Query&& query) {
  std::optional<std::string> failure;
  auto result = without_interpreter_lock([&] {
    auto answer = std::forward<Query>(query)();
    if (!answer) {
      failure = with_unlisted_reason(with_unreachable_reason(text_form(answer.error())));
    }
    return answer;
  });
  if (failure) {
    raise_runtime_error(*failure);
  }
  return std::move(result).value();
}

constexpr const char* kNameParameters[] = {"name"};
constexpr Signature kNewSignature{"Window.__new__()", kNameParameters, 1};

PyObject* window_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return boundary([args, kwargs] {
    std::array<PyObject*, 1> values{};
    match_arguments(kNewSignature, args, kwargs, values);
    const std::string name = convert_argument("name", [&] { return to_utf8_string(values[0]); });
    return new_window(found_or_raise([&name] { return window::find_window(name); }));
  });
}

void window_release(PyObject* self) {
  free_instance(self);
}

PyObject* get_valid(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    SharedBorrow borrow(as_window(self)->borrow);
    const win::HWND handle = as_window(self)->handle;
    const bool valid =
        without_interpreter_lock([handle] { return window::is_valid_window(handle); });
    return PyRef::borrow(valid ? Py_True : Py_False);
  });
}

PyObject* get_name(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    SharedBorrow borrow(as_window(self)->borrow);
    const win::HWND handle = as_window(self)->handle;
    const std::string title = query_or_raise([handle] { return window::window_title(handle); });
    return PyRef::steal(require_object(
        PyUnicode_FromStringAndSize(title.data(), static_cast<Py_ssize_t>(title.size()))));
  });
}

// One member of the client area, as an int.
template <auto Member>
PyObject* client_area_member(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    SharedBorrow borrow(as_window(self)->borrow);
    const win::HWND handle = as_window(self)->handle;
    const window::ClientArea area =
        query_or_raise([handle] { return window::client_area(handle); });
    return PyRef::steal(require_object(PyLong_FromLong(area.*Member)));
  });
}

PyObject* get_process_id(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    SharedBorrow borrow(as_window(self)->borrow);
    const win::HWND handle = as_window(self)->handle;
    const win::DWORD id = query_or_raise([handle] { return window::process_id(handle); });
    return PyRef::steal(require_object(PyLong_FromUnsignedLong(id)));
  });
}

// "<Window 'Untitled - Notepad'>", the title quoted as Python quotes a str.
PyObject* window_repr(PyObject* self) {
  return boundary([self] {
    SharedBorrow borrow(as_window(self)->borrow);
    const win::HWND handle = as_window(self)->handle;
    const auto title = without_interpreter_lock([handle] { return window::window_title(handle); });
    if (!title) {
      return PyRef::steal(require_object(PyUnicode_FromString("<Window (untitled)>")));
    }
    PyRef text = PyRef::steal(require_object(PyUnicode_FromStringAndSize(
        title.value().data(), static_cast<Py_ssize_t>(title.value().size()))));
    return PyRef::steal(require_object(PyUnicode_FromFormat("<Window %R>", text.get())));
  });
}

PyGetSetDef g_properties[] = {
    {"valid", get_valid, nullptr,
     ":``bool``: True if the window is still valid (i.e., open), else False.", nullptr},
    {"name", get_name, nullptr, ":``str``: The name string of the window.", nullptr},
    {"left", client_area_member<&window::ClientArea::left>, nullptr,
     ":``int``: The x coordinate of the client area's left edge on the desktop.", nullptr},
    {"top", client_area_member<&window::ClientArea::top>, nullptr,
     ":``int``: The y coordinate of the client area's top edge on the desktop.", nullptr},
    {"width", client_area_member<&window::ClientArea::width>, nullptr,
     ":``int``: The width of the client area in pixels.", nullptr},
    {"height", client_area_member<&window::ClientArea::height>, nullptr,
     ":``int``: The height of the client area in pixels.", nullptr},
    {"process_id", get_process_id, nullptr, ":``int``: The id of the process that owns the window.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassRecipe kWindowRecipe{
    "Window",
    "(name)",
    "Window(name: str) -> Window\n"
    "Window abstraction for the Windows operating system.\n\n"
    "Windows can be used as capture target for the :class:`.Capture` class.\n\n"
    "Args:\n    name: The name of the window.",
    sizeof(WindowObject),
    window_new,
    window_release,
    g_properties,
    nullptr,
    window_repr,
};

PyTypeObject* require_window_class() {
  return require_class(kWindowRecipe, g_window_class);
}

PyObject* enumerate_windows(PyObject* /*module*/, PyObject* /*unused*/) {
  return boundary([] {
    const auto handles = query_or_raise(window::enumerate_windows);
    return list_of(handles, new_window);
  });
}

PyObject* foreground_window(PyObject* /*module*/, PyObject* /*unused*/) {
  return boundary([] { return new_window(found_or_raise(window::foreground_window)); });
}

PyMethodDef g_functions[] = {
    {"enumerate_windows", enumerate_windows, METH_NOARGS,
     "enumerate_windows()\n--\n\nenumerate_windows() -> list[Window]\n\n"
     "Enumerate all windows that are currently available.\n\nReturns:\n    A list of all "
     "windows.\n\nRaises:\n   WindowError: Enumerating the windows has failed."},
    {"foreground_window", foreground_window, METH_NOARGS,
     "foreground_window()\n--\n\nforeground_window() -> Window\n\nGet the currently active "
     "window.\n\nReturns:\n   The active window.\n\nRaises:\n  NoActiveWindow: No active window "
     "was found."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* window_class() {
  return class_object(kWindowRecipe, g_window_class);
}

PyMethodDef* window_functions() {
  return g_functions;
}

std::optional<win::HWND> window_handle_of(PyObject* object) {
  PyTypeObject* type = require_window_class();
  if (PyObject_TypeCheck(object, type) == 0) {
    return std::nullopt;
  }
  SharedBorrow borrow(as_window(object)->borrow);
  return as_window(object)->handle;
}

}  // namespace lumigrab::py
