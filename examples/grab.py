"""Capture one frame of the primary monitor (or of a window) and save it as a PNG.

    python examples/grab.py                    # primary monitor -> capture.png
    python examples/grab.py shot.png --window "Untitled - Notepad"
"""

import argparse
import sys

from PIL import Image

import lumigrab


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="capture.png", help="PNG file to write")
    parser.add_argument("--window", metavar="TITLE", help="capture the window with this exact title")
    parser.add_argument("--monitor", metavar="N", type=int, help="capture monitor N (counting from 1)")
    args = parser.parse_args()

    try:
        if args.window is not None:
            target = lumigrab.Window(args.window)
            what = f"window {target.name!r}"
        elif args.monitor is not None:
            target = lumigrab.enumerate_monitors()[args.monitor - 1]
            what = f"monitor {target.device_name} ({target.device_string})"
        else:
            target = lumigrab.primary_monitor()
            what = f"monitor {target.device_name} ({target.device_string})"
    except (RuntimeError, IndexError) as error:
        # Without a screen the module's message says what to do about it.
        sys.exit(f"grab: {error}")

    capture = lumigrab.Capture()
    capture.start(target)  # returns once the first frame has arrived
    try:
        frame = capture.frame()  # uint8 array [h, w, 4], channels R, G, B, A
    finally:
        capture.stop()

    Image.fromarray(frame, "RGBA").save(args.output)
    height, width, _ = frame.shape
    print(f"saved a {width}x{height} frame of {what} to {args.output}")


if __name__ == "__main__":
    main()
