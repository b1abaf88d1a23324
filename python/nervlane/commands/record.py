"""``nervlane record`` and ``nervlane recover``: every frame, once, to a file.

``record`` writes every frame the sensor sends to CSV, .npz or MCAP;
``recover`` turns the journal of an .npz recording that did not finish
into the .npz, and finishes an MCAP that a crash left without its index.

Frames come from the module's frame queue, so none is missed however late
the recording loop runs, and each row is one frame: its sequence number,
its time, its raw readings and the calibrated values of that same frame.
The files are ``nervlane.recording``'s, whose writer other tools reuse.
"""

from __future__ import annotations

import contextlib
import signal
import time
from collections.abc import Iterator
from dataclasses import dataclass
from types import FrameType
from typing import Any, Final

from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn

from ..console import ToolConsole
from ..errors import EXIT_USAGE, ToolError
from ..options import RecordOptions, RecoverOptions, ServedSource
from ..recording import Outputs, RecordingFailed, RecordingWriter, check_output, recover
from ..recording.outputs import name_from
from ..sensor import Sensor, device_gone, open_source
from ..sensor.outages import OutageWatch, news
from ..sensor.watch import DecodeWatch

QUEUE_FRAMES: Final = 1 << 15
"""What the module holds while this loop is busy elsewhere: 16 s at 2000 frames/s."""
TAKE_TIMEOUT_MS: Final = 200
PACE_S: Final = 0.02
"""The shortest pass of the loop: frames are taken in batches, not one by one."""
WRITE_EVERY_S: Final = 0.5
"""How often rows reach the file, so a crash loses at most this much."""

# The stops a person or a supervisor sends, by the name they know them by.
_STOP_SIGNALS: Final = {"SIGINT": "Ctrl+C", "SIGTERM": "SIGTERM", "SIGBREAK": "Ctrl+Break"}


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
# The commands


def run(options: RecordOptions) -> None:
    """``nervlane record``: the output checked before the port opens, then
    the sensor the options name recorded (``record_sensor``). Raises ToolError."""
    if options.seconds is not None and not options.seconds > 0:
        raise ToolError("--seconds must be positive", EXIT_USAGE)
    outputs = check_output(options.output, options.force)
    console = ToolConsole(stderr=True, log=True)
    record_sensor(open_source(options.source, console), outputs, options, console)


def record_sensor(sensor: Sensor, outputs: Outputs, options: RecordOptions, console: ToolConsole) -> None:
    """Record an open sensor into ``outputs`` until the options' seconds pass
    (None: until Ctrl+C or SIGTERM), a stop signal, or a write error (the
    rows so far are kept), then disconnect it. While the sensor is
    reconnecting an outage is told and noted, and the recording goes on in
    the same file; else the device going away ends it (the frames so far
    are kept; EXIT_DISCONNECTED). Raises ToolError; EXIT_ERROR when no
    frame came."""
    comms = sensor.comms
    with _stop_on_signals() as stop:
        # Read before the queue starts, so that no queued frame is older.
        start = time.monotonic()
        served = options.source.name if isinstance(options.source, ServedSource) else None
        name = options.name or (name_from(served) if served else None)
        writer = RecordingWriter(
            outputs,
            sensor,
            raw_only=options.raw_only,
            replace=options.force,
            start=start,
            unit=options.unit,
            name=name,
        )
        comms.queue_frames(QUEUE_FRAMES)
        watch = DecodeWatch(writer.base, sensor.format, start)
        outages = OutageWatch(writer.base, start) if sensor.reconnect else None
        loop = _Loop(comms, writer, watch, stop, console, sensor.called, outages)
        try:
            gone = loop.run(options.seconds)
        except RecordingFailed as e:
            stop.reason, gone = e.stop, False
        loop.note_outage_at_stop()
        stats = comms.stats()
        _disconnect(comms, sensor.label, console)
        if outputs.npz and writer.frames and writer.failure is None:
            console.tell(f"writing {outputs.target}")
        summary = writer.finish(stop.reason or "", stats)
    hint = watch.hint(stats, start + summary.seconds)
    if summary.frames == 0 and summary.failure is not None:
        raise summary.failure
    if summary.frames == 0 and not gone:
        raise ToolError(
            f"no frame recorded from {sensor.label}; " + (hint or f"nothing came in {summary.seconds:.1f} s")
        )
    if summary.frames == 0:
        raise device_gone(sensor, stats)
    print("\n".join(summary.lines()))
    if hint is not None:
        console.tell(hint, style="yellow")
    if summary.failure is not None:
        raise summary.failure
    if gone:
        raise device_gone(sensor, stats)


