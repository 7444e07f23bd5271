import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import simdesk  # noqa: E402


@pytest.fixture(autouse=True)
def desk():
    """Every test starts on an empty simulated desktop."""
    simdesk.reset()
    yield simdesk
    simdesk.reset()
