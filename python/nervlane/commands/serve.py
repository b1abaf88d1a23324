"""``nervlane serve``: one program owns the sensor's port and publishes its
frames on Zenoh, so that any number of programs, on this machine or others,
read the sensor at once (``nervlane.remote.RemoteSensor``).

The server loop is ``nervlane.remote.server``'s.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

from ..errors import EXIT_MISSING_EXTRA, EXIT_USAGE, ToolError
from ..remote import payload
from ..remote.server import SEND_QUEUE_BATCHES, Server
from ..sensor.source import PORT_HELP, port_name


def _name(text: str) -> str:
    try:
        return payload.check_name(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_arguments(p: argparse.ArgumentParser) -> None:
    """The ``serve`` command's arguments."""
    p.add_argument("port", type=port_name, help=PORT_HELP)
    p.add_argument("params", help="the sensor's parameter file")
    p.add_argument("--name", required=True, type=_name, help="the name clients ask for (key prefix nervlane/NAME/)")
    p.add_argument(
        "--listen",
        action="append",
        metavar="ENDPOINT",
        help="where clients connect (default tcp/127.0.0.1:7447: this machine only; "
        "tcp/0.0.0.0:7447 shares the sensor with the local network). May be repeated",
    )
    p.add_argument("--scout", action="store_true", help="let Zenoh peers find this server by multicast scouting")
    p.add_argument(
        "--zenoh-config",
        metavar="FILE",
        help="a Zenoh configuration file (TLS, access control, routers); the options above apply on top of it",
    )
    p.add_argument("--realtime", action="store_true", help="read the port at real-time priority where permitted")
    p.add_argument(
        "--no-reconnect", action="store_true", help="exit (code 4) when the device goes away, rather than wait for it"
    )


def _import_zenoh() -> Any:
    from ..remote.session import import_zenoh

    try:
        return import_zenoh()
    except ModuleNotFoundError as e:
        raise ToolError(str(e), EXIT_MISSING_EXTRA) from e


def _open_session(zenoh: Any, a: argparse.Namespace) -> tuple[Any, str]:
    """The session, and where it listens."""
    from ..remote.session import DEFAULT_ENDPOINT, endpoints_of, session_config, zenoh_message

    try:
        config = session_config(
            listen=a.listen,
            default_listen=[DEFAULT_ENDPOINT],
            scout=a.scout,
            config_file=a.zenoh_config,
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


def run_serve(a: argparse.Namespace) -> None:
    """Serve until Ctrl+C or SIGTERM (exit 0) or, with ``--no-reconnect``,
    the device going away (EXIT_DISCONNECTED). Raises ToolError: the
    remote extra missing (EXIT_MISSING_EXTRA), a bad configuration
    (EXIT_USAGE), a listening address in use (EXIT_ERROR), and as
    ``open_sensor`` does."""
    import socket

    from .. import package_version
    from ..sensor.local import device_gone, load_module, open_sensor, realtime_hint
    from ..sensor.watch import DecodeWatch

    zenoh = _import_zenoh()
    if a.zenoh_config is not None and not os.path.isfile(a.zenoh_config):
        raise ToolError(f"Zenoh configuration {a.zenoh_config}: no such file", EXIT_USAGE)
    session, where = _open_session(zenoh, a)
    sensor = None
    server = None
    try:
        reconnect = not a.no_reconnect
        sensor = open_sensor(a.port, a.params, reconnect=reconnect, realtime=a.realtime)
        comms = sensor.comms
        hint = realtime_hint(sensor, a.realtime)
        if hint is not None:
            print(f"warning: {hint}", file=sys.stderr)
        details = {
            "port": sensor.port,
            "params": sensor.params,
            "format": sensor.format,
            "host": socket.gethostname(),
            "package_version": package_version(),
            "module_version": getattr(load_module(), "__version__", None),
            "reconnect": reconnect,
            "realtime": bool(comms.stats().get("realtime", False)),  # granted, not asked for
        }
        server = Server(session, comms, sensor.output_names, a.name, details, reconnect)
        print(f"serving {sensor.port} as {a.name} on {where} (Ctrl+C to stop)", flush=True)
        try:
            stats = server.run(DecodeWatch(comms.stats(), sensor.format, time.monotonic()))
            raise device_gone(sensor.port, stats)
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
