"""The page's Record button: the same files as ``nervlane record``, written
by record's own writer from the frames the view takes off the queue."""

from __future__ import annotations

import datetime
import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

from ..errors import ToolError
from ..record import WRITE_EVERY_S, Outputs, Recording, _outcome, plan_outputs

FORMATS: Final = ("csv", "npz")
_MAX_TRIES: Final = 100


@dataclass(frozen=True)
class Rows:
    """Part of a frame batch, with a batch's shapes."""

    sequence: Any
    time: Any
    raw: Any
    values: Any

    def __len__(self) -> int:
        return len(self.sequence)


def since(batch: Any, start: float) -> Any:
    """The frames of ``batch`` decoded at ``start`` or later."""
    first = int(batch.time.searchsorted(start))
    if first == 0:
        return batch
    return Rows(batch.sequence[first:], batch.time[first:], batch.raw[first:], batch.values[first:])


def free_outputs(folder: str, fmt: str, now: datetime.datetime) -> Outputs:
    """``nervlane-20250102-150405.csv`` in ``folder``, or ``...-2.csv`` and
    so on when that is taken: the page never replaces a recording."""
    stem = os.path.join(folder, f"nervlane-{now:%Y%m%d-%H%M%S}")
    for n in range(1, _MAX_TRIES + 1):
        path = f"{stem}.{fmt}" if n == 1 else f"{stem}-{n}.{fmt}"
        try:
            return plan_outputs(path, force=False)
        except ToolError:
            if not os.path.isdir(folder):
                raise
    raise ToolError(f"cannot record in {folder}: {_MAX_TRIES} recordings named {stem}... exist already")


class PageRecording:
    """One recording started from the page. ``add`` and ``write_due`` run on
    the view's reader thread; ``finish`` once, after it is detached."""

    def __init__(
        self, folder: str, fmt: str, names: Sequence[str], source: Any, stats: Mapping[str, Any], start: float
    ) -> None:
        now = datetime.datetime.now().astimezone()
        self.outputs = free_outputs(folder, fmt, now)
        meta = {
            "start_time": now.isoformat(timespec="milliseconds"),
            "port": source.port,
            "params": source.params,
            "format": source.format or "unknown",
        }
        self._base = dict(stats)
        self._start = start
        self._last_write = start
        self._writer = Recording(self.outputs, False, list(names), False, meta, start)

    @property
    def file(self) -> str:
        return self.outputs.target

    @property
    def frames(self) -> int:
        return self._writer.tally.frames

    def add(self, batch: Any) -> None:
        self._writer.add(since(batch, self._start))

    def write_due(self, now: float) -> None:
        """Hand the rows so far to the system every ``WRITE_EVERY_S``."""
        if now - self._last_write >= WRITE_EVERY_S:
            self._writer.write()
            self._last_write = now

    def finish(self, stopped_by: str, stats: Mapping[str, Any]) -> dict[str, Any]:
        """Close the files (an .npz is written whole now) and say what was
        recorded. Raises OSError."""
        tally = self._writer.tally
        elapsed = time.monotonic() - self._start
        self._writer.meta.update(_outcome(tally, stats, self._base, elapsed, stopped_by))
        self._writer.finish()
        return {
            "file": self.file,
            "frames": tally.frames,
            "lost": tally.gaps + stats["frames_rejected"] - self._base["frames_rejected"],
            "stopped_by": stopped_by,
        }
