"""Screen capture into NumPy arrays."""

from types import TracebackType
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
    @property
    def left(self) -> int:
        """The x coordinate of the client area's left edge on the desktop."""
    @property
    def top(self) -> int:
        """The y coordinate of the client area's top edge on the desktop."""
    @property
    def width(self) -> int:
        """The width of the client area in pixels."""
    @property
    def height(self) -> int:
        """The height of the client area in pixels."""
    @property
    def process_id(self) -> int:
        """The id of the process that owns the window."""

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
    @property
    def left(self) -> int:
        """The x coordinate of the monitor's left edge on the desktop."""
    @property
    def top(self) -> int:
        """The y coordinate of the monitor's top edge on the desktop."""

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
    def next_frame(self, timeout: float | None = None) -> npt.NDArray[np.uint8]:
        """Wait for a frame newer than the last one returned and return it as frame() does."""
    @property
    def cursor(self) -> bool:
        """True if frames show the mouse pointer; set it before start()."""
    @cursor.setter
    def cursor(self, value: bool) -> None: ...
    @property
    def border(self) -> bool:
        """True if the system may draw its border around the target; set it before start()."""
    @border.setter
    def border(self, value: bool) -> None: ...
    @property
    def region(self) -> tuple[int, int, int, int] | None:
        """(left, top, width, height) of the target that frames show, or None for all of it."""
    @region.setter
    def region(self, value: tuple[int, int, int, int] | list[int] | None) -> None: ...
    def __enter__(self) -> Capture: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> bool: ...
