"""Capture.frame() on a real X server, next to python-mss, Pillow and a plain copy.

For each screen size (1920x1080, then 3840x2160) this starts an Xvfb of its own,
measures on it, and ends it. On each screen it times, per call:
  * lumigrab: Capture.frame() of the primary monitor (R, G, B, A array);
  * mss raw: mss grab() viewed as a NumPy array, B, G, R, A as the server
    sends it;
  * mss to RGBA: the same grab converted to R, G, B, A (alpha 255) with NumPy;
  * Pillow: ImageGrab.grab(xdisplay=...) converted to an RGBA array;
  * one fresh copy: frame.copy() of a frame-sized array (a new array each
    call, as frame() makes one);
for three screens:
  * changing: every pixel is redrawn before every call;
  * static: nothing is drawn;
  * region: a 200x200 area is redrawn before every call.
On the changing screen it also times lumigrab and mss when the caller keeps the
last 8 results alive, so that the memory of the previous result, warm in the
caches, is not there to be reused (at 3840x2160, 8 frames are 265 MB).

The drawing is done by a second X client (its own connection, from this
process) with a tiled fill of one of four patterns that differ in every byte of
every pixel, followed by a round trip, so the server has finished it before
the call starts. Only the call itself is timed: neither the drawing nor the
release of the previous result is in the figures. Before timing, the script
checks that lumigrab, mss and Pillow return the same pixels and that frame()
sees each redraw (consecutive frames differ in every pixel of the changing
screen, only inside the area of the region screen, nowhere on the static one);
while timing, it checks a grid of sample pixels of every result against the
previous one of the same peer and reports any stale result.

Each figure is the median of interleaved rounds: every round times a batch of
calls of each peer in turn (the order rotating from round to round), and a
peer's figure is the median over the rounds of its batch's mean time per
call. Page faults are the calling thread's minor faults per call.

The capture thread's CPU time per arriving frame is the CPU time of the threads
that Capture.start() started (read from /proc/self/task/*/schedstat), over a
period of full-screen redraws made 5 ms apart while nobody calls frame(),
minus the same threads' CPU time over an equally long idle period, divided by
the number of redraws (each redraw, after a round trip and a pause, is its own
frame; the threads' wake-ups are printed next to it).

Needs the x11 build of lumigrab, Xvfb (Debian's xvfb package), and from PyPI
python-xlib, mss and Pillow (built with XCB, as its Linux wheels are); this
script installs nothing:
    apt-get install xvfb    # and what README.md lists for building the x11 backend
    python3 -m pip install numpy python-xlib mss pillow
    # Release: a build without a build type is not optimised, and frame()
    # then takes several times as long.
    cmake -S . -B build/x11 -G Ninja -DLUMIGRAB_BACKEND=x11 -DCMAKE_BUILD_TYPE=Release
    cmake --build build/x11
    PYTHONPATH=build/x11 python3 benchmarks/x11_frame_rate.py
"""

import collections
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZES = [(1920, 1080), (3840, 2160)]
ROUNDS = 15
# Timed calls a batch aims at, and its bounds in calls.
BATCH_SECONDS = 0.04
BATCH_CALLS = (3, 40)
REGION = 200
KEPT = 8
ARRIVALS = 100
SCENARIOS = ("changing", "static", "region")
# A sample grid of pixels, compared between consecutive results.
SAMPLE_STEP = 37


# --- What the script needs ------------------------------------------------------------------

def missing_requirements():
    """Returns a line for each thing the benchmark needs that is not there."""
    missing = []
    if shutil.which("Xvfb") is None:
        missing.append("Xvfb: apt-get install xvfb")
    for module, package in [("numpy", "numpy"), ("Xlib", "python-xlib"), ("mss", "mss"),
                            ("PIL", "pillow")]:
        try:
            __import__(module)
        except ImportError:
            missing.append(f"{package}: python3 -m pip install {package}")
    try:
        from PIL import features
        if not features.check("xcb"):
            missing.append("Pillow without XCB support, so ImageGrab cannot read an X screen: "
                           "python3 -m pip install --force-reinstall pillow")
    except ImportError:
        pass
    try:
        import lumigrab  # noqa: F401
    except ImportError:
        missing.append("lumigrab: build the x11 backend and run with PYTHONPATH=build/x11 "
                       "(see the top of this script)")
    else:
        backend = build_setting("LUMIGRAB_BACKEND")
        if backend not in (None, "x11", "linux"):
            missing.append(f"lumigrab built with the {backend} backend: this needs the x11 one")
    return missing


