"""How much CPU Capture.next_frame uses while it waits on a still screen.

    python benchmarks/next_frame_idle.py [--seconds 5] [--rounds 3]

Captures the primary monitor, takes the first frame, then waits for a new one
with a timeout while nothing changes, and prints the process's CPU time over
the wall time of each wait (interleaved with an idle time.sleep of the same
length as the baseline), and the medians.
"""

import argparse
import statistics
import time

import lumigrab


def cpu_during(wait, seconds):
    cpu, wall = time.process_time(), time.perf_counter()
    wait(seconds)
    return (time.process_time() - cpu) / (time.perf_counter() - wall)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    with lumigrab.Capture() as capture:
        capture.start(lumigrab.primary_monitor())
        capture.next_frame()

        def next_frame(seconds):
            try:
                capture.next_frame(timeout=seconds)
            except TimeoutError:
                pass
            else:
                print("  (the screen changed during the wait)")

        results = {"next_frame": [], "time.sleep": []}
        for round_ in range(args.rounds):
            for name, wait in (("next_frame", next_frame), ("time.sleep", time.sleep)):
                share = cpu_during(wait, args.seconds)
                results[name].append(share)
                print(f"round {round_ + 1}: {name:<11} {share * 100:.3f} % of one core")
    for name, shares in results.items():
        print(f"median {name:<11} {statistics.median(shares) * 100:.3f} % of one core")


if __name__ == "__main__":
    main()
