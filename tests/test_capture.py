"""Capture: the state machine seen from Python, targets, frames and teardown."""

import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import time

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


def run_script(body, timeout=60):
    """Runs `body` in a new interpreter on an empty simulated desktop with one
    64x48 primary monitor (`monitor`), and returns the lines it printed. A
    script that hangs fails the test after `timeout` seconds."""
    preamble = (
        "import gc, os, signal, sys, threading, time, types\n"
        f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
        "import lumigrab, simcapture, simdesk\n"
        "simdesk.reset()\n"
        "monitor = simdesk.add_monitor(width=64, height=48, primary=True)\n"
    )
    out = subprocess.run([sys.executable, "-c", preamble + textwrap.dedent(body)],
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


@pytest.fixture
def monitor(desk):
    handle = desk.add_monitor(width=64, height=48, primary=True)
    return handle


@pytest.fixture
def no_leaks():
    """Nothing left alive, and nothing done that Windows leaves undefined."""
    simdesk.clear_misuses()
    yield
    gc.collect()
    simdesk.reset()  # drops the frame-pool statics the process keeps
    assert live_everything() == {}
    assert simdesk.misuses() == []


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

    def test_a_minimized_window_delivers_nothing_until_restored(self, desk, no_leaks):
        handle = desk.add_window("w", width=64, height=48)
        simcapture.set_minimized(handle)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Window("w"), await_first_frame=False)
        wait_until_capturing()
        simcapture.present(handle, 64, 48, image(64, 48, [9, 0, 0, 255]))
        assert simcapture.wait_delivered()
        assert raises_message(RuntimeError, capture.frame) == NO_FRAME
        simcapture.set_minimized(handle, False)
        assert simcapture.wait_delivered()
        assert capture.frame()[0, 0].tolist() == [9, 0, 0, 255]
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
        assert sum(call.startswith("PostThreadMessageW(") and ", 0x12, " in call
                   for call in desk.calls()) == 1
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


    def test_ctrl_c_ends_the_first_frame_wait_and_leaves_the_capture_idle(self):
        # No frame ever arrives. Other threads run meanwhile: one of them
        # sends the Ctrl+C.
        out = run_script("""
            simdesk.fail("IDirect3D11CaptureFrame::get_Surface", 0x80004005)
            capture = lumigrab.Capture()
            main = threading.get_ident()
            threading.Timer(0.2, lambda: signal.pthread_kill(main, signal.SIGINT)).start()
            try:
                capture.start(lumigrab.Monitor())
            except KeyboardInterrupt:
                print("KeyboardInterrupt", capture.active)
            print(sum(c.startswith("PostThreadMessageW(") and ", 0x12, " in c for c in simdesk.calls()))
            print({kind: n for kind, n in simdesk.live_objects().items() if n and kind != "statics"})
            simdesk.clear_faults()
            capture.start(lumigrab.Monitor())
            print(capture.frame().shape)
        """)
        assert out == ["KeyboardInterrupt False", "1", "{}", "(48, 64, 4)"]

    def test_calls_from_several_threads_take_turns(self):
        # While one thread waits in start, others run; a call of theirs on the
        # same capture waits its turn instead of failing or breaking in.
        out = run_script("""
            simdesk.fail("IDirect3D11CaptureFrame::get_Surface", 0x80004005, times=1)
            capture = lumigrab.Capture()
            seen = []
            def deliver_then_read():
                time.sleep(0.1)
                simcapture.present(monitor, 64, 48)
                seen.append(capture.frame().shape)
            helper = threading.Thread(target=deliver_then_read)
            helper.start()
            capture.start(lumigrab.Monitor())
            helper.join()
            print(seen)
            errors = []
            def hammer(calls):
                for _ in range(25):
                    for call in calls:
                        try:
                            call()
                        except TimeoutError:
                            pass
                        except RuntimeError as error:
                            if str(error) not in ("Capture thread is not running.",
                                                  "No frame available yet."):
                                errors.append(str(error))
                        except BaseException as error:
                            errors.append(repr(error))
            calls = [lambda: capture.start(lumigrab.Monitor()), capture.frame,
                     lambda: capture.next_frame(timeout=0.01), lambda: capture.active,
                     lambda: repr(capture), capture.stop]
            threads = [threading.Thread(target=hammer, args=(calls[i:] + calls[:i],))
                       for i in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            print(errors)
            # Threads still reading when the program ends are ended by the
            # interpreter wherever they are, and the program exits cleanly.
            capture.start(lumigrab.Monitor())
            def read_forever(read):
                while True:
                    try:
                        read()
                    except TimeoutError:
                        pass
            for read in (capture.frame, capture.frame, lambda: capture.next_frame(timeout=0.01)):
                threading.Thread(target=read_forever, args=(read,), daemon=True).start()
            time.sleep(0.2)
        """)
        assert out == ["[(48, 64, 4)]", "[]"]

    def test_a_child_forked_during_a_call_gets_a_fresh_capture(self):
        out = run_script("""
            simdesk.fail("IDirect3D11CaptureFrame::get_Surface", 0x80004005, times=1)
            capture = lumigrab.Capture()
            capture.region = (0, 0, 8, 8)
            waiting = threading.Thread(target=lambda: capture.start(lumigrab.Monitor()))
            waiting.start()
            time.sleep(0.2)  # the thread is in start's wait, in the middle of its call
            child = os.fork()
            if child == 0:
                # The call's thread is not in this process: nothing waits for it.
                fresh = [capture.active, repr(capture), capture.stop()]
                del capture
                os._exit(0 if fresh == [False, "<Capture stopped region=(0, 0, 8, 8)>", None] else 1)
            _, status = os.waitpid(child, 0)
            simcapture.present(monitor, 64, 48)
            waiting.join()
            print(os.waitstatus_to_exitcode(status), capture.frame().shape)
            capture.stop()
        """)
        assert out == ["0 (8, 8, 4)"]


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
            "LoadLibraryExA('Windows.Graphics.Capture.dll', NULL, 0x800)",
            "LoadLibraryExA('Windows.Graphics.dll', NULL, 0x800)",
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

    def test_each_call_gives_a_new_array(self, monitor, desk, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        desk.clear_calls()
        first, second = capture.frame(), capture.frame()
        assert first is not second and np.array_equal(first, second)
        first[:] = 0
        assert not np.array_equal(first, second)
        assert np.array_equal(capture.frame(), second)
        # One staging texture serves every read-back of that size.
        assert sum(c.startswith("ID3D11Device::CreateTexture2D(") for c in desk.calls()) == 1
        capture.stop()

    def test_latest_frame_wins(self, monitor, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        for value in [10, 20, 30]:
            simcapture.present(monitor, 64, 48, image(64, 48, [value, 0, 0, 255]))
        assert simcapture.wait_delivered()
        assert capture.frame()[0, 0, 0] == 30
        # The pool's two buffers and the staging texture kept for the next frame().
        assert simdesk.live_objects().get("texture", 0) == 3
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
        desk.fail(point, 0x8007000E, times=1)
        message = raises_message(RuntimeError, capture.frame)
        assert message == "Windows error during frame conversion"
        assert capture.frame().shape == (48, 64, 4)
        capture.stop()


    def test_region_copies_only_that_rectangle(self, desk, no_leaks):
        handle = desk.add_window("w", width=64, height=48)
        rows = np.random.default_rng(3).integers(0, 256, size=(48, 64 * 4 + 32), dtype=np.uint8)
        simcapture.present(handle, 64, 48, rows.tobytes(), row_pitch=64 * 4 + 32)
        full = rows[:, : 64 * 4].reshape(48, 64, 4)
        capture = lumigrab.Capture()
        capture.region = (8, 4, 16, 8)
        capture.start(lumigrab.Window("w"))
        desk.clear_calls()
        part = capture.frame()
        assert part.shape == (8, 16, 4) and part.flags["C_CONTIGUOUS"]
        assert np.array_equal(part, full[4:12, 8:24])
        calls = desk.calls()
        assert "ID3D11DeviceContext::CopySubresourceRegion(0, 0, 0, 0, 0, {8, 4, 0, 24, 12, 1})" in calls
        assert any(c.startswith("ID3D11Device::CreateTexture2D(Width=16, Height=8,") for c in calls)
        assert not any(c.startswith("ID3D11DeviceContext::CopyResource") for c in calls)
        # The whole target, edge to edge, is a region too.
        capture.stop()
        capture.region = [0, 0, 64, 48]
        assert capture.region == (0, 0, 64, 48)
        capture.start(lumigrab.Window("w"))
        assert np.array_equal(capture.frame(), full)
        # A target that shrinks under the region is an error, never a crop.
        for _ in range(2):  # the first shows the new size and is dropped
            simcapture.present(handle, 40, 30)
            assert simcapture.wait_delivered()
        assert raises_message(RuntimeError, capture.frame) == (
            "Region (0, 0, 64, 48) does not fit inside the 40x30 frame."
        )
        capture.stop()

    @pytest.mark.parametrize("region", [(60, 0, 5, 48), (0, 40, 64, 9), (2**31 - 1, 0, 1, 1)])
    def test_region_outside_the_target_is_refused_at_start(self, monitor, desk, region, no_leaks):
        capture = lumigrab.Capture()
        capture.region = region
        left, top, width, height = region
        assert raises_message(RuntimeError, lambda: capture.start(lumigrab.Monitor())) == (
            f"Region ({left}, {top}, {width}, {height}) does not fit inside the 64x48 capture target."
        )
        assert capture.active is False
        assert not any(c.startswith("CreateThread") for c in desk.calls())


class TestNextFrame:
    def test_returns_each_new_frame_once(self, monitor, no_leaks):
        import threading

        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        # The first frame was never handed out, so it comes at once.
        assert capture.next_frame(timeout=0)[0, 0, 2] == 0x80
        with pytest.raises(TimeoutError):
            capture.next_frame(timeout=0.05)
        # A frame that frame() handed out does not come again.
        simcapture.present(monitor, 64, 48, image(64, 48, [1, 0, 0, 255]))
        assert simcapture.wait_delivered()
        assert capture.frame()[0, 0, 0] == 1
        with pytest.raises(TimeoutError):
            capture.next_frame(timeout=0)
        # The wait lets other threads run and ends when a frame arrives.
        timer = threading.Timer(0.1, lambda: simcapture.present(monitor, 64, 48, image(64, 48, [2, 0, 0, 255])))
        timer.start()
        assert capture.next_frame(timeout=5)[0, 0, 0] == 2
        timer.join()
        capture.stop()

    @pytest.mark.parametrize(
        "wait", ["next_frame", "start", "next_frame before the first", "frame() before the first"])
    def test_a_wait_outlasts_a_lost_device_whose_pool_falls_silent(self, monitor, desk, no_leaks,
                                                                     wait):
        import _thread
        import threading

        capture = lumigrab.Capture()
        if wait == "next_frame":
            capture.start(lumigrab.Monitor())
            capture.next_frame(timeout=0)
        # The next frame loses the device and the first new one cannot be
        # made; the pool then raises nothing, and nothing changes on the
        # screen, so only the wait can ask again. For start, and a wait that
        # follows a start that does not wait, that frame is the first one.
        first = wait != "next_frame"
        desk.fail("IDirect3D11CaptureFramePool::TryGetNextFrame", 0x887A0005, times=1)
        desk.fail("D3D11CreateDevice", 0x80004005, skip=int(first), times=1)
        simcapture.present(monitor, 64, 48, image(64, 48, [1, 0, 0, 255]))
        if wait == "start":
            # A start that still waits after 10 s is interrupted as Ctrl+C would.
            alarm = threading.Timer(10, _thread.interrupt_main)
            alarm.start()
            try:
                capture.start(lumigrab.Monitor())
            except KeyboardInterrupt:
                pytest.fail("start() still waited for its first frame after 10 s")
            finally:
                alarm.cancel()
            assert capture.frame()[0, 0].tolist() == [1, 0, 0, 255]
        elif wait == "frame() before the first":
            # A caller that polls frame() until one comes.
            capture.start(lumigrab.Monitor(), await_first_frame=False)
            deadline = time.monotonic() + 10
            while True:
                try:
                    frame = capture.frame()
                    break
                except RuntimeError as error:
                    assert str(error) == NO_FRAME
                    assert time.monotonic() < deadline, "no frame within 10 s"
                    time.sleep(0.02)
            assert frame[0, 0].tolist() == [1, 0, 0, 255]
        else:
            if first:
                capture.start(lumigrab.Monitor(), await_first_frame=False)
            assert capture.next_frame(timeout=10)[0, 0].tolist() == [1, 0, 0, 255]
        capture.stop()

    def test_stop_from_another_thread_ends_the_wait(self, monitor, no_leaks):
        import threading

        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        capture.frame()
        timer = threading.Timer(0.1, capture.stop)
        timer.start()
        assert raises_message(RuntimeError, capture.next_frame) == NOT_RUNNING
        timer.join()
        assert raises_message(RuntimeError, capture.next_frame) == NOT_RUNNING

    def test_a_thread_that_ends_by_itself_ends_the_wait(self, monitor, desk, no_leaks):
        desk.fail("D3D11CreateDevice", 0x887A0004)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor(), await_first_frame=False)
        assert raises_message(RuntimeError, lambda: capture.next_frame(timeout=5)) == NOT_RUNNING
        capture.stop()

    def test_ctrl_c_interrupts_the_wait(self, monitor, no_leaks):
        import signal
        import threading

        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        capture.frame()
        main = threading.get_ident()
        timer = threading.Timer(0.1, lambda: signal.pthread_kill(main, signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            capture.next_frame(timeout=10)
        timer.join()
        capture.stop()

    @pytest.mark.parametrize(
        "timeout, error, message",
        [
            ("1", TypeError, "argument 'timeout': 'str' object cannot be converted to 'float'"),
            (True, TypeError, "argument 'timeout': 'bool' object cannot be converted to 'float'"),
            (-1, ValueError, "timeout must be a non-negative number or None"),
            (float("nan"), ValueError, "timeout must be a non-negative number or None"),
        ],
    )
    def test_bad_timeouts(self, timeout, error, message):
        capture = lumigrab.Capture()
        assert raises_message(error, lambda: capture.next_frame(timeout=timeout)) == message
        # Arguments are checked before the state.
        assert raises_message(RuntimeError, lambda: capture.next_frame(timeout=1e300)) == NOT_RUNNING


class TestOptions:
    def test_defaults_leave_the_session_alone(self, monitor, desk, no_leaks):
        capture = lumigrab.Capture()
        assert (capture.cursor, capture.border, capture.region) == (True, True, None)
        capture.start(lumigrab.Monitor())
        capture.stop()
        assert not any("IGraphicsCaptureSession2" in c or "IGraphicsCaptureSession3" in c for c in desk.calls())

    def test_switches_are_set_before_the_capture_starts(self, monitor, desk, no_leaks):
        capture = lumigrab.Capture()
        capture.cursor = False
        capture.border = False
        capture.start(lumigrab.Monitor())
        calls = desk.calls()
        cursor = calls.index("IGraphicsCaptureSession2::put_IsCursorCaptureEnabled(0)")
        border = calls.index("IGraphicsCaptureSession3::put_IsBorderRequired(0)")
        assert cursor < border < calls.index("IGraphicsCaptureSession::StartCapture()")
        capture.stop()
        assert (capture.cursor, capture.border) == (False, False)

    @pytest.mark.parametrize("await_first_frame", [True, False])
    @pytest.mark.parametrize(
        "option, interfaces, message",
        [
            ("cursor", {"cursor_switch": False}, "This system cannot leave the mouse pointer out of the capture."),
            ("border", {"border_switch": False}, "This system cannot turn off the capture border."),
            ("border", {"may_hide_border": False}, "This system cannot turn off the capture border."),
            # Accepted, but the border stays: only reading it back shows it.
            ("border", {"may_hide_border": False, "keeps_border_silently": True},
             "This system cannot turn off the capture border."),
        ],
    )
    def test_a_switch_the_system_refuses(self, monitor, desk, option, interfaces, message, await_first_frame,
                                         no_leaks):
        simcapture.set_session_interfaces(**interfaces)
        capture = lumigrab.Capture()
        # Asking for what the system does anyway is no problem.
        setattr(capture, option, True)
        capture.start(lumigrab.Monitor(), await_first_frame=await_first_frame)
        capture.stop()
        setattr(capture, option, False)
        start = lambda: capture.start(lumigrab.Monitor(), await_first_frame=await_first_frame)
        assert raises_message(RuntimeError, start) == message
        assert capture.active is False

    @pytest.mark.parametrize("await_first_frame", [True, False])
    def test_a_failing_switch_is_a_refusal(self, monitor, desk, no_leaks, await_first_frame):
        desk.fail("IGraphicsCaptureSession2::put_IsCursorCaptureEnabled", 0x80070005)
        capture = lumigrab.Capture()
        capture.cursor = True
        start = lambda: capture.start(lumigrab.Monitor(), await_first_frame=await_first_frame)
        assert raises_message(RuntimeError, start) == (
            "This system cannot leave the mouse pointer out of the capture."
        )
        assert capture.active is False

    def test_a_switch_that_fails_otherwise_is_not_called_a_refusal(self, monitor, desk, no_leaks):
        # RPC_E_DISCONNECTED says nothing about what the system allows.
        desk.fail("IGraphicsCaptureSession3::put_IsBorderRequired", 0x80010108)
        capture = lumigrab.Capture()
        capture.border = False
        assert raises_message(RuntimeError, lambda: capture.start(lumigrab.Monitor())) == (
            "Capture thread exited unexpectedly with an error."
        )

    def test_options_change_only_while_stopped(self, monitor, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        for option, value in [("cursor", False), ("border", False), ("region", (0, 0, 1, 1))]:
            message = raises_message(RuntimeError, lambda: setattr(capture, option, value))
            assert message == f"Set {option} before start() or after stop()."
        capture.stop()
        capture.region = (0, 0, 1, 1)
        capture.region = None
        assert capture.region is None

    @pytest.mark.parametrize(
        "option, value, error",
        [
            ("cursor", 1, TypeError),
            ("border", None, TypeError),
            ("region", (0, 0, 1), TypeError),
            ("region", "0,0,1,1", TypeError),
            ("region", (0, 0, 1.0, 1), TypeError),
            ("region", (0, 0, True, 1), TypeError),
            ("region", (-1, 0, 1, 1), ValueError),
            ("region", (0, 0, 0, 1), ValueError),
            ("region", (0, 0, 1, 2**31), ValueError),
            ("region", (0, 0, 1, 2**64), ValueError),
        ],
    )
    def test_bad_values_change_nothing(self, option, value, error):
        capture = lumigrab.Capture()
        before = getattr(capture, option)
        with pytest.raises(error):
            setattr(capture, option, value)
        with pytest.raises(AttributeError):
            delattr(capture, option)
        assert getattr(capture, option) == before

    def test_context_manager_stops_however_the_block_ends(self, monitor, no_leaks):
        with lumigrab.Capture() as capture:
            capture.start(lumigrab.Monitor())
            assert repr(capture) == "<Capture running>"
        assert capture.active is False
        assert repr(capture) == "<Capture stopped>"
        with pytest.raises(KeyError):
            with capture:
                capture.start(lumigrab.Monitor())
                raise KeyError("passes through")
        assert capture.active is False
        capture.region = (1, 2, 3, 4)
        assert repr(capture) == "<Capture stopped region=(1, 2, 3, 4)>"


class TestTeardown:
    def test_deleting_a_running_capture_stops_it(self, monitor, desk, no_leaks):
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        del capture
        assert any(c.startswith("PostThreadMessageW(") and ", 0x12, " in c for c in desk.calls())
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


def test_threads_reading_the_first_frames_take_turns_over_numpys_import():
    # The module fetches NumPy's table on the first frame; while that runs
    # Python code, another thread reads a frame too.
    out = run_script("""
        import numpy.core.multiarray as real

        class Slow(types.ModuleType):
            def __getattr__(self, name):
                sys.modules["numpy.core.multiarray"] = real
                time.sleep(0.2)
                return getattr(real, name)

        sys.modules["numpy.core.multiarray"] = Slow("numpy.core.multiarray")
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        shapes = []
        readers = [threading.Thread(target=lambda: shapes.append(capture.frame().shape))
                   for _ in range(2)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()
        capture.stop()
        print(shapes)
    """, timeout=30)
    assert out == ["[(48, 64, 4), (48, 64, 4)]"]


def test_ctrl_c_while_numpy_is_imported_goes_on_as_itself(tmp_path):
    core = tmp_path / "numpy" / "core"
    core.mkdir(parents=True)
    (tmp_path / "numpy" / "__init__.py").write_text("")
    (core / "__init__.py").write_text("")
    (core / "multiarray.py").write_text("raise KeyboardInterrupt\n")
    out = run_script(f"""
        capture = lumigrab.Capture()
        capture.start(lumigrab.Monitor())
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            capture.frame()
        except BaseException as error:
            print(type(error).__name__)
        # Nothing was kept of the failed import: the real NumPy is used now.
        del sys.path[0]
        for name in [name for name in sys.modules if name.split(".")[0] == "numpy"]:
            del sys.modules[name]
        print(capture.frame().shape)
        capture.stop()
    """)
    assert out == ["KeyboardInterrupt", "(48, 64, 4)"]


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
