"""The files of one recording, as ``nervlane record`` writes them: where
they go (``check_output``, before any port opens), writing them from the
frame queue's batches (``RecordingWriter``, which other tools reuse), and
turning the journal of an .npz recording that did not finish into the .npz
(``recover``).

A tool records in four steps: ``check_output`` before any port opens, a
``RecordingWriter`` once the sensor is open, ``add`` each batch and
``flush`` now and then, and ``finish`` with what stopped it.
"""

from __future__ import annotations

import contextlib
import datetime
import errno
import json
import os
import tempfile
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, Final

import numpy as np

from .errors import EXIT_ERROR, EXIT_USAGE, ToolError
from .files import NotRegularFile, atomic_path, write_bytes_atomic
from .parameters import RAW_PREFIX, raw_names
from .recording_csv import SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv
from .sensor.local import Sensor

if TYPE_CHECKING:
    import nervlane_comm_py

__all__ = [
    "SEQUENCE_COLUMN",
    "TIME_COLUMN",
    "Outputs",
    "RecordingFailed",
    "RecordingWriter",
    "Rows",
    "Summary",
    "check_output",
    "recover",
]

JOURNAL_SUFFIX: Final = ".journal.csv"
SIDECAR_SUFFIX: Final = ".json"
SIDECAR_ROOM: Final = 4096
"""Bytes a sidecar takes from the start, so that its final details fit in
place even when the disk has filled meanwhile."""


# Write errors named as a person knows them, in summaries and metadata.
_WRITE_STOPS: Final = {errno.ENOSPC: "disk full", getattr(errno, "EDQUOT", -1): "disk quota exceeded"}


def _number(v: float) -> str:
    # Exact either way; whole numbers (every binary reading) without ".0".
    return str(int(v)) if v.is_integer() and abs(v) < 2**53 else repr(v)


def _cell(v: float) -> str:
    return "" if v != v else _number(v)  # NaN: a reading this frame did not have


def _now_text() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


@dataclass(frozen=True)
class Rows:
    """Frames with a frame batch's shapes (``sequence``, ``time``, ``raw``,
    ``values``), for frames that come from elsewhere than ``take_frames``
    or a part of a batch."""

    sequence: Any
    time: Any
    raw: Any
    values: Any

    def __len__(self) -> int:
        return len(self.sequence)


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

    @property
    def folder(self) -> str:
        return os.path.dirname(os.path.abspath(self.target))


def _refuse(out: str, why: str) -> ToolError:
    shown = out if out.strip() else repr(out)
    return ToolError(f"cannot record to {shown}: {why}", EXIT_USAGE)


def check_output(out: str, force: bool = False) -> Outputs:
    """The files for ``out``, checked before any port opens: a name that is
    a file's, in a folder that exists and takes files, where no recording
    is lost (an unfinished one never; a finished one unless ``force``).
    Creates nothing. Raises ToolError (EXIT_USAGE) naming ``out``."""
    if not out.strip():
        raise _refuse(out, "the name is empty; name a file (run.csv or run.npz)")
    if out.endswith(("/", os.sep, os.altsep or os.sep)) or os.path.basename(out) in ("", ".", ".."):
        raise _refuse(out, "that names a folder; name a file in it (run.csv or run.npz)")
    if os.path.isdir(out):
        raise _refuse(out, "it is a folder; name a file in it (run.csv or run.npz)")
    outputs = Outputs(out, out.lower().endswith(".npz"))
    folder = outputs.folder
    if not os.path.isdir(folder):
        raise _refuse(out, f"folder {folder} does not exist")
    try:
        # Unnamed where the system allows it, and gone when closed.
        tempfile.TemporaryFile(dir=folder).close()
    except OSError as e:
        raise _refuse(out, f"folder {folder} does not take new files ({e.strerror or e})") from e
    if outputs.npz and os.path.lexists(outputs.csv):
        raise ToolError(
            f"{outputs.csv} is an unrecovered recording (the run that wrote it did not finish); "
            f"'nervlane recover {out}' turns it into {out}. To record anew, choose another name "
            f"or delete {outputs.csv} and {outputs.sidecar} first.",
            EXIT_USAGE,
        )
    existing = [p for p in outputs.files if os.path.lexists(p)]
    for p in existing:
        if os.path.isdir(p):
            raise _refuse(out, f"{p} is a folder")
    if existing and not force:
        raise ToolError(
            f"{' and '.join(existing)} already exist{'s' if len(existing) == 1 else ''}: choose another "
            "name, or give --force to replace",
            EXIT_USAGE,
        )
    return outputs


