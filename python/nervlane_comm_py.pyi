"""Connects a Python script to a Nervlane tactile sensor on a serial port."""

import os
from collections.abc import Sequence
from types import TracebackType
from typing import Final, Literal, SupportsInt, TypeAlias, TypedDict, TypeVar

import numpy
from numpy.typing import NDArray

__version__: Final[str]
MAX_PARAMETER_FILE_BYTES: Final[int]
"""The largest sensor parameter file that init reads (64 MiB)."""

class Frame:
    """One frame: sequence number, decode time, raw and calibrated values"""

    @property
    def sequence(self) -> int:
        """1 for the first frame the object decoded; a gap means frames not seen"""

    @property
    def time(self) -> float:
        """When the frame was decoded, in seconds on the clock of time.monotonic()"""

    @property
    def raw(self) -> list[float]:
        """The frame's raw readings"""

    @property
    def values(self) -> list[float]:
        """The frame's calibrated values"""

    def __getstate__(self) -> tuple[int, int, list[float], list[float]]: ...
    def __setstate__(self, state: tuple[int, int, list[float], list[float]], /) -> None: ...

# A FrameBatch's pickled state: sequence, time, raw, values.
_BatchState: TypeAlias = tuple[
    NDArray[numpy.uint64], NDArray[numpy.float64], NDArray[numpy.float64], NDArray[numpy.float64]
]

class FrameBatch:
    """Queued frames of one shape, oldest first, as numpy arrays"""

    @property
    def sequence(self) -> NDArray[numpy.uint64]:
        """Sequence numbers (uint64, n)"""

    @property
    def time(self) -> NDArray[numpy.float64]:
        """Decode times, seconds on the clock of time.monotonic() (n)"""

    @property
    def raw(self) -> NDArray[numpy.float64]:
        """Raw readings (n x readings)"""

    @property
    def values(self) -> NDArray[numpy.float64]:
        """Calibrated values (n x outputs)"""

    def __len__(self) -> int: ...
    def __getstate__(self) -> _BatchState: ...
    def __setstate__(self, state: _BatchState, /) -> None: ...

# The dictionary stats() returns; a name for type checkers only.
class _Stats(TypedDict):
    frames_decoded: int
    frames_delivered: int
    frames_overwritten: int
    frames_dropped: int
    frames_rejected: int
    bytes_discarded: int
    connects: int
    port_errors: int
    last_error: str | None
    reconnects: int
    realtime: bool
    last_error_time: float | None
    last_reconnect_time: float | None

class PortError(RuntimeError):
    """A serial port error; `reason` is not_found, busy, access_denied, disconnected or other; `description` is the message without the source file and line."""

    reason: Literal["not_found", "busy", "access_denied", "disconnected", "other"]
    description: str

_Comms = TypeVar("_Comms", bound=NervlaneComms)

class NervlaneComms:
    """NervlaneComms wrapper"""

    version: Final[str]
    """Returns the version string"""

    def __init__(self) -> None:
        """Constructs NervlaneComms object"""

    def init(self, file_name: str | os.PathLike[str]) -> None:
        """Initialise sensor comms"""

    def connect(self, port: str, *, reconnect: bool = False, realtime: bool = False) -> None:
        """Connects to the sensor. With reconnect=True a port error does not end the connection: the port is opened again under the same name every 250 ms until it comes back or close() is called (on Linux only when the USB device first opened is behind the name again). With realtime=True the reader thread asks for real-time priority; stats()['realtime'] says whether it got it"""

    def read(self, timeout: SupportsInt = 500) -> list[float]:
        """Reads and returns data"""

    def read_raw(self, timeout: SupportsInt = 500) -> list[float]:
        """Reads and returns raw data"""

    def is_connected(self) -> bool:
        """Is sensor connected?"""

    def zero(self, arg0: Sequence[SupportsInt], /) -> None:
        """Zeroes the sensor"""

    def close(self) -> None:
        """Disconnects from the sensor; connect may be called again"""

    def __enter__(self: _Comms) -> _Comms:
        """Returns the object itself"""

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> None:
        """Disconnects from the sensor"""

    def read_frame(self, timeout: SupportsInt = 500) -> Frame | None:
        """Reads the newest unread frame with its sequence number and time; None after the time-out"""

    def queue_frames(self, capacity: SupportsInt) -> None:
        """Keeps every frame from now on in a queue of `capacity` frames, dropping the oldest when full; 0 stops and frees it"""

    def take_frames(self, timeout: SupportsInt = 500, max_frames: SupportsInt = 0) -> FrameBatch:
        """Takes the queued frames (up to max_frames, 0 = all), waiting up to `timeout` ms for the first"""

    def stats(self) -> _Stats:
        """Counters since the object was made: frames_decoded, frames_delivered, frames_overwritten, frames_dropped, frames_rejected, bytes_discarded, connects, port_errors, last_error (why the last connection ended, or why a reconnect waits on; None before any port error), reconnects (ports opened again after a port error), realtime (whether the reader thread runs at real-time priority), last_error_time and last_reconnect_time (when the last port error happened and when the port was last opened again, on the clock of time.monotonic(); None before any)"""
