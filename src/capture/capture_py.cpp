#include "capture/capture_py.h"

#include <array>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <tuple>
#include <utility>

#include "capture/capture_control.h"
#include "capture/capture_error.h"
#include "frame/frame.h"
#include "lib/args_py.h"
#include "lib/borrow_py.h"
#include "lib/boundary_py.h"
#include "lib/class_py.h"
#include "lib/interpreter_lock_py.h"
#include "lib/numpy_py.h"
#include "lib/turns.h"
#include "monitor/monitor_py.h"
#include "platform/platform.h"
#include "window/window_py.h"

namespace lumigrab::py {
namespace {

// What a Capture object holds besides its borrow counter. Its calls may come
// from several Python threads; they take turns, and every wait (for a turn,
// the capture thread, a frame, the GPU or a display server) is made without
// the interpreter lock.
struct CaptureState {
  std::unique_ptr<capture::CaptureControl> control = std::make_unique<capture::CaptureControl>();
  Turns turns;
  // The height and width of the last array made for a frame.
  std::pair<std::uint32_t, std::uint32_t> last_shape{0, 0};
};

struct CaptureObject {
  PyObject_HEAD
  CaptureState state;  // constructed in place once allocation succeeded
  bool constructed;
  Py_ssize_t borrow;
};

CaptureObject* as_capture(PyObject* self) {
  return reinterpret_cast<CaptureObject*>(self);
}

capture::CaptureControl& control_of(CaptureObject* capture) {
  return *capture->state.control;
}

// In a child process of fork(): when a thread of the parent was inside a call
// on this object at the fork, that call's half-done state is left behind and
// the object starts afresh, stopped, with its options (which change only
// while the interpreter lock is held, so never during a fork).
void forget_call_held_at_fork(CaptureObject* capture) {
  CaptureState& state = capture->state;
  if (!state.turns.forget_turn_held_at_fork()) {
    return;
  }
  const capture::CaptureOptions options = state.control->options();
  // Its thread and records are the parent's; they are never touched again.
  static_cast<void>(state.control.release());
  state.control = std::make_unique<capture::CaptureControl>();
  state.control->set_options(options);
  capture->borrow = 0;
}

// The calling thread's turn on the object, waited for without the
// interpreter lock so that the thread holding it can finish. Nothing when
// this thread holds it already (a call made from inside one of its calls, by
// a signal handler or an import): the borrow counter then refuses what would
// conflict.
std::optional<Turns::Turn> take_turn(CaptureObject* capture) {
  forget_call_held_at_fork(capture);
  Turns& turns = capture->state.turns;
  if (turns.held_here()) {
    return std::nullopt;
  }
  if (std::optional<Turns::Turn> turn = turns.try_take()) {
    return turn;
  }
  return without_interpreter_lock([&turns] { return turns.take(); });
}

// Whether a signal handler raised an exception (Ctrl+C: KeyboardInterrupt),
// which is then kept in `raised`. Called without the interpreter lock.
bool signal_raised(std::exception_ptr& raised) {
  const WithInterpreterLock locked;
  try {
    if (PyErr_CheckSignals() != 0) {
      raise_pending();
    }
  } catch (const ThreadEnding&) {
    throw;
  } catch (...) {
    raised = std::current_exception();
    return true;
  }
  return false;
}

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

// Checks that a mapped frame holds `height` rows of at least `width` pixels,
// padding included; a fault for any other layout.
void check_layout(const frame::MappedFrame& rows, std::uint32_t height, std::uint32_t width) {
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
}

// A new, unfilled [height, width, 4] uint8 array and where its pixels go.
// Needs the interpreter lock, and NumPy's table fetched already.
std::pair<PyRef, char*> new_frame_array(std::uint32_t height, std::uint32_t width) {
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
  char* pixels = reinterpret_cast<NumpyArrayHead*>(array.get())->data;
  return {std::move(array), pixels};
}

constexpr std::array<const char*, 0> kNoParameters{};
constexpr Signature kNewSignature{"Capture.__new__()", kNoParameters, 0};

PyObject* capture_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return boundary([args, kwargs] {
    std::array<PyObject*, 0> values{};
    match_arguments(kNewSignature, args, kwargs, values);
    PyRef object = PyRef::steal(allocate_instance(require_capture_class()));
    // The allocation is zero-filled, so `constructed` is false until here.
    new (&as_capture(object.get())->state) CaptureState();
    as_capture(object.get())->constructed = true;
    as_capture(object.get())->borrow = 0;
    return object;
  });
}

void capture_release(PyObject* self) {
  CaptureObject* capture = as_capture(self);
  if (capture->constructed) {
    // No call can be running on an object nobody refers to, so no turn is
    // taken. Stopping may fault (a capture thread that ended by a fault);
    // nobody can receive that here, so it goes to the unraisable hook.
    boundary_release(self, [capture] {
      forget_call_held_at_fork(capture);
      without_interpreter_lock([capture] { control_of(capture).stop(); });
    });
    capture->state.~CaptureState();
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
    const auto turn = take_turn(capture);
    ExclusiveBorrow borrow(capture->borrow);
    const capture::CaptureTarget target =
        convert_argument("capture_target", [&] { return to_capture_target(values[0]); });
    const bool await_first_frame =
        convert_argument("await_first_frame", [&] { return to_bool_or(values[1], true); });
    // Ctrl+C ends the wait for the first frame; start then stops the thread
    // it started, and the signal's exception goes on.
    std::exception_ptr interruption;
    const std::function<bool()> interrupted = [&interruption] {
      return signal_raised(interruption);
    };
    std::optional<std::string> failure;
    without_interpreter_lock([&] {
      const auto started = control_of(capture).start(target, await_first_frame, interrupted);
      if (!started && started.error().kind() != capture::CaptureError::Kind::Interrupted) {
        failure = with_unreachable_reason(text_form(started.error()));
      }
    });
    if (interruption) {
      std::rethrow_exception(interruption);
    }
    if (failure) {
      raise_runtime_error(*failure);
    }
    return PyRef::borrow(Py_None);
  });
}