def build_setting(name):
    """A setting of the CMake build that holds the imported lumigrab, if it is
    in a build directory."""
    import lumigrab
    cache = os.path.join(os.path.dirname(os.path.abspath(lumigrab.__file__)), "CMakeCache.txt")
    try:
        with open(cache) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        return None
    return None


# --- The second X client, which draws ------------------------------------------------------

class Painter:
    """Draws on the root window over a connection of its own. Each drawing uses
    the next of four tile patterns, which differ from each other in every byte
    of every pixel, so consecutive drawings change every pixel they cover."""

    TILE = (61, 53)

    def __init__(self):
        import numpy as np
        from Xlib import X, display

        self.display = display.Display()
        screen = self.display.screen()
        self.root = screen.root
        self.width, self.height = screen.width_in_pixels, screen.height_in_pixels
        tw, th = self.TILE
        base = np.random.default_rng(7).integers(0, 256, (th, tw, 4), dtype=np.uint8)
        self.gcs = []
        for k in range(4):
            pixmap = self.root.create_pixmap(tw, th, screen.root_depth)
            gc = pixmap.create_gc()
            tile = base ^ np.uint8(0x55 * k)
            pixmap.put_image(gc, 0, 0, tw, th, X.ZPixmap, screen.root_depth, 0, tile.tobytes())
            gc.free()
            self.gcs.append(self.root.create_gc(fill_style=X.FillTiled, tile=pixmap,
                                                subwindow_mode=X.IncludeInferiors))
        self.next = 0
        region_x = (self.width - REGION) // 2
        region_y = (self.height - REGION) // 2
        self.region = (region_x, region_y, REGION, REGION)

    def fill(self, x, y, width, height):
        self.root.fill_rectangle(self.gcs[self.next], x, y, width, height)
        self.next = (self.next + 1) % len(self.gcs)
        self.display.sync()  # a round trip: the server has drawn it

    def screen(self):
        self.fill(0, 0, self.width, self.height)

    def area(self):
        self.fill(*self.region)


# --- Timing --------------------------------------------------------------------------------

def minor_faults():
    return resource.getrusage(resource.RUSAGE_THREAD).ru_minflt


