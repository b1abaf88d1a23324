"""What a tool has of an open sensor, and the error of one that went away.

The comms object and what the tool asks of it, local or served."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from ..errors import EXIT_DISCONNECTED, ToolError


@dataclass(frozen=True)
class Sensor:
    """An open sensor, as ``nervlane.sensor.open_source`` gives it."""

    comms: Any
    """The comms object: a ``nervlane_comm_py.NervlaneComms``, or anything
    with its shapes (``read_frame``, ``queue_frames``, ``take_frames``,
    ``stats``, ``zero``, ``is_connected``, ``close``)."""
    label: str
    """What messages call it: the port, or "NAME on HOST" for a served sensor."""
    port: str | None
    """The port opened (``auto`` resolved); None for a served sensor."""
    params: str
    """The parameter file, as an absolute path (the server's, for a served sensor)."""
    format: str | None
    """The name of the frame format the parameter file chooses (None: unknown)."""
    output_names: list[str]
    """A name for each calibrated output: ``tri0_x``, ``taxel_5``..."""
    reconnect: bool = False
    """Outages are waited through (the module reopens the port; a served
    sensor's server is waited for); else the sensor going away ends the tool."""
    realtime: bool = False
    """The port's reader was granted real-time priority."""


def device_gone(sensor: Sensor, stats: Mapping[str, Any]) -> ToolError:
    """The error of a sensor that went away, with the reason the module
    gave (``stats()["last_error"]``)."""
    last = stats.get("last_error")
    why = f" (last error: {last})" if last else ""
    return ToolError(
        f"the sensor on {sensor.label} went away (cable pulled or device reset){why}; stopped.",
        EXIT_DISCONNECTED,
        detail=last,
    )
