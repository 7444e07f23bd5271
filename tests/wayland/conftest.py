"""Tests of the linux backend on a Wayland desktop. They run only where
.ci/wayland.sh (or a developer) built the module and set
LUMIGRAB_WAYLAND_TESTS, with WAYLAND_DISPLAY and SWAYSOCK naming a headless
sway of one output; run them with --confcutdir=tests/wayland, away from the
simulated desktop's fixtures."""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

if not os.environ.get("LUMIGRAB_WAYLAND_TESTS"):
    collect_ignore_glob = ["*.py"]
