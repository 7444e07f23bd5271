"""Capture: the state machine seen from Python, targets, frames and teardown."""

import ctypes
import gc
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lumigrab
import simcapture
import simdesk

NOT_RUNNING = "Capture thread is not running."
NO_FRAME = "No frame available yet."
WS_EX_TOOLWINDOW = 0x80
WS_CHILD = 0x40000000

_module_objects = simdesk._lib.lumigrab_live_module_objects
_module_objects.restype = ctypes.c_long
_module_objects.argtypes = [ctypes.c_char_p]


def live_everything():
    """Every simulated object and every record or delegate of the module still alive."""
    counts = {kind: n for kind, n in simdesk.live_objects().items() if n}
    for kind in ["frame_arrived_handler", "shutdown_handler", "latest_frame_slot", "thread_id_cell"]:
        if _module_objects(kind.encode()):
            counts[kind] = _module_objects(kind.encode())
    return counts


def raises_message(exc_type, call):
    with pytest.raises(exc_type) as excinfo:
        call()
    return str(excinfo.value)


def wait_until_capturing(timeout=5.0):
    """Waits until a capture thread has started its session and pumped its first frame."""
    import time

    deadline = time.monotonic() + timeout
    while not any(c.startswith("IGraphicsCaptureSession::StartCapture") for c in simdesk.calls()):
        assert time.monotonic() < deadline, "the capture never started"
        time.sleep(0.005)
    assert simcapture.wait_delivered(timeout)


def image(width, height, pixel):
    return bytes(pixel) * (width * height)


@pytest.fixture
def monitor(desk):
    handle = desk.add_monitor(width=64, height=48, primary=True)
    return handle


@pytest.fixture
def no_leaks():
    yield
    gc.collect()
    simdesk.reset()  # drops the frame-pool statics the process keeps
    assert live_everything() == {}


class TestStates:
    def test_new_capture_is_idle(self, no_leaks):
        capture = lumigrab.Capture()
        assert capture.active is False
        assert raises_message(RuntimeError, capture.frame) == NOT_RUNNING
        assert capture.stop() is None
        assert capture.stop() is None

    @pytest.mark.parametrize("options", [{}, {"await_first_frame": True}, {"await_first_frame": None}])
    def test_start_returns_once_a_frame_is_there(self, monitor, no_leaks, options):
        capture = lumigrab.Capture()
        assert capture.start(lumigrab.Monitor(), **options) is None
        assert capture.active is True
        assert capture.frame().shape == (48, 64, 4)
        capture.stop()
        assert capture.active is False
        assert raises_message(RuntimeError, capture.frame) == NOT_RUNNING

    def test_no_frame_until_one_is_stored(self, monitor, desk, no_leaks):
        desk.fail("IDirect3D11CaptureFrame::get_Surface", 0x80004005, times=1)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor(), await_first_frame=False)
        wait_until_capturing()
        message = raises_message(RuntimeError, capture.frame)
        assert message == NO_FRAME
        simcapture.present(monitor, 64, 48, image(64, 48, [5, 6, 7, 8]))
        assert simcapture.wait_delivered()
        assert capture.frame()[0, 0].tolist() == [5, 6, 7, 8]
        capture.stop()

    def test_thread_that_ends_by_itself_leaves_the_capture_running(self, monitor, desk, no_leaks):
        desk.fail("D3D11CreateDevice", 0x887A0004)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor(), await_first_frame=False)
        assert capture.active is True
        assert raises_message(RuntimeError, capture.frame) == NO_FRAME
        assert capture.stop() is None
        assert capture.active is False

    def test_first_frame_wait_ends_when_the_thread_fails(self, monitor, no_leaks):
        simcapture.set_feature_level(0xB000)
        capture = lumigrab.Capture()
        message = raises_message(RuntimeError, lambda: capture.start(lumigrab.Monitor()))
        assert message == "Capture thread exited unexpectedly with an error."
        assert capture.active is False
        assert raises_message(RuntimeError, capture.frame) == NOT_RUNNING

    def test_start_on_a_running_capture_replaces_it(self, monitor, desk, no_leaks):
        other = desk.add_window("other", width=32, height=16)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        capture.start(lumigrab.Window("other"))
        assert capture.frame().shape == (16, 32, 4)
        assert live_everything()["thread_id_cell"] == 1
        assert sum(call.startswith("PostThreadMessageW(") for call in desk.calls()) == 1
        capture.stop()

    def test_failed_start_on_a_running_capture_changes_nothing(self, monitor, desk, no_leaks):
        desk.add_window("hidden", visible=False)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        before = capture.frame()
        assert raises_message(RuntimeError, lambda: capture.start(lumigrab.Window("hidden"))) == (
            "Invalid capture target."
        )
        assert capture.active is True
        assert np.array_equal(capture.frame(), before)
        capture.stop()

    def test_two_captures_are_independent(self, monitor, desk, no_leaks):
        window = desk.add_window("w", width=20, height=10)
        first, second = lumigrab.Capture(), lumigrab.Capture()
        first.start(lumigrab.Monitor())
        second.start(lumigrab.Window("w"))
        first.stop()
        assert second.active is True
        simcapture.present(window, 20, 10, image(20, 10, [1, 2, 3, 4]))
        assert simcapture.wait_delivered()
        assert second.frame()[0, 0].tolist() == [1, 2, 3, 4]
        second.stop()


