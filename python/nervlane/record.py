"""``nervlane record``: every frame read, to CSV (and .npz)."""

from __future__ import annotations

import csv
import os
import statistics
import time
from dataclasses import dataclass, field
from typing import Any

from rich.console import Console
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

from .connection import EXIT_DISCONNECTED, EXIT_OK, ToolError, disconnected_message, open_sensor
from .params import ParamsError, load_msgpack

READ_TIMEOUT_MS = 200


def output_names(params_path: str, count: int) -> list[str]:
    """Names of the calibrated columns: what sensor writes each output."""
    names = [f"out_{i}" for i in range(count)]
    try:
        document, _ = load_msgpack(params_path)
        triaxials = document[1] if len(document) > 1 else []
        taxels = document[2] if len(document) > 2 else []
        for t, rec in enumerate(triaxials):
            for axis, pos in rec["SensorParameters"]["output_map"].items():
                if 0 <= pos < count and 0 <= axis <= 2:
                    names[pos] = f"tri{t}_{'xyz'[axis]}"
        for rec in taxels:
            for pos in rec["SensorParameters"]["output_map"].values():
                if 0 <= pos < count and names[pos].startswith("out_"):
                    names[pos] = f"taxel_{pos}"
    except (ParamsError, LookupError, TypeError, AttributeError):
        pass  # the module accepted the file; plain names will do
    return names


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
    tmp = f"{path}.tmp{os.getpid()}.npz"
    try:
        np.savez_compressed(
            tmp,
            time=table[:, 0],
            raw=table[:, 1 : 1 + raw_count],
            calibrated=table[:, 1 + raw_count :],
            calibrated_names=np.array(names),
        )
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def run_record(port: str, params: str, out: str, seconds: float, raw_only: bool) -> int:
    """Record for ``seconds``. Raises ToolError. A device that goes away
    mid-way still leaves the frames read so far on disk (exit code 4)."""
    if seconds <= 0:
        raise ToolError("--seconds must be positive", 2)
    npz = out.lower().endswith(".npz")
    csv_path = out[:-4] + ".csv" if npz else out
    console = Console(stderr=True)
    if npz and _numpy() is None:
        console.print("note: numpy is not installed (pip install 'nervlane-comm[plot]'); writing only " + csv_path)
        npz = False
    out_dir = os.path.dirname(os.path.abspath(csv_path))
    if not os.path.isdir(out_dir):
        raise ToolError(f"cannot write {csv_path}: folder {out_dir} does not exist")

    comms = open_sensor(port, params)
    names = [] if raw_only else output_names(params, len(comms.read(0)))
    tmp = f"{csv_path}.tmp{os.getpid()}"
    summary = Summary()
    lost: ToolError | None = None
    raw_widths: set[int] = set()
    try:
        with open(tmp, "w", newline="") as f, Progress(
            TextColumn("recording"), BarColumn(), TextColumn("{task.fields[frames]} frames"),
            TimeRemainingColumn(), console=console, transient=True,
        ) as progress:
            task = progress.add_task("record", total=seconds, frames=0)
            writer = csv.writer(f, lineterminator="\n")
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
        raw_count = _finish_csv(tmp, csv_path, raw_widths, names)
        if npz:
            _write_npz(out, csv_path, raw_count, names)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
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
    return EXIT_OK


def _finish_csv(tmp: str, path: str, raw_widths: set[int], names: list[str]) -> int:
    """Put the header on and move the file into place. Frames of differing
    length (which a sane device never sends) get their rows padded, so that
    every column keeps one meaning. Returns the number of raw columns."""
    raw_count = max(raw_widths, default=0)
    header = ["time_s", *(f"raw_{i}" for i in range(raw_count)), *names]
    final = f"{tmp}.hdr"
    try:
        with open(tmp, newline="") as src, open(final, "w", newline="") as dst:
            writer = csv.writer(dst, lineterminator="\n")
            writer.writerow(header)
            for row in csv.reader(src):
                n_raw = len(row) - 1 - len(names)
                if n_raw == raw_count:
                    writer.writerow(row)
                else:
                    pad = [""] * (raw_count - n_raw)
                    writer.writerow([*row[: 1 + n_raw], *pad, *row[1 + n_raw :]])
        os.replace(final, path)
    finally:
        if os.path.exists(final):
            os.unlink(final)
    return raw_count
