"""``nervlane monitor``: the sensor's values live in the terminal.

The view, with the module's counters, is ``nervlane.terminal_view``'s."""

from __future__ import annotations

from ..console import ToolConsole
from ..errors import ToolError
from ..options import MonitorOptions
from ..sensor import device_gone, open_source
from ..terminal_view import live_view, summary


def run(options: MonitorOptions) -> None:
    """Open the sensor, zero it if asked, show it until ``seconds`` pass,
    Ctrl+C or 'q', then print the summary. Raises ToolError."""
    console = ToolConsole()
    sensor = open_source(options.source, console)
    comms = sensor.comms
    try:
        if options.zero:
            try:
                comms.zero([])
            except RuntimeError as e:
                if comms.is_connected():
                    raise ToolError(f"zeroing failed: {e} (zeroing needs at least 20 frames per second)") from e
                if not sensor.reconnect:
                    raise device_gone(sensor, comms.stats()) from e
                console.print(f"zeroing failed: {e}, as the sensor went away; showing values as they come")
        snap, base, elapsed = live_view(sensor, sensor.label, options.raw, options.seconds, options.rate, console)
        console.print(summary(snap, base, elapsed))
    finally:
        comms.close()
