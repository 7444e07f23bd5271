"""Scripts the simulated desktop of a test build of lumigrab.

The test build (LUMIGRAB_TEST_HOOKS=ON) exports ``lumigrab_sim_*`` functions
from the extension module itself; this module calls them through ctypes. The
library is loaded as a ``PyDLL``, so the interpreter lock stays held during
each call, as it does for every call into the module.

Handles are plain ints, never reused within a process. Monitors start at
0x10001, windows at 0x20001; the desktop window is 0x20000. Windows of other
processes belong to process 0x2EE0, the module's own process is
``own_process_id()``.

Call log
--------
Every call the module makes into the platform layer appends one line to the
log that ``calls()`` returns, in the order the calls were made, from every
thread (a capture thread's calls interleave with the caller's). Formats:

* handles and pointers: lower-case hexadecimal as ``f"{handle:#x}"`` writes
  it, or ``NULL``;
* codes, flags of bit masks, thread ids and message numbers: ``0x`` and
  upper-case hexadecimal (``0x80070005``, ``0xFFFFFFFF``);
* counts, sizes, indexes and small enumerations: decimal;
* strings: between single quotes, up to their terminating zero, printable
  text as it is (backslashes are not doubled), control characters and
  unpaired surrogates as ``\\uXXXX`` with lower-case digits;
* a module that LoadLibraryExA gave out: its name in angle brackets;
* ``, dirty`` at the end of the arguments: the structure the logic passed in
  had a non-zero byte besides its size field (the logic should zero it).

Display::

    MonitorFromPoint(0, 0, 0)                     x, y, flags
    EnumDisplayMonitors(NULL, NULL)               device context, clip (l, t, r, b)
    GetMonitorInfoW(0x10001, cbSize=104)
    EnumDisplaySettingsW('\\\\.\\DISPLAY1', 0xFFFFFFFF, dmSize=220, dmDriverExtra=0)
    EnumDisplayDevicesW('\\\\.\\DISPLAY1', 0, cb=840, flags=0)

Windows::

    FindWindowW(NULL, 'title')                    class name, window name
    IsWindowVisible(0x20001)
    GetWindowThreadProcessId(0x20001, pid=0)      value the pid held before, or NULL
    GetClientRect(0x20001)
    ClientToScreen(0x20001)
    GetWindowLongPtrW(0x20001, -16)
    GetWindowTextLengthW(0x20001)
    GetWindowTextW(0x20001, capacity=6)
    GetDesktopWindow()
    EnumChildWindows(0x20000)
    GetForegroundWindow()

Threads and messages::

    PostThreadMessageW(0x1004, 0x12, 0, 0)        thread id, message, wParam, lParam
    GetMessageW(NULL, 0x0, 0x0)                   window, filter min, filter max
    TranslateMessage(0x12)                        the message's number
    DispatchMessageW(0x12)
    PostQuitMessage(0)
    GetCurrentThreadId()
    GetCurrentProcessId()
    CreateThread()                                every thread the module starts

Error text and libraries::

    GetLastError()
    FormatMessageW(0x1300, NULL, 0x80070005, 0)   flags, source, message id, language
    FormatMessageW(0x1B00, <ntdll.dll>, 0xC0000022, 0)
    FreeFormatMessageBuffer()
    GetErrorInfo(0)
    SetErrorInfo(0, NULL)                         or SetErrorInfo(0, info)
    SysFreeString('text')                         or SysFreeString(NULL)
    LoadLibraryExA('ntdll.dll', NULL, 0x1000)     name, file, flags
    GetProcAddress(<ntdll.dll>, 'Name')
    FreeLibrary(<ntdll.dll>)

Not logged: SysStringLen, and the calls with no Windows counterpart
(backend_name, current_thread_name, write_backtrace). The runtime, dispatcher
queue, capture and Direct3D calls log themselves as tests/simcapture.py says.

Faults
------
``fail(point, code)`` arms the fault point named after the call, e.g.
"GetMonitorInfoW", "EnumDisplayMonitors", "EnumDisplaySettingsW",
"EnumDisplayDevicesW", "MonitorFromPoint", "FindWindowW", "IsWindowVisible",
"GetWindowThreadProcessId", "GetClientRect", "ClientToScreen", "GetWindowLongPtrW",
"GetWindowTextLengthW", "GetWindowTextW", "EnumChildWindows",
"PostThreadMessageW", "GetMessageW" (returns -1), "FormatMessageW",
"GetErrorInfo", "LoadLibraryExA", "GetProcAddress", "FreeLibrary",
"CreateThread" (raises std::system_error EAGAIN). A BOOL or handle call then
returns zero and sets the last error to ``code``; an HRESULT call returns
``code``, or with ``no_result`` succeeds without its object. ``skip`` lets
that many calls through first, ``times`` limits how often it fails (-1:
always). ``message`` leaves error information on the failing thread (with
``restricted_message`` it also answers IRestrictedErrorInfo).

Live objects
------------
``live_objects()`` counts what the simulated system handed out and nobody
released yet, by kind: "error_info", "bstr", "message_buffer", and the
capture engine's kinds. Only kinds with a count other than zero appear, so a
test that leaked nothing sees ``{}``. ``reset()`` leaves these counts alone.

Misuses
-------
``misuses()`` lists what was done that Windows leaves undefined and that
would fail there at random rather than at once (see simcapture: two threads
in one immediate context, runtime objects released after RoUninitialize), one
str each, oldest first. Kept until ``clear_misuses()``; ``reset()`` leaves
them alone.
"""

