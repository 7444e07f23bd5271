#include "capture/capture_py.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "capture/capture_control.h"
#include "capture/capture_error.h"
#include "frame/frame.h"
#include "lib/args_py.h"
#include "lib/borrow_py.h"
#include "lib/boundary_py.h"
#include "lib/class_py.h"
#include "lib/numpy_py.h"
#include "monitor/monitor_py.h"
#include "platform/platform.h"
#include "window/window_py.h"

namespace lumigrab::py {
namespace {

struct CaptureObject {
  PyObject_HEAD capture::CaptureControl control;  // constructed in place once allocation succeeded
  bool constructed;
  Py_ssize_t borrow;
};

CaptureObject* as_capture(PyObject* self) {
  return reinterpret_cast<CaptureObject*>(self);
}

PyTypeObject* g_capture_class = nullptr;

PyTypeObject* require_capture_class();

// The start of a NumPy array object: its data pointer follows the header.
struct NumpyArrayHead {
  PyObject_HEAD char* data;
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
// from the mapped memory (converted on the way where the backend maps them
// in another layout): no copy of them is made on the way.
PyRef frame_to_array(const frame::MappedFrame& rows, std::uint32_t height, std::uint32_t width) {
  if (height == 0) {
    fault("attempt to divide by zero");
  }
  const std::size_t size = rows.size();
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
  auto new_from_descr =
      reinterpret_cast<PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_intptr_t*,
                                     const Py_intptr_t*, void*, int, PyObject*)>(
          api[kNumpyNewFromDescrSlot]);

