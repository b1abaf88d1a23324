"""Connects a Python script to a Nervlane tactile sensor on a serial port."""

import os
from collections.abc import Sequence
from types import TracebackType
from typing import Final, SupportsInt, TypeVar

__version__: Final[str]

_Comms = TypeVar("_Comms", bound=NervlaneComms)

class NervlaneComms:
    """NervlaneComms wrapper"""

    version: Final[str]
    """Returns the version string"""

    def __init__(self) -> None:
        """Constructs NervlaneComms object"""

    def init(self, file_name: str | os.PathLike[str]) -> None:
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

    def close(self) -> None:
        """Disconnects from the sensor; connect may be called again"""

    def __enter__(self: _Comms) -> _Comms:
        """Returns the object itself"""

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None, /) -> None:
        """Disconnects from the sensor"""