# --------------------------------------------------------------------------
# Writing


class RecordingFailed(ToolError):
    """A recording stopped because its files could not be written. ``stop``
    names it as the summary and the metadata do ("disk full")."""

    def __init__(self, message: str, stop: str, code: int = EXIT_ERROR) -> None:
        super().__init__(message, code)
        self.stop = stop


def _write_failed(path: str, error: OSError) -> RecordingFailed:
    stop = _WRITE_STOPS.get(error.errno or 0, "a write error")
    return RecordingFailed(f"cannot write {path}: {error.strerror or error}", stop)


def _create(path: str, replace: bool) -> int:
    flags = os.O_WRONLY | os.O_CREAT | getattr(os, "O_BINARY", 0) | (os.O_TRUNC if replace else os.O_EXCL)
    return os.open(path, flags, 0o666)


class CsvRows:
    """A CSV that is valid on disk at every moment: the header at once, then
    whole rows, handed to the system every ``WRITE_EVERY_S`` in one write,
    so a crash or SIGKILL leaves every row up to the last write. A write
    that fails is taken back to the last whole row before the error leaves."""

    def __init__(self, path: str, header: list[str], replace: bool) -> None:
        self.path = path
        self._fd = _create(path, replace)
        self._size = 0
        """Bytes on disk that are whole rows."""
        self.kept = 0
        """Rows of the last write that failed that stayed on disk."""
        self._pending: list[str] = []
        self._append((",".join(header) + "\n").encode())

    def add(self, lines: list[str]) -> None:
        self._pending.extend(lines)

    def write(self) -> None:
        """Write the rows added since; on an error, as many whole rows as
        reached the disk stay (``kept``), the rest of the write is taken
        back, and the error is raised."""
        data = "".join(self._pending).encode()
        self._pending.clear()
        self._append(data)

    def _append(self, data: bytes) -> None:
        self.kept = 0
        done = 0
        try:
            while done < len(data):
                done += os.write(self._fd, data[done : done + (1 << 20)])
            os.fsync(self._fd)
        except OSError:
            # Keep the whole rows of a short write only if they are on disk.
            whole = data.rfind(b"\n", 0, done) + 1 if done < len(data) else 0
            try:
                os.ftruncate(self._fd, self._size + whole)
            except OSError:
                whole = 0  # what is on disk is beyond knowing; the rows before were whole
            self._size += whole
            self.kept = data.count(b"\n", 0, whole)
            with contextlib.suppress(OSError):
                os.fsync(self._fd)
                os.lseek(self._fd, self._size, os.SEEK_SET)
            raise
        self._size += len(data)

    def close(self) -> None:
        os.close(self._fd)


def _widen_csv(path: str, header: list[str], raw_in_rows: int, value_count: int) -> None:
    """Rewrite a finished CSV whose longer frames put their extra readings
    after the calibrated values, so that every raw reading stands under a
    raw column of ``header``. Replaces the file whole."""
    widest = len(header) - 2 - value_count
    with atomic_path(path) as tmp:
        # Both closed before the rename: Windows renames no open file.
        with open(path, newline="", encoding="ascii") as src, open(tmp, "w", newline="", encoding="ascii") as dst:
            src.readline()
            dst.write(",".join(header) + "\n")
            end = 2 + raw_in_rows + value_count
            for line in src:
                cells = line.rstrip("\n").split(",")
                raw = [*cells[2 : 2 + raw_in_rows], *cells[end:]]
                raw += [""] * (widest - len(raw))
                dst.write(",".join([*cells[:2], *raw, *cells[2 + raw_in_rows : end]]) + "\n")


