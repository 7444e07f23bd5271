#include "capture/capture_py.h"

#include <array>
#include <cstring>
#include <new>

#include "capture/capture_control.h"
#include "capture/capture_error.h"
#include "frame/frame.h"
#include "lib/args_py.h"
#include "lib/borrow_py.h"
#include "lib/boundary_py.h"
#include "lib/class_py.h"
#include "lib/numpy_py.h"
#include "monitor/monitor_py.h"
#include "window/window_py.h"

namespace lumigrab::py {
namespace {

struct CaptureObject {
  PyObject_HEAD
  capture::CaptureControl control;  // constructed in place once allocation succeeded
  bool constructed;
  Py_ssize_t borrow;
};

CaptureObject* as_capture(PyObject* self) { return reinterpret_cast<CaptureObject*>(self); }

PyTypeObject* g_capture_class = nullptr;

PyTypeObject* require_capture_class();

// The start of a NumPy array object: its data pointer follows the header.
struct NumpyArrayHead {
  PyObject_HEAD
  char* data;
};

[[noreturn]] void raise_target_error(PyObject* object) {
  const std::string type_name = type_qualname(object);
  std::string text = "failed to extract enum CaptureTarget ('Monitor | Window')";
  for (const char* variant : {"Monitor", "Window"}) {
    text += std::string("\n- variant ") + variant + " (" + variant +
            "): TypeError: failed to extract field CaptureTarget::" + variant +
            ".0, caused by TypeError: '" + type_name + "' object cannot be converted to '" +
            variant + "'";
  }
  raise_type_error(text);
}

capture::CaptureTarget to_capture_target(PyObject* object) {
  if (const auto monitor = monitor_handle_of(object)) {
    return capture::CaptureTarget::monitor(*monitor);
  }
  if (const auto window = window_handle_of(object)) {
    return capture::CaptureTarget::window(*window);
  }
  raise_target_error(object);
}

// Shapes the rows of a mapped frame into a new [height, width, 4] uint8 array,
// dropping the padding at the end of each row. The rows are copied straight
// from the mapped memory: no copy of them is made on the way.
PyRef frame_to_array(const frame::MappedFrame& rows, std::uint32_t height, std::uint32_t width) {
  if (height == 0) {
    fault("attempt to divide by zero");
  }
  const std::size_t size = rows.size();
  const std::uint8_t* source = rows.data();
  const std::size_t row_bytes = size / height;
  const std::size_t columns = row_bytes / 4;
  // Never above size, so the product cannot overflow.
  const std::size_t elements = std::size_t{height} * columns * 4;
  if (elements != size || elements > std::size_t{INT64_MAX} || width > columns) {
    fault(
        "Failed to reshape frame into the correct dimensions: ShapeError/IncompatibleShape: "
        "incompatible shapes");
  }
  void** api = numpy_api();
  auto* array_type = static_cast<PyTypeObject*>(api[kNumpyArrayTypeSlot]);
  auto descr_from_type = reinterpret_cast<PyObject* (*)(int)>(api[kNumpyDescrFromTypeSlot]);
  auto new_from_descr = reinterpret_cast<PyObject* (*)(PyTypeObject*, PyObject*, int,
                                                       const Py_intptr_t*, const Py_intptr_t*,
                                                       void*, int, PyObject*)>(
      api[kNumpyNewFromDescrSlot]);

  PyObject* descr = require_object(descr_from_type(kNumpyUbyte));
  const std::array<Py_intptr_t, 3> dims{static_cast<Py_intptr_t>(height),
                                        static_cast<Py_intptr_t>(width), 4};
  // The descriptor reference is consumed by the call, whatever its outcome.
  PyRef array = PyRef::steal(
      require_object(new_from_descr(array_type, descr, 3, dims.data(), nullptr, nullptr, 0,
                                    nullptr)));
  char* target = reinterpret_cast<NumpyArrayHead*>(array.get())->data;
  const std::size_t pixel_row = std::size_t{width} * 4;
  if (row_bytes == pixel_row) {
    std::memcpy(target, source, size);
  } else {
    for (std::size_t y = 0; y < height; ++y) {
      std::memcpy(target + y * pixel_row, source + y * row_bytes, pixel_row);
    }
  }
  return array;
}

constexpr std::array<const char*, 0> kNoParameters{};
constexpr Signature kNewSignature{"Capture.__new__()", kNoParameters, 0};

PyObject* capture_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return boundary([args, kwargs] {
    std::array<PyObject*, 0> values{};
    match_arguments(kNewSignature, args, kwargs, values);
    PyRef object = PyRef::steal(allocate_instance(require_capture_class()));
    // The allocation is zero-filled, so `constructed` is false until here.
    new (&as_capture(object.get())->control) capture::CaptureControl();
    as_capture(object.get())->constructed = true;
    as_capture(object.get())->borrow = 0;
    return object;
  });
}

void capture_release(PyObject* self) {
  if (as_capture(self)->constructed) {
    // Stopping may fault (a capture thread that ended by a fault); nobody can
    // receive that here, so it goes to the unraisable hook.
    boundary_release(self, [self] { as_capture(self)->control.stop(); });
    as_capture(self)->control.~CaptureControl();
  }
  free_instance(self);
}

CaptureObject* checked_self(PyObject* self) {
  if (PyObject_TypeCheck(self, require_capture_class()) == 0) {
    raise_conversion_error(self, "Capture");
  }
  return as_capture(self);
}

constexpr const char* kStartParameters[] = {"capture_target", "await_first_frame"};
constexpr Signature kStartSignature{"Capture.start()", kStartParameters, 1};

PyObject* capture_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return boundary([=] {
    std::array<PyObject*, 2> values{};
    match_arguments(kStartSignature, args, nargs, kwnames, values);
    CaptureObject* capture = checked_self(self);
    ExclusiveBorrow borrow(capture->borrow);
    const capture::CaptureTarget target =
        convert_argument("capture_target", [&] { return to_capture_target(values[0]); });
    const bool await_first_frame =
        convert_argument("await_first_frame", [&] { return to_bool_or(values[1], true); });
    value_or_raise(capture->control.start(target, await_first_frame));
    return PyRef::borrow(Py_None);
  });
}

