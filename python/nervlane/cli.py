"""The ``nervlane`` command line: every command's arguments, parsed once.

Commands: ports, simulate, monitor, record, recover, convert, view, plot,
params, demo, serve.

Every command's arguments are defined here and parsed once into the option
records of ``nervlane.options``; nothing below this module sees the parser.
A command's module is imported only when that command runs, so ``--help``
and ``nervlane ports`` do not pay for numpy, msgpack or the module.

Exit codes (nervlane.errors): 0 done; 1 error (bad file, module missing,
...); 2 bad usage; 3 the port cannot be opened; 4 the device went away;
5 an optional extra is missing (matplotlib for ``plot``, Zenoh for ``serve``
and ``--from``, aiohttp for ``view``, mcap for MCAP recordings).

Every command raises ToolError; only ``main`` prints it and picks the exit
code.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
from collections.abc import Callable, Sequence
from types import FrameType
from typing import Any, Final

from . import package_version
from .errors import EXIT_OK, EXIT_USAGE, ToolError
from .formats import FORMATS
from .options import (
    PARAMS_ACTIONS,
    UNIT_MAX_CHARS,
    ConvertOptions,
    DemoOptions,
    MonitorOptions,
    PageOptions,
    ParamsOptions,
    PlotOptions,
    PortSource,
    RecordOptions,
    RecoverOptions,
    ServedSource,
    ServeOptions,
    SimulateOptions,
    SourceOptions,
    ViewOptions,
)

PORT_HELP = "the serial port (COM3, /dev/ttyUSB0), or 'auto': the only USB serial port present"
UNIT_HELP = "the calibrated values' unit, e.g. N or kPa (default: calibrated units)"
LAYOUT_HELP = (
    'where each cell sits, x right and y up in mm: {"unit": "N", "taxel 0": [0, 0], "tri0": [12, 0]}; '
    "a cell is named as the page labels it (taxel 0, triaxial 0, or tri0), or by an output's name "
    "(taxel_6, tri0_x, triaxial 0 x) (default: a grid in output order)"
)
FORMAT_HELP = "the frame format: text, binary or encrypted (default binary)"
HTTP_HELP = (
    "where to serve the page (default 127.0.0.1:8765, or the next free port); any address but loopback asks "
    "for the token in the printed URL"
)
PARAMS_DESCRIPTION = """\
Shows, checks or converts a sensor parameter file (MessagePack): the file
that holds each sensor's calibration, made by the sensor's maker and
shipped with it.

actions:
  show       the file as tables: each sensor's maps, limits and coefficients, whole
  check      validate it with the module itself; a fault names the record and field
  to-json    write it as JSON a person can edit
  from-json  turn such JSON back into a parameter file, checked before it is written
