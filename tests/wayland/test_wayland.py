import multiprocessing
import os
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import lumigrab
from pattern import (finished, picture, private_sway, private_weston, rgba, script, set_mode, show,
                     show_colour, wait_for)

WIDTH = int(os.environ.get("LUMIGRAB_WAYLAND_WIDTH", "1280"))
HEIGHT = int(os.environ.get("LUMIGRAB_WAYLAND_HEIGHT", "720"))
NOT_RUNNING = "Capture thread is not running."
CONVERSION_ERROR = "Windows error during frame conversion"


@pytest.fixture
def capture():
    made = lumigrab.Capture()
    yield made
    made.stop()


def shown(counter=0, width=WIDTH, height=HEIGHT):
    """Has the output show the test picture; what frames should then hold."""
    rgb = picture(width, height, counter)
    show(rgb)
    return rgba(rgb)


def desktop_of_a_fresh_process(env_changes, body="lumigrab.enumerate_monitors()"):
    """What a new process with `env_changes` says when it runs `body`: "ok" or
    its RuntimeError."""
    env = dict(os.environ)
    for name, value in env_changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    code = ("import lumigrab\ntry:\n    " + body + "\n    print('ok')\n"
            "except RuntimeError as error:\n    print(error)\n")
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True, timeout=60).stdout.strip()


class TestDesktopChoice:
    def test_a_reachable_wayland_display_is_used_and_x11_otherwise(self):
        assert desktop_of_a_fresh_process({"DISPLAY": None}) == "ok"
        # No Wayland socket there: X11 is tried, and there is no X server.
        for wayland in (None, "/nonexistent/wayland-9"):
            said = desktop_of_a_fresh_process({"WAYLAND_DISPLAY": wayland, "DISPLAY": None})
            assert "DISPLAY is not set" in said

    def test_a_missing_library_is_named_with_its_package(self, tmp_path):
        (tmp_path / "libwayland-client.so.0").write_bytes(b"not a library")
        said = desktop_of_a_fresh_process({"LD_LIBRARY_PATH": str(tmp_path)})
        assert "the Wayland library libwayland-client.so.0 cannot be loaded" in said
        assert "install Debian's libwayland-client0 package" in said


