"""Frames per second of Capture.frame() on a real X server, next to python-mss.

For each screen size (1920x1080, then 3840x2160) an Xvfb of its own is
started and, on that same screen, this prints:
  * lumigrab: Capture.frame() of the primary monitor, R, G, B, A arrays;
  * mss raw: mss grab() viewed as a NumPy array, B, G, R, A as the server
    sends it (alpha undefined: 0 on Xvfb);
  * mss RGBA: the same grab converted to R, G, B, A (alpha 255) with NumPy;
  * memcpy: one copy of a frame-sized array into an existing one,
and the ratios of lumigrab's rate to each. Each figure is the rate over a
few seconds of back-to-back calls in one thread. Every frame is released
before the next call returns (nothing keeps earlier frames alive), so the
allocator hands the same warm pages back; a fresh 8 MB array whose memory was
never touched costs page faults that would dominate.

Needs a build with the x11 backend and Xvfb (Debian's xvfb package); mss is
installed here, for this benchmark only:
    cmake -S . -B build/x11 -G Ninja -DLUMIGRAB_BACKEND=x11 && cmake --build build/x11
    PYTHONPATH=build/x11 python3 benchmarks/x11_frame_rate.py
"""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SIZES = [(1920, 1080), (3840, 2160)]
SECONDS = 3.0


def rate(call, seconds=SECONDS):
    call()  # warm up: first allocations, segment attachment
    count = 0
    start = time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        call()
        count += 1
    return count / elapsed


def measure(width, height):
    import lumigrab
    import mss

    capture = lumigrab.Capture()
    capture.start(lumigrab.primary_monitor())
    frame = capture.frame()
    assert frame.shape == (height, width, 4)
    lumigrab_fps = rate(capture.frame)
    capture.stop()

    with mss.mss() as sct:
        region = sct.monitors[0]

        def mss_raw():
            shot = sct.grab(region)
            return np.frombuffer(shot.raw, np.uint8).reshape(shot.height, shot.width, 4)

        def mss_rgba():
            rgba = mss_raw()[..., [2, 1, 0, 3]]
            rgba[..., 3] = 255
            return rgba

        mss_raw_fps = rate(mss_raw)
        mss_rgba_fps = rate(mss_rgba)

    target = np.empty_like(frame)
    memcpy_fps = rate(lambda: np.copyto(target, frame))

    print(f"{width}x{height} ({frame.nbytes / 2**20:.1f} MiB a frame; earlier frames are not kept alive)")
    print(f"  lumigrab frame()      {lumigrab_fps:8.0f} frames/s  {1000 / lumigrab_fps:6.2f} ms")
    print(f"  mss grab(), raw BGRA  {mss_raw_fps:8.0f} frames/s  {1000 / mss_raw_fps:6.2f} ms")
    print(f"  mss grab() to RGBA    {mss_rgba_fps:8.0f} frames/s  {1000 / mss_rgba_fps:6.2f} ms")
    print(f"  memcpy of a frame     {memcpy_fps:8.0f} frames/s  {1000 / memcpy_fps:6.2f} ms")
    print(f"  lumigrab / mss raw BGRA = {lumigrab_fps / mss_raw_fps:.2f}  (target >= 1.0)")
    print(f"  lumigrab / mss to RGBA  = {lumigrab_fps / mss_rgba_fps:.2f}  (target >= 3.0)")
    print(f"  lumigrab / memcpy       = {lumigrab_fps / memcpy_fps:.2f}")
    sys.stdout.flush()


def run_on_own_server(width, height):
    """Runs this script's measurement in a child process whose DISPLAY is a
    new Xvfb of that size, ended afterwards whatever happens."""
    with tempfile.TemporaryFile() as display_file:
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(display_file.fileno()), "-noreset", "-nolisten", "tcp",
             "-screen", "0", f"{width}x{height}x24"],
            pass_fds=[display_file.fileno()], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            number = b""
            while not number.strip() and time.monotonic() < deadline:
                time.sleep(0.05)
                display_file.seek(0)
                number = display_file.read()
            env = dict(os.environ, DISPLAY=":" + number.decode().strip())
            subprocess.run([sys.executable, __file__, "--measure", str(width), str(height)],
                           env=env, check=True)
        finally:
            server.terminate()
            server.wait()


def main():
    if sys.argv[1:2] == ["--measure"]:
        measure(int(sys.argv[2]), int(sys.argv[3]))
        return
    try:
        import mss  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet",
                        "--disable-pip-version-check", "mss"], check=True)
    for width, height in SIZES:
        run_on_own_server(width, height)


if __name__ == "__main__":
    main()
