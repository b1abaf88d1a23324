"""``nervlane demo``: the whole chain with no hardware."""

from __future__ import annotations

import os
import tempfile

from ..console import ToolConsole
from ..errors import ToolError
from ..formats import Format
from ..options import DemoOptions, PortSource
from ..sensor import Sensor, open_source
from ..terminal_view import live_view, summary
from ..virtual.pty_device import PtyDevice
from ..virtual.signal_model import Layout, SignalModel, write_params

DEMO_RATE_HZ = 100.0
DEMO_LAYOUT = Layout(taxels=16, triaxials=2)


def run(options: DemoOptions) -> None:
    """Virtual sensor on a pseudo-terminal, its parameter file in a temp
    folder, the module connected (reconnecting and at real-time priority as
    the options say) and zeroed, the live view (or with ``page``, the
    browser view) for ``seconds`` (or until Ctrl+C), then a report. Raises
    ToolError."""
    if os.name != "posix":
        raise ToolError(
            "the demo's virtual sensor needs a POSIX pseudo-terminal; on Windows, pair two virtual "
            "COM ports (e.g. com0com) and run 'nervlane monitor' against a device on one of them"
        )
    fmt = options.format
    limit = Format.named(fmt).max_readings
    assert limit is None or DEMO_LAYOUT.frame_size <= limit
    if options.page is not None:
        from ..view.launch import prepare, serve

        prepared = prepare(options.page)
    console = ToolConsole(stderr=options.page is not None)  # the page's URL is the first line on stdout
    with tempfile.TemporaryDirectory(prefix="nervlane-demo-") as tmp, PtyDevice() as device:
        params = os.path.join(tmp, f"demo-{fmt}.msgpack")
        write_params(params, DEMO_LAYOUT, fmt)
        device.stream_readings(fmt, SignalModel(DEMO_LAYOUT, seed=None, rate_hz=DEMO_RATE_HZ), DEMO_RATE_HZ)
        # Its stable name, as a USB adapter's by-id link: a reconnect never
        # reopens a pty number that another program has been handed since.
        port = device.stable_port()
        console.print(
            f"virtual sensor on {port} (a link to {device.port}): {DEMO_LAYOUT.triaxials} triaxial + "
            f"{DEMO_LAYOUT.taxels} taxel sensors, {fmt} frames at {DEMO_RATE_HZ:g}/s"
        )
        source = PortSource(port, params, options.reconnect, options.realtime)
        if options.page is not None:
            try:
                sensor = open_source(source, console)
            except BaseException:
                prepared.listener.sock.close()
                raise
            _zero(sensor, console)
            serve(prepared, sensor)
            device.stop()
            return
        sensor = open_source(source, console)
        try:
            _zero(sensor, console)
            before = device.frames_sent
            snap, base, elapsed = live_view(sensor, "nervlane demo", False, options.seconds, DEMO_RATE_HZ, console)
            during = device.frames_sent - before
        finally:
            sensor.comms.close()  # disconnect before the device hangs up
        device.stop()
        console.print(summary(snap, base, elapsed))
        after = device.frames_sent - before - during
        console.print(
            f"the virtual sensor sent {device.frames_sent} frames: {during} while the view ran, {before} before "
            f"it (while the port opened and the sensor was zeroed) and {after} as it closed"
        )


def _zero(sensor: Sensor, console: ToolConsole) -> None:
    """Zero the sensor; a failed zero is told and the demo goes on."""
    try:
        sensor.comms.zero([])
        console.print("zeroed all sensors")
    except RuntimeError as e:
        console.print(f"[yellow]zeroing failed: {e}; showing values as they come[/]")