@dataclass
class _Loop:
    """The recording loop and what it watches."""

    comms: Any
    writer: RecordingWriter
    decode: DecodeWatch
    stop: Stop
    console: ToolConsole
    called: str
    """What the lines call the sensor: "the sensor on PORT"."""
    outages: OutageWatch | None
    """Outages seen while the module reopens the port; None: it does not."""

    def run(self, seconds: float | None) -> bool:
        """Takes batches into the writer until a stop; returns whether the
        device went away for good. Raises RecordingFailed."""
        comms, writer, stop = self.comms, self.writer, self.stop
        start = time.monotonic()
        hint: str | None = None
        with _progress(self.console, seconds) as (progress, task):
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
                writer.add(batch)
                if self.outages is None:
                    if len(batch) == 0 and not comms.is_connected():
                        stop.reason = "the device going away"
                        return True
                else:
                    self._look(comms.stats(), time.monotonic())
                if now - last_write >= WRITE_EVERY_S:
                    writer.flush()
                    last_write = now
                    if hint is None and (hint := self.decode.hint(comms.stats(), now)) is not None:
                        self.console.tell(hint, style="yellow")
                progress.update(task, completed=now - start, frames=writer.frames)
                if len(batch):
                    time.sleep(max(0.0, PACE_S - (time.monotonic() - now)))
            # Frames decoded before the stop are still queued.
            end = time.monotonic()
            while len(batch := comms.take_frames(0)):
                writer.add(batch)
                if batch.time[-1] > end:
                    break
        if self.outages is not None:
            self._look(comms.stats(), time.monotonic())
        return False

    def _look(self, stats: Any, now: float) -> None:
        """One line when an outage starts and one when it ends, which the
        recording notes."""
        assert self.outages is not None
        told = self.outages.current
        ended, started = self.outages.look(stats, now)
        self.writer.note_look(told, ended, started)
        away = "; waiting for it to come back, recording on into the same file"
        still = self.outages.current if self.outages.reason_changed else None
        for line in news(self.called, told, ended, started, away=away, back="; recording on", still=still):
            self.console.tell(line)

    def note_outage_at_stop(self) -> None:
        """An outage the stop cut short is noted as lasting until then."""
        current = None if self.outages is None else self.outages.current
        if current is not None:
            self.writer.note_outage(current.started, current.lasted(time.monotonic()), ended=False)


def _disconnect(comms: Any, label: str, console: ToolConsole) -> None:
    """Stop the queue and let the port go. An error here (a PortError from
    a port that failed as it closed) costs the recording nothing: it is
    told, not raised."""
    try:
        comms.queue_frames(0)
        comms.close()
    except Exception as e:  # noqa: BLE001 - PortError or any other: the frames are in hand
        console.tell(f"note: closing {label} failed: {getattr(e, 'description', None) or e}")


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


def run_recover(options: RecoverOptions) -> None:
    """``nervlane recover X.npz``: the journal of a recording that did not
    finish written as ``X.npz``; ``nervlane recover X.mcap``: the MCAP
    finished (``nervlane.recording.recover``). Raises ToolError."""
    target = options.file
    frames, note = recover(target, options.force)
    if note:
        print(f"note: {note}")
    if target.lower().endswith(".mcap"):
        print(f"recovered {frames} frames in {target}: it has its summary and index now")
    else:
        print(f"recovered {frames} frames from {Outputs(target).csv} to {target}")
