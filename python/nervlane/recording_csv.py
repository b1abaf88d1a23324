"""Reading back the CSV files that ``nervlane record`` writes (the
recording itself, or the journal of an .npz), for ``plot`` and ``recover``.

Two things in such a file are not plain table: a frame longer than the
header's carries its extra raw readings after its calibrated values (cells
beyond the header), and a run cut short by a crash or a failing disk may
end in a torn row without its line feed, which is left out.
"""

from __future__ import annotations

import io
import math
from collections.abc import Iterator
from types import TracebackType
from typing import Any, Final

import numpy as np

from .files import open_regular

SEQUENCE_COLUMN: Final = "sequence"
TIME_COLUMN: Final = "time_s"
"""The column ``nervlane plot`` knows a recording by: seconds since the recording started."""

CHUNK_ROWS: Final = 1 << 14


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
