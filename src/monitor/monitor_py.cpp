#include "monitor/monitor_py.h"

#include <array>

#include "lib/args_py.h"
#include "lib/borrow_py.h"
#include "lib/boundary_py.h"
#include "lib/class_py.h"
#include "monitor/monitor.h"

namespace lumigrab::py {
namespace {

struct MonitorObject {
  PyObject_HEAD
  win::HMONITOR handle;
  Py_ssize_t borrow;
};

MonitorObject* as_monitor(PyObject* self) {
  return reinterpret_cast<MonitorObject*>(self);
}

PyTypeObject* g_monitor_class = nullptr;

PyTypeObject* require_monitor_class();

PyRef new_monitor(win::HMONITOR handle) {
  PyRef object = PyRef::steal(allocate_instance(require_monitor_class()));
  as_monitor(object.get())->handle = handle;
  as_monitor(object.get())->borrow = 0;
  return object;
}

PyRef to_python(std::uint64_t value) {
  return PyRef::steal(require_object(PyLong_FromUnsignedLongLong(value)));
}

PyRef to_python(const std::string& text) {
  return PyRef::steal(require_object(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

// A property getter: the query runs with the instance taken for shared use.
template <auto Query>
PyObject* property(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    SharedBorrow borrow(as_monitor(self)->borrow);
    const win::HMONITOR handle = as_monitor(self)->handle;
    return to_python(query_or_raise([handle] { return Query(handle); }));
  });
}

// The left (or, with `Top`, top) edge of the monitor on the desktop.
template <bool Top>
PyObject* edge(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    SharedBorrow borrow(as_monitor(self)->borrow);
    const win::HMONITOR handle = as_monitor(self)->handle;
    const win::RECT rect = query_or_raise([handle] { return monitor::desktop_rect(handle); });
    return PyRef::steal(require_object(PyLong_FromLong(Top ? rect.top : rect.left)));
  });
}

// "<Monitor 1 '\\.\DISPLAY1' 1920x1080 @60Hz>"; a monitor that cannot be
// asked any more (disconnected) says so instead of raising.
PyObject* monitor_repr(PyObject* self) {
  return boundary([self] {
    SharedBorrow borrow(as_monitor(self)->borrow);
    const win::HMONITOR handle = as_monitor(self)->handle;
    const std::string text = without_interpreter_lock([handle] {
      const auto name = monitor::device_name(handle);
      const auto index = monitor::index(handle);
      const auto width = monitor::width(handle);
      const auto height = monitor::height(handle);
      const auto rate = monitor::refresh_rate(handle);
      if (!(name && width && height && rate)) {
        return std::string("<Monitor (unavailable)>");
      }
      return "<Monitor " + (index ? std::to_string(index.value()) + " " : std::string()) + "'" +
             name.value() + "' " + std::to_string(width.value()) + "x" +
             std::to_string(height.value()) + " @" + std::to_string(rate.value()) + "Hz>";
    });
    return to_python(text);
  });
}

constexpr const char* kIdParameters[] = {"id"};
constexpr Signature kNewSignature{"Monitor.__new__()", kIdParameters, 0};

PyObject* monitor_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return boundary([args, kwargs] {
    std::array<PyObject*, 1> values{};
    match_arguments(kNewSignature, args, kwargs, values);
    const auto id = convert_argument("id", [&] { return to_optional_u64(values[0]); });
    // A failed lookup is not an ordinary error for the constructor, unless
    // there was no desktop to look in (id 0 is refused without looking).
    auto found = without_interpreter_lock(
        [&id] { return id ? monitor::monitor_at(*id) : monitor::primary_monitor(); });
    if (id != 0U) {
      raise_if_unreachable(found);
    }
    return new_monitor(std::move(found).value_or_fault());
  });
}

void monitor_release(PyObject* self) {
  free_instance(self);
}

PyGetSetDef g_properties[] = {
    {"width", property<monitor::width>, nullptr, ":``int``: The pixel width of the monitor.",
     nullptr},
    {"height", property<monitor::height>, nullptr, ":``int``: The pixel height of the monitor.",
     nullptr},
    {"index", property<monitor::index>, nullptr, ":``int``: The index of the monitor.", nullptr},
    {"refresh_rate", property<monitor::refresh_rate>, nullptr,
     ":``int``: The refresh rate of the monitor in Hz.", nullptr},
    {"device_name", property<monitor::device_name>, nullptr, ":``str``: The monitor device name.",
     nullptr},
    {"device_string", property<monitor::device_string>, nullptr,
     ":``str``: The device string of the monitor.", nullptr},
    {"left", edge<false>, nullptr,
     ":``int``: The x coordinate of the monitor's left edge on the desktop (the primary "
     "monitor's\nis 0).",
     nullptr},
    {"top", edge<true>, nullptr,
     ":``int``: The y coordinate of the monitor's top edge on the desktop (the primary "
     "monitor's\nis 0).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassRecipe kMonitorRecipe{
    "Monitor",
    "(id=None)",
    "Monitor(id: int | None = None) -> Monitor\n"
    "Monitor class for the Windows operating system.\n\n"
    "Monitor can be used as capture target for the :class:`.Capture` class. It also provides "
    "some\nconvenience methods to get information about the monitor.\n\n"
    "Args:\n   id: The index of the monitor. If None, the primary monitor is used.",
    sizeof(MonitorObject),
    monitor_new,
    monitor_release,
    g_properties,
    nullptr,
    monitor_repr,
};

PyTypeObject* require_monitor_class() {
  return require_class(kMonitorRecipe, g_monitor_class);
}

PyObject* primary_monitor(PyObject* /*module*/, PyObject* /*unused*/) {
  return boundary([] { return new_monitor(query_or_raise(monitor::primary_monitor)); });
}

PyObject* enumerate_monitors(PyObject* /*module*/, PyObject* /*unused*/) {
  return boundary([] {
    const auto handles = query_or_raise(monitor::enumerate_monitors);
    return list_of(handles, new_monitor);
  });
}

PyMethodDef g_functions[] = {
    {"primary_monitor", primary_monitor, METH_NOARGS,
     "primary_monitor()\n--\n\nprimary_monitor() -> Monitor\n\nGet the primary monitor.\n\n"
     "Returns:\n   The monitor."},
    {"enumerate_monitors", enumerate_monitors, METH_NOARGS,
     "enumerate_monitors()\n--\n\nenumerate_monitors() -> list[Monitor]\n\n"
     "Enumerate all monitors connected to the system.\n\nReturns:\n  The list of all monitors."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* monitor_class() {
  return class_object(kMonitorRecipe, g_monitor_class);
}

PyMethodDef* monitor_functions() {
  return g_functions;
}

std::optional<win::HMONITOR> monitor_handle_of(PyObject* object) {
  PyTypeObject* type = require_monitor_class();
  if (PyObject_TypeCheck(object, type) == 0) {
    return std::nullopt;
  }
  SharedBorrow borrow(as_monitor(object)->borrow);
  return as_monitor(object)->handle;
}

}  // namespace lumigrab::py