class TestDesktopWithoutWlrootsProtocols:
    def test_monitors_are_listed_and_the_rest_says_what_is_missing(self):
        with private_weston() as desktop:
            out = finished(script(desktop.socket, """
                print([(m.width, m.height) for m in lumigrab.enumerate_monitors()])
                for call in (lumigrab.enumerate_windows, lambda: lumigrab.Window("Terminal"),
                             lumigrab.foreground_window,
                             lambda: lumigrab.Capture().start(lumigrab.primary_monitor())):
                    try:
                        call()
                    except RuntimeError as error:
                        print(error)
            """, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent"))
        # Without screen copy the monitor goes to the ScreenCast portal, which
        # is not there either.
        no_list = ("this Wayland desktop offers no window list (wlr-foreign-toplevel-management), "
                   "so its windows cannot be listed or found; monitors can still be captured")
        assert out.splitlines() == [
            "[(320, 240)]",
            "Windows API error: This Wayland desktop offers no window list "
            "(wlr-foreign-toplevel-management), so its windows cannot be listed or found; "
            "monitors can still be captured. (0x80070032)",
            "Failed to find window with name 'Terminal': " + no_list,
            "No active window found: " + no_list,
            "Capture thread exited unexpectedly with an error. This Wayland desktop offers no "
            "screen-copy protocol (wlr-screencopy-unstable-v1), and its ScreenCast portal cannot "
            "share the monitor: the session bus cannot be reached (Failed to connect to socket "
            "/nonexistent: No such file or directory).",
        ]


class TestMonitors:
    def test_monitors_come_from_the_compositors_outputs_in_its_order(self):
        monitors = lumigrab.enumerate_monitors()
        facts = [(m.device_name, m.index, m.left, m.top, m.width, m.height, m.refresh_rate)
                 for m in monitors]
        assert facts == [
            ("\\\\.\\DISPLAY1", 1, 0, 0, WIDTH, HEIGHT, 60),
            ("\\\\.\\DISPLAY2", 2, WIDTH, 0, 640, 480, 30),
        ]
        # The outputs' descriptions, which sway makes up for headless ones
        # (numbered in an order of its own).
        assert sorted(m.device_string for m in monitors) == ["Headless output 1",
                                                              "Headless output 2"]
        assert lumigrab.primary_monitor().device_name == "\\\\.\\DISPLAY1"
        assert lumigrab.Monitor(2).left == WIDTH


@pytest.fixture
def terminal():
    """Opens a terminal window of the given title (foot, a Wayland client);
    they all close when the test ends."""
    opened = []

    def open_window(title):
        process = subprocess.Popen(["foot", "--title", title, "sleep", "600"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        opened.append(process)
        assert wait_for(lambda: title in [w.name for w in lumigrab.enumerate_windows()])
        return process

    yield open_window
    for process in opened:
        process.kill()
        process.wait()


class TestWindows:
    def test_windows_come_from_the_compositors_list(self, terminal):
        terminal("first window")
        terminal("second window")
        names = [w.name for w in lumigrab.enumerate_windows()]
        assert names == ["first window", "second window"]
        found = lumigrab.Window("second window")
        assert found.valid
        # The list tells neither geometry nor owner.
        assert (found.left, found.top, found.width, found.height, found.process_id) == (0,) * 5
        # sway gives a new window the focus.
        assert lumigrab.foreground_window().name == "second window"

    def test_a_closed_window_is_invalid_and_no_longer_found(self, terminal):
        process = terminal("closing")
        window = lumigrab.Window("closing")
        process.kill()
        process.wait()
        assert wait_for(lambda: not window.valid)
        with pytest.raises(RuntimeError, match="^Failed to find window with name 'closing'$"):
            lumigrab.Window("closing")

    def test_a_window_cannot_be_captured_on_its_own(self, terminal, capture):
        terminal("target")
        with pytest.raises(RuntimeError) as raised:
            capture.start(lumigrab.Window("target"))
        assert "This Wayland desktop cannot capture single windows" in str(raised.value)
        assert capture.active is False


class TestCapture:
    def test_frames_show_the_output_exactly_in_rgba_order(self, capture):
        expected = shown(counter=0x5A)
        capture.start(lumigrab.primary_monitor())
        assert wait_for(lambda: np.array_equal(capture.frame(), expected))

    def test_a_still_screen_gives_no_new_frames_and_a_change_one(self, capture):
        expected = shown(counter=1)
        capture.start(lumigrab.primary_monitor())
        assert wait_for(lambda: np.array_equal(capture.frame(), expected))
        # Frames still to come from showing the picture arrive within this.
        time.sleep(0.3)
        with pytest.raises(TimeoutError):
            capture.next_frame(timeout=0)
        with pytest.raises(TimeoutError):
            capture.next_frame(timeout=0.3)
        expected = shown(counter=2)
        assert wait_for(lambda: np.array_equal(capture.next_frame(timeout=5), expected))

    def test_each_monitor_shows_its_own_output(self, capture):
        shown(counter=7)
        rgb = picture(640, 480, counter=8)
        show(rgb, output="HEADLESS-2")
        capture.start(lumigrab.Monitor(2))
        assert wait_for(lambda: np.array_equal(capture.frame(), rgba(rgb)))

    def test_a_region_reads_only_that_rectangle(self, capture):
        expected = shown(counter=3)
        capture.region = (WIDTH - 50, HEIGHT - 30, 40, 20)
        capture.start(lumigrab.primary_monitor())
        assert wait_for(lambda: np.array_equal(
            capture.frame(), expected[HEIGHT - 30:HEIGHT - 10, WIDTH - 50:WIDTH - 10]))

    def test_a_mode_change_gives_frames_of_the_new_size(self, capture):
        shown(counter=4)
        capture.start(lumigrab.primary_monitor())
        try:
            set_mode(640, 480)
            expected = shown(counter=5, width=640, height=480)
            assert wait_for(lambda: np.array_equal(capture.frame(), expected))
            assert lumigrab.primary_monitor().width == 640
        finally:
            set_mode(WIDTH, HEIGHT)
        expected = shown(counter=6)
        assert wait_for(lambda: np.array_equal(capture.frame(), expected))

    def test_start_and_stop_cycles_leak_nothing(self):
        def counts():
            return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))

        show_colour("#102030")
        monitor = lumigrab.primary_monitor()
        for _ in range(3):
            with lumigrab.Capture() as c:
                c.start(monitor)
        before = counts()
        for _ in range(30):
            c = lumigrab.Capture()
            c.start(monitor)
            assert c.frame()[0, 0].tolist() == [0x10, 0x20, 0x30, 255]
            c.stop()
            lumigrab.enumerate_monitors()
        del c
        assert wait_for(lambda: counts() == before), (counts(), before)


@pytest.fixture
def portal(monkeypatch, tmp_path):
    """Captures go through the ScreenCast portal, with a state directory of
    the test's own; the returned function sets what the desktop's chooser
    answers next (an output's name, or None for a cancelled dialog)."""
    monkeypatch.setenv("LUMIGRAB_WAYLAND_CAPTURE", "portal")
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    answer_file = os.environ["LUMIGRAB_PORTAL_ANSWER"]

    def answer(output):
        with open(answer_file, "w") as f:
            f.write((output or "") + "\n")

    answer("HEADLESS-1")
    yield answer
    answer("HEADLESS-1")


def start_and_change_until_seen(capture, draw, seen):
    """Starts `capture` without waiting and has the output change, by
    `draw(k)` for k = 0, 1, ..., until `seen(frame, drawn)` says a frame shows
    what the last drawing returned. The wlroots portal streams an output it
    streamed before again from where it left off: the next frame comes with
    the next change, and only with a change made once its stream runs, which
    may be after start() has returned."""
    capture.start(lumigrab.primary_monitor(), await_first_frame=False)
    deadline = time.monotonic() + 10
    k = 0
    while time.monotonic() < deadline:
        drawn = draw(k)
        k += 1
        if wait_for(lambda: seen(capture, drawn), timeout=1):
            return True
    return False


class TestPortal:
    def test_frames_show_the_shared_monitor_exactly(self, portal, capture, tmp_path):
        expected = shown(counter=10)
        capture.start(lumigrab.primary_monitor())
        assert wait_for(lambda: np.array_equal(capture.frame(), expected))
        expected = shown(counter=11)
        assert wait_for(lambda: np.array_equal(capture.frame(), expected))
        # The portal's restore token is kept for the next start of this monitor.
        assert os.listdir(tmp_path / "lumigrab") == [f"screencast-0_0_{WIDTH}x{HEIGHT}.token"]
        capture.stop()

        def newest_shows(c, expected):
            try:
                return np.array_equal(c.next_frame(timeout=0.2), expected)
            except TimeoutError:
                return False

        assert start_and_change_until_seen(capture, lambda k: shown(counter=12 + k), newest_shows)

    def test_the_monitor_picked_in_the_dialog_is_the_one_captured(self, portal, capture):
        shown(counter=12)
        rgb = picture(640, 480, counter=13)
        show(rgb, output="HEADLESS-2")
        portal("HEADLESS-2")
        capture.start(lumigrab.Monitor(2))
        assert wait_for(lambda: np.array_equal(capture.frame(), rgba(rgb)))

    def test_another_monitor_picked_or_a_cancelled_dialog_fail_the_start(self, portal, capture):
        portal("HEADLESS-1")
        with pytest.raises(RuntimeError) as raised:
            capture.start(lumigrab.Monitor(2))
        assert ("The desktop shared another monitor than the one asked for (the one at 0, 0, "
                f"{WIDTH}x{HEIGHT}); pick the requested one in the desktop's dialog.") in str(
                    raised.value)
        portal(None)
        with pytest.raises(RuntimeError) as raised:
            capture.start(lumigrab.primary_monitor())
        assert "Screen sharing was cancelled in the desktop's dialog." in str(raised.value)
        assert capture.active is False


    def test_a_portal_that_goes_away_makes_frame_raise(self, portal, capture):
        def colour(k):
            show_colour(f"#4050{0x60 + k % 2:02x}")
            return [0x40, 0x50, 0x60 + k % 2, 255]

        def frame_shows(c, expected):
            try:
                return c.frame()[0, 0].tolist() == expected
            except RuntimeError:
                return False

        assert start_and_change_until_seen(capture, colour, frame_shows)
        with open(os.environ["LUMIGRAB_PORTAL_BACKEND_PID"]) as f:
            backend = int(f.read())
        os.kill(backend, signal.SIGKILL)

        def fails():
            try:
                capture.frame()
            except RuntimeError as error:
                return str(error)

        assert wait_for(fails)
        assert fails() == CONVERSION_ERROR
        # The harness starts the backend again for the tests that follow.
        assert wait_for(lambda: open(os.environ["LUMIGRAB_PORTAL_BACKEND_PID"]).read().strip()
                        != str(backend))
        time.sleep(0.3)


class TestCompositorTrouble:
    def test_a_compositor_that_dies_makes_frame_raise(self):
        with private_sway() as desktop:
            process = script(desktop.socket, """
                capture = lumigrab.Capture()
                capture.start(lumigrab.primary_monitor())
                assert capture.frame()[0, 0].tolist() == [0x20, 0x30, 0x40, 255]
                print("ready", flush=True)
                sys.stdin.readline()
                def fails():
                    try:
                        capture.frame()
                    except RuntimeError as error:
                        return str(error)
                assert wait_for(fails)
                for _ in range(3):
                    print(fails(), flush=True)
                capture.stop()
                del capture
                try:
                    lumigrab.enumerate_monitors()
                except RuntimeError as error:
                    print("cannot connect to Wayland display" in str(error), flush=True)
            """)
            assert process.stdout.readline() == "ready\n"
            desktop.kill()
            desktop.wait()
            process.stdin.write("go\n")
            process.stdin.flush()
            out = finished(process)
        assert out.splitlines() == [CONVERSION_ERROR] * 3 + ["True"]


    def test_an_output_plugged_in_later_is_listed_and_captured(self):
        with private_sway() as desktop:
            process = script(desktop.socket, """
                print(len(lumigrab.enumerate_monitors()), flush=True)
                sys.stdin.readline()
                monitors = lumigrab.enumerate_monitors()
                print([(m.device_name, m.left) for m in monitors], flush=True)
                with lumigrab.Capture() as capture:
                    capture.start(monitors[1])
                    print(capture.frame().shape == (monitors[1].height, monitors[1].width, 4))
            """)
            assert process.stdout.readline() == "1\n"
            subprocess.run(["swaymsg", "-s", desktop.swaysock, "create_output"], check=True,
                           capture_output=True)
            process.stdin.write("go\n")
            process.stdin.flush()
            out = finished(process)
        assert out.splitlines() == [
            "[('\\\\\\\\.\\\\DISPLAY1', 0), ('\\\\\\\\.\\\\DISPLAY2', 320)]", "True"]

    def test_a_stopped_compositor_is_given_up_after_a_bounded_wait(self):
        with private_sway() as desktop:
            process = script(desktop.socket, """
                capture = lumigrab.Capture()
                monitor = lumigrab.primary_monitor()
                capture.start(monitor)
                print("ready", flush=True)
                sys.stdin.readline()
                for call in (lumigrab.enumerate_monitors, lambda: lumigrab.Window("none"),
                             lumigrab.enumerate_monitors, lambda: lumigrab.Capture().start(monitor),
                             capture.frame, capture.stop):
                    began = time.monotonic()
                    try:
                        call()
                    except RuntimeError:
                        pass
                    print(time.monotonic() - began < 8, flush=True)
            """)
            assert process.stdout.readline() == "ready\n"
            desktop.send_signal(signal.SIGSTOP)
            try:
                process.stdin.write("go\n")
                process.stdin.flush()
                out = finished(process, timeout=90)
            finally:
                desktop.send_signal(signal.SIGCONT)
        assert out.splitlines() == ["True"] * 6


def forked_child(expected, results):
    """Runs in a forked child of a process that captures the primary monitor."""
    try:
        inherited = forked_child.capture
        outcome = [inherited.active]
        try:
            inherited.frame()
        except RuntimeError as error:
            outcome.append(str(error))
        inherited.stop()
        own = lumigrab.Capture()
        own.start(lumigrab.primary_monitor())
        outcome.append(wait_for(lambda: own.frame()[0, 0].tolist() == expected))
        outcome.append(len(lumigrab.enumerate_monitors()))
        own.stop()
        del forked_child.capture, inherited
        results.put(outcome)
    except BaseException as error:  # reported to the parent, which fails the test
        results.put(repr(error))


class TestFork:
    def test_children_get_their_own_connections_and_the_parent_goes_on(self, capture):
        show_colour("#0000ff")
        capture.start(lumigrab.primary_monitor())
        lumigrab.enumerate_monitors()  # the shared connection exists before the fork
        forked_child.capture = capture
        context = multiprocessing.get_context("fork")
        color = [0, 0, 255, 255]
        for round_ in range(4):
            results = context.Queue()
            child = context.Process(target=forked_child, args=(color, results))
            child.start()
            outcome = results.get(timeout=30)
            child.join(timeout=30)
            assert child.exitcode == 0, (round_, outcome)
            assert outcome == [False, NOT_RUNNING, True, 2], round_
            # The parent's capture and queries are untouched.
            color = [0x10 * round_, 0x80, 0, 255]
            show_colour("#%02x8000" % (0x10 * round_))
            assert wait_for(lambda: capture.frame()[0, 0].tolist() == color), round_
            assert len(lumigrab.enumerate_monitors()) == 2
        del forked_child.capture
