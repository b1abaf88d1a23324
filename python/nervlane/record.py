"""``nervlane record``: every frame read, to CSV (and .npz)."""

from __future__ import annotations

import csv
import os
import statistics
import tempfile
import time
from dataclasses import dataclass, field
from typing import IO, Any

from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

from .connection import disconnected_message, open_sensor
from .console import ToolConsole
from .document import output_names, raw_names
from .errors import EXIT_DISCONNECTED, EXIT_USAGE, ToolError
from .files import atomic_path

READ_TIMEOUT_MS = 200
TIME_COLUMN = "time_s"
"""The first column of a recording; ``nervlane plot`` knows a recording by it."""


def _number(v: float) -> str:
    # Exact either way; whole numbers (every binary reading) without ".0".
    return str(int(v)) if v.is_integer() and abs(v) < 2**53 else repr(v)


@dataclass
class Summary:
    frames: int = 0
    seconds: float = 0.0
    intervals: list[float] = field(default_factory=list)

    @property
    def rate(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else 0.0

    def gaps(self) -> tuple[int, float]:
        """(intervals longer than twice the median, the longest interval)."""
        if len(self.intervals) < 2:
            return 0, max(self.intervals, default=0.0)
        median = statistics.median(self.intervals)
        return sum(1 for d in self.intervals if d > 2 * median), max(self.intervals)


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def _write_npz(path: str, csv_path: str, raw_count: int, names: list[str]) -> None:
    np = _numpy()
    with open(csv_path, newline="") as f:
        rows = list(csv.reader(f))
    header, body = rows[0], rows[1:]
    table = np.array([[float(x) if x != "" else np.nan for x in r] for r in body], dtype=float).reshape(
        len(body), len(header)
    )
    with atomic_path(path, ".npz") as tmp:  # savez adds .npz to a name without it
        np.savez_compressed(
            tmp,
            time=table[:, 0],
            raw=table[:, 1 : 1 + raw_count],
            calibrated=table[:, 1 + raw_count :],
            calibrated_names=np.array(names),
        )


def run_record(port: str, params: str, out: str, seconds: float, raw_only: bool) -> None:
    """Record for ``seconds``. Raises ToolError. A device that goes away
    mid-way still leaves the frames read so far on disk (EXIT_DISCONNECTED)."""
    if seconds <= 0:
        raise ToolError("--seconds must be positive", EXIT_USAGE)
    npz = out.lower().endswith(".npz")
    csv_path = out[:-4] + ".csv" if npz else out
    console = ToolConsole(stderr=True)
    if npz and _numpy() is None:
        console.print("note: numpy is not installed (pip install 'nervlane-comm[plot]'); writing only " + csv_path)
        npz = False
    out_dir = os.path.dirname(os.path.abspath(csv_path))
    if not os.path.isdir(out_dir):
        raise ToolError(f"cannot write {csv_path}: folder {out_dir} does not exist")

    comms, port, doc = open_sensor(port, params)
    names = [] if raw_only else output_names(doc, len(comms.read(0)))
    summary = Summary()
    lost: ToolError | None = None
    raw_widths: set[int] = set()
    try:
        # Rows go to a nameless file first: the header needs the widest frame.
        with tempfile.TemporaryFile("w+", newline="", dir=out_dir) as rows:
            with Progress(
                TextColumn("recording"), BarColumn(), TextColumn("{task.fields[frames]} frames"),
                TimeRemainingColumn(), console=console, transient=True,
            ) as progress:
                task = progress.add_task("record", total=seconds, frames=0)
                writer = csv.writer(rows, lineterminator="\n")
                start = time.monotonic()
                last: float | None = None
                while (now := time.monotonic()) - start < seconds:
                    try:
                        raw = comms.read_raw(READ_TIMEOUT_MS)
                    except KeyboardInterrupt:
                        console.print("stopped early (Ctrl+C); keeping what was recorded")
                        break
                    t = time.monotonic()
                    if not raw:
                        if not comms.is_connected():
                            lost = ToolError(disconnected_message(port), EXIT_DISCONNECTED)
                            break
                        continue
                    # The calibrated values of the frame just taken; at a very
                    # high frame rate they may belong to the next frame instead.
                    cal = [] if raw_only else comms.read(0)
                    if last is not None:
                        summary.intervals.append(t - last)
                    last = t
                    raw_widths.add(len(raw))
                    writer.writerow([f"{t - start:.6f}", *map(_number, raw), *map(_number, cal)])
                    summary.frames += 1
                    progress.update(task, completed=min(seconds, now - start), frames=summary.frames)
                summary.seconds = time.monotonic() - start
            rows.seek(0)
            raw_count = _finish_csv(rows, csv_path, raw_widths, names)
        if npz:
            _write_npz(out, csv_path, raw_count, names)
    except BrokenPipeError:
        raise
    except OSError as e:
        raise ToolError(f"cannot write {csv_path}: {e.strerror or e}") from e
    finally:
        del comms
    gaps, longest = summary.gaps()
    print(
        f"recorded {summary.frames} frames in {summary.seconds:.2f} s ({summary.rate:.1f}/s) to {csv_path}"
        + (f" and {out}" if npz else "")
    )
    print(f"gaps (intervals over twice the median): {gaps}; longest interval {longest * 1000:.1f} ms")
    if len(raw_widths) > 1:
        print(f"note: frames of different lengths ({sorted(raw_widths)}); short rows are padded with empty cells")
    if lost is not None:
        raise lost


def _finish_csv(rows: IO[str], path: str, raw_widths: set[int], names: list[str]) -> int:
    """Write ``path`` whole: the header, then the rows. Frames of differing
    length (which a sane device never sends) get their rows padded, so that
    every column keeps one meaning. Returns the number of raw columns."""
    raw_count = max(raw_widths, default=0)
    header = [TIME_COLUMN, *raw_names(raw_count), *names]
    with atomic_path(path) as tmp, open(tmp, "w", newline="") as dst:
        writer = csv.writer(dst, lineterminator="\n")
        writer.writerow(header)
        for row in csv.reader(rows):
            n_raw = len(row) - 1 - len(names)
            if n_raw == raw_count:
                writer.writerow(row)
            else:
                pad = [""] * (raw_count - n_raw)
                writer.writerow([*row[: 1 + n_raw], *pad, *row[1 + n_raw :]])
    return raw_count
