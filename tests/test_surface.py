"""The module's Python surface: names, classes, docstrings and signatures."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import lumigrab


class TestModule:
    def test_all_lists_the_names_in_registration_order(self):
        assert lumigrab.__all__ == [
            "enumerate_windows",
            "foreground_window",
            "Window",
            "primary_monitor",
            "enumerate_monitors",
            "Monitor",
            "Capture",
            "__version__",
        ]

    def test_version(self):
        assert lumigrab.__version__ == "0.1.1"
        assert type(lumigrab.__version__) is str

    def test_reimport_gives_the_same_module(self):
        del sys.modules["lumigrab"]
        again = importlib.import_module("lumigrab")
        assert again is lumigrab
        sys.modules["lumigrab"] = lumigrab

    def test_reload_gives_the_same_module(self):
        assert importlib.reload(lumigrab) is lumigrab

    def test_functions_belong_to_the_module(self):
        for name in ["enumerate_windows", "foreground_window", "primary_monitor", "enumerate_monitors"]:
            function = getattr(lumigrab, name)
            assert function.__module__ == "lumigrab"
            assert function.__self__ is lumigrab
            assert function.__name__ == name

    def test_import_neither_imports_numpy_nor_starts_a_thread(self):
        code = textwrap.dedent(
            """
            import sys, threading, os
            before = len(os.listdir('/proc/self/task'))
            import lumigrab
            lumigrab.enumerate_monitors()
            print('numpy' in sys.modules, len(os.listdir('/proc/self/task')) - before)
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.split() == ["False", "0"]

    def test_second_interpreter_is_refused(self):
        code = textwrap.dedent(
            """
            import lumigrab, _xxsubinterpreters as interpreters
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import lumigrab")
            except Exception as e:
                print(type(e).__name__, 'ImportError' in str(e))
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.stdout.split() == ["RunFailedError", "True"], out.stderr


CLASS_DOCS = {
    "Monitor": (
        "(id=None)",
        "Monitor(id: int | None = None) -> Monitor\nMonitor class for the Windows operating system.\n\n"
        "Monitor can be used as capture target for the :class:`.Capture` class. It also provides some\n"
        "convenience methods to get information about the monitor.\n\n"
        "Args:\n   id: The index of the monitor. If None, the primary monitor is used.",
    ),
    "Window": (
        "(name)",
        "Window(name: str) -> Window\nWindow abstraction for the Windows operating system.\n\n"
        "Windows can be used as capture target for the :class:`.Capture` class.\n\n"
        "Args:\n    name: The name of the window.",
    ),
    "Capture": (
        "()",
        "Capture class to capture frames from a monitor or a window.\n\n"
        "The idea is to get either a :class:`.Monitor` or a :class:`.Window` as target, create a Capture\n"
        "object, and then start a capture thread that will update the internal frame of the Capture\n"
        "object whenever a new frame is available. Frames are only materialized, converted to NumPy\n"
        "arrays and passed over to Python when the user requests it to avoid unnecessary copies.",
    ),
}

PROPERTY_DOCS = {
    ("Window", "valid"): ":``bool``: True if the window is still valid (i.e., open), else False.",
    ("Window", "name"): ":``str``: The name string of the window.",
    ("Monitor", "width"): ":``int``: The pixel width of the monitor.",
    ("Monitor", "height"): ":``int``: The pixel height of the monitor.",
    ("Monitor", "index"): ":``int``: The index of the monitor.",
    ("Monitor", "refresh_rate"): ":``int``: The refresh rate of the monitor in Hz.",
    ("Monitor", "device_name"): ":``str``: The monitor device name.",
    ("Monitor", "device_string"): ":``str``: The device string of the monitor.",
    ("Capture", "active"): ":``bool``: True if the capture thread is running, False otherwise.",
}

FUNCTION_DOCS = {
    "enumerate_windows": "enumerate_windows() -> list[Window]\n\nEnumerate all windows that are currently available.\n\n"
    "Returns:\n    A list of all windows.\n\nRaises:\n   WindowError: Enumerating the windows has failed.",
    "foreground_window": "foreground_window() -> Window\n\nGet the currently active window.\n\n"
    "Returns:\n   The active window.\n\nRaises:\n  NoActiveWindow: No active window was found.",
    "primary_monitor": "primary_monitor() -> Monitor\n\nGet the primary monitor.\n\nReturns:\n   The monitor.",
    "enumerate_monitors": "enumerate_monitors() -> list[Monitor]\n\nEnumerate all monitors connected to the system.\n\n"
    "Returns:\n  The list of all monitors.",
}


class TestDocumentation:
    @pytest.mark.parametrize("name", CLASS_DOCS)
    def test_class_signature_and_doc(self, name):
        cls = getattr(lumigrab, name)
        signature, doc = CLASS_DOCS[name]
        assert cls.__text_signature__ == signature
        assert cls.__doc__ == doc
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__module__ == "builtins"

    @pytest.mark.parametrize("cls_name, prop", PROPERTY_DOCS)
    def test_property_docs(self, cls_name, prop):
        assert getattr(getattr(lumigrab, cls_name), prop).__doc__ == PROPERTY_DOCS[(cls_name, prop)]

    @pytest.mark.parametrize("name", FUNCTION_DOCS)
    def test_function_docs(self, name):
        function = getattr(lumigrab, name)
        assert function.__doc__ == FUNCTION_DOCS[name]
        assert function.__text_signature__ == "()"
        assert str(inspect.signature(function)) == "()"

    def test_capture_methods(self):
        start = lumigrab.Capture.start
        assert start.__text_signature__ == "($self, capture_target, await_first_frame=None)"
        # "$self" makes CPython show self as positional-only on the class.
        assert str(inspect.signature(start)) == "(self, /, capture_target, await_first_frame=None)"
        assert str(inspect.signature(lumigrab.Capture().start)) == "(capture_target, await_first_frame=None)"
        assert start.__doc__.startswith(
            "start(capture_target: CaptureTarget, await_first_frame: bool = True)\n\nStart the capture.\n\n"
            "This registeres an event handler"
        )
        assert start.__doc__.endswith("    await_first_frame: Waits for the first frame to arrive if True.")
        assert lumigrab.Capture.stop.__text_signature__ == "($self)"
        assert lumigrab.Capture.stop.__doc__ == (
            "Stop the capture thread, wait for it to join and invalidate the last frame."
        )
        assert lumigrab.Capture.frame.__text_signature__ == "($self)"
        assert str(inspect.signature(lumigrab.Capture().next_frame)) == "(timeout=None)"
        assert str(inspect.signature(lumigrab.Capture().__exit__)) == "(exc_type, exc_value, traceback, /)"
        assert lumigrab.Capture.frame.__doc__ == (
            "frame() -> np.ndarray\nConvert the latest frame to an array and return it.\n\n"
            ":returns: The frame as a 3D NumPy array with dimensions [h w 4]."
        )


class TestClassFlags:
    @pytest.mark.parametrize("name", ["Monitor", "Window", "Capture"])
    def test_not_subclassable(self, name):
        with pytest.raises(TypeError):
            type("Sub", (getattr(lumigrab, name),), {})

    def test_instances_take_no_attributes_or_weak_references(self, desk):
        desk.add_monitor(primary=True)
        desk.add_window("w")
        for obj in [lumigrab.Monitor(), lumigrab.Window("w"), lumigrab.Capture()]:
            with pytest.raises(AttributeError):
                obj.anything = 1
            with pytest.raises(TypeError):
                weakref.ref(obj)
            assert not hasattr(obj, "__dict__")

    def test_properties_are_read_only(self, desk):
        desk.add_monitor(primary=True)
        with pytest.raises(AttributeError):
            lumigrab.Monitor().width = 5
        with pytest.raises(AttributeError):
            lumigrab.Capture().active = True

    def test_not_tracked_by_the_garbage_collector(self, desk):
        import gc

        desk.add_monitor(primary=True)
        assert not gc.is_tracked(lumigrab.Monitor())
        assert not gc.is_tracked(lumigrab.Capture())

    def test_identity_semantics(self, desk):
        desk.add_monitor(primary=True)
        a, b = lumigrab.Monitor(), lumigrab.Monitor()
        assert a != b
        assert a == a
        assert hash(a) != hash(b)
