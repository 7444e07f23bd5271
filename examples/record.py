"""Record only the frames that change, for a few seconds, and say how many came.

    python examples/record.py                  # primary monitor, 5 seconds
    python examples/record.py --seconds 10 --window "Untitled - Notepad"

next_frame() sleeps until the screen changes (using no CPU meanwhile) and
never returns the same frame twice, so a still screen records nothing.
Ctrl+C ends the recording early.
"""

import argparse
import sys
import time

import lumigrab


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to record")
    parser.add_argument("--window", metavar="TITLE", help="record the window with this exact title")
    args = parser.parse_args()

    try:
        target = lumigrab.Window(args.window) if args.window else lumigrab.primary_monitor()
    except RuntimeError as error:
        sys.exit(f"record: {error}")

    frames = []
    end = time.monotonic() + args.seconds
    with lumigrab.Capture() as capture:
        capture.start(target)
        try:
            while (left := end - time.monotonic()) > 0:
                try:
                    frames.append((time.monotonic(), capture.next_frame(timeout=left)))
                except TimeoutError:
                    break  # nothing changed before the end
        except KeyboardInterrupt:
            pass
    print(f"{target!r}: {len(frames)} new frames in {args.seconds:g} s")
    if frames:
        height, width, _ = frames[0][1].shape
        print(f"each {width}x{height}, {sum(f.nbytes for _, f in frames) / 1e6:.1f} MB in all")


if __name__ == "__main__":
    main()
