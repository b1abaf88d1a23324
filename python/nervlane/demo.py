"""``nervlane demo``: the whole chain with no hardware."""

from __future__ import annotations

import dataclasses
import os
import tempfile
from typing import Any

from .console import ToolConsole
from .errors import ToolError
from .formats import Format
from .monitor import live_view, summary
from .sensor.local import Sensor, open_sensor, realtime_hint
from .view import PageOptions
from .virtual.pty_device import PtyDevice
from .virtual.signal_model import Layout, SignalModel, write_params

DEMO_RATE_HZ = 100.0
DEMO_LAYOUT = Layout(taxels=16, triaxials=2)


def run_demo(
    seconds: float | None, fmt: str, page: PageOptions | None = None, reconnect: bool = True, realtime: bool = False
) -> None:
    """Virtual sensor on a pseudo-terminal, its parameter file in a temp
    folder, the module connected (``reconnect`` and ``realtime`` as the
    other tools take them) and zeroed, the live view (or with ``page``, the
    browser view) for ``seconds`` (or until Ctrl+C), then a report. Raises
    ToolError."""
    if os.name != "posix":
        raise ToolError(
            "the demo's virtual sensor needs a POSIX pseudo-terminal; on Windows, pair two virtual "
            "COM ports (e.g. com0com) and run 'nervlane monitor' against a device on one of them"
        )
    limit = Format.named(fmt).max_readings
    assert limit is None or DEMO_LAYOUT.frame_size <= limit
    if page is not None:
        from .view.command import prepare

        prepared = prepare(dataclasses.replace(page, seconds=seconds))
    console = ToolConsole(stderr=page is not None)  # the page's URL is the first line on stdout
    with tempfile.TemporaryDirectory(prefix="nervlane-demo-") as tmp, PtyDevice() as device:
        params = os.path.join(tmp, f"demo-{fmt}.msgpack")
        write_params(params, DEMO_LAYOUT, fmt)
        device.stream_readings(fmt, SignalModel(DEMO_LAYOUT, seed=None, rate_hz=DEMO_RATE_HZ), DEMO_RATE_HZ)
        console.print(
            f"virtual sensor on {device.port}: {DEMO_LAYOUT.triaxials} triaxial + {DEMO_LAYOUT.taxels} taxel "
            f"sensors, {fmt} frames at {DEMO_RATE_HZ:g}/s"
        )
        if page is not None:
            _zero_and_serve(prepared, device.port, params, console, reconnect, realtime)
            device.stop()
            return
        sensor = open_sensor(device.port, params, reconnect=reconnect, realtime=realtime)
        comms = sensor.comms
        try:
            _get_ready(sensor, realtime, console)
            snap, base, elapsed = live_view(sensor, "nervlane demo", False, seconds, DEMO_RATE_HZ, console, reconnect)
        finally:
            comms.close()  # disconnect before the device hangs up
        device.stop()
        console.print(f"{summary(snap, base, elapsed)}; the sensor sent {device.frames_sent}")


def _zero_and_serve(
    prepared: Any, port: str, params: str, console: ToolConsole, reconnect: bool, realtime: bool
) -> None:
    from .view.command import serve

    try:
        source = open_sensor(port, params, reconnect=reconnect, realtime=realtime)
    except BaseException:
        prepared.listener.sock.close()
        raise
    _get_ready(source, realtime, console)
    serve(prepared, source, reconnecting=reconnect)


def _get_ready(sensor: Sensor, realtime: bool, console: ToolConsole) -> None:
    """Say whether real-time scheduling was refused, then zero the sensor;
    a failed zero is told and the demo goes on."""
    if (note := realtime_hint(sensor, realtime)) is not None:
        console.print(f"note: {note}", soft_wrap=True)
    try:
        sensor.comms.zero([])
        console.print("zeroed all sensors")
    except RuntimeError as e:
        console.print(f"[yellow]zeroing failed: {e}; showing values as they come[/]")