PyObject* capture_stop(PyObject* self, PyObject* /*unused*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    ExclusiveBorrow borrow(capture->borrow);
    capture->control.stop();
    return PyRef::borrow(Py_None);
  });
}

PyObject* capture_frame(PyObject* self, PyObject* /*unused*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    if (!capture->control.active()) {
      raise_runtime_error("Capture thread is not running.");
    }
    PyRef array;
    // The slot stays locked for the whole read-back, so the frame cannot be
    // replaced or released underneath it.
    const bool had_frame =
        capture->control.latest_frame().with_frame([&](const capture::LatestFrame& frame) {
          const auto mapped = value_or_raise(frame::map_frame(frame));
          array = frame_to_array(mapped, frame.height, frame.width);
        });
    if (!had_frame) {
      raise_runtime_error(text_form(capture::CaptureError::no_frame_available()));
    }
    return array;
  });
}

PyObject* get_active(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    return PyRef::borrow(capture->control.active() ? Py_True : Py_False);
  });
}

PyGetSetDef g_properties[] = {
    {"active", get_active, nullptr,
     ":``bool``: True if the capture thread is running, False otherwise.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_start)),
     METH_FASTCALL | METH_KEYWORDS,
     "start($self, capture_target, await_first_frame=None)\n--\n\n"
     "start(capture_target: CaptureTarget, await_first_frame: bool = True)\n\n"
     "Start the capture.\n\n"
     "This registeres an event handler that automatically updates the latest frame whenever a "
     "new\nframe is available. The frame can be accessed using :meth:`frame`. Since the event "
     "handler\nruns in a separate thread, the first frame might not be available immediately. To "
     "ensure a\nframe is available before continuing, set ``await_first_frame`` to True. This "
     "will block the\nmain thread until the first frame is available.\n\n"
     ".. note::\n   You have to call :meth:`start` before any frames become available.\n\n"
     "Args:\n    capture_target: The :class:`.Monitor` or :class:`.Window` to capture.\n"
     "    await_first_frame: Waits for the first frame to arrive if True."},
    {"stop", capture_stop, METH_NOARGS,
     "stop($self)\n--\n\nStop the capture thread, wait for it to join and invalidate the last "
     "frame."},
    {"frame", capture_frame, METH_NOARGS,
     "frame($self)\n--\n\nframe() -> np.ndarray\nConvert the latest frame to an array and "
     "return it.\n\n:returns: The frame as a 3D NumPy array with dimensions [h w 4]."},
    {nullptr, nullptr, 0, nullptr},
};

const ClassRecipe kCaptureRecipe{
    "Capture",
    "()",
    "Capture class to capture frames from a monitor or a window.\n\n"
    "The idea is to get either a :class:`.Monitor` or a :class:`.Window` as target, create a "
    "Capture\nobject, and then start a capture thread that will update the internal frame of the "
    "Capture\nobject whenever a new frame is available. Frames are only materialized, converted "
    "to NumPy\narrays and passed over to Python when the user requests it to avoid unnecessary "
    "copies.",
    sizeof(CaptureObject),
    capture_new,
    capture_release,
    g_properties,
    g_methods,
};

PyTypeObject* require_capture_class() { return require_class(kCaptureRecipe, g_capture_class); }

}  // namespace

PyTypeObject* capture_class() { return class_object(kCaptureRecipe, g_capture_class); }

}  // namespace lumigrab::py