def sample(result, area=None):
    """A grid of sample pixels of a result, of the whole of it or of `area`."""
    if area is not None:
        x, y, w, h = area
        result = result[y:y + h, x:x + w]
    return result[SAMPLE_STEP // 2::SAMPLE_STEP, SAMPLE_STEP // 2::SAMPLE_STEP, :3].copy()


class Peer:
    def __init__(self, name, call, keep=0, sees_screen=True):
        self.name = name
        self.call = call
        self.kept = collections.deque(maxlen=keep) if keep else None
        self.sees_screen = sees_screen
        self.times = []   # mean seconds per call, one per round
        self.faults = []  # minor faults per call, one per round
        self.stale = 0
        self.checked = 0
        self.batch = BATCH_CALLS[0]

    def run(self, calls, redraw, expect, area):
        """Times `calls` calls, each after `redraw` (if any), and checks the
        sample pixels of consecutive results against `expect`."""
        total = 0
        faults = 0
        previous = None
        for _ in range(calls):
            if redraw is not None:
                redraw()
            before = minor_faults()
            start = time.perf_counter_ns()
            result = self.call()
            end = time.perf_counter_ns()
            faults += minor_faults() - before
            total += end - start
            if self.sees_screen:
                now = sample(result, area)
                if previous is not None:
                    self.checked += 1
                    if expect == "changed":
                        self.stale += not (now != previous).any(axis=2).all()
                    else:
                        self.stale += not (now == previous).all()
                previous = now
            if self.kept is not None:
                self.kept.append(result)
            del result
        return total / calls / 1e9, faults / calls

    def calibrate(self, redraw):
        # Also fills the deque of kept results, so that every timed call has
        # all of them alive.
        seconds, _ = self.run(max(2, KEPT if self.kept is not None else 0), redraw, None, None)
        self.stale = self.checked = 0
        low, high = BATCH_CALLS
        self.batch = max(low, min(high, round(BATCH_SECONDS / max(seconds, 1e-6))))


def measure_scenario(peers, scenario, painter):
    redraw = {"changing": painter.screen, "static": None, "region": painter.area}[scenario]
    expect = "same" if scenario == "static" else "changed"
    area = painter.region if scenario == "region" else None
    for peer in peers:
        peer.calibrate(redraw)
    for round_number in range(ROUNDS):
        shift = round_number % len(peers)
        for peer in peers[shift:] + peers[:shift]:
            seconds, faults = peer.run(peer.batch, redraw, expect, area)
            peer.times.append(seconds)
            peer.faults.append(faults)
    for peer in peers:
        if peer.kept is not None:
            peer.kept.clear()


# --- Checks before timing ------------------------------------------------------------------

def check_pixels(capture, sct, grab_pillow, painter):
    """Lists what is wrong with the pixels that lumigrab, mss and Pillow return,
    and with frame()'s view of each redraw."""
    import numpy as np

    problems = []
    painter.screen()
    frame = capture.frame()
    shot = sct.grab(sct.monitors[0])
    raw = np.frombuffer(shot.raw, np.uint8).reshape(shot.height, shot.width, 4)
    if not np.array_equal(frame[..., :3], raw[..., 2::-1]):
        problems.append("frame() and mss differ in R, G, B")
    if not (frame[..., 3] == 255).all():
        problems.append("frame() has alpha other than 255")
    if not np.array_equal(grab_pillow()[..., :3], frame[..., :3]):
        problems.append("Pillow and frame() differ in R, G, B")

    for _ in range(3):
        painter.screen()
        now = capture.frame()
        if not (now != frame)[..., :3].all():
            problems.append("a full-screen redraw left some bytes of frame() unchanged")
        frame = now
    x, y, w, h = painter.region
    inside = np.zeros(frame.shape[:2], bool)
    inside[y:y + h, x:x + w] = True
    for _ in range(3):
        painter.area()
        now = capture.frame()
        changed = (now != frame).any(axis=2)
        if not (changed == inside).all():
            problems.append("a redraw of the region changed frame() elsewhere or not everywhere in it")
        frame = now
    for _ in range(3):
        now = capture.frame()
        if not np.array_equal(now, frame):
            problems.append("frame() changed on a static screen")
        frame = now
    return sorted(set(problems))


# --- The capture thread's cost while nobody reads -----------------------------------------

def thread_schedstat(tids):
    """CPU nanoseconds and times run of the threads `tids`, summed."""
    cpu = runs = 0
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                fields = f.read().split()
        except OSError:
            continue
        cpu += int(fields[0])
        runs += int(fields[2])
    return cpu, runs


def capture_thread_cost(tids, painter):
    time.sleep(0.2)
    cpu_start, runs_start = thread_schedstat(tids)
    start = time.perf_counter()
    for _ in range(ARRIVALS):
        painter.screen()
        time.sleep(0.005)
    elapsed = time.perf_counter() - start
    cpu_busy, runs_busy = thread_schedstat(tids)
    time.sleep(elapsed)
    cpu_idle, runs_idle = thread_schedstat(tids)
    busy = cpu_busy - cpu_start
    idle = cpu_idle - cpu_busy
    return {
        "per_frame_us": (busy - idle) / ARRIVALS / 1e3,
        "busy_ms": busy / 1e6,
        "idle_ms": idle / 1e6,
        "wakeups": (runs_busy - runs_start) / ARRIVALS,
        "idle_wakeups": runs_idle - runs_busy,
        "seconds": elapsed,
    }


# --- One screen ----------------------------------------------------------------------------

def measure(width, height):
    import numpy as np
    import lumigrab
    import mss
    from PIL import ImageGrab

    painter = Painter()
    painter.screen()
    before = set(os.listdir("/proc/self/task"))
    capture = lumigrab.Capture()
    capture.start(lumigrab.primary_monitor())
    capture_tids = sorted(set(os.listdir("/proc/self/task")) - before)
    frame = capture.frame()
    if frame.shape != (height, width, 4):
        sys.exit(f"frame() has shape {frame.shape}, the screen is {width}x{height}")

    sct = mss.MSS() if hasattr(mss, "MSS") else mss.mss()
    whole = sct.monitors[0]
    xdisplay = os.environ["DISPLAY"]

    def mss_raw():
        shot = sct.grab(whole)
        return np.frombuffer(shot.raw, np.uint8).reshape(shot.height, shot.width, 4)

    def mss_rgba():
        rgba = mss_raw()[..., [2, 1, 0, 3]]
        rgba[..., 3] = 255
        return rgba

    def pillow_rgba():
        return np.asarray(ImageGrab.grab(xdisplay=xdisplay).convert("RGBA"))

    problems = check_pixels(capture, sct, pillow_rgba, painter)

    source = capture.frame()
    results = {}
    for scenario in SCENARIOS:
        peers = [
            Peer("lumigrab frame()", capture.frame),
            Peer("mss raw (B, G, R, A view)", mss_raw),
            Peer("mss to R, G, B, A (NumPy)", mss_rgba),
            Peer("Pillow ImageGrab to RGBA", pillow_rgba),
            Peer("one fresh copy (.copy())", source.copy, sees_screen=False),
        ]
        if scenario == "changing":
            peers += [
                Peer(f"lumigrab frame(), last {KEPT} kept", capture.frame, keep=KEPT),
                Peer(f"mss raw, last {KEPT} kept", mss_raw, keep=KEPT),
            ]
        if scenario == "static":
            painter.screen()
        measure_scenario(peers, scenario, painter)
        results[scenario] = peers

    cost = capture_thread_cost(capture_tids, painter)
    capture.stop()
    sct.close()
    report(width, height, frame.nbytes, results, cost, len(capture_tids), problems)


def report(width, height, nbytes, results, cost, thread_count, problems):
    def median_ms(peer):
        return statistics.median(peer.times) * 1e3

    print(f"\n{width}x{height} ({nbytes / 2**20:.1f} MiB a frame; load average now "
          f"{os.getloadavg()[0]:.2f}): ms per call, median of {ROUNDS} interleaved rounds "
          f"[lowest-highest round], frames/s, page faults per call")
    for problem in problems:
        print(f"  CHECK FAILED: {problem}")
    for scenario, peers in results.items():
        title = {"changing": "changing screen (every pixel redrawn before each call)",
                 "static": "static screen",
                 "region": f"{REGION}x{REGION} region redrawn before each call"}[scenario]
        print(f"  {title}")
        for peer in peers:
            ms = median_ms(peer)
            low, high = min(peer.times) * 1e3, max(peer.times) * 1e3
            stale = ""
            if peer.sees_screen:
                stale = f"  stale {peer.stale}/{peer.checked}"
            print(f"    {peer.name:<32} {ms:8.3f} [{low:7.3f}-{high:7.3f}] {1000 / ms:7.0f}/s "
                  f"{statistics.median(peer.faults):7.0f} pf{stale}")
        by_name = {peer.name: median_ms(peer) for peer in peers}
        lumigrab = by_name["lumigrab frame()"]

        def rate_ratio(name):
            return by_name[name] / lumigrab

        raw_target = "   (target >= 1.15)" if scenario == "changing" else ""
        copy_target = "   (target <= 1.5)" if scenario != "changing" else ""
        print(f"    lumigrab rate / mss raw rate        {rate_ratio('mss raw (B, G, R, A view)'):6.2f}"
              f"{raw_target}")
        print(f"    lumigrab rate / mss RGBA rate       {rate_ratio('mss to R, G, B, A (NumPy)'):6.2f}")
        print(f"    lumigrab rate / Pillow rate         {rate_ratio('Pillow ImageGrab to RGBA'):6.2f}")
        print(f"    frame() time / one fresh copy time  "
              f"{lumigrab / by_name['one fresh copy (.copy())']:6.2f}{copy_target}")
        if scenario == "changing":
            kept = by_name[f"lumigrab frame(), last {KEPT} kept"]
            kept_mss = by_name[f"mss raw, last {KEPT} kept"]
            print(f"    last {KEPT} kept: lumigrab rate / mss raw rate {kept_mss / kept:6.2f}; "
                  f"lumigrab kept / not kept time {kept / lumigrab:5.2f}")
    print(f"  capture thread CPU per arriving frame, nobody calling frame(): "
          f"{cost['per_frame_us']:.1f} us")
    print(f"    ({thread_count} thread(s) started by Capture.start(); {ARRIVALS} full-screen "
          f"redraws 5 ms apart in {cost['seconds']:.2f} s: {cost['busy_ms']:.2f} ms CPU, "
          f"{cost['wakeups']:.2f} wake-ups per redraw; the same time idle: {cost['idle_ms']:.2f} ms "
          f"CPU, {cost['idle_wakeups']} wake-ups)")
    sys.stdout.flush()


# --- One Xvfb per size ---------------------------------------------------------------------

def run_on_own_server(width, height):
    """Runs the measurement in a child process whose DISPLAY is a new Xvfb of
    that size, ended afterwards whatever happens."""
    with tempfile.TemporaryFile() as display_file:
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(display_file.fileno()), "-noreset", "-nolisten", "tcp",
             "-screen", "0", f"{width}x{height}x24"],
            pass_fds=[display_file.fileno()], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            number = b""
            while not number.strip():
                if server.poll() is not None or time.monotonic() > deadline:
                    sys.exit(f"Xvfb did not start a {width}x{height} screen")
                time.sleep(0.05)
                display_file.seek(0)
                number = display_file.read()
            env = dict(os.environ, DISPLAY=":" + number.decode().strip())
            child = subprocess.run([sys.executable, os.path.abspath(__file__), "--measure",
                                    str(width), str(height)], env=env)
            if child.returncode != 0:
                sys.exit(f"the measurement at {width}x{height} failed")
        finally:
            server.terminate()
            server.wait()


