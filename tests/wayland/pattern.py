"""Test pictures for the desktop to show: PNG files of known colours and
markers, written without any imaging library, and shown by sway's
background client (swaybg) on the output."""

import os
import struct
import subprocess
import tempfile
import time
import zlib

import numpy as np

BACKGROUND = (40, 80, 120)
# Markers in the corners, each a different colour, so that a swapped channel,
# a flip or an offset shows.
MARKER = 16
TOP_LEFT = (255, 0, 0)
TOP_RIGHT = (0, 255, 0)
BOTTOM_LEFT = (0, 0, 255)
BOTTOM_RIGHT = (255, 255, 0)
# A one-pixel column and row of their own colour.
COLUMN = 100
ROW = 60
LINE = (255, 255, 255)


def picture(width, height, counter=0):
    """The test picture as an [h, w, 3] array; `counter` is written in the
    middle as a run of 8 pixels, white for each set bit."""
    rgb = np.empty((height, width, 3), np.uint8)
    rgb[:] = BACKGROUND
    rgb[:, COLUMN] = LINE
    rgb[ROW, :] = LINE
    rgb[:MARKER, :MARKER] = TOP_LEFT
    rgb[:MARKER, -MARKER:] = TOP_RIGHT
    rgb[-MARKER:, :MARKER] = BOTTOM_LEFT
    rgb[-MARKER:, -MARKER:] = BOTTOM_RIGHT
    for bit in range(8):
        if counter >> bit & 1:
            rgb[height // 2, width // 2 + bit] = LINE
    return rgb


def rgba(rgb):
    out = np.empty(rgb.shape[:2] + (4,), np.uint8)
    out[..., :3] = rgb
    out[..., 3] = 255
    return out


def write_png(path, rgb):
    height, width, _ = rgb.shape
    raw = b"".join(b"\x00" + rgb[y].tobytes() for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 1)))
        f.write(chunk(b"IEND", b""))


def swaymsg(*command):
    return subprocess.run(["swaymsg", *command], capture_output=True, text=True, check=True).stdout


def show(rgb, output="HEADLESS-1"):
    """Has the output show `rgb` (its own size), unscaled."""
    fd, path = tempfile.mkstemp(suffix=".png")
    os.close(fd)
    os.chmod(path, 0o644)
    write_png(path, rgb)
    swaymsg("output", output, "bg", path, "center")
    return path


def show_colour(hex_colour, output="HEADLESS-1"):
    swaymsg("output", output, "bg", hex_colour, "solid_color")


def set_mode(width, height, output="HEADLESS-1"):
    swaymsg("output", output, "mode", f"{width}x{height}@60Hz")


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False