import ctypes

import lumigrab

_lib = ctypes.PyDLL(lumigrab.__file__)
if not hasattr(_lib, "lumigrab_sim_reset"):
    raise ImportError("lumigrab was built without LUMIGRAB_TEST_HOOKS")

_u64 = ctypes.c_uint64
_u32 = ctypes.c_uint32
_units_p = ctypes.POINTER(ctypes.c_uint16)


def _declare(name, restype, *argtypes):
    function = getattr(_lib, "lumigrab_sim_" + name)
    function.restype = restype
    function.argtypes = argtypes
    return function


_reset = _declare("reset", None)
_backend = _declare("backend", ctypes.c_char_p)
_own_process_id = _declare("own_process_id", _u32)
_add_monitor = _declare("add_monitor", _u64, _units_p, ctypes.c_size_t, _units_p,
                        ctypes.c_size_t, _u32, _u32, _u32, ctypes.c_int, ctypes.c_int)
_remove_monitor = _declare("remove_monitor", ctypes.c_int, _u64)
_set_primary = _declare("set_primary", None, _u64)
_set_display_scale = _declare("set_display_scale", None, ctypes.c_uint32)
_add_window = _declare("add_window", _u64, _units_p, ctypes.c_size_t, ctypes.c_int,
                       ctypes.c_int, _u32, ctypes.c_int64, ctypes.c_int64, _u32,
                       ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32)
_close_window = _declare("close_window", ctypes.c_int, _u64)
_set_title = _declare("set_title", ctypes.c_int, _u64, _units_p, ctypes.c_size_t)
_set_foreground = _declare("set_foreground", None, _u64)
_fail = _declare("fail", None, ctypes.c_char_p, _u32, ctypes.c_int, ctypes.c_int,
                 ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)
_clear_faults = _declare("clear_faults", None)
_set_system_message = _declare("set_system_message", None, _u32, ctypes.c_char_p,
                               ctypes.c_int)
_set_error_info = _declare("set_error_info", None, ctypes.c_char_p, ctypes.c_char_p)
_calls = _declare("calls", ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)
_clear_calls = _declare("clear_calls", None)
_live_objects = _declare("live_objects", ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)
_misuses = _declare("misuses", ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t)
_clear_misuses = _declare("clear_misuses", None)
_loaded_libraries = _declare("loaded_libraries", ctypes.c_size_t, ctypes.c_char_p,
                             ctypes.c_size_t)

_HANDLE_MASK = (1 << 64) - 1


def _units(text):
    """UTF-16 units of a str (lone surrogates kept), or a list of ints as they are."""
    if isinstance(text, str):
        data = text.encode("utf-16-le", "surrogatepass")
        return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)]
    return [int(unit) & 0xFFFF for unit in text]


def _unit_array(units):
    return (ctypes.c_uint16 * max(len(units), 1))(*units), len(units)


def _utf8(text):
    """UTF-8 with lone surrogates in their three-byte form, or None."""
    return None if text is None else text.encode("utf-8", "surrogatepass")


def _fixed(text, raw, size, what):
    if raw is not None:
        units = _units(raw)
        if len(units) != size:
            raise ValueError(f"raw_{what} must hold exactly {size} units, not {len(units)}")
        return units
    units = _units(text)
    if len(units) > size:
        raise ValueError(f"{what} must fit in {size} units, not {len(units)}")
    return units


def _read(function):
    capacity = 4096
    while True:
        buffer = ctypes.create_string_buffer(capacity)
        length = function(buffer, capacity)
        if length < capacity:
            return buffer.raw[:length].decode("utf-8", "surrogateescape")
        capacity = length + 4096


def _lines(function):
    # Not splitlines(): a logged title may hold any other line separator.
    return _read(function).split("\n")[:-1]


def _counts(function):
    counts = {}
    for line in _lines(function):
        name, count = line.rsplit("\t", 1)
        counts[name] = int(count)
    return counts


def reset():
    """Empty desktop: no monitors, no windows, no foreground window, no faults,
    default message tables, no registered libraries, empty call log; also runs
    every reset hook of the simulated system."""
    _reset()


