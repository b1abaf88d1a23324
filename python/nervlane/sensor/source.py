"""Where a tool's frames come from: a sensor on a local port with its
parameter file, or a sensor another machine serves (``--from NAME``).

This is the one place that turns command-line arguments into an open
``Sensor``, so no command handles the local and the remote case itself.
"""

from __future__ import annotations

import argparse

from ..errors import EXIT_USAGE, ToolError
from .local import Sensor, open_sensor
from .served import open_served

__all__ = ["Sensor", "add_source_arguments", "open_source"]

PORT_HELP = "the serial port (COM3, /dev/ttyUSB0), or 'auto': the only USB serial port present"


def port_name(text: str) -> str:
    """The argument type of a PORT: any name but an empty one."""
    if not text.strip():
        raise argparse.ArgumentTypeError("the port name is empty")
    return text


def add_source_arguments(parser: argparse.ArgumentParser) -> None:
    """``PORT PARAMS`` (both optional positionals) with ``--no-reconnect``
    and ``--realtime``, or ``--from NAME [--connect ENDPOINT]``."""
    parser.add_argument("port", nargs="?", type=port_name, metavar="PORT", help=PORT_HELP)
    parser.add_argument("params", nargs="?", metavar="PARAMS", help="the sensor's parameter file")
    parser.add_argument(
        "--no-reconnect",
        action="store_true",
        help="stop when the device goes away (exit 4) instead of waiting for it to come back",
    )
    parser.add_argument(
        "--realtime", action="store_true", help="run the port's reader at real-time priority (see the README)"
    )
    remote = parser.add_argument_group("a sensor served by 'nervlane serve', instead of PORT PARAMS")
    remote.add_argument("--from", dest="source_name", metavar="NAME", help="the name the sensor is served under")
    remote.add_argument(
        "--connect", metavar="ENDPOINT", help="where to reach it, e.g. tcp/HOST:7447 (default: this machine)"
    )


def open_source(args: argparse.Namespace) -> Sensor:
    """The sensor the arguments name, open and streaming. Raises ToolError:
    EXIT_USAGE when they name none or both kinds, and as ``open_sensor``
    or ``open_remote`` do."""
    if args.source_name is not None:
        if args.port is not None or args.params is not None:
            raise ToolError("give either PORT PARAMS or --from NAME, not both", EXIT_USAGE)
        if args.realtime:
            raise ToolError("--realtime is for the program that reads the port: give it to nervlane serve", EXIT_USAGE)
        return open_served(args.source_name, args.connect)
    if args.connect is not None:
        raise ToolError("--connect goes with --from NAME", EXIT_USAGE)
    if args.port is None or args.params is None:
        raise ToolError("give the sensor's PORT and PARAMS file, or --from NAME", EXIT_USAGE)
    return open_sensor(args.port, args.params, reconnect=not args.no_reconnect, realtime=args.realtime)