"""


def _positive_float(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not v > 0 or v == float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} must be a positive number")
    return v


def _count(text: str, minimum: int = 0) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if v < minimum:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least {minimum}")
    return v


def _positive_int(text: str) -> int:
    return _count(text, 1)


def _unit(text: str) -> str:
    unit = text.strip()
    if not unit or len(unit) > UNIT_MAX_CHARS or not unit.isprintable():
        raise argparse.ArgumentTypeError(f"{text!r}: give a short unit such as N or kPa")
    return unit


def _scale(text: str) -> tuple[float, float] | None:
    if text == "auto":
        return None
    low, _, high = text.partition(":")
    try:
        scale = (float(low), float(high))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: give auto, or LOW:HIGH such as 0:20") from None
    if not all(map(math.isfinite, scale)) or not scale[0] < scale[1]:
        raise argparse.ArgumentTypeError(f"{text!r}: LOW:HIGH needs two numbers, LOW below HIGH, such as 0:20")
    return scale


def _port_name(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("the port name is empty")
    return text


def _checked(check: Callable[[str], str], text: str) -> str:
    """``check(text)``, its ValueError told as argparse tells a bad value."""
    try:
        return check(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


# The checks live with what they guard, imported only when an argument needs one.


def _recording_name(text: str) -> str:
    from .recording.outputs import check_name

    return _checked(check_name, text)


def _endpoint(text: str) -> str:
    from .remote.session import check_endpoint

    return _checked(check_endpoint, text)


def _served_name(text: str) -> str:
    from .remote.payload import check_name

    return _checked(check_name, text)


# --------------------------------------------------------------------------
# Arguments shared by several commands


def _add_source_arguments(parser: argparse.ArgumentParser, *, port: bool = True, served: bool = True) -> None:
    """Where the frames come from: ``PORT PARAMS`` (optional where
    ``--from NAME [--connect ENDPOINT]`` may stand instead, with ``served``),
    ``--no-reconnect`` and ``--realtime``. ``port`` False leaves out
    ``PORT PARAMS`` for a command that makes its own sensor."""
    if port:
        nargs = "?" if served else None
        parser.add_argument("port", nargs=nargs, type=_port_name, metavar="PORT", help=PORT_HELP)
        parser.add_argument(
            "params",
            nargs=nargs,
            metavar="PARAMS",
            help="the sensor's parameter file, made by its maker's calibration and shipped with it",
        )
    parser.add_argument(
        "--no-reconnect",
        dest="reconnect",
        action="store_false",
        help="stop when the device goes away (exit 4) instead of waiting for it to come back",
    )
    parser.add_argument(
        "--realtime",
        action="store_true",
        help="run the port's reader at real-time priority (Linux: needs root, CAP_SYS_NICE or ulimit -r 10)",
    )
    if served:
        remote = parser.add_argument_group("a sensor served by 'nervlane serve', instead of PORT PARAMS")
        remote.add_argument("--from", dest="source_name", metavar="NAME", help="the name the sensor is served under")
        remote.add_argument(
            "--connect",
            type=_endpoint,
            metavar="ENDPOINT",
            help="where to reach it, like tcp/192.168.1.20:7447 (default: this machine, tcp/127.0.0.1:7447)",
        )


def _source(a: argparse.Namespace) -> SourceOptions:
    """The source the arguments name. Raises ToolError (EXIT_USAGE) when
    they name none or both kinds."""
    if a.source_name is not None:
        if a.port is not None or a.params is not None:
            raise ToolError("give either PORT PARAMS or --from NAME, not both", EXIT_USAGE)
        if a.realtime:
            raise ToolError("--realtime is for the program that reads the port: give it to nervlane serve", EXIT_USAGE)
        return ServedSource(a.source_name, a.connect, reconnect=a.reconnect)
    if a.connect is not None:
        raise ToolError("--connect goes with --from NAME", EXIT_USAGE)
    if a.port is None or a.params is None:
        raise ToolError("give the sensor's PORT and PARAMS file, or --from NAME", EXIT_USAGE)
    return _port_source(a)


def _port_source(a: argparse.Namespace) -> PortSource:
    return PortSource(a.port, a.params, reconnect=a.reconnect, realtime=a.realtime)


def _add_page_arguments(parser: argparse.ArgumentParser) -> None:
    """The page's options, shared by ``view`` and ``demo --view``."""
    parser.add_argument("--http", metavar="HOST:PORT", help=HTTP_HELP)
    parser.add_argument("--no-browser", action="store_true", help="print the URL without opening a browser")
    parser.add_argument("--require-token", action="store_true", help="ask for the URL's token on loopback too")
    parser.add_argument(
        "--record-dir",
        default=os.curdir,
        metavar="DIR",
        help="where the page's Record button writes (default: the working folder)",
    )
    _add_unit(parser, UNIT_HELP + "; overrides the layout file's")
    parser.add_argument(
        "--scale",
        type=_scale,
        default=None,
        metavar="SCALE",
        help="the heat map's colour scale: auto follows the recent peak (default); LOW:HIGH, such as 0:20, stays fixed",
    )


def _page(a: argparse.Namespace, layout: str | None, seconds: float | None) -> PageOptions:
    return PageOptions(a.http, not a.no_browser, a.require_token, a.record_dir, layout, seconds, a.unit, a.scale)


# Arguments of one name that several commands take, each the same kind of value


def _add_seconds(parser: argparse.ArgumentParser, text: str) -> None:
    parser.add_argument("--seconds", type=_positive_float, metavar="S", help=text)


def _add_unit(parser: argparse.ArgumentParser, text: str = UNIT_HELP) -> None:
    parser.add_argument("--unit", type=_unit, metavar="TEXT", help=text)


