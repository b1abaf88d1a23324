"""The ``nervlane`` command: simulate, monitor, record, plot, params, demo.

Exit codes: 0 done; 1 error (bad file, module missing, ...); 2 bad usage;
3 the port cannot be opened; 4 the device went away; 5 an optional extra
(numpy, matplotlib) is missing.
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence
from types import FrameType

from .connection import EXIT_USAGE, ToolError, report
from .sim import FORMATS


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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="nervlane",
        description="Tools for Nervlane tactile sensors: watch, record and plot a sensor, "
        "check parameter files, or run a virtual sensor.",
        epilog="exit codes: 0 ok, 1 error, 2 usage, 3 port cannot be opened, 4 device went away, "
        "5 optional extra missing",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("simulate", help="run a virtual sensor on a pseudo-terminal (Linux, macOS)",
                       description="Prints the port path on the first line of standard output, then "
                       "streams frames until Ctrl+C or the count.")
    p.add_argument("--format", choices=FORMATS, default="binary")
    p.add_argument("--rate", type=_positive_float, default=100.0, help="frames per second (default 100)")
    p.add_argument("--taxels", type=lambda s: _count(s), default=16, help="taxel sensors (default 16)")
    p.add_argument("--triaxials", type=lambda s: _count(s), default=2, help="triaxial sensors (default 2)")
    p.add_argument("--params", metavar="FILE", help="write the matching parameter file here")
    g = p.add_mutually_exclusive_group()
    g.add_argument("--frames", type=_positive_int, metavar="N", help="stop after N frames")
    g.add_argument("--seconds", type=_positive_float, metavar="S", help="stop after S seconds")
    p.add_argument("--seed", type=int, help="repeatable signal")

    p = sub.add_parser("monitor", help="live view of a connected sensor")
    p.add_argument("port")
    p.add_argument("params", help="the sensor's parameter file")
    p.add_argument("--raw", action="store_true", help="show raw readings instead of calibrated values")
    p.add_argument("--zero", action="store_true", help="zero all sensors at start")
    p.add_argument("--seconds", type=_positive_float, metavar="S", help="stop after S seconds (no keys read)")
    p.add_argument("--rate", type=_positive_float, metavar="HZ",
                   help="the device's nominal frame rate; makes the skipped-frame count exact")

    p = sub.add_parser("record", help="record frames to CSV (and .npz)")
    p.add_argument("port")
    p.add_argument("params", help="the sensor's parameter file")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="FILE.csv, or FILE.npz for both")
    p.add_argument("--seconds", type=_positive_float, required=True, metavar="S")
    p.add_argument("--raw-only", action="store_true", help="leave out the calibrated values")

    p = sub.add_parser("plot", help="plot a recording to PNG (needs the plot extra)")
    p.add_argument("file", help="a CSV written by 'nervlane record'")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png")

    p = sub.add_parser("params", help="show, check or convert a parameter file")
    p.add_argument("action", choices=("show", "check", "to-json", "from-json"))
    p.add_argument("file")
    p.add_argument("-o", "--output", metavar="OUT", help="where to-json/from-json write (to-json: stdout by default)")

    p = sub.add_parser("demo", help="virtual sensor + live view, no hardware needed")
    p.add_argument("--seconds", type=_positive_float, default=5.0, metavar="S", help="how long (default 5)")
    p.add_argument("--format", choices=FORMATS, default="binary")
    return parser


def _sigterm(_signum: int, _frame: FrameType | None) -> None:
    # Lets a supervisor's terminate() end a command as cleanly as Ctrl+C.
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, _sigterm)
    try:
        if args.command == "simulate":
            from .sim import run_simulate

            try:
                return run_simulate(args.format, args.rate, args.taxels, args.triaxials, args.params,
                                    args.frames, args.seconds, args.seed)
            except (ValueError, OSError) as e:
                raise ToolError(str(e)) from e
        if args.command == "monitor":
            from .monitor import run_monitor

            return run_monitor(args.port, args.params, args.raw, args.zero, args.seconds, args.rate)
        if args.command == "record":
            from .record import run_record

            return run_record(args.port, args.params, args.output, args.seconds, args.raw_only)
        if args.command == "plot":
            from .plot import run_plot

            return run_plot(args.file, args.output)
        if args.command == "params":
            from .params import run

            return run(args.action, args.file, args.output)
        if args.command == "demo":
            from .demo import run_demo

            return run_demo(args.seconds, args.format)
    except ToolError as e:
        return report(e)
    except KeyboardInterrupt:
        return 0
    print(f"error: unknown command {args.command!r}", file=sys.stderr)
    return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
