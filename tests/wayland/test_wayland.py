import os

import lumigrab

WIDTH = int(os.environ.get("LUMIGRAB_WAYLAND_WIDTH", "1280"))
HEIGHT = int(os.environ.get("LUMIGRAB_WAYLAND_HEIGHT", "720"))


def test_monitors_come_from_the_compositors_outputs():
    monitors = lumigrab.enumerate_monitors()
    assert len(monitors) == 1
    m = monitors[0]
    assert m.device_name == "\\\\.\\DISPLAY1"
    assert m.index == 1
    assert (m.left, m.top, m.width, m.height) == (0, 0, WIDTH, HEIGHT)
    assert m.refresh_rate == 60
    # The output's description, which wlroots makes up for a headless one.
    assert m.device_string == "Headless output 1"
    assert lumigrab.primary_monitor().device_name == m.device_name


import numpy as np
import pytest

from pattern import picture, rgba, show, show_colour, wait_for


@pytest.fixture
def capture():
    made = lumigrab.Capture()
    yield made
    made.stop()


class TestCapture:
    def test_frames_show_the_output_exactly_in_rgba_order(self, capture):
        expected = rgba(picture(WIDTH, HEIGHT, counter=0x5A))
        show(picture(WIDTH, HEIGHT, counter=0x5A))
        capture.start(lumigrab.primary_monitor())
        assert wait_for(lambda: np.array_equal(capture.frame(), expected))
