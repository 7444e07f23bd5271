"""Save a rectangle of the primary monitor as a PNG: only that rectangle is read back.

    python examples/region.py                          # 640x480 from the top-left corner
    python examples/region.py part.png --region 100 50 800 600
"""

import argparse
import sys

from PIL import Image

import lumigrab


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="region.png", help="PNG file to write")
    parser.add_argument("--region", nargs=4, type=int, default=[0, 0, 640, 480],
                        metavar=("LEFT", "TOP", "WIDTH", "HEIGHT"),
                        help="the rectangle, in the monitor's pixels")
    parser.add_argument("--cursor", action="store_true", help="draw the mouse pointer too")
    args = parser.parse_args()

    try:
        monitor = lumigrab.primary_monitor()
        with lumigrab.Capture() as capture:
            capture.region = tuple(args.region)
            capture.cursor = args.cursor
            capture.start(monitor)  # refuses a region that does not fit the monitor
            pixels = capture.frame()
    except (RuntimeError, ValueError) as error:
        sys.exit(f"region: {error}")
    Image.fromarray(pixels, "RGBA").save(args.output)
    left, top, width, height = args.region
    print(f"{monitor!r}: saved ({left}, {top}) {width}x{height} to {args.output}")


if __name__ == "__main__":
    main()