def _add_force(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--force", action="store_true", help=f"replace {what}")


def _add_format(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=FORMATS, default="binary", metavar="FORMAT", help=FORMAT_HELP)


def _add_layout(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--layout", metavar="FILE.json", help=LAYOUT_HELP)


# --------------------------------------------------------------------------
# The commands: options made, then the command's module imported and run


def _ports(_a: argparse.Namespace) -> None:
    from .commands import ports

    ports.run()


def _simulate(a: argparse.Namespace) -> None:
    from .commands import simulate

    simulate.run(SimulateOptions(a.format, a.rate, a.taxels, a.triaxials, a.params, a.frames, a.seconds, a.seed))


def _monitor(a: argparse.Namespace) -> None:
    options = MonitorOptions(_source(a), a.raw, a.zero, a.seconds, a.rate, a.unit)
    from .commands import monitor

    monitor.run(options)


def _record(a: argparse.Namespace) -> None:
    options = RecordOptions(_source(a), a.output, a.seconds, a.raw_only, a.force, a.unit, a.name)
    from .commands import record

    record.run(options)


def _recover(a: argparse.Namespace) -> None:
    from .commands import record

    record.run_recover(RecoverOptions(a.file, a.force))


def _convert(a: argparse.Namespace) -> None:
    from .commands import convert

    convert.run(ConvertOptions(a.input, a.output, a.force))


def _view(a: argparse.Namespace) -> None:
    options = ViewOptions(_source(a), _page(a, a.layout, a.seconds))
    from .commands import view

    view.run(options)


def _plot(a: argparse.Namespace) -> None:
    from .commands import plot

    plot.run(PlotOptions(a.file, a.output, a.unit, a.layout))


def _params(a: argparse.Namespace) -> None:
    from .commands import params

    params.run(ParamsOptions(a.action, a.file, a.output))


def _demo(a: argparse.Namespace) -> None:
    seconds = a.seconds if a.seconds is not None or a.view else 5.0
    page = _page(a, None, seconds) if a.view else None
    options = DemoOptions(page, seconds, a.format, reconnect=a.reconnect, realtime=a.realtime)
    from .commands import demo

    demo.run(options)


def _serve(a: argparse.Namespace) -> None:
    listen = None if a.listen is None else tuple(a.listen)
    options = ServeOptions(_port_source(a), a.name, listen, a.scout, a.zenoh_config)
    from .commands import serve

    serve.run(options)


# Each command's help line and description, as `nervlane --help` and
# `nervlane COMMAND --help` show them.
_COMMANDS: Final[dict[str, tuple[str, str]]] = {
    "ports": (
        "list the serial ports (device, stable name, USB VID:PID, serial number)",
        "Lists the serial ports present: the device, the stable name that stays the same when the "
        "adapter is plugged in again (Linux: /dev/serial/by-id/...), its description, USB VID:PID, serial "
        "number and manufacturer. Values are never cut: a narrow terminal wraps them, a pipe gets whole lines.",
    ),
    "simulate": (
        "run a virtual sensor on a pseudo-terminal (Linux, macOS)",
        "Prints the port's path on the first line of standard output, then streams frames "
        "until Ctrl+C or the count. With --params FILE it also writes the virtual sensor's parameter file: "
        "give the port and FILE to monitor, record, view or serve to read it.",
    ),
    "monitor": (
        "live view of a connected sensor",
        "Shows the sensor's values live in the terminal, each under the name a person counts by (taxel 0, "
        "triaxial 0 x), with the module's counters: frames decoded per second, read, overwritten, rejected and "
        "bytes discarded. Keys: z zeroes, q quits.",
    ),
    "record": (
        "record every frame to CSV, .npz or MCAP",
        "One row per frame: sequence number, time, raw readings and calibrated "
        "values. Records until --seconds pass, Ctrl+C or SIGTERM.",
    ),
    "recover": (
        "after a crash, write FILE.npz from its journal FILE.npz.journal.csv, or finish FILE.mcap",
        "record -o FILE.npz writes the .npz when it ends; until then every row goes to the journal "
        "FILE.npz.journal.csv. record -o FILE.mcap writes whole chunks as it goes, and the summary and index at "
        "the end. After a crash or a killed process, this writes FILE.npz from the journal, or finishes FILE.mcap "
        "so that every MCAP reader opens it.",
    ),
    "convert": (
        "write a recording again as .csv, .npz or .mcap",
        "Everything the target format can hold is kept: frames, times, details, outages and the parameter file.",
    ),
    "view": (
        "the sensor live in a web browser (needs the view extra)",
        "Serves a page with the taxels as a heat map, a strip chart and the connection's "
        "state, with Zero and Record buttons. The first line printed is the page's URL.",
    ),
    "plot": (
        "plot a recording to PNG (needs the plot extra)",
        "Draws a recording that nervlane record wrote: the values over time, broken where "
        "the sensor was away or frames are missing, and a heat map of the taxels at the strongest press, "
        "into a PNG. The unit is --unit, else the recording's; the cells sit where --layout puts them, "
        "else on a grid in output order.",
    ),
    "params": (
        "show, check or convert a parameter file",
        PARAMS_DESCRIPTION,
    ),
    "demo": (
        "virtual sensor + live view, no hardware needed",
        "The whole chain with no hardware (Linux, macOS): a virtual sensor on a pseudo-terminal "
        "with its parameter file in a temporary folder, the module connected and zeroed, and the values live "
        "in the terminal (or, with --view, in a web browser), then what was read.",
    ),
    "serve": (
        "share a sensor with other programs and machines over Zenoh (needs the remote extra)",
        "Owns the port and publishes the sensor's frames, counters and details under "
        "nervlane/NAME/; read them with nervlane.remote.RemoteSensor(NAME).",
    ),
}


def _command(sub: Any, name: str, **options: Any) -> argparse.ArgumentParser:
    """The parser of command ``name``, with its help line and description from ``_COMMANDS``."""
    help_line, description = _COMMANDS[name]
    parser: argparse.ArgumentParser = sub.add_parser(name, help=help_line, description=description, **options)
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="nervlane",
        description="Tools for Nervlane tactile sensors: watch, record and plot a sensor, "
        "check parameter files, or run a virtual sensor.",
        epilog="exit codes: 0 ok, 1 error, 2 usage, 3 port cannot be opened (or 'auto' finds no single "
        "USB port), 4 device went away, 5 optional extra missing",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    parser.add_argument(
        "--verbose",
        action="store_true",
        help="with an error, also print the module's own message (C++ source file and line)",
    )
    sub = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", help="one of these; 'nervlane COMMAND --help' tells more"
    )

    p = _command(sub, "ports")
    p.set_defaults(func=_ports)

    p = _command(sub, "simulate")
    _add_format(p)
    p.add_argument("--rate", type=_positive_float, default=100.0, metavar="HZ", help="frames per second (default 100)")
    p.add_argument("--taxels", type=_count, default=16, metavar="N", help="taxel sensors (default 16)")
    p.add_argument("--triaxials", type=_count, default=2, metavar="N", help="triaxial sensors (default 2)")
    p.add_argument(
        "--params",
        metavar="FILE",
        help="write the matching parameter file here: monitor, record and view need it to read this sensor",
    )
    g = p.add_mutually_exclusive_group()
    g.add_argument("--frames", type=_positive_int, metavar="N", help="stop after N frames")
    g.add_argument("--seconds", type=_positive_float, metavar="S", help="stop after S seconds")
    p.add_argument(
        "--seed", type=int, metavar="N", help="the same N gives the same signal (default: a new one each run)"
    )
    p.set_defaults(func=_simulate)

    p = _command(sub, "monitor")
    _add_source_arguments(p)
    p.add_argument("--raw", action="store_true", help="show raw readings instead of calibrated values")
    p.add_argument("--zero", action="store_true", help="zero all sensors at start")
    _add_seconds(p, "stop after S seconds (no keys read)")
    p.add_argument(
        "--rate",
        type=_positive_float,
        metavar="HZ",
        help="the device's nominal frame rate; the view then counts frames that never arrived",
    )
    _add_unit(p)
    p.set_defaults(func=_monitor)

    p = _command(sub, "record")
    _add_source_arguments(p)
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="FILE",
        help="FILE.csv (with FILE.csv.json, the run's details), FILE.npz (numpy arrays), or FILE.mcap "
        "(ROS 2 messages, for Foxglove and ros2 bag; needs the mcap extra)",
    )
    _add_seconds(p, "stop after S seconds")
    p.add_argument("--raw-only", action="store_true", help="leave out the calibrated values")
    _add_force(p, "an existing recording of that name")
    _add_unit(p, UNIT_HELP + "; kept in the recording's details")
    p.add_argument(
        "--name",
        type=_recording_name,
        metavar="NAME",
        help="the sensor's name in an MCAP's topics, /nervlane/NAME/frames (default: the served name, "
        "or the port's base name)",
    )
    p.set_defaults(func=_record)

    p = _command(sub, "recover")
    p.add_argument("file", metavar="FILE", help="the recording's name (.npz or .mcap), as given to record -o")
    _add_force(p, "FILE.npz if it exists")
    p.set_defaults(func=_recover)

    p = _command(sub, "convert")
    p.add_argument("input", metavar="IN", help="a recording: .csv, .npz or .mcap")
    p.add_argument("output", metavar="OUT", help="the new recording: .csv, .npz or .mcap")
    _add_force(p, "OUT if it exists")
    p.set_defaults(func=_convert)

    p = _command(sub, "view")
    _add_source_arguments(p)
    _add_layout(p)
    _add_seconds(p, "stop after S seconds (default: Ctrl+C)")
    _add_page_arguments(p)
    p.set_defaults(func=_view)

    p = _command(sub, "plot")
    p.add_argument("file", metavar="FILE", help="a .csv, .npz or .mcap written by 'nervlane record'")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png", help="the picture to write")
    _add_unit(p, "the calibrated values' unit (default: the recording's)")
    _add_layout(p)
    p.set_defaults(func=_plot)

    p = _command(sub, "params", formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("action", choices=PARAMS_ACTIONS, metavar="ACTION", help="one of the actions above")
    p.add_argument(
        "file",
        metavar="FILE",
        help="the parameter file (from-json: the JSON file); show and check also take a recording, "
        "for the parameter file inside it",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="where to-json and from-json write (default: standard output)")
    p.set_defaults(func=_params)

    p = _command(sub, "demo")
    _add_seconds(p, "how long (default 5; with --view, until Ctrl+C)")
    _add_format(p)
    p.add_argument("--view", action="store_true", help="show it in a web browser, as 'nervlane view' does")
    _add_source_arguments(p, port=False, served=False)
    _add_page_arguments(p)
    p.set_defaults(func=_demo)

    p = _command(sub, "serve")
    _add_source_arguments(p, served=False)
    p.add_argument(
        "--name",
        required=True,
        type=_served_name,
        metavar="NAME",
        help="the name clients ask for (key prefix nervlane/NAME/)",
    )
    p.add_argument(
        "--listen",
        action="append",
        type=_endpoint,
        metavar="ENDPOINT",
        help="where clients connect, like tcp/127.0.0.1:7447, the default: this machine only; "
        "tcp/0.0.0.0:7447 shares the sensor with the local network. May be repeated",
    )
    p.add_argument("--scout", action="store_true", help="let Zenoh peers find this server by multicast scouting")
    p.add_argument(
        "--zenoh-config",
        metavar="FILE",
        help="a Zenoh configuration file (TLS, access control, routers); the options above apply on top of it",
    )
    p.set_defaults(func=_serve)
    return parser


def _sigterm(_signum: int, _frame: FrameType | None) -> None:
    # Lets a supervisor's terminate() end a command as cleanly as Ctrl+C.
    raise KeyboardInterrupt


def _quiet_stdout() -> None:
    # The reader of our output has gone (``nervlane monitor ... | head``).
    # Whatever is still buffered would fail again when Python exits and
    # print a complaint; point standard output at nothing instead.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns its exit code."""
    args = build_parser().parse_args(argv)
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, _sigterm)
    try:
        args.func(args)
    except ToolError as e:
        try:
            print(f"error: {e}", file=sys.stderr)
            if args.verbose and e.detail:
                print(f"  module's message: {e.detail}", file=sys.stderr)
        except BrokenPipeError:
            pass
        return e.code
    except KeyboardInterrupt:
        pass
    except BrokenPipeError:
        _quiet_stdout()
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
