"""Test pictures for the desktop to show: PNG files of known colours and
markers, written without any imaging library, and shown by sway's
background client (swaybg) on the output."""

import contextlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
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


@contextlib.contextmanager
def private_sway(width=320, height=240):
    """A headless sway of the test's own (to kill or stop), run as the
    desktop's user that .ci/wayland.sh names, as the full path of its
    socket."""
    uid, gid = os.environ["LUMIGRAB_WAYLAND_USER"].split(":")
    work = tempfile.mkdtemp()
    os.chmod(work, 0o755)
    runtime = os.path.join(work, "runtime")
    os.mkdir(runtime, 0o700)
    config = os.path.join(work, "config")
    with open(config, "w") as f:
        f.write(f"xwayland disable\noutput HEADLESS-1 mode {width}x{height}@60Hz position 0 0 "
                "bg #203040 solid_color\n")
    os.chown(runtime, int(uid), int(gid))
    env = {"PATH": os.environ["PATH"], "HOME": work, "XDG_RUNTIME_DIR": runtime,
           "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1"}
    server = subprocess.Popen(
        ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "sway", "-c", config],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        socket = os.path.join(runtime, "wayland-1")
        assert wait_for(lambda: os.path.exists(socket), 10), "sway did not start"
        assert wait_for(lambda: any(name.startswith("sway-ipc.") for name in os.listdir(runtime)))
        time.sleep(0.2)  # the output comes up just after the sockets
        server.socket = socket
        server.swaysock = os.path.join(runtime, next(
            name for name in os.listdir(runtime) if name.startswith("sway-ipc.")))
        yield server
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


@contextlib.contextmanager
def private_weston():
    """A headless weston of the test's own, a compositor with neither the
    wlroots screen-copy protocol nor a window list, run as the desktop's user,
    as the full path of its socket."""
    uid, gid = os.environ["LUMIGRAB_WAYLAND_USER"].split(":")
    work = tempfile.mkdtemp()
    os.chmod(work, 0o755)
    runtime = os.path.join(work, "runtime")
    os.mkdir(runtime, 0o700)
    os.chown(runtime, int(uid), int(gid))
    env = {"PATH": os.environ["PATH"], "HOME": work, "XDG_RUNTIME_DIR": runtime}
    server = subprocess.Popen(
        ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "weston",
         "--backend=headless-backend.so", "--socket=wayland-1", "--width=320", "--height=240",
         "--idle-time=0"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        socket = os.path.join(runtime, "wayland-1")
        assert wait_for(lambda: os.path.exists(socket), 10), "weston did not start"
        time.sleep(0.3)
        server.socket = socket
        yield server
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


def script(socket, body, **env_changes):
    """A Python process running `body` (with lumigrab and this file's helpers
    imported) against the compositor at `socket`, with `env_changes` to its
    environment."""
    here = os.path.dirname(__file__)
    env = dict(os.environ, WAYLAND_DISPLAY=socket,
               PYTHONPATH=os.pathsep.join([here, os.environ.get("PYTHONPATH", "")]),
               **env_changes)
    prelude = "import os, sys, time\nimport lumigrab\nfrom pattern import *\n"
    return subprocess.Popen([sys.executable, "-c", prelude + textwrap.dedent(body)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def finished(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, err
    return out