def _write_all(f: IO[bytes], data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[f.write(view) or 0 :]


class ArraySpill:
    """The .npz's arrays gathered in unnamed temporary files beside it, so
    a long recording does not fill memory; ``save`` writes them out. Raw
    rows are kept at their own length and padded only when saved."""

    KEYS: Final = ("sequence", "time_s", "raw", "calibrated")

    def __init__(self, folder: str, value_count: int) -> None:
        self._folder = folder
        self._files: dict[str, IO[bytes]] = {}
        try:
            for key in self.KEYS:
                # Unbuffered: nothing is left to write (and fail) when closed.
                self._files[key] = tempfile.TemporaryFile(dir=folder, buffering=0)
        except BaseException:
            self.close()
            raise
        self.value_count = value_count
        self.frames = 0
        self._runs: list[list[int]] = []
        """[frames, readings] of each run of frames of one length, in order."""

    def add(self, sequence: Any, times: Any, raw: Any, values: Any) -> None:
        for key, array, dtype in zip(
            self.KEYS, (sequence, times, raw, values), (np.uint64, np.float64, np.float64, np.float64), strict=True
        ):
            _write_all(self._files[key], np.ascontiguousarray(array, dtype=dtype).tobytes())
        n, width = raw.shape
        if self._runs and self._runs[-1][1] == width:
            self._runs[-1][0] += n
        else:
            self._runs.append([n, width])
        self.frames += n

    def _map(self, f: IO[bytes], dtype: Any, width: int | None) -> Any:
        shape = (self.frames,) if width is None else (self.frames, width)
        if self.frames == 0 or width == 0:
            return np.zeros(shape, dtype=dtype)
        return np.memmap(f, dtype=dtype, mode="r", shape=shape)

    def _raw(self) -> Any:
        widest = max((w for _, w in self._runs), default=0)
        if len({w for _, w in self._runs}) <= 1:
            return self._map(self._files["raw"], np.float64, widest)
        src, wide = self._files["raw"], tempfile.TemporaryFile(dir=self._folder, buffering=0)
        self._files["raw_wide"] = wide
        src.seek(0)
        for frames, width in self._runs:
            for start in range(0, frames, 1 << 14):
                n = min(1 << 14, frames - start)
                rows = np.frombuffer(src.read(n * width * 8), dtype=np.float64).reshape(n, width)
                padded = np.full((n, widest), np.nan)
                padded[:, :width] = rows
                _write_all(wide, padded.tobytes())
        return self._map(wide, np.float64, widest)

    def save(self, path: str, extra: dict[str, Any]) -> None:
        """Write the .npz whole (to a temporary name, then renamed)."""
        arrays = {
            "sequence": self._map(self._files["sequence"], np.uint64, None),
            "time_s": self._map(self._files["time_s"], np.float64, None),
            "raw": self._raw(),
            "calibrated": self._map(self._files["calibrated"], np.float64, self.value_count),
        }
        with atomic_path(path, ".npz") as tmp:  # savez adds .npz to a name without it
            np.savez_compressed(tmp, **arrays, **extra)

    def close(self) -> None:
        for f in self._files.values():
            with contextlib.suppress(OSError):
                f.close()


def _npz_fields(meta: Mapping[str, Any]) -> dict[str, Any]:
    # 0-d fields that np.load reads without pickles: lists and maps as JSON.
    return {k: np.array(json.dumps(v) if isinstance(v, (list, dict)) else v) for k, v in meta.items()}


def _write_sidecar(path: str, meta: Mapping[str, Any]) -> None:
    """Replace the sidecar whole; when the disk has no room for a new file,
    write over the room the sidecar took when it was made."""
    text = (json.dumps(meta, indent=2) + "\n").encode()
    try:
        write_bytes_atomic(path, text)
    except OSError:
        with open(path, "r+b") as f:
            room = os.fstat(f.fileno()).st_size
            if len(text) > room:
                raise
            f.write(text[:-1] + b" " * (room - len(text)) + b"\n")
            f.flush()
            os.fsync(f.fileno())


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

    def count(self, sequence: list[int], times: Any, width: int) -> None:
        first = sequence[0]
        if self.last_sequence is not None:
            self.gaps += first - self.last_sequence - 1
        self.gaps += sequence[-1] - first - (len(sequence) - 1)
        self.last_sequence = sequence[-1]
        self.first_time = float(times[0]) if self.first_time is None else self.first_time
        self.last_time = float(times[-1])
        self.frames += len(sequence)
        self.raw_widths.add(width)


@dataclass
class Summary:
    """How a recording went: what ``finish`` returns and ``record`` prints."""

    frames: int
    seconds: float
    rate: float
    lost_by_tool: int
    rejected: int
    """Frames the decoder rejected while recording."""
    discarded: int
    """Bytes the decoder skipped while recording."""
    stopped_by: str
    path: str
    """The file that holds the rows: the target, or the journal when the .npz could not be written."""
    raw_widths: list[int]
    outages: list[dict[str, Any]]
    failure: RecordingFailed | None = None
    """Why the files are not what they should be, or None."""

    def lines(self) -> list[str]:
        text = [
            f"recorded {self.frames} frames in {self.seconds:.2f} s ({self.rate:.1f} frames/s) to {self.path}; "
            f"stopped by {self.stopped_by}",
            f"frames lost: {self.lost_by_tool + self.rejected} (overwritten/dropped by this tool: "
            f"{self.lost_by_tool}; rejected or discarded by the decoder: {self.rejected} frames, "
            f"{self.discarded} bytes)",
        ]
        if len(self.raw_widths) > 1:
            text.append(f"note: frames of different lengths ({self.raw_widths}); short rows have empty cells")
        if self.outages:
            away = sum(o["seconds"] for o in self.outages)
            text.append(f"outages: {len(self.outages)}, the device away {away:.1f} s in all")
            for n, o in enumerate(self.outages, 1):
                until = "" if o["ended"] else ", still away at the stop"
                text.append(
                    f"  outage {n}: from {o['start_time']} ({o['start_s']:.3f} s after the start) "
                    f"for {o['seconds']:.3f} s{until}"
                )
        return text


class RecordingWriter:
    """The files of one recording (``nervlane record``'s), fed batch by
    batch from a sensor's frame queue.

    Nothing is created before the first frame: the header needs its reading
    count. Then the data file is created (exclusively unless ``replace``),
    then its sidecar. ``time_s`` counts from ``start`` (on the clock of
    ``time.monotonic()``; default now), or from the first frame if that was
    decoded earlier. A frame longer than the first puts its extra readings
    after its calibrated values, so nothing written is rewritten while
    frames arrive; ``finish`` sorts them into raw columns. Not thread-safe.
    """

    def __init__(
        self,
        outputs: Outputs,
        sensor: Sensor,
        *,
        raw_only: bool = False,
        replace: bool = False,
        start: float | None = None,
    ) -> None:
        self.outputs = outputs
        self._comms = sensor.comms
        self._names = [] if raw_only else list(sensor.output_names)
        self._raw_only = raw_only
        self._replace = replace
        self._start = time.monotonic() if start is None else start
        self.base = dict(sensor.comms.stats())
        """The comms object's counters when the recording started."""
        self.meta: dict[str, Any] = {
            "start_time": _now_text(),
            "port": sensor.port,
            "params": sensor.params,
            "format": sensor.format or "unknown",
        }
        self.tally = Tally()
        self.outages: list[dict[str, Any]] = []
        self._csv: CsvRows | None = None
        self._spill: ArraySpill | None = None
        self._pending: list[tuple[list[int], Any, Any, Any]] = []
        """Batches taken since the last flush: sequence, time_s, raw, values."""
        self._raw_count = 0
        """Raw columns in the header: the first frame's reading count."""
        self.failure: RecordingFailed | None = None

    def _header(self, raw_count: int) -> list[str]:
        return [SEQUENCE_COLUMN, TIME_COLUMN, *raw_names(raw_count), *self._names]

    def _open(self, raw_count: int, value_count: int) -> None:
        self._raw_count = raw_count
        outputs = self.outputs
        made: list[str] = []
        try:
            # The data file first, and only then its sidecar: a recording
            # that loses the race for the name leaves the winner's alone.
            self._csv = CsvRows(outputs.csv, self._header(raw_count), self._replace)
            made.append(outputs.csv)
            with os.fdopen(_create(outputs.sidecar, self._replace), "wb") as f:
                made.append(outputs.sidecar)
                text = json.dumps(self.meta, indent=2)
                f.write((text + " " * (SIDECAR_ROOM - 1 - len(text)) + "\n").encode())
            if outputs.npz:
                self._spill = ArraySpill(outputs.folder, value_count)
        except OSError as e:
            if self._csv is not None:
                self._csv.close()
                self._csv = None
            for path in made:
                with contextlib.suppress(OSError):
                    os.unlink(path)
            if isinstance(e, FileExistsError):
                raise RecordingFailed(
                    f"cannot record to {outputs.target}: {e.filename} appeared meanwhile (another recording?); "
                    "it is left as it is",
                    "the output appearing meanwhile",
                    EXIT_USAGE,
                ) from e
            raise _write_failed(e.filename or outputs.folder, e) from e

    def add(self, batch: nervlane_comm_py.FrameBatch) -> None:
        """Take a batch (``take_frames``'s); its rows reach the files at the
        next ``flush``. Raises RecordingFailed when the files cannot be made."""
        n = len(batch)
        if n == 0 or self.failure is not None:
            return
        raw = batch.raw
        width = raw.shape[1]
        values = np.empty((n, 0)) if self._raw_only else batch.values
        if self._csv is None:
            self._start = min(self._start, float(batch.time[0]))
            self._guard(self._open, width, values.shape[1])
        times = batch.time - self._start
        sequence = batch.sequence.tolist()
        head = raw[:, : self._raw_count]
        if width < self._raw_count:
            head = np.full((n, self._raw_count), np.nan)
            head[:, :width] = raw
        # A longer frame's extra readings follow its calibrated values.
        tail = raw[:, self._raw_count :].tolist() if width > self._raw_count else [[]] * n
        assert self._csv is not None
        self._csv.add(
            [
                ",".join([str(s), f"{tm:.6f}", *map(_cell, r), *map(_number, v), *map(_number, extra)]) + "\n"
                for s, tm, r, v, extra in zip(
                    sequence, times.tolist(), head.tolist(), values.tolist(), tail, strict=True
                )
            ]
        )
        self._pending.append((sequence, times, raw, values))

    @property
    def frames(self) -> int:
        """Frames taken: those on disk and those the next ``flush`` writes."""
        return self.tally.frames + sum(len(p[0]) for p in self._pending)

    def flush(self) -> None:
        """Hand the rows taken so far to the disk. Raises RecordingFailed on
        a write error; the data file then ends with the last whole row."""
        if self._csv is None or self.failure is not None:
            return
        self._guard(self._write)

    def _write(self) -> None:
        assert self._csv is not None
        pending, self._pending = self._pending, []
        try:
            self._csv.write()
        except OSError as e:
            kept = self._csv.kept
            for sequence, times, raw, _ in pending:
                if kept > 0:
                    self.tally.count(sequence[:kept], times[:kept], raw.shape[1])
                kept -= len(sequence)
            raise _write_failed(self._csv.path, e) from e
        for sequence, times, raw, _ in pending:
            self.tally.count(sequence, times, raw.shape[1])
        if self._spill is not None:
            try:
                for sequence, times, raw, values in pending:
                    self._spill.add(np.asarray(sequence, dtype=np.uint64), times, raw, values)
            except OSError as e:
                raise _write_failed(f"the .npz's temporary files in {self.outputs.folder}", e) from e

    def _guard(self, step: Any, *args: Any) -> None:
        try:
            step(*args)
        except RecordingFailed as e:
            self.failure = e
            raise

    def note_outage(self, started: float, seconds: float, ended: bool = True) -> None:
        """A time the sensor was away: from ``started`` (``time.monotonic()``)
        for ``seconds``; ``ended`` False for one that outlasted the
        recording. It is listed in the summary and the metadata, its start
        on the monotonic clock (``start_monotonic``, and ``start_s`` on the
        axis of ``time_s``) and the wall clock (``start_time``)."""
        wall = datetime.datetime.now().astimezone() - datetime.timedelta(seconds=time.monotonic() - started)
        self.outages.append(
            {
                "start_s": round(started - self._start, 6),
                "start_monotonic": round(started, 6),
                "start_time": wall.isoformat(timespec="milliseconds"),
                "seconds": round(seconds, 6),
                "ended": ended,
            }
        )

    def finish(self, stopped_by: str, stats: Mapping[str, Any] | None = None) -> Summary:
        """Write what is left and close the files: the .npz is written whole
        and its journal goes; a CSV whose frames grew is sorted into raw
        columns (work that grows with the file, done once the frames have
        stopped). After a write error the rows written stay where they are,
        with their metadata. ``stats`` are the comms object's counters at
        the end (default: now). Never raises for a write error: the
        summary's ``failure`` says what went wrong."""
        stats = self._comms.stats() if stats is None else stats
        seconds = time.monotonic() - self._start
        opened = self._csv is not None
        if self._csv is not None:
            with contextlib.suppress(RecordingFailed):
                self.flush()
            self._csv.close()
        t = self.tally
        summary = Summary(
            frames=t.frames,
            seconds=seconds,
            rate=t.rate,
            lost_by_tool=t.gaps,
            rejected=stats["frames_rejected"] - self.base["frames_rejected"],
            discarded=stats["bytes_discarded"] - self.base["bytes_discarded"],
            stopped_by=self.failure.stop if self.failure is not None else stopped_by,
            path=self.outputs.target,
            raw_widths=sorted(t.raw_widths),
            outages=self.outages,
        )
        self.meta.update(
            frames=summary.frames,
            seconds=round(seconds, 3),
            frames_lost_by_tool=summary.lost_by_tool,
            frames_rejected=summary.rejected,
            bytes_discarded=summary.discarded,
            stopped_by=summary.stopped_by,
            outages=self.outages,
        )
        if opened:
            try:
                self._finish_files(summary)
            finally:
                if self._spill is not None:
                    self._spill.close()
        summary.failure = self.failure
        return summary

    def _finish_files(self, summary: Summary) -> None:
        outputs = self.outputs
        widest = max(self.tally.raw_widths, default=self._raw_count)
        if self.failure is None and self._spill is not None:
            try:
                self._spill.save(
                    outputs.target, {"calibrated_names": np.array(self._names, dtype=str), **_npz_fields(self.meta)}
                )
                os.unlink(outputs.csv)
                os.unlink(outputs.sidecar)
                return
            except OSError as e:
                self.failure = _write_failed(outputs.target, e)
                self.meta["stopped_by"] = summary.stopped_by = f"{summary.stopped_by}, then {self.failure.stop}"
        if self.failure is None and widest > self._raw_count:
            try:
                _widen_csv(outputs.csv, self._header(widest), self._raw_count, len(self._names))
            except OSError as e:
                self.failure = _write_failed(outputs.csv, e)
        if self._spill is not None:
            assert self.failure is not None
            summary.path = outputs.csv
            self.failure = RecordingFailed(
                f"{self.failure}; the recording is in {outputs.csv} ({self.tally.frames} frames, each row whole): "
                f"once there is room, 'nervlane recover {outputs.target}' turns it into {outputs.target}",
                self.failure.stop,
            )
        elif self.failure is not None:
            self.failure = RecordingFailed(
                f"{self.failure}; {outputs.csv} holds the {self.tally.frames} frames written before, each row whole",
                self.failure.stop,
            )
        try:
            _write_sidecar(outputs.sidecar, self.meta)
        except OSError as e:
            if self.failure is None:
                self.failure = _write_failed(outputs.sidecar, e)


# --------------------------------------------------------------------------
# After a crash


def recover(target: str, force: bool = False) -> tuple[int, str | None]:
    """Write ``X.npz`` from the journal of a recording that did not finish
    (``X.npz.journal.csv``, with its sidecar), as the recording would have,
    then remove the journal. Returns the frames recovered and the text of a
    torn last row left out (None: there was none). Raises ToolError
    (EXIT_USAGE: nothing to recover, or ``X.npz`` exists and not ``force``)."""
    outputs = Outputs(target, True)
    if not target.lower().endswith(".npz"):
        raise ToolError(f"{target}: only an .npz recording has a journal to recover; a CSV is its own", EXIT_USAGE)
    if not os.path.lexists(outputs.csv):
        raise ToolError(f"nothing to recover for {target}: there is no {outputs.csv}", EXIT_USAGE)
    if os.path.lexists(target) and not force:
        raise ToolError(f"{target} already exists: choose another name, or give --force to replace it", EXIT_USAGE)
    meta: dict[str, Any] = {}
    with contextlib.suppress(OSError, ValueError):
        with open(outputs.sidecar, encoding="utf-8") as f:
            meta = dict(json.load(f))
    tally = Tally()
    try:
        with RecordingCsv(outputs.csv) as journal:
            header = journal.header
            if header[:2] != [SEQUENCE_COLUMN, TIME_COLUMN]:
                raise ToolError(f"{outputs.csv} is not a journal of 'nervlane record' (its header is {header[:2]})")
            raw_count = next((i for i, n in enumerate(header[2:]) if not n.startswith(RAW_PREFIX)), len(header) - 2)
            names = header[2 + raw_count :]
            end = 2 + raw_count + len(names)
            spill = ArraySpill(outputs.folder, len(names))
            try:
                for chunk in journal.chunks():
                    raw = np.hstack([chunk[:, 2 : 2 + raw_count], chunk[:, end:]])
                    sequence = chunk[:, 0].astype(np.uint64)
                    tally.count(sequence.tolist(), chunk[:, 1], raw.shape[1])
                    spill.add(sequence, chunk[:, 1], raw, chunk[:, 2 + raw_count : end])
                meta.update(
                    frames=tally.frames,
                    frames_lost_by_tool=tally.gaps,
                    stopped_by=meta.get("stopped_by") or "the run ending unfinished",
                    recovered_from=outputs.csv,
                )
                meta.setdefault("seconds", round(tally.last_time or 0.0, 3))
                spill.save(target, {"calibrated_names": np.array(names, dtype=str), **_npz_fields(meta)})
            finally:
                spill.close()
            torn = journal.torn
    except (OSError, NotRegularFile) as e:
        raise ToolError(f"cannot recover {target}: {getattr(e, 'strerror', None) or e}") from e
    except (ValueError, UnicodeDecodeError) as e:
        raise ToolError(f"cannot recover {target}: {outputs.csv}: {e}") from e
    os.unlink(outputs.csv)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(outputs.sidecar)
    return tally.frames, torn
