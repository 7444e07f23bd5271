"""Read-back cost on the simulated desktop.

Prints, at 1920x1080 and 3840x2160:
  * the time of Capture.frame() (median and best of many calls),
  * the floor: one plain copy of the same bytes into an existing array, and
    into a fresh one,
  * the CPU time the capture thread spends per arriving frame while nobody
    calls frame() (it must copy no pixels).

Runs against the test build, whose simulated desktop can be scripted:
    bash tests/run.sh -k nothing   # builds build/test once
    PYTHONPATH=build/test python3 benchmarks/readback.py
"""

import os
import statistics
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import lumigrab  # noqa: E402
import simcapture  # noqa: E402
import simdesk  # noqa: E402

SIZES = [(1920, 1080), (3840, 2160)]


def timed(call, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples), min(samples)


def thread_cpu_ns(tid):
    with open(f"/proc/self/task/{tid}/schedstat") as f:
        return int(f.read().split()[0])


def capture_thread_id(before):
    tasks = set(os.listdir("/proc/self/task")) - before
    assert len(tasks) == 1, "expected exactly one new thread: the capture thread"
    return tasks.pop()


def bench_size(width, height):
    simdesk.reset()
    monitor = simdesk.add_monitor(width=width, height=height, primary=True)
    pixels = np.random.default_rng(1).integers(0, 256, size=width * height * 4, dtype=np.uint8).tobytes()
    simcapture.present(monitor, width, height, pixels)

    before = set(os.listdir("/proc/self/task"))
    capture = lumigrab.Capture()
    capture.start(lumigrab.Monitor())
    tid = capture_thread_id(before)

    repeat = 200 if width < 3000 else 60
    for _ in range(5):
        capture.frame()
    frame_median, frame_best = timed(capture.frame, repeat)
    kept = [capture.frame() for _ in range(8)]  # frames the caller keeps alive
    kept_median, _ = timed(lambda: kept.append(capture.frame()) or kept.pop(0), repeat)

    source = capture.frame()
    target = np.empty_like(source)
    copy_median, copy_best = timed(lambda: np.copyto(target, source), repeat)
    fresh_median, _ = timed(source.copy, repeat)

    # Frames arriving with nobody reading them.
    arrivals = 300
    simcapture.wait_delivered()
    cpu_before = thread_cpu_ns(tid)
    for i in range(arrivals):
        simcapture.present(monitor, width, height, pixels)
        if i % 20 == 19:
            simcapture.wait_delivered()
    simcapture.wait_delivered()
    per_frame_us = (thread_cpu_ns(tid) - cpu_before) / arrivals / 1000
    capture.stop()

    mb = width * height * 4 / 1e6
    print(f"{width}x{height} ({mb:.1f} MB per frame)")
    print(f"  frame()                     median {frame_median * 1e3:7.3f} ms   best {frame_best * 1e3:7.3f} ms"
          f"   ({1 / frame_median:6.0f} frames/s)")
    print(f"  frame(), 8 earlier kept     median {kept_median * 1e3:7.3f} ms")
    print(f"  copy into existing array    median {copy_median * 1e3:7.3f} ms   best {copy_best * 1e3:7.3f} ms")
    print(f"  copy into a fresh array     median {fresh_median * 1e3:7.3f} ms")
    print(f"  frame() / copy floor        {frame_median / copy_median:5.2f} x")
    print(f"  capture thread CPU per arriving frame, nobody reading: {per_frame_us:.1f} us")


def main():
    print(f"lumigrab {lumigrab.__version__} on the {simdesk.backend()} desktop, numpy {np.__version__}, "
          f"{os.cpu_count()} cores, Python {sys.version.split()[0]}")
    for width, height in SIZES:
        bench_size(width, height)
    assert threading.active_count() == 1


if __name__ == "__main__":
    main()
