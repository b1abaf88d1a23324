"""Writing one recording from a sensor's frame batches.

``RecordingWriter`` is ``nervlane record``'s, and the page's Record button
reuses it; its ``Summary`` (``nervlane.recording.summary``) says how the
recording went.

A tool records in four steps: ``check_output`` before any port opens, a
``RecordingWriter`` once the sensor is open, ``add`` each batch and
``flush`` now and then, and ``finish`` with what stopped it.
"""

from __future__ import annotations

import contextlib
import datetime
import os
import sys
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from .. import package_version
from ..errors import EXIT_USAGE
from ..options import NO_UNIT
from ..sensor.opened import Sensor
from ..sensor.outages import Outage
from .csv_file import CsvRows, create_sidecar, header_for, widen, write_sidecar
from .npz_file import ArraySpill, npz_fields, params_array
from .outputs import Outputs, RecordingFailed, name_from, write_failed
from .ros2_messages import ERROR, OK, stamps_ns
from .summary import DECODER_COUNTERS, Summary, Tally

if TYPE_CHECKING:
    import nervlane_comm_py

    from .mcap_file import McapRows

STATUS_EVERY_S: Final = 1.0
"""How often an MCAP gets the counters on /diagnostics."""


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


class RecordingWriter:
    """The files of one recording (``nervlane record``'s), fed batch by
    batch from a sensor's frame queue.

    Nothing is created before the first frame: the header needs its reading
    count. Then the data file is created (exclusively unless ``replace``),
    then its sidecar. ``time_s`` counts from ``start`` (on the clock of
    ``time.monotonic()``; default now), or from the first frame if that was
    decoded earlier. ``unit`` names the calibrated values' unit in the
    details (None: ``NO_UNIT``). A frame longer than the first puts its
    extra readings after its calibrated values, so nothing written is
    rewritten while frames arrive; ``finish`` sorts them into raw columns.
    Not thread-safe.
    """

    def __init__(
        self,
        outputs: Outputs,
        sensor: Sensor,
        *,
        raw_only: bool = False,
        replace: bool = False,
        start: float | None = None,
        unit: str | None = None,
        name: str | None = None,
        statuses: bool = True,
    ) -> None:
        self.outputs = outputs
        self._comms = sensor.comms
        self._names = [] if raw_only else list(sensor.output_names)
        self._raw_only = raw_only
        self._replace = replace
        self._start = time.monotonic() if start is None else start
        self.base = dict(sensor.comms.stats())
        """The comms object's counters when the recording started."""
        self.params_data = sensor.params_data
        self.meta: dict[str, Any] = {
            "start_time": _now_text(),
            "port": sensor.label,
            "params": sensor.params,
            "format": sensor.format or "unknown",
            "unit": unit or NO_UNIT,
            "name": name or name_from(sensor.port or sensor.label),
            "package_version": package_version(),
            "module_version": str(getattr(sys.modules.get("nervlane_comm_py"), "__version__", "")),
            "utc_offset_ns": time.time_ns() - time.monotonic_ns(),
        }
        # start_monotonic, the origin of time_s, joins them with the first frame.
        self.tally = Tally()
        self.outages: list[dict[str, Any]] = []
        self._csv: CsvRows | None = None
        self._mcap: McapRows | None = None
        # Never for a recording written from another: its statuses would tell of now.
        self._last_status = self._start if statuses else float("inf")
        self._spill: ArraySpill | None = None
        self._told: Any = (dict.fromkeys(DECODER_COUNTERS, 0), 0)  # the counters the sidecar has
        self._pending: list[tuple[Any, Any, Any, Any]] = []
        """Batches taken since the last flush: sequence, time_s, raw, values."""
        self._raw_count = 0
        """Raw columns in the header: the first frame's reading count."""
        self.failure: RecordingFailed | None = None

    def _header(self, raw_count: int) -> list[str]:
        return header_for(raw_count, self._names)

    def _open(self, raw_count: int, value_count: int) -> None:
        self._raw_count = raw_count
        self.meta["start_monotonic"] = self._start
        outputs = self.outputs
        made: list[str] = []
        try:
            if outputs.mcap:
                from .mcap_file import McapRows

                self._mcap = McapRows.create(outputs.target, self._replace, self.meta, self._names, self.params_data)
                return
            # The data file first, and only then its sidecar: a recording
            # that loses the race for the name leaves the winner's alone.
            self._csv = CsvRows(outputs.csv, self._header(raw_count), self._replace)
            made.append(outputs.csv)
            create_sidecar(outputs.sidecar, self._replace, self.meta, self.params_data)
            made.append(outputs.sidecar)
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
            raise write_failed(e.filename or outputs.folder, e) from e

    def add(self, batch: nervlane_comm_py.FrameBatch | Rows) -> None:
        """Take a batch (``take_frames``'s); its rows reach the files at the
        next ``flush``. Raises RecordingFailed when the files cannot be made."""
        n = len(batch)
        if n == 0 or self.failure is not None:
            return
        raw = batch.raw
        width = raw.shape[1]
        values = np.empty((n, 0)) if self._raw_only else batch.values
        if self._csv is None and self._mcap is None:
            self._start = min(self._start, float(batch.time[0]))
            self._guard(self._open, width, values.shape[1])
        if self._mcap is not None:
            self._mcap.add(batch.sequence, batch.time, raw, values)
            self._pending.append((batch.sequence, batch.time - self._start, raw, values))
            return
        times = batch.time - self._start
        head = raw[:, : self._raw_count]
        if width < self._raw_count:
            head = np.full((n, self._raw_count), np.nan)
            head[:, :width] = raw
        # A longer frame's extra readings follow its calibrated values.
        tail = raw[:, self._raw_count :].tolist() if width > self._raw_count else [[]] * n
        assert self._csv is not None
        self._csv.add(batch.sequence.tolist(), times, head, values, tail)
        self._pending.append((batch.sequence, times, raw, values))

    @property
    def frames(self) -> int:
        """Frames taken: those on disk and those the next ``flush`` writes."""
        return self.tally.frames + sum(len(p[0]) for p in self._pending)

    def flush(self) -> None:
        """Hand the rows taken so far to the disk. Raises RecordingFailed on
        a write error; the data file then ends with the last whole row."""
        if (self._csv is None and self._mcap is None) or self.failure is not None:
            return
        now = time.monotonic()
        if self._mcap is not None and now - self._last_status >= STATUS_EVERY_S:
            self._status(now)
        self._guard(self._write)
        if self._csv is not None:
            self._guard(self._keep_sidecar)

    def _keep_sidecar(self) -> None:
        """The sidecar up to date with the decoder's counters and the outages, for ``recover``."""
        stats, base = self._comms.stats(), self.base
        told = {k: stats[k] - base[k] for k in DECODER_COUNTERS}
        if (told, len(self.outages)) == self._told:
            return
        self._told = (told, len(self.outages))
        self.meta.update(told, outages=self.outages)
        try:
            write_sidecar(self.outputs.sidecar, self.meta, self.params_data)
        except OSError as e:
            raise write_failed(self.outputs.sidecar, e) from e

    def _status(self, now: float, message: str = "recording", level: int = OK, extra: Any = (), stats: Any = 0) -> None:
        """The counters (since the recording started) on the MCAP's /diagnostics."""
        if self._mcap is None or self.failure is not None or self._last_status == float("inf"):
            return
        self._last_status = now
        stats, base = stats or self._comms.stats(), self.base
        counters = {
            "frames_recorded": self.frames,
            "frames_lost_by_tool": self.tally.gaps,
            **{k: stats.get(k, 0) - base.get(k, 0) for k in (*DECODER_COUNTERS, "reconnects")},
            "outages": len(self.outages),
        }
        self._mcap.status(int(stamps_ns(now, self.meta["utc_offset_ns"])), level, message, counters, dict(extra))

    def _write(self) -> None:
        rows = self._mcap or self._csv
        assert rows is not None
        pending, self._pending = self._pending, []
        try:
            rows.write()
        except OSError as e:
            kept = rows.kept
            for sequence, times, raw, _ in pending:
                if kept > 0:
                    self.tally.count(sequence[:kept], times[:kept], raw.shape[1])
                kept -= len(sequence)
            raise write_failed(rows.path, e) from e
        for sequence, times, raw, _ in pending:
            self.tally.count(sequence, times, raw.shape[1])
        if self._spill is not None:
            try:
                for sequence, times, raw, values in pending:
                    self._spill.add(sequence, times, raw, values)
            except OSError as e:
                raise write_failed(f"the .npz's temporary files in {self.outputs.folder}", e) from e

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
        outage = {**self._outage_start(started), "seconds": round(seconds, 6), "ended": ended}
        self.outages.append(outage)
        told = f"the sensor is back after {seconds:.1f} s" if ended else "stopped with the sensor away"
        self._status(time.monotonic(), told, OK if ended else ERROR, outage)

    def note_look(self, told: Outage | None, ended: list[Outage], started: Outage | None) -> None:
        """What one look of an ``OutageWatch`` found: each outage that ended
        (with its start too when it came and went between two looks, so
        that ``told``, the one under way before, is not started twice), and
        the one that started."""
        for outage in ended:
            assert outage.seconds is not None
            if outage is not told:
                self.note_outage_start(outage.started, outage.reason)
            self.note_outage(outage.started, outage.seconds)
        if started is not None:
            self.note_outage_start(started.started, started.reason)

    def note_outage_start(self, started: float, reason: str) -> None:
        """An outage as it starts, for an MCAP's /diagnostics."""
        self._status(time.monotonic(), f"the sensor went away ({reason})", ERROR, self._outage_start(started))

    def _outage_start(self, started: float) -> dict[str, Any]:
        wall = datetime.datetime.now().astimezone() - datetime.timedelta(seconds=time.monotonic() - started)
        return {
            "start_s": round(started - self._start, 6),
            "start_monotonic": round(started, 6),
            "start_time": wall.isoformat(timespec="milliseconds"),
        }

    def finish(self, stopped_by: str, stats: Mapping[str, Any] | None = None, seconds: float | None = None) -> Summary:
        """Write what is left and close the files: the .npz is written whole
        and its journal goes; a CSV whose frames grew is sorted into raw
        columns (work that grows with the file, done once the frames have
        stopped). After a write error the rows written stay where they are,
        with their metadata. ``stats`` are the comms object's counters at
        the end (default: now), ``seconds`` how long it ran (default: until
        now). Never raises for a write error: the summary's ``failure`` says
        what went wrong."""
        stats = self._comms.stats() if stats is None else stats
        seconds = time.monotonic() - self._start if seconds is None else seconds
        opened = self._csv is not None or self._mcap is not None
        if opened:
            with contextlib.suppress(RecordingFailed):
                self._status(time.monotonic(), f"stopped by {stopped_by}", stats=stats)
                self.flush()
        if self._csv is not None:
            self._csv.close()
        summary = Summary.of(
            self.tally,
            stats,
            self.base,
            seconds=seconds,
            stopped_by=self.failure.stop if self.failure is not None else stopped_by,
            path=self.outputs.target,
            outages=self.outages,
        )
        not_received = summary.not_received
        self.meta.update(
            frames=summary.frames,
            seconds=round(seconds, 3),
            frames_lost_by_tool=summary.lost_by_tool,
            **({} if not_received is None else {"frames_not_received": not_received}),
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
        if self._mcap is not None:
            self.failure = self._mcap.finish_recording(self.meta, self.failure, self.tally.frames)
            return
        widest = max(self.tally.raw_widths, default=self._raw_count)
        if self.failure is None and self._spill is not None:
            try:
                self._spill.save(
                    outputs.target,
                    {
                        "calibrated_names": np.array(self._names, dtype=str),
                        **params_array(self.params_data),
                        **npz_fields(self.meta),
                    },
                )
                os.unlink(outputs.csv)
                os.unlink(outputs.sidecar)
                return
            except OSError as e:
                self.failure = write_failed(outputs.target, e)
                self.meta["stopped_by"] = summary.stopped_by = f"{summary.stopped_by}, then {self.failure.stop}"
        if self.failure is None and widest > self._raw_count:
            try:
                widen(outputs.csv, self._header(widest), self._raw_count, len(self._names))
            except OSError as e:
                self.failure = write_failed(outputs.csv, e)
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
            write_sidecar(outputs.sidecar, self.meta, self.params_data)
        except OSError as e:
            if self.failure is None:
                self.failure = write_failed(outputs.sidecar, e)