def describe_machine():
    import numpy as np
    import lumigrab
    import mss
    import PIL
    import Xlib

    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    build = build_setting("CMAKE_BUILD_TYPE")
    print(f"lumigrab {lumigrab.__version__} ({lumigrab.__file__}), mss {mss.__version__}, "
          f"Pillow {PIL.__version__}, python-xlib {'.'.join(map(str, Xlib.__version__))}, "
          f"NumPy {np.__version__}, Python {platform.python_version()}")
    print(f"{model}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    if os.getloadavg()[0] > (os.cpu_count() or 1) / 2:
        print("WARNING: other work is competing for the CPUs: figures will be slower and noisier "
              "than on an idle machine")
    if build is not None and build not in ("Release", "RelWithDebInfo", "MinSizeRel"):
        print(f"WARNING: lumigrab was built with CMAKE_BUILD_TYPE={build or '(none)'}, without "
              f"optimisation: rebuild with -DCMAKE_BUILD_TYPE=Release for figures that mean "
              f"something")


def main():
    if sys.argv[1:2] == ["--measure"]:
        measure(int(sys.argv[2]), int(sys.argv[3]))
        return
    missing = missing_requirements()
    if missing:
        sys.exit("This benchmark needs:\n  " + "\n  ".join(missing))
    describe_machine()
    for width, height in SIZES:
        run_on_own_server(width, height)


if __name__ == "__main__":
    main()