  PyObject* descr = require_object(descr_from_type(kNumpyUbyte));
  const std::array<Py_intptr_t, 3> dims{static_cast<Py_intptr_t>(height),
                                        static_cast<Py_intptr_t>(width), 4};
  // The descriptor reference is consumed by the call, whatever its outcome.
  PyRef array = PyRef::steal(require_object(
      new_from_descr(array_type, descr, 3, dims.data(), nullptr, nullptr, 0, nullptr)));
  auto* target =
      reinterpret_cast<std::uint8_t*>(reinterpret_cast<NumpyArrayHead*>(array.get())->data);
  value_or_raise(rows.copy_rows(target, std::size_t{width} * 4, height, width));
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

constexpr const char* kNotRunning = "Capture thread is not running.";

// Reads the stored frame, or only the capture's region of it, into a new
// array and remembers it as the last one handed out. Empty when the slot is
// empty or its frame is not numbered above `newer_than`. A region that no
// longer fits the frame (the target shrank) is an error, never cropped.
std::optional<PyRef> read_frame(capture::CaptureControl& control, std::uint64_t newer_than) {
  const std::optional<capture::Region>& region = control.options().region;
  std::optional<PyRef> array;
  // The slot stays locked for the whole read-back, so the frame cannot be
  // replaced or released underneath it.
  control.latest_frame().with_numbered_frame(
      [&](const capture::LatestFrame& frame, std::uint64_t number) {
        if (number <= newer_than) {
          return;
        }
        std::optional<frame::FrameRect> rect;
        if (region) {
          if (auto misfit = capture::region_misfit(*region, frame.width, frame.height, "frame")) {
            raise_runtime_error(*misfit);
          }
          rect = frame::FrameRect{region->left, region->top, region->width, region->height};
        }
        const auto mapped = value_or_raise(frame::map_frame(frame, rect));
        array = rect ? frame_to_array(mapped, rect->height, rect->width)
                     : frame_to_array(mapped, frame.height, frame.width);
        control.set_last_returned(number);
      });
  return array;
}

PyObject* capture_frame(PyObject* self, PyObject* /*unused*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    if (!capture->control.active()) {
      raise_runtime_error(kNotRunning);
    }
    std::optional<PyRef> array = read_frame(capture->control, 0);
    if (!array) {
      raise_runtime_error(text_form(capture::CaptureError::no_frame_available()));
    }
    return std::move(*array);
  });
}

// How long a wait for a frame sleeps before the interpreter looks for signals
// (Ctrl+C): short enough to answer at once, long enough to cost nothing.
constexpr auto kSignalSlice = std::chrono::milliseconds(100);

// None gives no limit; otherwise a number of seconds, not negative.
std::optional<std::chrono::steady_clock::time_point> deadline_of(PyObject* timeout) {
  if (timeout == nullptr || timeout == Py_None) {
    return std::nullopt;
  }
  if (PyBool_Check(timeout) || !(PyFloat_Check(timeout) || PyLong_Check(timeout))) {
    raise_conversion_error(timeout, "float");
  }
  const double seconds = PyFloat_AsDouble(timeout);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
    raise_pending();
  }
  if (std::isnan(seconds) || seconds < 0) {
    throw PythonError::make(PyExc_ValueError, "timeout must be a non-negative number or None");
  }
  const auto now = std::chrono::steady_clock::now();
  // Anything beyond a century is as good as no limit, and cannot overflow.
  if (seconds > 3.2e9) {
    return std::nullopt;
  }
  return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

// Lets other Python threads run for as long as it lives; it is taken back
// however the scope is left.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

constexpr const char* kNextFrameParameters[] = {"timeout"};
constexpr Signature kNextFrameSignature{"Capture.next_frame()", kNextFrameParameters, 0};

// The object is not borrowed while the wait lasts, so another thread may
// stop the capture meanwhile; clearing the slot wakes the wait.
PyObject* capture_next_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return boundary([=] {
    std::array<PyObject*, 1> values{};
    match_arguments(kNextFrameSignature, args, nargs, kwnames, values);
    CaptureObject* capture = checked_self(self);
    const auto deadline = convert_argument("timeout", [&] { return deadline_of(values[0]); });
    for (;;) {
      std::shared_ptr<const capture::LatestFrameSlot> slot;
      std::uint64_t seen = 0;
      std::uint64_t clears = 0;
      {
        SharedBorrow borrow(capture->borrow);
        if (!capture->control.active()) {
          raise_runtime_error(kNotRunning);
        }
        seen = capture->control.last_returned();
        slot = capture->control.shared_latest_frame();
        clears = slot->clears();
      }
      using Wait = capture::LatestFrameSlot::Wait;
      Wait outcome = Wait::TimedOut;
      for (;;) {
        auto until = std::chrono::steady_clock::now() + kSignalSlice;
        if (deadline && *deadline < until) {
          until = *deadline;
        }
        {
          const WithoutInterpreterLock unlocked;
          outcome = slot->wait_for_newer(seen, clears, until);
        }
        if (PyErr_CheckSignals() != 0) {
          raise_pending();
        }
        if (outcome != Wait::TimedOut) {
          break;
        }
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
          throw PythonError::make(PyExc_TimeoutError, "No new frame arrived within the timeout.");
        }
      }
      if (outcome != Wait::Newer) {
        raise_runtime_error(kNotRunning);
      }
      SharedBorrow borrow(capture->borrow);
      if (!capture->control.active() || capture->control.latest_frame().clears() != clears) {
        raise_runtime_error(kNotRunning);
      }
      if (std::optional<PyRef> array = read_frame(capture->control, seen)) {
        return std::move(*array);
      }
    }
  });
}

PyObject* capture_enter(PyObject* self, PyObject* /*unused*/) {
  return boundary([self] {
    checked_self(self);
    return PyRef::borrow(self);
  });
}

// Stops the capture however the block ends; never swallows its exception.
PyObject* capture_exit(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs) {
  return boundary([self, nargs] {
    if (nargs != 3) {
      raise_type_error("Capture.__exit__() takes 3 positional arguments but " +
                       std::to_string(nargs) + " were given");
    }
    CaptureObject* capture = checked_self(self);
    ExclusiveBorrow borrow(capture->borrow);
    capture->control.stop();
    return PyRef::borrow(Py_False);
  });
}

PyObject* capture_repr(PyObject* self) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    std::string text = capture->control.active() ? "<Capture running" : "<Capture stopped";
    if (const auto& region = capture->control.options().region) {
      text += " region=(" + std::to_string(region->left) + ", " + std::to_string(region->top) +
              ", " + std::to_string(region->width) + ", " + std::to_string(region->height) + ")";
    }
    text += ">";
    return PyRef::steal(require_object(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
  });
}

// Options change only while no capture runs: a running session keeps what
// it was started with.
void refuse_while_running(const CaptureObject* capture, const char* option) {
  if (capture->control.active()) {
    raise_runtime_error(std::string("Set ") + option + " before start() or after stop().");
  }
}

PyObject* get_cursor(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    const bool cursor =
        capture->control.options().cursor.value_or(platform::cursor_captured_by_default());
    return PyRef::borrow(cursor ? Py_True : Py_False);
  });
}

PyObject* get_border(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    return PyRef::borrow(capture->control.options().border.value_or(true) ? Py_True : Py_False);
  });
}

// Deleting an option is refused, as Python refuses deleting a property
// without a deleter.
void refuse_delete(PyObject* value, const char* name) {
  if (value == nullptr) {
    throw PythonError::make(PyExc_AttributeError, std::string("cannot delete ") + name);
  }
}

int set_cursor(PyObject* self, PyObject* value, void* /*closure*/) {
  return boundary_status([self, value] {
    refuse_delete(value, "cursor");
    CaptureObject* capture = checked_self(self);
    ExclusiveBorrow borrow(capture->borrow);
    if (!PyBool_Check(value)) {
      raise_conversion_error(value, "PyBool");
    }
    refuse_while_running(capture, "cursor");
    capture::CaptureOptions options = capture->control.options();
    options.cursor = value == Py_True;
    capture->control.set_options(options);
  });
}

int set_border(PyObject* self, PyObject* value, void* /*closure*/) {
  return boundary_status([self, value] {
    refuse_delete(value, "border");
    CaptureObject* capture = checked_self(self);
    ExclusiveBorrow borrow(capture->borrow);
    if (!PyBool_Check(value)) {
      raise_conversion_error(value, "PyBool");
    }
    refuse_while_running(capture, "border");
    capture::CaptureOptions options = capture->control.options();
    options.border = value == Py_True;
    capture->control.set_options(options);
  });
}

