"""Screen capture into NumPy arrays."""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = [
    "enumerate_windows",
    "foreground_window",
    "Window",
    "primary_monitor",
    "enumerate_monitors",
    "Monitor",
    "Capture",
    "__version__",
]

__version__: str

CaptureTarget = Monitor | Window

def enumerate_windows() -> list[Window]:
    """Enumerate all windows that are currently available."""

def foreground_window() -> Window:
    """Get the currently active window."""

def primary_monitor() -> Monitor:
    """Get the primary monitor."""

def enumerate_monitors() -> list[Monitor]:
    """Enumerate all monitors connected to the system."""

@final
class Window:
    """Window abstraction for the Windows operating system."""

    def __new__(cls, name: str) -> Window: ...
    @property
    def valid(self) -> bool:
        """True if the window is still valid (i.e., open), else False."""
    @property
    def name(self) -> str:
        """The name string of the window."""

@final
class Monitor:
    """Monitor class for the Windows operating system."""

    def __new__(cls, id: int | None = None) -> Monitor: ...
    @property
    def width(self) -> int:
        """The pixel width of the monitor."""
    @property
    def height(self) -> int:
        """The pixel height of the monitor."""
    @property
    def index(self) -> int:
        """The index of the monitor."""
    @property
    def refresh_rate(self) -> int:
        """The refresh rate of the monitor in Hz."""
    @property
    def device_name(self) -> str:
        """The monitor device name."""
    @property
    def device_string(self) -> str:
        """The device string of the monitor."""

@final
class Capture:
    """Capture class to capture frames from a monitor or a window."""

    def __new__(cls) -> Capture: ...
    def start(self, capture_target: Monitor | Window, await_first_frame: bool | None = None) -> None:
        """Start the capture."""
    def stop(self) -> None:
        """Stop the capture thread, wait for it to join and invalidate the last frame."""
    @property
    def active(self) -> bool:
        """True if the capture thread is running, False otherwise."""
    def frame(self) -> npt.NDArray[np.uint8]:
        """Convert the latest frame to an array and return it."""
