"""Opening the sensor a command's source options name, local or served.

This is the one place that opens a sensor for a command, so no command
handles the two cases itself."""

from __future__ import annotations

from typing import Final

from rich.console import Console

from ..options import PortSource, SourceOptions
from .local import open_sensor
from .opened import Sensor
from .served import open_served

REALTIME_HINT: Final = (
    "the reader runs at normal priority: real-time scheduling needs permission "
    "(ulimit -r 10 in this shell, or the line '@dialout - rtprio 10' in /etc/security/limits.conf)"
)


def open_source(source: SourceOptions, console: Console) -> Sensor:
    """The sensor ``source`` names, open and streaming. Real-time priority
    asked for and refused is told on ``console`` as a note, with how to
    grant it. Raises ToolError as ``open_sensor`` and ``open_served`` do."""
    if not isinstance(source, PortSource):
        return open_served(source.name, source.connect, reconnect=source.reconnect)
    sensor = open_sensor(source.port, source.params, reconnect=source.reconnect, realtime=source.realtime)
    if source.realtime and not sensor.realtime:
        console.print(f"note: {REALTIME_HINT}", soft_wrap=True)
    return sensor
