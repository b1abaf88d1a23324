"""The page's Record button, written by the tools' recording writer.

The same files as ``nervlane record``, from the frames the view takes off
the queue."""

from __future__ import annotations

import datetime
import os
import tempfile
from typing import Any, Final

from ..errors import EXIT_USAGE, ToolError
from ..recording import Outputs, RecordingFailed, RecordingWriter, Rows, check_output
from ..recording.outputs import require_mcap
from ..sensor.opened import Sensor
from ..sensor.outages import Outage

WRITE_EVERY_S: Final = 0.5
_MAX_TRIES: Final = 100


def record_formats() -> list[str]:
    """What the Record button offers: MCAP only when recording to it would start."""
    try:
        require_mcap("recording to MCAP")
    except ToolError:
        return ["csv", "npz"]
    return ["csv", "npz", "mcap"]


def since(batch: Any, start: float) -> Any:
    """The frames of ``batch`` decoded at ``start`` or later."""
    first = int(batch.time.searchsorted(start))
    if first == 0:
        return batch
    return Rows(batch.sequence[first:], batch.time[first:], batch.raw[first:], batch.values[first:])


def check_record_dir(folder: str) -> None:
    """The page's record folder, checked at start: it exists and takes new
    files. Raises ToolError (EXIT_USAGE) with the system's reason."""
    if not os.path.isdir(folder):
        raise ToolError(f"--record-dir {folder}: no such folder", EXIT_USAGE)
    try:
        tempfile.TemporaryFile(dir=folder).close()
    except OSError as e:
        raise ToolError(
            f"--record-dir {folder}: the folder takes no new files ({e.strerror or e}); choose one that does",
            EXIT_USAGE,
        ) from e


def free_outputs(folder: str, fmt: str, now: datetime.datetime) -> Outputs:
    """``nervlane-20250102-150405.csv`` in ``folder``, or ``...-2.csv`` and
    so on when that is taken: the page never replaces a recording. Raises
    ToolError: the folder's own refusal, or all names taken."""
    stem = os.path.join(folder, f"nervlane-{now:%Y%m%d-%H%M%S}")
    for n in range(1, _MAX_TRIES + 1):
        path = f"{stem}.{fmt}" if n == 1 else f"{stem}-{n}.{fmt}"
        try:
            return check_output(path)
        except ToolError:
            if not any(os.path.lexists(p) for p in Outputs(path).files):
                raise  # not a name taken: the folder's refusal, which says why
    raise ToolError(f"cannot record in {folder}: {_MAX_TRIES} recordings named {stem}... exist already")


class PageRecording:
    """One recording started from the page. ``add`` and ``write_due`` run on
    the view's reader thread; ``finish`` once, after it is detached. Both
    raise OSError (a RecordingFailed) when the files cannot be written."""

    def __init__(self, folder: str, fmt: str, sensor: Sensor, start: float, unit: str | None = None) -> None:
        self.outputs = free_outputs(folder, fmt, datetime.datetime.now().astimezone())
        self._start = start
        self._last_write = start
        self._writer = RecordingWriter(self.outputs, sensor, start=start, unit=unit)

    @property
    def file(self) -> str:
        return self.outputs.target

    @property
    def frames(self) -> int:
        return self._writer.frames

    def add(self, batch: Any) -> None:
        self._guard(self._writer.add, since(batch, self._start))

    def write_due(self, now: float) -> None:
        """Hand the rows so far to the system every ``WRITE_EVERY_S``."""
        if now - self._last_write >= WRITE_EVERY_S:
            self._guard(self._writer.flush)
            self._last_write = now

    def note_outage(self, started: float, seconds: float, ended: bool = True) -> None:
        self._writer.note_outage(started, seconds, ended)

    def note_look(self, told: Outage | None, ended: list[Outage], started: Outage | None) -> None:
        self._writer.note_look(told, ended, started)

    def finish(self, stopped_by: str, stats: Any) -> dict[str, Any]:
        """Close the files (an .npz is written whole now) and say what was
        recorded."""
        summary = self._writer.finish(stopped_by, stats)
        result: dict[str, Any] = {
            "file": summary.path,
            "frames": summary.frames,
            "lost": summary.lost,
            "stopped_by": summary.stopped_by,
        }
        if summary.failure is not None:
            result["error"] = str(summary.failure)
        return result

    @staticmethod
    def _guard(step: Any, *args: Any) -> None:
        try:
            step(*args)
        except RecordingFailed as e:
            # The feed reports a failed recording as it reports a failed write.
            raise OSError(str(e)) from e
