"""``nervlane simulate``: a virtual sensor on a pseudo-terminal.

A person points the module, or any serial tool, at its port."""

from __future__ import annotations

import sys

from ..errors import EXIT_USAGE, ToolError
from ..formats import Format
from ..options import SimulateOptions
from ..virtual.pty_device import PtyDevice
from ..virtual.signal_model import Layout, SignalModel, write_params


def run(options: SimulateOptions) -> None:
    """Prints the port, then streams until done or Ctrl+C. Raises ToolError
    (EXIT_USAGE for a layout the format cannot carry)."""
    fmt, rate, params, seconds = options.format, options.rate, options.params, options.seconds
    try:
        layout = Layout(options.taxels, options.triaxials)
    except ValueError as e:
        raise ToolError(str(e)) from e
    limit = Format.named(fmt).max_readings
    if limit is not None and layout.frame_size > limit:
        raise ToolError(
            f"a {fmt} frame carries at most {limit} readings; this layout needs "
            f"{layout.frame_size} (4 per triaxial + 1 per taxel)",
            EXIT_USAGE,
        )
    if params is not None:
        try:
            write_params(params, layout, fmt)
        except OSError as e:
            raise ToolError(f"cannot write {params}: {e.strerror or e}") from e
    count = options.frames
    if seconds is not None:
        count = max(1, round(seconds * rate))
    model = SignalModel(layout, options.seed, rate)
    try:
        with PtyDevice() as dev:
            print(dev.port, flush=True)
            print(
                f"virtual sensor on {dev.port}: {fmt} frames of {layout.frame_size} readings at {rate:g}/s"
                + (f", parameters in {params}" if params else "")
                + (" (Ctrl+C to stop)" if count is None else f", {count} frames"),
                file=sys.stderr,
                flush=True,
            )
            dev.stream_readings(fmt, model, rate, count)
            try:
                while not dev.wait(0.2):
                    pass
            except KeyboardInterrupt:
                pass
            dev.stop()
            print(f"sent {dev.frames_sent} frames ({dev.frames_dropped} dropped: port not drained)", file=sys.stderr)
    except BrokenPipeError:
        raise  # whoever read the port's name has gone: cli ends quietly
    except OSError as e:
        raise ToolError(f"cannot run the virtual sensor: {e.strerror or e}") from e
