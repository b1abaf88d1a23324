"""Connects a Python script to a Nervlane tactile sensor on a serial port."""

from collections.abc import Sequence
from typing import Final, Literal, SupportsInt

__version__: Final[str]

class PortError(RuntimeError):
    """A serial port error; `reason` is not_found, busy, access_denied, disconnected or other."""

    reason: Literal["not_found", "busy", "access_denied", "disconnected", "other"]

class NervlaneComms:
    """NervlaneComms wrapper"""

    version: Final[str]
    """Returns the version string"""

    def __init__(self) -> None:
        """Constructs NervlaneComms object"""

    def init(self, file_name: str) -> None:
        """Initialise sensor comms"""

    def connect(self, port: str) -> None:
        """Connects to the sensor"""

    def read(self, timeout: SupportsInt = 500) -> list[float]:
        """Reads and returns data"""

    def read_raw(self, timeout: SupportsInt = 500) -> list[float]:
        """Reads and returns raw data"""

    def is_connected(self) -> bool:
        """Is sensor connected?"""

    def zero(self, arg0: Sequence[SupportsInt], /) -> None:
        """Zeroes the sensor"""
