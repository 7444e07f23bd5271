"""Tests of the x11 backend against a real X server. They run only where
.ci/x11.sh (or a developer) built the module with that backend and set
LUMIGRAB_X11_TESTS, with DISPLAY naming an Xvfb started with -noreset and two
RandR monitors; run them with --confcutdir=tests/x11, away from the
simulated desktop's fixtures."""

import os
import sys

import pytest

if not os.environ.get("LUMIGRAB_X11_TESTS"):
    collect_ignore_glob = ["*.py"]
else:
    sys.path.insert(0, os.path.dirname(__file__))

    from xclient import XClient  # noqa: E402

    @pytest.fixture
    def x():
        """The suite's own X client; its windows go when the test ends."""
        client = XClient()
        yield client
        client.close()