class TestTargets:
    @pytest.mark.parametrize(
        "options",
        [{"visible": False}, {"style": WS_CHILD}, {"exstyle": WS_EX_TOOLWINDOW}, {"own_process": True}],
    )
    def test_invalid_window_is_refused_before_anything_starts(self, desk, options, no_leaks):
        desk.add_window("w", **options)
        capture = lumigrab.Capture()
        desk.clear_calls()
        message = raises_message(RuntimeError, lambda: capture.start(lumigrab.Window("w")))
        assert message == "Invalid capture target."
        assert capture.active is False
        assert not any("CreateThread" in call or "RoGetActivationFactory" in call for call in desk.calls())

    def test_window_capture(self, desk, no_leaks):
        handle = desk.add_window("editor", width=30, height=20)
        simcapture.present(handle, 30, 20, image(30, 20, [9, 8, 7, 255]))
        capture = lumigrab.Capture()
        capture.start(lumigrab.Window("editor"))
        frame = capture.frame()
        assert frame.shape == (20, 30, 4)
        assert (frame == [9, 8, 7, 255]).all()
        capture.stop()

    @pytest.mark.parametrize(
        "make_target, point, variant",
        [
            (lambda: lumigrab.Monitor(), "IGraphicsCaptureItemInterop::CreateForMonitor", "MonitorConversionError"),
            (lambda: lumigrab.Window("w"), "IGraphicsCaptureItemInterop::CreateForWindow", "WindowConversionError"),
        ],
    )
    def test_conversion_failure_is_a_fault_that_changes_nothing(self, monitor, desk, make_target, point,
                                                                variant, no_leaks):
        desk.add_window("w")
        target = make_target()
        desk.fail(point, 0x80070057, times=1)
        capture = lumigrab.Capture()
        with pytest.raises(BaseException) as excinfo:
            capture.start(target)
        assert type(excinfo.value).__name__ == "PanicException"
        assert str(excinfo.value) == "Failed to convert CaptureTarget to GraphicsCaptureItem: " + variant
        assert capture.active is False
        capture.start(target)
        capture.stop()

    def test_disconnected_monitor(self, monitor, desk, no_leaks):
        target = lumigrab.Monitor()
        desk.remove_monitor(monitor)
        with pytest.raises(BaseException) as excinfo:
            lumigrab.Capture().start(target)
        assert str(excinfo.value).endswith(": MonitorConversionError")

    def test_uninitialised_thread_joins_the_multithreaded_apartment_once(self, monitor, desk, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        capture.stop()
        capture.start(lumigrab.Monitor())
        capture.stop()
        assert sum(call.startswith("CoIncrementMTAUsage") for call in desk.calls()) == 1

    def test_factory_from_the_component_library(self, monitor, desk, no_leaks):
        desk.fail("RoGetActivationFactory(Windows.Graphics.Capture.GraphicsCaptureItem)", 0x80040154)
        simcapture.register_capture_library("Windows.Graphics.dll")
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        capture.stop()
        loads = [c for c in desk.calls() if c.startswith("LoadLibraryExA(")]
        assert loads == [
            "LoadLibraryExA('Windows.Graphics.Capture.dll', NULL, 0x1000)",
            "LoadLibraryExA('Windows.Graphics.dll', NULL, 0x1000)",
        ]
        # The library that served the factory stays loaded: the item it made runs its code.
        assert desk.loaded_libraries() == {"Windows.Graphics.dll": 1}

    def test_factory_without_the_interop_interface(self, monitor, desk, no_leaks):
        desk.fail("RoGetActivationFactory(Windows.Graphics.Capture.GraphicsCaptureItem)", 0x80040154)
        simcapture.register_capture_library("Windows.Graphics.Capture.dll", with_interop=False)
        with pytest.raises(BaseException) as excinfo:
            lumigrab.Capture().start(lumigrab.Monitor())
        assert str(excinfo.value).endswith(": MonitorConversionError")
        assert all(n == 0 for n in desk.loaded_libraries().values())


class TestFrames:
    def test_channels_are_red_green_blue_alpha(self, monitor, no_leaks):
        pixels = bytearray(image(64, 48, [0, 0, 0, 255]))
        pixels[0:4] = bytes([255, 0, 0, 255])
        pixels[4:8] = bytes([0, 255, 0, 128])
        simcapture.present(monitor, 64, 48, bytes(pixels))
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        frame = capture.frame()
        assert frame.dtype == np.uint8
        assert frame.flags["C_CONTIGUOUS"] and frame.flags["OWNDATA"]
        assert frame[0, 0].tolist() == [255, 0, 0, 255]
        assert frame[0, 1].tolist() == [0, 255, 0, 128]
        capture.stop()

    @pytest.mark.parametrize("width, pitch", [(1001, 4096), (1001, 4004), (3, 16)])
    def test_row_padding_is_dropped(self, desk, width, pitch, no_leaks):
        height = 5
        handle = desk.add_monitor(width=width, height=height, primary=True)
        rows = np.random.default_rng(7).integers(0, 256, size=(height, pitch), dtype=np.uint8)
        simcapture.present(handle, width, height, rows.tobytes(), row_pitch=pitch)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        frame = capture.frame()
        assert frame.shape == (height, width, 4)
        assert frame.strides == (width * 4, 4, 1)
        assert np.array_equal(frame, rows[:, : width * 4].reshape(height, width, 4))
        capture.stop()

    def test_each_call_gives_a_new_array(self, monitor, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        first, second = capture.frame(), capture.frame()
        assert first is not second and np.array_equal(first, second)
        first[:] = 0
        assert not np.array_equal(first, second)
        assert np.array_equal(capture.frame(), second)
        capture.stop()

    def test_latest_frame_wins(self, monitor, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        for value in [10, 20, 30]:
            simcapture.present(monitor, 64, 48, image(64, 48, [value, 0, 0, 255]))
        assert simcapture.wait_delivered()
        assert capture.frame()[0, 0, 0] == 30
        assert simdesk.live_objects().get("texture", 0) == 1
        capture.stop()

    def test_resize_keeps_the_old_frame_until_one_of_the_new_size(self, desk, no_leaks):
        handle = desk.add_window("w", width=64, height=48)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Window("w"))
        desk.clear_calls()
        simcapture.present(handle, 80, 60)
        assert simcapture.wait_delivered()
        assert capture.frame().shape == (48, 64, 4)
        assert any(c.startswith("IDirect3D11CaptureFramePool::Recreate(") for c in desk.calls())
        simcapture.present(handle, 80, 60)
        assert simcapture.wait_delivered()
        assert capture.frame().shape == (60, 80, 4)
        capture.stop()

    @pytest.mark.parametrize("point", ["ID3D11Device::CreateTexture2D", "ID3D11DeviceContext::Map"])
    def test_read_back_failure_keeps_the_frame(self, monitor, desk, point, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        desk.fail(point, 0x887A0005, times=1)
        message = raises_message(RuntimeError, capture.frame)
        assert message == "Windows error during frame conversion"
        assert capture.frame().shape == (48, 64, 4)
        capture.stop()


class TestTeardown:
    def test_deleting_a_running_capture_stops_it(self, monitor, desk, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        del capture
        assert any(c.startswith("PostThreadMessageW(") for c in desk.calls())
        assert simdesk.live_objects().get("session", 0) == 0

    def test_stop_after_a_teardown_fault(self, monitor, desk, capfd, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        desk.fail("IClosable::Close(FramePool)", 0x80004005)
        with pytest.raises(BaseException) as excinfo:
            capture.stop()
        assert type(excinfo.value).__name__ == "PanicException"
        assert str(excinfo.value) == "Failed to join capture thread: Any { .. }"
        assert capture.active is False
        err = capfd.readouterr().err
        assert "Failed to Close Frame Pool: Error { code: HRESULT(0x80004005), " in err
        assert capture.stop() is None

    def test_teardown_fault_while_deleting_goes_to_the_unraisable_hook(self, monitor, desk, no_leaks):
        seen = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = seen.append
        try:
            capture = lumigrab.Capture()
            capture.start(lumigrab.Monitor())
            desk.fail("IClosable::Close(Session)", 0x80004005)
            del capture
        finally:
            sys.unraisablehook = old_hook
        assert len(seen) == 1
        assert str(seen[0].exc_value) == "Failed to join capture thread: Any { .. }"

    def test_many_cycles_leave_nothing_behind(self, monitor, no_leaks):
        capture = lumigrab.Capture()
        for _ in range(40):
            capture.start(lumigrab.Monitor(), await_first_frame=False)
            capture.stop()
        for _ in range(10):
            capture.start(lumigrab.Monitor())
            capture.frame()
            capture.stop()


def test_frame_without_numpy_is_a_fault():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None
        import lumigrab
        capture = lumigrab.Capture()
        capture.start(lumigrab.primary_monitor())
        try:
            capture.frame()
        except BaseException as e:
            print(type(e).__name__, "|", str(e).split(": ", 1)[0])
        capture.stop()
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "PanicException | Failed to access NumPy array API capsule", out.stderr


def test_reentrant_use_is_refused_by_the_borrow_counter():
    # The first frame() imports NumPy's array API: Python code that runs while
    # frame() holds the capture for shared use. Stopping the capture from
    # there is refused rather than pulling the frame out from under it.
    code = textwrap.dedent(
        """
        import sys, types
        import lumigrab
        capture = lumigrab.Capture()
        seen = []

        class Intruder(types.ModuleType):
            def __getattr__(self, name):
                try:
                    capture.stop()
                except RuntimeError as e:
                    seen.append(str(e))
                seen.append(capture.active)
                raise AttributeError(name)

        sys.modules["numpy"] = types.ModuleType("numpy")
        sys.modules["numpy.core"] = types.ModuleType("numpy.core")
        sys.modules["numpy.core.multiarray"] = Intruder("numpy.core.multiarray")
        capture.start(lumigrab.primary_monitor())
        try:
            capture.frame()
        except BaseException as e:
            seen.append(type(e).__name__)
        capture.stop()
        print(seen, capture.active)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "['Already borrowed', True, 'PanicException'] False", out.stderr