PyObject* get_region(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    SharedBorrow borrow(capture->borrow);
    const std::optional<capture::Region>& region = capture->control.options().region;
    if (!region) {
      return PyRef::borrow(Py_None);
    }
    const auto member = [](std::uint32_t value) {
      return PyRef::steal(require_object(PyLong_FromUnsignedLong(value)));
    };
    const PyRef left = member(region->left);
    const PyRef top = member(region->top);
    const PyRef width = member(region->width);
    const PyRef height = member(region->height);
    return PyRef::steal(
        require_object(PyTuple_Pack(4, left.get(), top.get(), width.get(), height.get())));
  });
}

constexpr const char* kRegionShape =
    "region must be None or (left, top, width, height): integers, left and top "
    "0 or more, width and height 1 or more";

// One member of a region: an int (through the index protocol) in range.
std::uint32_t region_member(PyObject* item, std::uint32_t lowest) {
  if (PyBool_Check(item) || PyIndex_Check(item) == 0) {
    raise_type_error(kRegionShape);
  }
  const long long value = PyLong_AsLongLong(item);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError) == 0) {
      raise_pending();
    }
    PyErr_Clear();
    throw PythonError::make(PyExc_ValueError, kRegionShape);
  }
  if (value < lowest || value > 0x7FFFFFFF) {
    throw PythonError::make(PyExc_ValueError, kRegionShape);
  }
  return static_cast<std::uint32_t>(value);
}

int set_region(PyObject* self, PyObject* value, void* /*closure*/) {
  return boundary_status([self, value] {
    refuse_delete(value, "region");
    CaptureObject* capture = checked_self(self);
    std::optional<capture::Region> region;
    if (value != Py_None) {
      // A tuple or a list; its items are read while the lock keeps it whole.
      if ((PyTuple_Check(value) == 0 && PyList_Check(value) == 0) ||
          PySequence_Fast_GET_SIZE(value) != 4) {
        raise_type_error(kRegionShape);
      }
      PyObject** items = PySequence_Fast_ITEMS(value);
      region = capture::Region{region_member(items[0], 0), region_member(items[1], 0),
                               region_member(items[2], 1), region_member(items[3], 1)};
    }
    ExclusiveBorrow borrow(capture->borrow);
    refuse_while_running(capture, "region");
    capture::CaptureOptions options = capture->control.options();
    options.region = region;
    capture->control.set_options(options);
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
    {"cursor", get_cursor, set_cursor,
     ":``bool``: True if frames show the mouse pointer.\n\n"
     "Set it before :meth:`start`. The default is what the system does by itself: the pointer "
     "is\nshown on Windows and left out on X11. Where the system cannot leave it out, "
     ":meth:`start`\nraises RuntimeError.",
     nullptr},
    {"border", get_border, set_border,
     ":``bool``: True if the system may draw its border around the captured target.\n\n"
     "Set it before :meth:`start`. The default is True. Where the system cannot turn the "
     "border\noff, :meth:`start` raises RuntimeError. X11 draws no border.",
     nullptr},
    {"region", get_region, set_region,
     ":``tuple[int, int, int, int] | None``: The part of the target that frames show, as\n"
     "``(left, top, width, height)`` in the target's pixels, or None for all of it.\n\n"
     "Set it before :meth:`start`. Only this part is copied from the GPU (on X11: read from "
     "the\nserver). A region that does not fit the target raises RuntimeError in "
     ":meth:`start`, or in\n:meth:`frame` once the target has shrunk; nothing is cropped.",
     nullptr},
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
    {"next_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_next_frame)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_frame($self, timeout=None)\n--\n\n"
     "next_frame(timeout: float | None = None) -> np.ndarray\n"
     "Wait for a frame newer than the last one returned and return it as :meth:`frame` "
     "does.\n\n"
     "The wait uses no CPU, lets other Python threads run and ends on Ctrl+C. A frame is "
     "never\nreturned twice by :meth:`frame` and :meth:`next_frame` together.\n\n"
     "Args:\n    timeout: Seconds to wait at most; None waits as long as it takes.\n\n"
     ":returns: The frame as a 3D NumPy array with dimensions [h w 4].\n\n"
     "Raises:\n    TimeoutError: No new frame arrived within ``timeout``.\n"
     "    RuntimeError: The capture is not running, or was stopped during the wait."},
    {"__enter__", capture_enter, METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the capture itself for a ``with`` block, which stops it "
     "at its end."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_exit)),
     METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nStop the capture, as "
     ":meth:`stop` does, and let any exception go on."},
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
    capture_repr,
};

PyTypeObject* require_capture_class() {
  return require_class(kCaptureRecipe, g_capture_class);
}

}  // namespace

PyTypeObject* capture_class() {
  return class_object(kCaptureRecipe, g_capture_class);
}

}  // namespace lumigrab::py
