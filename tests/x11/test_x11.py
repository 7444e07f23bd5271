import contextlib
import multiprocessing
import os
import re
import select
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import lumigrab

NOT_RUNNING = "Capture thread is not running."
CONVERSION_ERROR = "Windows error during frame conversion"


def server_monitors():
    """(name, x, y, width, height, output) in the server's order."""
    listed = subprocess.run(["xrandr", "--listmonitors"], capture_output=True, text=True,
                            check=True).stdout
    monitors = []
    for line in listed.splitlines()[1:]:
        found = re.match(r"\s*\d+: [+*]*(\S+) (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+)\s*(\S*)", line)
        name, width, height, x, y, output = found.groups()
        monitors.append((name, int(x), int(y), int(width), int(height), output or name))
    return monitors


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def pixel(array, x, y):
    return array[y, x].tolist()


def uniform(array, rgba):
    """Whether every pixel of `array` is `rgba`."""
    return bool((array.reshape(-1, 4) == rgba).all())


@contextlib.contextmanager
def private_server(depth=24, size="320x240"):
    """An Xvfb of the test's own (to stop, kill or give another depth), as
    its DISPLAY value."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
         "-screen", "0", f"{size}x{depth}"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        assert select.select([read_end], [], [], 10)[0], "Xvfb did not start"
        number = os.read(read_end, 16).decode().strip()
        server.display = f":{number}"
        yield server
    finally:
        os.close(read_end)
        server.kill()
        server.wait()


def script(display, body):
    """A Python process running `body` (with lumigrab, XClient and the helpers
    of this file imported) against `display`."""
    here = os.path.dirname(__file__)
    env = dict(os.environ, DISPLAY=display,
               PYTHONPATH=os.pathsep.join([here, os.environ.get("PYTHONPATH", "")]))
    prelude = "import os, sys, time\nimport lumigrab\nfrom xclient import XClient\n" \
              "from test_x11 import uniform, pixel\n"
    return subprocess.Popen([sys.executable, "-c", prelude + textwrap.dedent(body)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finished(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, err
    return out


@pytest.fixture
def capture():
    made = lumigrab.Capture()
    yield made
    made.stop()


class TestMonitors:
    def test_listed_in_the_servers_order_with_their_geometry_and_output(self):
        expected = server_monitors()
        assert len(expected) == 2
        monitors = lumigrab.enumerate_monitors()
        assert [(m.device_name, m.index, m.width, m.height, m.device_string) for m in monitors] == [
            (f"\\\\.\\DISPLAY{i + 1}", i + 1, w, h, output)
            for i, (_, _, _, w, h, output) in enumerate(expected)
        ]
        assert all(m.refresh_rate >= 0 for m in monitors)
        assert [(m.left, m.top) for m in monitors] == [(x, y) for _, x, y, _, _, _ in expected]
        assert repr(monitors[1]) == (
            f"<Monitor 2 '\\\\.\\DISPLAY2' {expected[1][3]}x{expected[1][4]} @{monitors[1].refresh_rate}Hz>"
        )

    def test_primary_is_the_one_at_the_origin_and_positions_count_from_one(self):
        expected = server_monitors()
        at_origin = next(i for i, m in enumerate(expected) if m[1] == 0 and m[2] == 0)
        assert lumigrab.primary_monitor().device_name == f"\\\\.\\DISPLAY{at_origin + 1}"
        assert lumigrab.Monitor().index == at_origin + 1
        assert lumigrab.Monitor(2).device_string == expected[1][5]
        with pytest.raises(BaseException, match="NotFound$") as raised:
            lumigrab.Monitor(3)
        assert type(raised.value).__name__ == "PanicException"


class TestWindows:
    def test_only_visible_windows_of_other_processes_that_are_not_tools_are_listed(self, x):
        normal = x.window("normal")
        x.window("hidden", mapped=False)
        x.window("own", pid=os.getpid())
        for kind in ("utility", "toolbar", "dock", "menu", "splash", "tooltip", "notification"):
            x.window("tool " + kind, types=[kind])
        dialog = x.window("dialog", types=["dialog"])
        listed = [w.name for w in lumigrab.enumerate_windows()]
        assert listed == ["dialog", "normal"]  # top of the stack first
        assert lumigrab.Window("normal").valid and lumigrab.Window("dialog").valid
        for title in ("hidden", "own", "tool dock", "tool notification"):
            assert lumigrab.Window(title).valid is False
        assert normal.id and dialog.id

    def test_titles_come_as_the_client_wrote_them(self, x):
        x.window("Grüße, 世界 🎉")
        x.window(latin1_title="Café crème")
        x.window("from _NET_WM_NAME", latin1_title="from WM_NAME")
        untitled = x.window()
        names = {w.name for w in lumigrab.enumerate_windows()}
        assert {"Grüße, 世界 🎉", "Café crème", "from _NET_WM_NAME"} <= names
        assert "" in names and untitled.id
        with pytest.raises(RuntimeError, match="^Failed to find window with name 'from WM_NAME'$"):
            lumigrab.Window("from WM_NAME")
        # A title with a NUL in it is no other window's title cut short.
        x.window("ok")
        with pytest.raises(RuntimeError) as raised:
            lumigrab.Window("ok\x00zzz")
        assert str(raised.value) == "Failed to find window with name 'ok\x00zzz'"

    def test_undecodable_titles_read_with_replacement_characters(self, x):
        broken = x.window()
        broken.change_property(x.atom("_NET_WM_NAME"), x.atom("UTF8_STRING"), 8,
                               b"bad \xff\xed\xa0\x80 end")
        x.sync()
        assert "bad \ufffd\ufffd end" in [w.name for w in lumigrab.enumerate_windows()]

    def test_a_closed_window_is_invalid_and_nameless(self, x):
        doomed = x.window("doomed")
        window = lumigrab.Window("doomed")
        doomed.destroy()
        x.sync()
        assert window.valid is False
        assert window.name == ""

    def test_clients_inside_frames_are_found_by_their_wm_state(self, x):
        frame = x.window(color=0)
        client = x.window("framed client", parent=frame, x=4, y=20, width=100, height=80)
        x.set_wm_state(client)
        assert "framed client" in [w.name for w in lumigrab.enumerate_windows()]

    def test_a_running_managers_client_list_and_active_window_are_trusted(self, x):
        listed = x.window("managed")
        x.window("not in the client list")
        x.window_manager([listed], active=listed)
        assert [w.name for w in lumigrab.enumerate_windows()] == ["managed"]
        assert lumigrab.foreground_window().name == "managed"

    def test_a_killed_managers_properties_are_ignored(self, x):
        stale = x.window("stale client", mapped=False)
        x.window("live window")
        x.window_manager([stale], active=stale, alive=False)
        assert [w.name for w in lumigrab.enumerate_windows()] == ["live window"]

    def test_foreground_is_the_input_focus_without_a_manager(self, x):
        with pytest.raises(RuntimeError, match="^No active window found$"):
            lumigrab.foreground_window()
        focused = x.window("focused")
        x.focus(focused)
        assert lumigrab.foreground_window().name == "focused"
        # Focus on a part of a window makes the window itself the foreground.
        x.focus(x.window("part", parent=focused, width=20, height=20))
        assert lumigrab.foreground_window().name == "focused"
        assert lumigrab.foreground_window().valid


class TestCapture:
    def test_monitor_frames_show_the_screen_in_rgba_order(self, x, capture):
        _, left, top, _, _, _ = server_monitors()[1]
        x.window("marker", color=0x102030, x=left + 10, y=top + 20, width=50, height=40)
        capture.start(lumigrab.Monitor(2))
        frame = capture.frame()
        assert frame.shape == (lumigrab.Monitor(2).height, lumigrab.Monitor(2).width, 4)
        assert pixel(frame, 10, 20) == [0x10, 0x20, 0x30, 255]
        assert pixel(frame, 59, 59) == [0x10, 0x20, 0x30, 255]
        assert pixel(frame, 60, 60) != [0x10, 0x20, 0x30, 255]

    @pytest.mark.parametrize("region", [None, (3, 5, 1001, 77), (1, 1, 1, 1), (0, 1070, 17, 10)])
    def test_frames_match_an_independent_read_pixel_for_pixel(self, x, capture, region):
        # Random pixels catch any byte the conversion puts in the wrong place,
        # on every band of a whole monitor and in the tails of odd widths.
        _, left, top, width, height, _ = server_monitors()[1]
        try:
            x.noise(left, top, width, height)
            if region is not None:
                capture.region = region
            capture.start(lumigrab.Monitor(2))
            rx, ry, rw, rh = region or (0, 0, width, height)
            for seed in (1, 2):
                expected = x.read(left + rx, top + ry, rw, rh)
                assert np.array_equal(capture.frame(), expected)
                x.noise(left, top, width, height, seed)
                assert wait_for(lambda: np.array_equal(capture.frame(),
                                                       x.read(left + rx, top + ry, rw, rh)))
        finally:
            x.root.clear_area(left, top, width, height)
            x.sync()

    @pytest.mark.parametrize("width, height, reads", [(320, 240, 3000), (1920, 1080, 300)])
    def test_every_drawing_finished_before_a_read_is_in_it(self, x, capture, width, height, reads):
        # Frames after the first read only what was drawn since: each drawing
        # here, finished just before frame(), must show, and nothing else
        # change. Small fills, fills larger than the room for damaged parts,
        # many at once, and none at all. A whole monitor is copied out in
        # several bands, and what changed comes while they are copied.
        _, left, top, _, _, _ = server_monitors()[0]
        rng = np.random.default_rng(5)
        gc = x.root.create_gc()
        try:
            x.noise(left, top, width, height, seed=3)
            capture.region = (0, 0, width, height)
            capture.start(lumigrab.Monitor(1))
            model = x.read(left, top, width, height)
            assert np.array_equal(capture.frame(), model)
            for i in range(reads):
                for _ in range(rng.choice([0, 1, 1, 1, 5, 90])):
                    big = rng.random() < 0.1
                    rx, ry = rng.integers(-30, width + 10), rng.integers(-30, height + 10)
                    rw, rh = rng.integers(1, width + 60 if big else 40, size=2)
                    colour = int(rng.integers(0, 1 << 24))
                    gc.change(foreground=colour)
                    x.root.fill_rectangle(gc, left + rx, top + ry, rw, rh)
                    ys, xs = slice(max(ry, 0), max(ry + rh, 0)), slice(max(rx, 0), max(rx + rw, 0))
                    model[ys, xs] = [colour >> 16, (colour >> 8) & 0xFF, colour & 0xFF, 255]
                x.sync()
                frame = capture.frame()
                assert np.array_equal(frame, model), f"drawing {i}"
                if i % 100 == 0:
                    assert np.array_equal(x.read(left, top, width, height), model)
        finally:
            gc.free()
            x.root.clear_area(left, top, width, height)
            x.sync()

    def test_windows_that_appear_later_show_in_monitor_frames(self, x, capture):
        _, left, top, _, _, _ = server_monitors()[0]
        capture.start(lumigrab.Monitor(1))
        x.window("late", color=0x0A0B0C, x=left + 30, y=top + 40, width=20, height=20)
        assert wait_for(lambda: pixel(capture.frame(), 35, 45) == [0x0A, 0x0B, 0x0C, 255])

    @pytest.mark.parametrize("ending", ["unmapped", "destroyed"])
    def test_a_window_that_goes_keeps_its_last_frame_whole(self, x, capture, ending):
        doomed = x.window("going", color=0xABCDEF, width=70, height=50)
        capture.start(lumigrab.Window("going"))
        doomed.unmap() if ending == "unmapped" else doomed.destroy()
        x.sync()
        for _ in range(5):
            frame = capture.frame()
            assert frame.shape == (50, 70, 4) and uniform(frame, [0xAB, 0xCD, 0xEF, 255])
            time.sleep(0.05)
        if ending == "unmapped":  # shown again, it gets new storage, and frames follow it
            doomed.map()
            x.paint(doomed, 0x123456)
            assert wait_for(lambda: uniform(capture.frame(), [0x12, 0x34, 0x56, 255]))
        capture.stop()
        assert capture.active is False

    @pytest.mark.parametrize("place", [
        (-1, 0, 160, 120), (3840 - 159, 0, 160, 120), (0, 1080 - 119, 160, 120),
        (-40, -30, 160, 120), (5000, 2000, 160, 120), (-10, -10, 4000, 1200)])
    def test_windows_past_the_screens_edges_are_read_whole(self, x, capture, place):
        left, top, width, height = place
        x.window("off screen", color=0x405060, x=left, y=top, width=width, height=height)
        capture.start(lumigrab.Window("off screen"))
        frame = capture.frame()
        assert frame.shape == (height, width, 4)
        assert uniform(frame, [0x40, 0x50, 0x60, 255])

    def test_a_window_resized_while_frames_are_read_gives_only_whole_frames(self, x, capture):
        window = x.window("shrinking", color=0x11AA22, width=400, height=300)
        capture.start(lumigrab.Window("shrinking"))
        resizer = script(os.environ["DISPLAY"], f"""
            from Xlib import display
            d = display.Display()
            w = d.create_resource_object("window", {window.id})
            for i in range(400):
                w.configure(width=400 - i % 300, height=300 - i % 250)
                d.sync()
        """)
        frames = 0
        while resizer.poll() is None or frames == 0:
            frame = capture.frame()
            assert uniform(frame, [0x11, 0xAA, 0x22, 255]), frame.shape
            frames += 1
        finished(resizer)

    def test_changes_arrive_as_new_frames(self, x, capture):
        window = x.window("changing", color=0xFF0000, width=64, height=48)
        capture.start(lumigrab.Window("changing"))
        assert pixel(capture.frame(), 5, 5) == [255, 0, 0, 255]
        for color, rgba in ((0x00FF00, [0, 255, 0, 255]), (0x0000FF, [0, 0, 255, 255])):
            x.paint(window, color)
            assert wait_for(lambda: pixel(capture.frame(), 5, 5) == rgba)

    def test_a_covered_window_is_captured_with_its_own_contents(self, x, capture):
        x.window("covered", color=0x336699, x=100, y=100, width=80, height=60)
        capture.start(lumigrab.Window("covered"))
        x.window("cover", color=0xFFFFFF, x=50, y=50, width=300, height=300)
        time.sleep(0.1)
        frame = capture.frame()
        assert frame.shape == (60, 80, 4)
        assert pixel(frame, 40, 30) == [0x33, 0x66, 0x99, 255]

    def test_a_resized_window_gives_frames_of_its_new_size(self, x, capture):
        window = x.window("growing", color=0x00FF00, width=80, height=60)
        capture.start(lumigrab.Window("growing"))
        assert capture.frame().shape == (60, 80, 4)
        window.configure(width=120, height=90)
        x.sync()
        assert wait_for(lambda: capture.frame().shape == (90, 120, 4))
        assert pixel(capture.frame(), 119, 89) == [0, 255, 0, 255]

    def test_stopping_and_deleting_end_the_capture(self, x):
        x.window("stopped", color=0x123456)
        capture = lumigrab.Capture()
        capture.start(lumigrab.Window("stopped"))
        capture.stop()
        assert capture.active is False
        with pytest.raises(RuntimeError, match=f"^{NOT_RUNNING}$"):
            capture.frame()
        capture.start(lumigrab.Window("stopped"))
        assert pixel(capture.frame(), 0, 0) == [0x12, 0x34, 0x56, 255]
        del capture  # stops the capture thread on the way

    def test_a_region_reads_only_that_rectangle(self, x, capture):
        _, left, top, _, _, _ = server_monitors()[1]
        window = x.window("geometry", color=0x405060, x=left + 10, y=top + 20, width=50, height=40)
        found = lumigrab.Window("geometry")
        assert (found.left, found.top, found.width, found.height) == (left + 10, top + 20, 50, 40)
        assert found.process_id == os.getppid()
        capture.region = (5, 10, 30, 20)
        capture.border = False  # nothing to turn off here
        capture.start(lumigrab.Monitor(2))
        frame = capture.frame()
        assert frame.shape == (20, 30, 4)
        assert pixel(frame, 5, 10) == [0x40, 0x50, 0x60, 255]
        assert pixel(frame, 4, 9) != [0x40, 0x50, 0x60, 255]
        assert pixel(frame, 10, 15) == [0x40, 0x50, 0x60, 255]
        window.configure(width=4, height=4)
        x.sync()
        # The window, not the monitor, shrank: the region still fits.
        assert wait_for(lambda: pixel(capture.frame(), 10, 15) != [0x40, 0x50, 0x60, 255])

    def test_next_frame_comes_only_after_a_drawing(self, x, capture):
        import threading

        window = x.window("drawn", color=0xFF0000, width=64, height=48)
        capture.start(lumigrab.Window("drawn"))
        assert pixel(capture.next_frame(timeout=5), 5, 5) == [255, 0, 0, 255]
        with pytest.raises(TimeoutError):
            capture.next_frame(timeout=0.3)
        painter = threading.Timer(0.2, lambda: x.paint(window, 0x0000FF))
        painter.start()
        # The first frame after the drawing may still show part of it.
        assert wait_for(lambda: pixel(capture.next_frame(timeout=5), 5, 5) == [0, 0, 255, 255])
        painter.join()

    def test_the_pointer_is_drawn_where_it_is(self, x, capture):
        window = x.window("pointed", color=0xFFFFFF, x=200, y=150, width=96, height=96)
        x.root.warp_pointer(200 + 40, 150 + 30)
        x.sync()
        capture.start(lumigrab.Window("pointed"))
        assert capture.cursor is False  # X11 leaves it out unless asked
        assert (capture.frame() == 255).all()
        capture.stop()
        capture.cursor = True
        capture.start(lumigrab.Window("pointed"))
        x.display.xfixes_query_version()  # XFIXES answers only clients that announced it
        image = x.display.xfixes_get_cursor_image(window)
        expected = np.full((96, 96, 4), 255, dtype=np.uint8)
        corner_x, corner_y = 40 - image.xhot, 30 - image.yhot
        for i, word in enumerate(image.cursor_image):
            cx, cy = corner_x + i % image.width, corner_y + i // image.width
            alpha = word >> 24
            if alpha and 0 <= cx < 96 and 0 <= cy < 96:
                for channel, shift in enumerate((16, 8, 0)):
                    expected[cy, cx, channel] = min(255, ((word >> shift) & 0xFF) + (255 * (255 - alpha) + 127) // 255)
        frame = capture.frame()
        assert not (expected == 255).all(), "the server's pointer has no visible pixels"
        assert np.array_equal(frame, expected)
        # It follows the pointer, and is clipped at the frame's edge.
        x.root.warp_pointer(200, 150)
        x.sync()
        assert wait_for(lambda: not np.array_equal(capture.frame(), expected))

    def test_windows_of_this_process_are_refused(self, x, capture):
        x.window("mine", pid=os.getpid())
        with pytest.raises(RuntimeError):
            capture.start(lumigrab.Window("mine"))
        assert capture.active is False


class TestServerTrouble:
    def test_a_server_that_dies_makes_frame_raise(self):
        with private_server() as server:
            process = script(server.display, """
                x = XClient()
                x.window("victim", color=0x203040)
                capture = lumigrab.Capture()
                capture.start(lumigrab.Window("victim"))
                assert uniform(capture.frame(), [0x20, 0x30, 0x40, 255])
                print("ready", flush=True)
                sys.stdin.readline()
                for _ in range(3):
                    try:
                        capture.frame()
                    except RuntimeError as error:
                        print(error, flush=True)
                capture.stop()
                del capture
            """)
            assert process.stdout.readline() == "ready\n"
            server.kill()
            server.wait()
            out = finished(process)
        assert out.splitlines() == [CONVERSION_ERROR] * 3

    def test_a_stopped_server_is_given_up_after_a_bounded_wait(self):
        with private_server() as server:
            process = script(server.display, """
                x = XClient()
                x.window("frozen", color=0x203040)
                capture = lumigrab.Capture()
                capture.start(lumigrab.Window("frozen"))
                monitor = lumigrab.primary_monitor()
                print("ready", flush=True)
                sys.stdin.readline()
                began = time.monotonic()
                try:
                    capture.frame()
                except RuntimeError as error:
                    print(error, time.monotonic() - began < 8, flush=True)
                began = time.monotonic()
                try:
                    capture.frame()  # the connection is given up: no second wait
                except RuntimeError as error:
                    print(error, time.monotonic() - began < 1, flush=True)
                for call in (lumigrab.enumerate_windows, lumigrab.enumerate_monitors,
                             lambda: lumigrab.Capture().start(monitor)):
                    began = time.monotonic()
                    try:
                        call()
                    except BaseException:
                        pass
                    print(time.monotonic() - began < 8, flush=True)
                began = time.monotonic()
                capture.stop()
                print(time.monotonic() - began < 8, flush=True)
            """)
            assert process.stdout.readline() == "ready\n"
            server.send_signal(signal.SIGSTOP)
            process.stdin.write("go\n")
            process.stdin.flush()
            out = finished(process, timeout=90)
        assert out.splitlines() == [CONVERSION_ERROR + " True"] * 2 + ["True"] * 4

    def test_other_threads_run_while_a_read_waits_for_a_stopped_server(self):
        # A read-back and a query each wait for the server on a connection
        # of their own.
        with private_server() as server:
            process = script(server.display, """
                import threading
                x = XClient()
                x.window("frozen", color=0x203040)
                capture = lumigrab.Capture()
                capture.start(lumigrab.Window("frozen"))
                print("ready", flush=True)
                sys.stdin.readline()
                ticks = []
                done = threading.Event()
                def tick():
                    while not done.is_set():
                        ticks.append(time.monotonic())
                        time.sleep(0.05)
                ticker = threading.Thread(target=tick)
                ticker.start()
                began = time.monotonic()
                for call in (capture.frame, lumigrab.enumerate_windows):
                    try:
                        call()
                    except RuntimeError:
                        pass
                waited = time.monotonic() - began
                done.set()
                ticker.join()
                print(waited > 5, max(b - a for a, b in zip(ticks, ticks[1:])) < 1)
            """)
            assert process.stdout.readline() == "ready\n"
            server.send_signal(signal.SIGSTOP)
            process.stdin.write("go\n")
            process.stdin.flush()
            out = finished(process, timeout=90)
        assert out.splitlines() == ["True True"]


class TestColourDepths:
    @pytest.mark.parametrize("depth", [16, 30])
    def test_true_colour_depths_read_as_rgba(self, depth):
        with private_server(depth) as server:
            out = finished(script(server.display, """
                x = XClient()
                visual = next(v for d in x.screen.allowed_depths for v in d.visuals
                              if v.visual_id == x.screen.root_visual)
                def scaled(mask, value):
                    shift = (mask & -mask).bit_length() - 1
                    top = mask >> shift
                    level = value * top // 255
                    return level << shift, (level * 255 + top // 2) // top
                channels = [scaled(m, v) for m, v in zip(
                    (visual.red_mask, visual.green_mask, visual.blue_mask), (200, 100, 37))]
                expected = [c[1] for c in channels] + [255]
                x.window("deep", color=sum(c[0] for c in channels), x=20, y=10,
                         width=61, height=33)
                capture = lumigrab.Capture()
                capture.start(lumigrab.Window("deep"))
                frame = capture.frame()
                assert frame.shape == (33, 61, 4) and uniform(frame, expected), frame[0, 0]
                capture.start(lumigrab.primary_monitor())
                frame = capture.frame()
                assert pixel(frame, 20, 10) == expected and pixel(frame, 80, 42) == expected
                assert pixel(frame, 81, 43) != expected
                capture.stop()
                print("ok")
            """))
        assert out == "ok\n"

    def test_pseudo_colour_is_refused_at_start_naming_the_depth(self):
        with private_server(8) as server:
            out = finished(script(server.display, """
                capture = lumigrab.Capture()
                try:
                    capture.start(lumigrab.primary_monitor())
                except RuntimeError as error:
                    print(error)
                print(capture.active)
            """))
        assert out.splitlines() == [
            "Capture thread exited unexpectedly with an error. The X server shows this target "
            "at colour depth 8 without TrueColor, which cannot be captured: TrueColor at "
            "depth 16, 24, 30 or 32 can.", "False"]


def forked_child(name, expected, results):
    """Runs in a forked child of a process that captures the window `name`."""
    try:
        inherited = forked_child.capture
        outcome = [inherited.active]
        try:
            inherited.frame()
        except RuntimeError as error:
            outcome.append(str(error))
        inherited.stop()
        del forked_child.spare  # its last reference: deleting it touches nothing of the parent
        own = lumigrab.Capture()
        own.start(lumigrab.Window(name))
        outcome.append(pixel(own.frame(), 3, 3) == expected)
        outcome.append(name in [w.name for w in lumigrab.enumerate_windows()])
        own.stop()
        del forked_child.capture, inherited
        results.put(outcome)
    except BaseException as error:  # reported to the parent, which fails the test
        results.put(repr(error))


class TestFork:
    def test_children_get_their_own_connections_and_the_parent_goes_on(self, x, capture):
        window = x.window("forked", color=0x0000FF, width=40, height=30)
        capture.start(lumigrab.Window("forked"))
        lumigrab.enumerate_windows()  # the shared connection exists before the fork
        forked_child.capture = capture
        # Held by the parent only through this attribute, which the child deletes.
        forked_child.spare = lumigrab.Capture()
        forked_child.spare.start(lumigrab.primary_monitor())
        context = multiprocessing.get_context("fork")
        color = [0, 0, 255, 255]
        for round_ in range(8):
            results = context.Queue()
            child = context.Process(target=forked_child, args=("forked", color, results))
            child.start()
            outcome = results.get(timeout=30)
            child.join(timeout=30)
            assert child.exitcode == 0, (round_, outcome)
            assert outcome == [False, NOT_RUNNING, True, True], round_
            # The parent's capture and queries are untouched.
            color = [0x10 * round_, 0x80, 0, 255]
            x.paint(window, (0x10 * round_) << 16 | 0x8000)
            assert wait_for(lambda: pixel(capture.frame(), 3, 3) == color), round_
            assert "forked" in [w.name for w in lumigrab.enumerate_windows()]
        assert forked_child.spare.frame().shape[2] == 4
        del forked_child.spare, forked_child.capture
