import os
import re
import subprocess
import time

import numpy as np
import pytest

import lumigrab

NOT_RUNNING = "Capture thread is not running."


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

    def test_windows_that_appear_later_show_in_monitor_frames(self, x, capture):
        _, left, top, _, _, _ = server_monitors()[0]
        capture.start(lumigrab.Monitor(1))
        x.window("late", color=0x0A0B0C, x=left + 30, y=top + 40, width=20, height=20)
        assert wait_for(lambda: pixel(capture.frame(), 35, 45) == [0x0A, 0x0B, 0x0C, 255])

    def test_a_window_that_closes_while_captured_reads_as_zeros(self, x, capture):
        doomed = x.window("closing", color=0xABCDEF)
        capture.start(lumigrab.Window("closing"))
        doomed.destroy()
        x.sync()
        assert wait_for(lambda: pixel(capture.frame(), 0, 0) == [0, 0, 0, 0])
        capture.stop()
        assert capture.active is False

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
