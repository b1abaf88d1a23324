"""Starting the browser view for a sensor.

Everything that can be checked is checked before the port opens
(``prepare``), then the page is served until Ctrl+C, SIGTERM or the
options' seconds (``serve``)."""

from __future__ import annotations

import asyncio
import os
import sys
from dataclasses import dataclass
from typing import Any, Final

from ..console import stamped
from ..errors import ToolError, missing_extra
from ..options import PageOptions
from ..sensor.opened import Sensor, device_gone
from .layout import LayoutFile, grid_cells, placed_cells, read_layout

OPEN_NETWORK_WARNING: Final = (
    "warning: the page is open to the network over plain HTTP: anyone who can watch the traffic "
    "can read the token in the URL, and with it watch, zero and record the sensor"
)


@dataclass
class Prepared:
    options: PageOptions
    listener: Any
    placement: LayoutFile | None


def prepare(options: PageOptions) -> Prepared:
    """What needs no sensor: the extra, the layout file, the record folder,
    the listening socket. Raises ToolError."""
    try:
        import aiohttp  # noqa: F401
    except ImportError as e:
        raise missing_extra("view", "the browser view (aiohttp is missing)") from e
    from .listen import listen
    from .recording import check_record_dir

    placement = None if options.layout is None else read_layout(options.layout)
    check_record_dir(options.record_dir)
    return Prepared(options, listen(options.http), placement)


def _open_browser(url: str) -> None:
    desktop = os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
    if os.name == "posix" and sys.platform != "darwin" and not desktop:
        # Without a desktop, Python's choice would be a text browser taking over this terminal.
        print(stamped("no desktop here: open the URL above in a browser"), file=sys.stderr)
        return
    import webbrowser

    if not webbrowser.open(url):
        print(stamped("could not start a browser: open the URL above in one"), file=sys.stderr)


def serve(prepared: Prepared, sensor: Sensor) -> None:
    """Serve ``sensor`` until Ctrl+C, SIGTERM or the options' seconds; the
    first line on standard output is the page's URL. While the sensor is
    reconnecting (the module reopens the port) outages are shown on the
    page and end nothing. Closes the sensor. Raises ToolError: the device
    went away and the sensor is not reconnecting (EXIT_DISCONNECTED), or
    the reader failed."""
    from .listen import new_token
    from .server import ViewServer

    options, listener = prepared.options, prepared.listener
    try:
        names, layout = sensor.output_names, prepared.placement
        if layout is None:
            cells, units = grid_cells(names), "grid"
        else:
            cells, units = placed_cells(names, layout.positions, str(options.layout)), "mm"
        token = new_token(listener, options.require_token)
        unit = options.unit or (layout.unit if layout is not None else None)
        server = ViewServer(sensor, cells, units, listener, token, options.record_dir, unit=unit, scale=options.scale)
        print(server.url, flush=True)
        if not listener.loopback:
            print(stamped(OPEN_NETWORK_WARNING), file=sys.stderr, flush=True)
        print(stamped(f"showing {sensor.label} ({sensor.params}); Ctrl+C stops"), flush=True)
        if options.open_browser:
            _open_browser(server.url)
        server.feed.start()
        try:
            asyncio.run(server.serve(options.seconds))
        except KeyboardInterrupt:
            pass
        finally:
            server.feed.finish_recording("the view ending")
            server.feed.stop()
        stats = sensor.comms.stats()
        connected = sensor.comms.is_connected()
    finally:
        listener.sock.close()
        sensor.comms.close()
    if server.feed.error is not None:
        raise ToolError(f"the view stopped reading: {server.feed.error}")
    if not connected and not sensor.reconnect:
        raise device_gone(sensor, stats)
