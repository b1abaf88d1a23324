"""A recording's CSV, written and read back.

The recording itself, or the journal of an .npz. One row per frame: ``sequence``, ``time_s``, the raw
readings (``raw_0``...), then the calibrated values by name.

Two things in such a file are not plain table: a frame longer than the
header's carries its extra raw readings after its calibrated values (cells
beyond the header) until the recording ends and ``widen`` sorts them into
raw columns, and a run cut short by a crash or a failing disk may end in a
torn row without its line feed, which is left out when read.
"""

from __future__ import annotations

import contextlib
import io
import math
import os
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import Any, Final

import numpy as np

from ..files import atomic_path, open_regular
from ..parameters import RAW_PREFIX, raw_names
from .outputs import create_file

SEQUENCE_COLUMN: Final = "sequence"
TIME_COLUMN: Final = "time_s"
"""The column ``nervlane plot`` knows a recording by: seconds since the recording started."""

CHUNK_ROWS: Final = 1 << 14


def header_for(raw_count: int, names: Sequence[str]) -> list[str]:
    """The header of frames of ``raw_count`` readings and calibrated values ``names``."""
    return [SEQUENCE_COLUMN, TIME_COLUMN, *raw_names(raw_count), *names]


def split_header(header: Sequence[str]) -> tuple[int, list[str]]:
    """How many raw columns a header names, and the calibrated values' names after them."""
    raw_count = next((i for i, n in enumerate(header[2:]) if not n.startswith(RAW_PREFIX)), len(header) - 2)
    return raw_count, list(header[2 + raw_count :])


# --------------------------------------------------------------------------
# Writing


def _number(v: float) -> str:
    # Exact either way; whole numbers (every binary reading) without ".0".
    return str(int(v)) if v.is_integer() and abs(v) < 2**53 else repr(v)


def _cell(v: float) -> str:
    return "" if v != v else _number(v)  # NaN: a reading this frame did not have


class CsvRows:
    """A CSV that is valid on disk at every moment: the header at once, then
    whole rows, handed to the system every ``WRITE_EVERY_S`` in one write,
    so a crash or SIGKILL leaves every row up to the last write. A write
    that fails is taken back to the last whole row before the error leaves."""

    def __init__(self, path: str, header: list[str], replace: bool) -> None:
        self.path = path
        self._fd = create_file(path, replace)
        self._size = 0
        """Bytes on disk that are whole rows."""
        self.kept = 0
        """Rows of the last write that failed that stayed on disk."""
        self._pending: list[str] = []
        self._append((",".join(header) + "\n").encode())

    def add(self, sequence: list[int], times: Any, head: Any, values: Any, tail: list[list[float]]) -> None:
        """Rows of frames, written at the next ``write``: each frame's
        sequence number, time, its readings under the header's raw columns
        (``head``, NaN for a reading it lacks), its calibrated values, then
        the readings beyond the header's (``tail``)."""
        self._pending.extend(
            ",".join([str(s), f"{tm:.6f}", *map(_cell, r), *map(_number, v), *map(_number, extra)]) + "\n"
            for s, tm, r, v, extra in zip(sequence, times.tolist(), head.tolist(), values.tolist(), tail, strict=True)
        )

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


def widen(path: str, header: list[str], raw_in_rows: int, value_count: int) -> None:
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


# --------------------------------------------------------------------------
# Reading


class RecordingCsv:
    """A recording's CSV, open for reading: ``header`` at once, the rows in
    chunks. ``torn`` is the text of a torn last row once the chunks have
    been read (None: there was none). Raises NotRegularFile or OSError
    (``nervlane.files.open_regular``) when opened."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._file = io.TextIOWrapper(open_regular(path), encoding="utf-8", newline="")
        first = self._file.readline()
        self.header = first.rstrip("\r\n").split(",") if first else []
        self.torn: str | None = None

    def __enter__(self) -> RecordingCsv:
        return self

    def __exit__(self, *_exc: type[BaseException] | BaseException | TracebackType | None) -> None:
        self._file.close()

    def chunks(self, rows: int = CHUNK_ROWS) -> Iterator[Any]:
        """The rows as float arrays of up to ``rows`` rows each, empty cells
        NaN; a chunk is as wide as its longest row, shorter rows padded with
        NaN. Raises ValueError for a cell that is no number or a row shorter
        than the header (other than a torn last one)."""
        width = len(self.header)
        batch: list[list[float]] = []
        for number, line in enumerate(self._file, start=2):
            if not line.endswith("\n"):
                self.torn = line  # only the last line can lack its line feed
                break
            text = line.rstrip("\r\n")
            if not text:
                continue
            row = [float(x) if x else math.nan for x in text.split(",")]
            if len(row) < width:
                raise ValueError(f"row {number} has {len(row)} cells, the header {width}: rows and header differ")
            batch.append(row)
            if len(batch) == rows:
                yield _table(batch)
                batch = []
        if batch:
            yield _table(batch)


def _table(rows: list[list[float]]) -> Any:
    widest = max(map(len, rows))
    if all(len(r) == widest for r in rows):
        return np.array(rows, dtype=float)
    table = np.full((len(rows), widest), np.nan)
    for i, r in enumerate(rows):
        table[i, : len(r)] = r
    return table


def stack(chunks: list[Any], columns: int) -> Any:
    """The chunks as one table of at least ``columns`` columns, NaN-padded."""
    widest = max([columns, *(c.shape[1] for c in chunks)])
    table = np.full((sum(len(c) for c in chunks), widest), np.nan)
    row = 0
    for c in chunks:
        table[row : row + len(c), : c.shape[1]] = c
        row += len(c)
    return table
