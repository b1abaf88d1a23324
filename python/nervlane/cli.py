"""The ``nervlane`` command: ports, simulate, monitor, record, recover, view,
plot, params, demo, serve.

Exit codes (nervlane.errors): 0 done; 1 error (bad file, module missing,
...); 2 bad usage; 3 the port cannot be opened; 4 the device went away;
5 an optional extra is missing (matplotlib for ``plot``, Zenoh for ``serve``
and ``--from``, aiohttp for ``view``).

Every command raises ToolError; only ``main`` prints it and picks the exit
code.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Sequence
from types import FrameType

from . import package_version
from .errors import EXIT_OK, ToolError
from .formats import FORMATS
from .sensor.source import add_source_arguments
from .view import PageOptions, add_page_arguments, add_view_arguments


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


# Each command imports its module only when it runs: ``nervlane ports``
# should not pay for numpy or rich's live view.


def _ports(_a: argparse.Namespace) -> None:
    from .sensor.ports import run_ports

    run_ports()


def _simulate(a: argparse.Namespace) -> None:
    from .virtual.simulate import run_simulate

    run_simulate(a.format, a.rate, a.taxels, a.triaxials, a.params, a.frames, a.seconds, a.seed)


def _monitor(a: argparse.Namespace) -> None:
    from .monitor import run_monitor

    run_monitor(a, a.raw, a.zero, a.seconds, a.rate)


def _record(a: argparse.Namespace) -> None:
    from .record import run_record

    run_record(a, a.output, a.seconds, a.raw_only, a.force)


def _recover(a: argparse.Namespace) -> None:
    from .record import run_recover

    run_recover(a.file, a.force)


def _view(a: argparse.Namespace) -> None:
    from .view.command import run_view

    run_view(a)


def _plot(a: argparse.Namespace) -> None:
    from .plot import run_plot

    run_plot(a.file, a.output)


def _params(a: argparse.Namespace) -> None:
    from .params import ACTIONS

    ACTIONS[a.action](a.file, a.output)


def _demo(a: argparse.Namespace) -> None:
    from .demo import run_demo

    page = PageOptions.from_args(a) if a.view else None
    run_demo(a.seconds if a.seconds is not None or a.view else 5.0, a.format, page, not a.no_reconnect, a.realtime)


def _serve(a: argparse.Namespace) -> None:
    from .commands.serve import run_serve

    run_serve(a)


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
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("ports", help="list the serial ports (device, description, USB VID:PID, serial number)")
    p.set_defaults(func=_ports)

    p = sub.add_parser(
        "simulate",
        help="run a virtual sensor on a pseudo-terminal (Linux, macOS)",
        description="Prints the port path on the first line of standard output, then "
        "streams frames until Ctrl+C or the count.",
    )
    p.add_argument("--format", choices=FORMATS, default="binary")
    p.add_argument("--rate", type=_positive_float, default=100.0, help="frames per second (default 100)")
    p.add_argument("--taxels", type=lambda s: _count(s), default=16, help="taxel sensors (default 16)")
    p.add_argument("--triaxials", type=lambda s: _count(s), default=2, help="triaxial sensors (default 2)")
    p.add_argument("--params", metavar="FILE", help="write the matching parameter file here")
    g = p.add_mutually_exclusive_group()
    g.add_argument("--frames", type=_positive_int, metavar="N", help="stop after N frames")
    g.add_argument("--seconds", type=_positive_float, metavar="S", help="stop after S seconds")
    p.add_argument("--seed", type=int, help="repeatable signal")
    p.set_defaults(func=_simulate)

    p = sub.add_parser("monitor", help="live view of a connected sensor")
    add_source_arguments(p)
    p.add_argument("--raw", action="store_true", help="show raw readings instead of calibrated values")
    p.add_argument("--zero", action="store_true", help="zero all sensors at start")
    p.add_argument("--seconds", type=_positive_float, metavar="S", help="stop after S seconds (no keys read)")
    p.add_argument(
        "--rate",
        type=_positive_float,
        metavar="HZ",
        help="the device's nominal frame rate; the view then counts frames that never arrived",
    )
    p.set_defaults(func=_monitor)

    p = sub.add_parser(
        "record",
        help="record every frame to CSV or .npz",
        description="One row per frame: sequence number, time, raw readings and calibrated "
        "values. Records until --seconds pass, Ctrl+C or SIGTERM.",
    )
    add_source_arguments(p)
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="FILE",
        help="FILE.csv (with FILE.csv.json, the run's details), or FILE.npz (numpy arrays)",
    )
    p.add_argument("--seconds", type=_positive_float, metavar="S", help="stop after S seconds")
    p.add_argument("--raw-only", action="store_true", help="leave out the calibrated values")
    p.add_argument("--force", action="store_true", help="replace an existing recording of that name")
    p.set_defaults(func=_record)

    p = sub.add_parser("recover", help="after a crash, write FILE.npz from its journal FILE.npz.journal.csv")
    p.add_argument("file", metavar="FILE.npz", help="the recording's name, as given to record -o")
    p.add_argument("--force", action="store_true", help="replace FILE.npz if it exists")
    p.set_defaults(func=_recover)

    p = sub.add_parser(
        "view",
        help="the sensor live in a web browser (needs the view extra)",
        description="Serves a page with the taxels as a heat map, a strip chart and the connection's "
        "state, with Zero and Record buttons. The first line printed is the page's URL.",
    )
    add_source_arguments(p)
    add_view_arguments(p, _positive_float)
    p.set_defaults(func=_view)

    p = sub.add_parser("plot", help="plot a recording to PNG (needs the plot extra)")
    p.add_argument("file", help="a .csv or .npz written by 'nervlane record'")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png")
    p.set_defaults(func=_plot)

    p = sub.add_parser("params", help="show, check or convert a parameter file")
    p.add_argument("action", choices=("show", "check", "to-json", "from-json"))
    p.add_argument("file")
    p.add_argument("-o", "--output", metavar="OUT", help="where to-json/from-json write (to-json: stdout by default)")
    p.set_defaults(func=_params)

    p = sub.add_parser("demo", help="virtual sensor + live view, no hardware needed")
    p.add_argument(
        "--seconds", type=_positive_float, metavar="S", help="how long (default 5; with --view, until Ctrl+C)"
    )
    p.add_argument("--format", choices=FORMATS, default="binary")
    p.add_argument("--view", action="store_true", help="show it in a web browser, as 'nervlane view' does")
    p.add_argument("--no-reconnect", action="store_true", help="stop when the virtual device goes away (exit 4)")
    p.add_argument("--realtime", action="store_true", help="run the port's reader at real-time priority")
    add_page_arguments(p)
    p.set_defaults(func=_demo)

    from .commands.serve import add_arguments as serve_arguments

    p = sub.add_parser(
        "serve",
        help="share a sensor with other programs and machines over Zenoh (needs the remote extra)",
        description="Owns the port and publishes the sensor's frames, counters and details under "
        "nervlane/NAME/; read them with nervlane.remote.RemoteSensor(NAME).",
    )
    serve_arguments(p)
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