PyObject* capture_stop(PyObject* self, PyObject* /*unused*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    ExclusiveBorrow borrow(capture->borrow);
    without_interpreter_lock([capture] { control_of(capture).stop(); });
    return PyRef::borrow(Py_None);
  });
}

constexpr const char* kNotRunning = "Capture thread is not running.";

using Shape = std::pair<std::uint32_t, std::uint32_t>;  // height, width

// What one look at the slot did.
enum class Look { NothingNew, Read, Reshaped, Failed };

// One look at the slot, without the interpreter lock: copies the stored frame
// (or the region of it) into `pixels`, an array of `shape`, when the frame is
// numbered above `newer_than`. A frame of another shape only sets `shape`.
// The slot stays locked for the whole read-back, so the frame cannot be
// replaced or released underneath it.
Look look_at_slot(capture::CaptureControl& control, std::uint64_t newer_than, Shape& shape,
                  char* pixels, std::optional<std::string>& failure) {
  const std::optional<capture::Region>& region = control.options().region;
  Look look = Look::NothingNew;
  control.latest_frame().with_numbered_frame(
      [&](const capture::LatestFrame& frame, std::uint64_t number) {
        if (number <= newer_than) {
          return;
        }
        std::optional<frame::FrameRect> rect;
        Shape needed{frame.height, frame.width};
        if (region) {
          if (auto misfit = capture::region_misfit(*region, frame.width, frame.height, "frame")) {
            failure = std::move(misfit);
            look = Look::Failed;
            return;
          }
          rect = frame::FrameRect{region->left, region->top, region->width, region->height};
          needed = {region->height, region->width};
        }
        if (needed != shape) {
          shape = needed;
          look = Look::Reshaped;
          return;
        }
        const auto mapped = frame::map_frame(frame, rect);
        if (!mapped) {
          failure = with_unreachable_reason(text_form(mapped.error()));
          look = Look::Failed;
          return;
        }
        check_layout(mapped.value(), shape.first, shape.second);
        // Nothing else can reach the new array yet, so no interpreter lock is
        // needed to fill it. The rows are copied straight from the mapped
        // memory, converted on the way where the backend maps them in another
        // layout, dropping the padding of each row.
        const auto copied =
            mapped.value().copy_rows(reinterpret_cast<std::uint8_t*>(pixels),
                                     std::size_t{shape.second} * 4, shape.first, shape.second);
        if (!copied) {
          failure = with_unreachable_reason(text_form(copied.error()));
          look = Look::Failed;
          return;
        }
        control.set_last_returned(number);
        look = Look::Read;
      });
  return look;
}

// Reads the stored frame, or only the capture's region of it, into a new
// array and remembers it as the last one handed out. Empty when the slot is
// empty or its frame is not numbered above `newer_than`. A region that no
// longer fits the frame (the target shrank) is an error, never cropped.
//
// Called with the interpreter lock, the object's turn and NumPy's table
// fetched. The read-back runs without the interpreter lock, and takes it
// nowhere while the slot is locked: the array is made before, at the size of
// the last one, and made again should the frame have another size.
std::optional<PyRef> read_frame(CaptureObject* capture, std::uint64_t newer_than) {
  Shape& shape = capture->state.last_shape;
  for (;;) {
    PyRef array;
    char* pixels = nullptr;
    if (shape.first != 0) {
      std::tie(array, pixels) = new_frame_array(shape.first, shape.second);
    }
    std::optional<std::string> failure;
    Look look = Look::NothingNew;
    try {
      look = without_interpreter_lock(
          [&] { return look_at_slot(control_of(capture), newer_than, shape, pixels, failure); });
    } catch (const ThreadEnding&) {
      // The thread is ended at shutdown and has no interpreter lock to let
      // the array go with: it is left alone.
      static_cast<void>(array.release());
      throw;
    }
    switch (look) {
      case Look::Read: return array;
      case Look::NothingNew: return std::nullopt;
      case Look::Failed: raise_runtime_error(*failure);
      case Look::Reshaped: break;
    }
  }
}

PyObject* capture_frame(PyObject* self, PyObject* /*unused*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    SharedBorrow borrow(capture->borrow);
    if (!control_of(capture).active()) {
      raise_runtime_error(kNotRunning);
    }
    // Importing NumPy runs Python code, which must not run while the slot is
    // locked.
    numpy_api();
    std::optional<PyRef> array = read_frame(capture, 0);
    if (!array) {
      // A pool whose device was lost before its first frame delivers
      // nothing: the thread is asked to look at its device.
      const capture::CaptureThreadIdCell& thread_id = control_of(capture).thread_id();
      without_interpreter_lock([&thread_id] { thread_id.ask_to_look_at_device(); });
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
      std::shared_ptr<const capture::CaptureThreadIdCell> thread_id;
      std::uint64_t seen = 0;
      std::uint64_t clears = 0;
      {
        const auto turn = take_turn(capture);
        SharedBorrow borrow(capture->borrow);
        if (!control_of(capture).active()) {
          raise_runtime_error(kNotRunning);
        }
        seen = control_of(capture).last_returned();
        slot = control_of(capture).shared_latest_frame();
        thread_id = control_of(capture).shared_thread_id();
        clears = without_interpreter_lock([&slot] { return slot->clears(); });
      }
      using Wait = capture::LatestFrameSlot::Wait;
      Wait outcome = Wait::TimedOut;
      for (;;) {
        auto until = std::chrono::steady_clock::now() + kSignalSlice;
        if (deadline && *deadline < until) {
          until = *deadline;
        }
        outcome = without_interpreter_lock(
            [&slot, seen, clears, until] { return slot->wait_for_newer(seen, clears, until); });
        if (PyErr_CheckSignals() != 0) {
          raise_pending();
        }
        if (outcome != Wait::TimedOut) {
          break;
        }
        // A pool on a lost device delivers nothing, and nothing here reads
        // the stored frame: each quiet slice asks whether its device is lost
        // and, if so, has the capture thread replace it (again). Before the
        // first frame, the thread itself is asked to look at its device.
        without_interpreter_lock([&slot, &thread_id] {
          if (!slot->report_lost_device()) {
            thread_id->ask_to_look_at_device();
          }
        });
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
          throw PythonError::make(PyExc_TimeoutError, "No new frame arrived within the timeout.");
        }
      }
      if (outcome != Wait::Newer) {
        raise_runtime_error(kNotRunning);
      }
      const auto turn = take_turn(capture);
      SharedBorrow borrow(capture->borrow);
      if (!control_of(capture).active() ||
          without_interpreter_lock([&slot] { return slot->clears(); }) != clears) {
        raise_runtime_error(kNotRunning);
      }
      numpy_api();
      if (std::optional<PyRef> array = read_frame(capture, seen)) {
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
    const auto turn = take_turn(capture);
    ExclusiveBorrow borrow(capture->borrow);
    without_interpreter_lock([capture] { control_of(capture).stop(); });
    return PyRef::borrow(Py_False);
  });
}

PyObject* capture_repr(PyObject* self) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    SharedBorrow borrow(capture->borrow);
    std::string text = control_of(capture).active() ? "<Capture running" : "<Capture stopped";
    if (const auto& region = control_of(capture).options().region) {
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
void refuse_while_running(CaptureObject* capture, const char* option) {
  if (control_of(capture).active()) {
    raise_runtime_error(std::string("Set ") + option + " before start() or after stop().");
  }
}

PyObject* get_cursor(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    SharedBorrow borrow(capture->borrow);
    const bool cursor =
        control_of(capture).options().cursor.value_or(platform::cursor_captured_by_default());
    return PyRef::borrow(cursor ? Py_True : Py_False);
  });
}

PyObject* get_border(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    SharedBorrow borrow(capture->borrow);
    return PyRef::borrow(control_of(capture).options().border.value_or(true) ? Py_True : Py_False);
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
    const auto turn = take_turn(capture);
    ExclusiveBorrow borrow(capture->borrow);
    if (!PyBool_Check(value)) {
      raise_conversion_error(value, "PyBool");
    }
    refuse_while_running(capture, "cursor");
    capture::CaptureOptions options = control_of(capture).options();
    options.cursor = value == Py_True;
    control_of(capture).set_options(options);
  });
}

int set_border(PyObject* self, PyObject* value, void* /*closure*/) {
  return boundary_status([self, value] {
    refuse_delete(value, "border");
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    ExclusiveBorrow borrow(capture->borrow);
    if (!PyBool_Check(value)) {
      raise_conversion_error(value, "PyBool");
    }
    refuse_while_running(capture, "border");
    capture::CaptureOptions options = control_of(capture).options();
    options.border = value == Py_True;
    control_of(capture).set_options(options);
  });
}

PyObject* get_region(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    SharedBorrow borrow(capture->borrow);
    const std::optional<capture::Region>& region = control_of(capture).options().region;
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
    const auto turn = take_turn(capture);
    ExclusiveBorrow borrow(capture->borrow);
    refuse_while_running(capture, "region");
    capture::CaptureOptions options = control_of(capture).options();
    options.region = region;
    control_of(capture).set_options(options);
  });
}

PyObject* get_active(PyObject* self, void* /*closure*/) {
  return boundary([self] {
    CaptureObject* capture = checked_self(self);
    const auto turn = take_turn(capture);
    SharedBorrow borrow(capture->borrow);
    return PyRef::borrow(control_of(capture).active() ? Py_True : Py_False);
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
