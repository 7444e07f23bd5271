"""Capture.frame() on a Wayland desktop, next to grim, Pillow and a plain copy.

Runs on the Wayland desktop that WAYLAND_DISPLAY names, which must offer the
wlroots screen-copy protocol (sway, for one), on its primary monitor. With
--set-modes (on a sway, through swaymsg) it turns the other outputs off and
sets the first one to each size in turn; without, it measures at the size the
monitor has. Per call, it times:
  * lumigrab: Capture.frame() of the primary monitor (R, G, B, A array);
  * one fresh copy: frame.copy() of a frame-sized array (a new array each
    call, as frame() makes one);
  * grim: the grim tool writing a PPM to a pipe, read into an R, G, B, A
    array (a process per picture);
  * Pillow: ImageGrab.grab() converted to an R, G, B, A array (Pillow runs
    grim into a PNG file on Wayland).
Each figure is the median of interleaved rounds: every round times a batch of
calls of each peer in turn (the order rotating from round to round), and a
peer's figure is the median over the rounds of its batch's mean time per call.
Before timing it checks that lumigrab, grim and Pillow see the same pixels.

It also reports what a still screen costs: the capture thread's CPU time over
two idle seconds (no copies are asked for until the screen changes), and the
frames that arrived meanwhile; and, with foot (a Wayland terminal) at hand, a
changing screen: a terminal printing without pause for two seconds, the frames
that arrived and the capture thread's CPU time per arriving frame (the
compositor's copy is not in it: it is the compositor's CPU). With --portal,
lumigrab captures through the ScreenCast portal and PipeWire instead of the
screen-copy protocol (the desktop must have a portal that shares the monitor
without asking, as .ci/wayland.sh's does), and the capture thread's CPU
includes PipeWire's thread, which copies each arriving frame.

Needs a linux (or x11) build of lumigrab, grim (Debian's grim package) and,
for its row, Pillow; this script installs nothing. Headless, on a sway of its
own:
    cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/linux
    LUMIGRAB_WAYLAND_BUILD=build/linux \\
        LUMIGRAB_WAYLAND_RUN="benchmarks/wayland_frame.py --set-modes" bash .ci/wayland.sh
"""

import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

SIZES = [(1280, 720), (1920, 1080), (3840, 2160)]
ROUNDS = 11
BATCH_CALLS = 5


def grim_rgba(geometry):
    ppm = subprocess.run(["grim", "-g", geometry, "-t", "ppm", "-"], capture_output=True,
                         check=True).stdout
    # P6\n<w> <h>\n255\n<data>
    header, _, rest = ppm.partition(b"\n")
    size, _, rest = rest.partition(b"\n")
    _, _, data = rest.partition(b"\n")
    width, height = map(int, size.split())
    rgb = np.frombuffer(data, np.uint8).reshape(height, width, 3)
    out = np.empty((height, width, 4), np.uint8)
    out[..., :3] = rgb
    out[..., 3] = 255
    return out


def pillow_rgba(bbox):
    from PIL import ImageGrab
    return np.asarray(ImageGrab.grab(bbox=bbox).convert("RGBA"))


def thread_cpu(threads):
    total = 0
    for tid in threads:
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def measure(peers):
    times = {name: [] for name in peers}
    names = list(peers)
    for round_ in range(ROUNDS):
        order = names[round_ % len(names):] + names[:round_ % len(names)]
        for name in order:
            call = peers[name]
            began = time.perf_counter()
            for _ in range(BATCH_CALLS):
                call()
            times[name].append((time.perf_counter() - began) / BATCH_CALLS)
    return {name: statistics.median(values) for name, values in times.items()}


