"""``nervlane record``: every frame the sensor sends, once, to CSV or .npz.

Frames come from the module's frame queue, so none is missed however late
this loop runs, and each row is one frame: its sequence number, its time,
its raw readings and the calibrated values of that same frame.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import signal
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Final

import numpy as np
from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn

from .connection import DecodeWatch, device_gone, open_sensor
from .console import ToolConsole
from .document import output_names, raw_names
from .errors import EXIT_USAGE, ToolError
from .files import atomic_path, write_bytes_atomic

if TYPE_CHECKING:
    import nervlane_comm_py

SEQUENCE_COLUMN: Final = "sequence"
TIME_COLUMN: Final = "time_s"
"""The column ``nervlane plot`` knows a recording by: seconds since the recording started."""

QUEUE_FRAMES: Final = 1 << 15
"""What the module holds while this loop is busy elsewhere: 16 s at 2000 frames/s."""
TAKE_TIMEOUT_MS: Final = 200
PACE_S: Final = 0.02
"""The shortest pass of the loop: frames are taken in batches, not one by one."""
WRITE_EVERY_S: Final = 0.5
"""How often rows reach the file, so a crash loses at most this much."""

JOURNAL_SUFFIX: Final = ".journal.csv"
SIDECAR_SUFFIX: Final = ".json"

# The stops a person or a supervisor sends, by the name they know them by.
_STOP_SIGNALS: Final = {"SIGINT": "Ctrl+C", "SIGTERM": "SIGTERM", "SIGBREAK": "Ctrl+Break"}


def _number(v: float) -> str:
    # Exact either way; whole numbers (every binary reading) without ".0".
    return str(int(v)) if v.is_integer() and abs(v) < 2**53 else repr(v)


def _cell(v: float) -> str:
    return "" if v != v else _number(v)  # NaN: a reading this frame did not have


def _write_all(f: IO[bytes], data: bytes) -> None:
    view = memoryview(data)
    while view:
        n = f.write(view)
        view = view[n or 0 :]


# --------------------------------------------------------------------------
# Where a recording goes


@dataclass(frozen=True)
class Outputs:
    """The files one recording writes. A CSV recording is its own journal;
    an .npz gets its rows in ``NAME.npz.journal.csv`` while it runs, and
    the journal goes once the .npz is written. A CSV has its metadata in a
    sidecar ``CSV.json``; an .npz holds it inside."""

    target: str
    npz: bool

    @property
    def csv(self) -> str:
        return self.target + JOURNAL_SUFFIX if self.npz else self.target

    @property
    def sidecar(self) -> str:
        return self.csv + SIDECAR_SUFFIX

    @property
    def files(self) -> list[str]:
        return [self.target, self.csv, self.sidecar] if self.npz else [self.target, self.sidecar]


def plan_outputs(out: str, force: bool) -> Outputs:
    """The files for ``out``, checked before anything is recorded: a
    recording is never lost to a folder in the way, nor does it replace
    another unless ``force``. Raises ToolError (EXIT_USAGE)."""
    outputs = Outputs(out, out.lower().endswith(".npz"))
    folder = os.path.dirname(os.path.abspath(out))
    if os.path.isdir(out):
        raise ToolError(f"cannot record to {out}: it is a folder; name a file in it (run.csv or run.npz)", EXIT_USAGE)
    if not os.path.isdir(folder):
        raise ToolError(f"cannot record to {out}: folder {folder} does not exist", EXIT_USAGE)
    existing = [p for p in outputs.files if os.path.lexists(p)]
    for p in existing:
        if os.path.isdir(p):
            raise ToolError(f"cannot record to {out}: {p} is a folder", EXIT_USAGE)
    if existing and not force:
        raise ToolError(
            f"{' and '.join(existing)} already exist{'s' if len(existing) == 1 else ''}: choose another "
            "name, or give --force to replace",
            EXIT_USAGE,
        )
    return outputs


# --------------------------------------------------------------------------
# Writing


class CsvRows:
    """A CSV that is valid on disk at every moment: the header at once, then
    whole rows, handed to the system every ``WRITE_EVERY_S`` in one write,
    so a crash or SIGKILL leaves every row up to the last write."""

    def __init__(self, path: str, header: list[str], replace: bool) -> None:
        self.path = path
        self._file: IO[bytes] = open(path, "wb" if replace else "xb", buffering=0)  # noqa: SIM115
        self._pending: list[str] = []
        _write_all(self._file, (",".join(header) + "\n").encode())

    def add(self, lines: list[str]) -> None:
        self._pending.extend(lines)

    def write(self) -> None:
        if self._pending:
            data = "".join(self._pending).encode()
            self._pending.clear()
            _write_all(self._file, data)
        os.fsync(self._file.fileno())

    def widen(self, header: list[str], at: int, pad: int) -> None:
        """Rewrite what is on disk under a wider ``header``, inserting
        ``pad`` empty cells at column ``at`` of every row; the file is
        replaced whole, so it stays valid throughout."""
        self.write()
        self._file.close()
        with atomic_path(self.path) as tmp:
            # Both closed before the rename: Windows renames no open file.
            with open(self.path, newline="", encoding="ascii") as src, open(tmp, "w", newline="") as dst:
                src.readline()
                dst.write(",".join(header) + "\n")
                for line in src:
                    cells = line.rstrip("\n").split(",")
                    dst.write(",".join([*cells[:at], *[""] * pad, *cells[at:]]) + "\n")
        self._file = open(self.path, "ab", buffering=0)  # noqa: SIM115

    def close(self) -> None:
        self._file.close()


class ArraySpill:
    """The .npz's arrays gathered in unnamed temporary files beside it, so
    a long recording does not fill memory; ``save`` writes them out."""

    def __init__(self, folder: str, raw_count: int, value_count: int) -> None:
        self._folder = folder
        self._files = {k: tempfile.TemporaryFile(dir=folder) for k in ("sequence", "time_s", "raw", "calibrated")}
        self.raw_count = raw_count
        self.value_count = value_count
        self.frames = 0

    def add(self, sequence: Any, times: Any, raw: Any, values: Any) -> None:
        for key, array in (("sequence", sequence), ("time_s", times), ("raw", raw), ("calibrated", values)):
            _write_all(self._files[key], np.ascontiguousarray(array).tobytes())
        self.frames += len(sequence)

    def widen(self, raw_count: int) -> None:
        """Pad the raw rows so far to ``raw_count`` readings (NaN)."""
        old, f = self._files["raw"], tempfile.TemporaryFile(dir=self._folder)
        old.seek(0)
        chunk = 1 << 16
        for start in range(0, self.frames, chunk):
            n = min(chunk, self.frames - start)
            rows = np.frombuffer(old.read(n * self.raw_count * 8), dtype=np.float64).reshape(n, self.raw_count)
            wide = np.full((n, raw_count), np.nan)
            wide[:, : self.raw_count] = rows
            _write_all(f, wide.tobytes())
        old.close()
        self._files["raw"], self.raw_count = f, raw_count

    def _array(self, key: str, dtype: Any, width: int | None) -> Any:
        shape = (self.frames,) if width is None else (self.frames, width)
        if self.frames == 0 or width == 0:
            return np.zeros(shape, dtype=dtype)
        self._files[key].flush()
        return np.memmap(self._files[key], dtype=dtype, mode="r", shape=shape)

    def save(self, path: str, extra: dict[str, Any]) -> None:
        """Write the .npz whole (to a temporary name, then renamed)."""
        arrays = {
            "sequence": self._array("sequence", np.uint64, None),
            "time_s": self._array("time_s", np.float64, None),
            "raw": self._array("raw", np.float64, self.raw_count),
            "calibrated": self._array("calibrated", np.float64, self.value_count),
        }
        with atomic_path(path, ".npz") as tmp:  # savez adds .npz to a name without it
            np.savez_compressed(tmp, **arrays, **extra)

    def close(self) -> None:
        for f in self._files.values():
            f.close()


@dataclass
class Tally:
    """What the summary reports."""

    frames: int = 0
    gaps: int = 0
    """Frames missing between two recorded ones: overwritten or dropped by this tool."""
    last_sequence: int | None = None
    first_time: float | None = None
    last_time: float | None = None
    raw_widths: set[int] = field(default_factory=set)

    @property
    def rate(self) -> float:
        if self.first_time is None or self.last_time is None or self.last_time <= self.first_time:
            return 0.0
        return (self.frames - 1) / (self.last_time - self.first_time)


class Recording:
    """The files of one recording, fed batch by batch. Nothing is created
    before the first frame: the header needs its reading count."""

    def __init__(
        self, outputs: Outputs, replace: bool, names: list[str], raw_only: bool, meta: dict[str, Any], start: float
    ) -> None:
        self.outputs = outputs
        self._replace = replace
        self._names = names
        self._raw_only = raw_only
        self.meta = meta
        self._start = start
        self.tally = Tally()
        self._csv: CsvRows | None = None
        self._spill: ArraySpill | None = None
        self._raw_count = 0

    def _header(self) -> list[str]:
        return [SEQUENCE_COLUMN, TIME_COLUMN, *raw_names(self._raw_count), *self._names]

    def _open(self, raw_count: int, value_count: int) -> None:
        self._raw_count = raw_count
        self.write_meta()
        self._csv = CsvRows(self.outputs.csv, self._header(), self._replace)
        if self.outputs.npz:
            self._spill = ArraySpill(os.path.dirname(os.path.abspath(self.outputs.target)), raw_count, value_count)

    def write_meta(self) -> None:
        write_bytes_atomic(self.outputs.sidecar, (json.dumps(self.meta, indent=2) + "\n").encode())

    def add(self, batch: nervlane_comm_py.FrameBatch) -> None:
        n = len(batch)
        if n == 0:
            return
        values = np.empty((n, 0)) if self._raw_only else batch.values
        raw = batch.raw
        width = raw.shape[1]
        if self._csv is None:
            self._open(width, values.shape[1])
        elif width > self._raw_count:
            self._widen(width)
        if width < self._raw_count:
            padded = np.full((n, self._raw_count), np.nan)
            padded[:, :width] = raw
            raw = padded
        times = batch.time - self._start
        sequence = batch.sequence
        t = self.tally
        first = int(sequence[0])
        if t.last_sequence is not None:
            t.gaps += first - t.last_sequence - 1
        t.gaps += int(sequence[-1]) - first - (n - 1)
        t.last_sequence = int(sequence[-1])
        t.first_time = float(times[0]) if t.first_time is None else t.first_time
        t.last_time = float(times[-1])
        t.frames += n
        t.raw_widths.add(width)
        assert self._csv is not None
        self._csv.add(
            [
                ",".join([str(s), f"{tm:.6f}", *map(_cell, r), *map(_number, v)]) + "\n"
                for s, tm, r, v in zip(sequence.tolist(), times.tolist(), raw.tolist(), values.tolist(), strict=True)
            ]
        )
        if self._spill is not None:
            self._spill.add(sequence, times, raw, values)

    def _widen(self, width: int) -> None:
        assert self._csv is not None
        pad = width - self._raw_count
        after_raw = 2 + self._raw_count
        self._raw_count = width
        self._csv.widen(self._header(), after_raw, pad)
        if self._spill is not None:
            self._spill.widen(width)

    def write(self) -> None:
        if self._csv is not None:
            self._csv.write()

    def finish(self) -> None:
        """Close the rows; an .npz is written whole and its journal goes."""
        if self._csv is None:
            return
        self._csv.write()
        self._csv.close()
        if self._spill is None:
            self.write_meta()
            return
        try:
            extra = {k: np.array(v) for k, v in self.meta.items()}
            self._spill.save(self.outputs.target, {"calibrated_names": np.array(self._names, dtype=str), **extra})
        finally:
            self._spill.close()
        os.unlink(self.outputs.csv)
        os.unlink(self.outputs.sidecar)


# --------------------------------------------------------------------------
# Stopping


@dataclass
class Stop:
    reason: str | None = None


@contextlib.contextmanager
def _stop_on_signals() -> Iterator[Stop]:
    """Ctrl+C and SIGTERM end the loop between two batches, rather than
    interrupting a write half-way, and are reported by their own names."""
    stop = Stop()

    def handler(signum: int, _frame: FrameType | None) -> None:
        stop.reason = _STOP_SIGNALS.get(signal.Signals(signum).name, signal.Signals(signum).name)

    saved = {}
    for name in _STOP_SIGNALS:
        if hasattr(signal, name):
            number = getattr(signal, name)
            saved[number] = signal.signal(number, handler)
    try:
        yield stop
    finally:
        for number, previous in saved.items():
            signal.signal(number, previous)


# --------------------------------------------------------------------------
# The command


def run_record(port: str, params: str, out: str, seconds: float | None, raw_only: bool, force: bool = False) -> None:
    """Record until ``seconds`` pass (None: until Ctrl+C or SIGTERM), the
    device goes away (the frames so far are kept; EXIT_DISCONNECTED), or
    a stop signal. Raises ToolError; EXIT_ERROR when no frame came."""
    if seconds is not None and not seconds > 0:
        raise ToolError("--seconds must be positive", EXIT_USAGE)
    outputs = plan_outputs(out, force)
    console = ToolConsole(stderr=True)
    sensor = open_sensor(port, params)
    comms, port = sensor.comms, sensor.port
    names = [] if raw_only else output_names(sensor.document, len(comms.read(0)))
    gone = False
    with _stop_on_signals() as stop:
        comms.queue_frames(QUEUE_FRAMES)
        start = time.monotonic()
        base = comms.stats()
        meta: dict[str, Any] = {
            "start_time": datetime.datetime.now().astimezone().isoformat(timespec="milliseconds"),
            "port": port,
            "params": os.path.abspath(params),
            "format": sensor.format or "unknown",
        }
        recording = Recording(outputs, force, names, raw_only, meta, start)
        watch = DecodeWatch(base, sensor.format, start)
        hint: str | None = None
        try:
            with _progress(console, seconds) as (progress, task):
                last_write = start
                while True:
                    now = time.monotonic()
                    if stop.reason is not None:
                        break
                    if seconds is not None and now - start >= seconds:
                        stop.reason = f"--seconds {seconds:g}"
                        break
                    left_ms = TAKE_TIMEOUT_MS if seconds is None else (seconds - (now - start)) * 1000
                    batch = comms.take_frames(max(1, min(TAKE_TIMEOUT_MS, int(left_ms))))
                    recording.add(batch)
                    if len(batch) == 0 and not comms.is_connected():
                        gone = True
                        stop.reason = "the device going away"
                        break
                    if now - last_write >= WRITE_EVERY_S:
                        recording.write()
                        last_write = now
                        if hint is None and (hint := watch.hint(comms.stats(), now)) is not None:
                            console.print(hint, style="yellow", soft_wrap=True)
                    progress.update(task, completed=now - start, frames=recording.tally.frames)
                    if len(batch):
                        time.sleep(max(0.0, PACE_S - (time.monotonic() - now)))
                # Frames decoded before the stop are still queued.
                end = time.monotonic()
                while len(batch := comms.take_frames(0)):
                    recording.add(batch)
                    if batch.time[-1] > end:
                        break
            elapsed = time.monotonic() - start
            stats = comms.stats()
            comms.queue_frames(0)
            comms.close()
            recording.meta.update(_outcome(recording.tally, stats, base, elapsed, stop.reason))
            if outputs.npz and recording.tally.frames:
                console.print(f"writing {outputs.target}")
            recording.finish()
        except OSError as e:
            raise ToolError(f"cannot write {e.filename or outputs.target}: {e.strerror or e}") from e
    tally = recording.tally
    hint = watch.hint(stats, start + elapsed)
    if tally.frames == 0 and not gone:
        raise ToolError(f"no frame recorded from {port}; " + (hint or f"nothing came in {elapsed:.1f} s"))
    if tally.frames == 0:
        raise device_gone(port, stats)
    decoder_lost = stats["frames_rejected"] - base["frames_rejected"]
    discarded = stats["bytes_discarded"] - base["bytes_discarded"]
    print(
        f"recorded {tally.frames} frames in {elapsed:.2f} s ({tally.rate:.1f} frames/s) to {outputs.target}; "
        f"stopped by {stop.reason}"
    )
    print(
        f"frames lost: {tally.gaps + decoder_lost} (overwritten/dropped by this tool: {tally.gaps}; "
        f"rejected or discarded by the decoder: {decoder_lost} frames, {discarded} bytes)"
    )
    if len(tally.raw_widths) > 1:
        print(f"note: frames of different lengths ({sorted(tally.raw_widths)}); short rows have empty cells")
    if hint is not None:
        console.print(hint, style="yellow", soft_wrap=True)
    if gone:
        raise device_gone(port, stats)


def _outcome(tally: Tally, stats: Any, base: Any, elapsed: float, stopped_by: str | None) -> dict[str, Any]:
    return {
        "frames": tally.frames,
        "seconds": round(elapsed, 3),
        "frames_lost_by_tool": tally.gaps,
        "frames_rejected": stats["frames_rejected"] - base["frames_rejected"],
        "bytes_discarded": stats["bytes_discarded"] - base["bytes_discarded"],
        "stopped_by": stopped_by or "",
    }


@contextlib.contextmanager
def _progress(console: ToolConsole, seconds: float | None) -> Iterator[tuple[Progress, Any]]:
    columns = (
        [TextColumn("recording"), BarColumn(), TextColumn("{task.fields[frames]} frames"), TimeRemainingColumn()]
        if seconds is not None
        else [
            TextColumn("recording"),
            TextColumn("{task.fields[frames]} frames"),
            TimeElapsedColumn(),
            TextColumn("Ctrl+C stops"),
        ]
    )
    with Progress(*columns, console=console, transient=True) as progress:
        yield progress, progress.add_task("record", total=seconds, frames=0)
