"""``nervlane serve``: share a sensor with other programs over Zenoh.

One program owns the sensor's port and publishes its frames, so that any
number of programs, on this machine or others, read the sensor at once
(``nervlane.remote.RemoteSensor``). The server loop is
``nervlane.remote.server``'s."""

from __future__ import annotations

import os
import socket
import sys
import time
from typing import Any

from .. import package_version
from ..console import ToolConsole
from ..errors import EXIT_MISSING_EXTRA, EXIT_USAGE, ToolError
from ..options import ServeOptions
from ..remote.server import SEND_QUEUE_BATCHES, Server
from ..remote.session import DEFAULT_ENDPOINT, endpoints_of, import_zenoh, session_config, zenoh_message
from ..sensor import device_gone, load_module, open_source
from ..sensor.watch import DecodeWatch


def _open_session(options: ServeOptions) -> tuple[Any, str]:
    """The session, and where it listens."""
    try:
        zenoh = import_zenoh()
    except ModuleNotFoundError as e:
        raise ToolError(str(e), EXIT_MISSING_EXTRA) from e
    if options.zenoh_config is not None and not os.path.isfile(options.zenoh_config):
        raise ToolError(f"Zenoh configuration {options.zenoh_config}: no such file", EXIT_USAGE)
    try:
        config = session_config(
            listen=None if options.listen is None else list(options.listen),
            default_listen=[DEFAULT_ENDPOINT],
            scout=options.scout,
            config_file=options.zenoh_config,
            send_queue_batches=SEND_QUEUE_BATCHES,
        )
    except ValueError as e:
        raise ToolError(str(e), EXIT_USAGE) from e
    try:
        return zenoh.open(config), endpoints_of(config, "listen")
    except zenoh.ZError as e:
        message = zenoh_message(e)
        hint = " (another 'nervlane serve'? give this one --listen tcp/127.0.0.1:PORT)" if "in use" in message else ""
        raise ToolError(f"cannot start serving: {message}{hint}", detail=str(e)) from e


def run(options: ServeOptions) -> None:
    """Serve until Ctrl+C or SIGTERM (exit 0) or, without reconnecting, the
    device going away (EXIT_DISCONNECTED). Raises ToolError: the remote
    extra missing (EXIT_MISSING_EXTRA), a bad configuration (EXIT_USAGE), a
    listening address in use (EXIT_ERROR), and as ``open_source`` does."""
    session, where = _open_session(options)
    sensor = None
    server = None
    try:
        sensor = open_source(options.source, ToolConsole(stderr=True))
        assert sensor.port is not None  # a local port: serve reads one
        comms = sensor.comms
        details = {
            "port": sensor.port,
            "params": sensor.params,
            "format": sensor.format,
            "host": socket.gethostname(),
            "package_version": package_version(),
            "module_version": getattr(load_module(), "__version__", None),
            "reconnect": sensor.reconnect,
            "realtime": sensor.realtime,  # granted, not asked for
        }
        server = Server(session, comms, sensor.output_names, options.name, details, sensor.reconnect)
        print(f"serving {sensor.port} as {options.name} on {where} (Ctrl+C to stop)", flush=True)
        try:
            stats = server.run(DecodeWatch(comms.stats(), sensor.format, time.monotonic()))
            raise device_gone(sensor, stats)
        except KeyboardInterrupt:
            pass
        finally:
            print(f"served {server.frames} frame(s) in {server.batches} batch(es)", file=sys.stderr)
    finally:
        # The session first: clients see the server go at once.
        session.close()
        if server is not None:
            server.close()
        if sensor is not None:
            sensor.comms.close()