def set_size(width, height):
    import json
    outputs = json.loads(subprocess.run(["swaymsg", "-t", "get_outputs", "-r"],
                                        capture_output=True, check=True, text=True).stdout)
    first, others = outputs[0]["name"], [o["name"] for o in outputs[1:]]
    for name in others:
        subprocess.run(["swaymsg", "output", name, "disable"], check=True, capture_output=True)
    subprocess.run(["swaymsg", "output", first, "mode", f"{width}x{height}@60Hz", "position",
                    "0", "0", "bg", "#336699", "solid_color"], check=True, capture_output=True)
    time.sleep(0.5)


def main():
    import lumigrab

    os.environ.pop("DISPLAY", None)  # Pillow would otherwise try X11 first
    if "--portal" in sys.argv[1:]:
        os.environ["LUMIGRAB_WAYLAND_CAPTURE"] = "portal"
    try:
        import PIL  # noqa: F401
        have_pillow = True
    except ImportError:
        have_pillow = False
    have_grim = shutil.which("grim") is not None
    print(f"lumigrab on {platform.node()}, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs; grim {'found' if have_grim else 'missing'}, "
          f"Pillow {'found' if have_pillow else 'missing'}; lumigrab through "
          f"{os.environ.get('LUMIGRAB_WAYLAND_CAPTURE', 'screen copy')}")
    sizes = SIZES if "--set-modes" in sys.argv[1:] else [None]
    for size in sizes:
        if size:
            set_size(*size)
        monitor = lumigrab.primary_monitor()
        before = set(os.listdir("/proc/self/task"))
        capture = lumigrab.Capture()
        capture.start(monitor)
        threads = set(os.listdir("/proc/self/task")) - before
        frame = capture.frame()
        height, width, _ = frame.shape
        left, top = monitor.left, monitor.top
        geometry = f"{left},{top} {width}x{height}"
        bbox = (left, top, left + width, top + height)
        peers = {"lumigrab frame()": capture.frame, "one fresh copy": frame.copy}
        if have_grim:
            assert np.array_equal(grim_rgba(geometry), frame), "grim and lumigrab differ"
            peers["grim (PPM to a pipe)"] = lambda: grim_rgba(geometry)
        if have_pillow:
            assert np.array_equal(pillow_rgba(bbox), frame), "Pillow and lumigrab differ"
            peers["Pillow ImageGrab"] = lambda: pillow_rgba(bbox)
        figures = measure(peers)
        copy = figures["one fresh copy"]
        print(f"\n{width}x{height}: median per call over {ROUNDS} interleaved rounds")
        for name, seconds in figures.items():
            print(f"  {name:24} {seconds * 1e3:9.3f} ms  {seconds / copy:7.2f}x one copy")
        # A still screen: nothing is copied until it changes.
        try:
            while True:
                capture.next_frame(timeout=0.3)
        except TimeoutError:
            pass
        cpu_before = thread_cpu(threads)
        arrived = 0
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            try:
                capture.next_frame(timeout=max(0.0, deadline - time.monotonic()))
                arrived += 1
            except TimeoutError:
                break
        print(f"  still screen, 2 s: {arrived} frames arrived, capture thread CPU "
              f"{(thread_cpu(threads) - cpu_before) * 1e3:.2f} ms")
        if shutil.which("foot"):
            changing_screen(capture, threads)
        capture.stop()


def count_arrivals(capture, seconds):
    arrived = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            capture.next_frame(timeout=max(0.0, deadline - time.monotonic()))
            arrived += 1
        except TimeoutError:
            break
    return arrived


def changing_screen(capture, threads):
    terminal = subprocess.Popen(["foot", "sh", "-c", "while :; do date +%N; done"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1)
        cpu_before = thread_cpu(threads)
        arrived = count_arrivals(capture, 2)
        cpu = thread_cpu(threads) - cpu_before
        per_frame = cpu / arrived * 1e6 if arrived else float("nan")
        print(f"  changing screen, 2 s: {arrived} frames arrived, capture thread CPU "
              f"{cpu * 1e3:.2f} ms, {per_frame:.0f} us per frame")
    finally:
        terminal.kill()
        terminal.wait()


if __name__ == "__main__":
    sys.exit(main())