def backend():
    return _backend().decode()


def own_process_id():
    return _own_process_id()


def add_monitor(name="\\\\.\\DISPLAY1", *, width=1920, height=1080, refresh_rate=60,
                device_string="Simulated Monitor", primary=False, raw_name=None,
                raw_device_string=None, settings=True):
    """Connects a monitor and returns its handle.

    ``name`` becomes szDevice (at most 32 units, zero-filled), ``device_string``
    the DeviceString of its display device (at most 128). ``raw_name`` (exactly
    32 ints) and ``raw_device_string`` (exactly 128) give the fields unit by
    unit instead, terminator or not. ``primary``: MonitorFromPoint((0, 0))
    returns it. ``settings=False``: EnumDisplaySettingsW fails for it.
    """
    name_units, name_count = _unit_array(_fixed(name, raw_name, 32, "name"))
    string_units, string_count = _unit_array(
        _fixed(device_string, raw_device_string, 128, "device_string"))
    return _add_monitor(name_units, name_count, string_units, string_count, width, height,
                        refresh_rate, int(primary), int(settings))


def remove_monitor(handle):
    """Disconnects the monitor: no longer enumerated, GetMonitorInfoW fails for it."""
    if not _remove_monitor(handle):
        raise ValueError(f"no connected monitor {handle:#x}")


def set_primary(handle):
    """What MonitorFromPoint((0, 0)) returns: a handle, None for 0, or any int
    (-1 for all bits set)."""
    _set_primary(0 if handle is None else handle & _HANDLE_MASK)


def set_display_scale(percent):
    """The display scale in percent. As on Windows, a thread that is not
    per-monitor DPI aware (the default) gets monitor and window geometry from
    user32 divided by it; display modes and frames stay in physical pixels."""
    _set_display_scale(percent)


def add_window(title="", *, visible=True, own_process=False, pid=None, style=0, exstyle=0,
               client_rect_error=0, width=800, height=600, left=0, top=0):
    """Opens a top-level window and returns its handle.

    ``title``: a str, or a list of ints taken as raw UTF-16 units. The window
    belongs to another process unless ``own_process`` or ``pid`` says which.
    ``client_rect_error``: when not 0, GetClientRect fails with this last error.
    ``left``, ``top``: where ClientToScreen puts the client area's origin.
    """
    if own_process and pid is not None:
        raise ValueError("give own_process or pid, not both")
    if own_process:
        pid = own_process_id()
    units, count = _unit_array(_units(title))
    return _add_window(units, count, int(visible), int(pid is not None), pid or 0, style,
                       exstyle, client_rect_error, width, height, left, top)


def close_window(handle):
    """Closes the window: invisible, untitled, not found, not enumerated; its
    handle stays what it was and GetClientRect fails for it with 1400."""
    if not _close_window(handle):
        raise ValueError(f"no open window {handle:#x}")


def set_title(handle, title):
    units, count = _unit_array(_units(title))
    if not _set_title(handle, units, count):
        raise ValueError(f"no open window {handle:#x}")


def set_foreground(handle):
    """What GetForegroundWindow returns: a handle, or None for 0."""
    _set_foreground(0 if handle is None else handle & _HANDLE_MASK)


def fail(point, code=0, *, skip=0, times=-1, no_result=False, message="",
         restricted_message=None):
    """Arms the fault point ``point`` (see the module's documentation)."""
    _fail(point.encode(), code & 0xFFFFFFFF, skip, times, int(no_result), _utf8(message),
          _utf8(restricted_message))


def clear_faults():
    _clear_faults()


def set_system_message(code, text, ntdll=False):
    """Sets the system's message for ``code`` (None removes it); with ``ntdll``
    the message of ntdll's table, found only through FORMAT_MESSAGE_FROM_HMODULE
    and the module LoadLibraryExA("ntdll.dll") gives. Texts of the system end
    in "\\r\\n"."""
    _set_system_message(code & 0xFFFFFFFF, _utf8(text), int(ntdll))


def set_error_info(description, restricted_description=None):
    """Leaves error information on the calling thread, as a failed call does."""
    _set_error_info(_utf8(description), _utf8(restricted_description))


def calls():
    """Every platform call made since the last reset or clear_calls(), one str each."""
    return _lines(_calls)


def clear_calls():
    _clear_calls()


def live_objects():
    """{kind: count} of simulated objects not yet released (non-zero counts only)."""
    return _counts(_live_objects)


def misuses():
    """Misuses recorded since the last clear_misuses(), one str each."""
    return _lines(_misuses)


def clear_misuses():
    _clear_misuses()


def loaded_libraries():
    """{name: count} of LoadLibraryExA calls not yet matched by FreeLibrary."""
    return _counts(_loaded_libraries)
