"""The browser view's reader thread: every frame off the queue.

It takes the frames on a thread of its own, hands each to a recording if
one runs, and gathers what the page's next update shows. A slow page never
costs a recorded frame."""

from __future__ import annotations

import collections
import math
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Final

import numpy as np

from ..sensor.outages import Outage, OutageWatch, news
from .recording import PageRecording

QUEUE_FRAMES: Final = 1 << 15
"""Frames the module holds while this reader is late: 32 s at 1 kHz."""
TAKE_TIMEOUT_MS: Final = 100
PACE_S: Final = 0.01
"""The shortest pass of the reader: frames come off the queue in batches."""
STRIP_MAX_HZ: Final = 1000.0
"""The strip chart gets every frame up to this rate, every n-th above it."""
_RATE_SLACK: Final = 1.05  # a 1 kHz device whose clock runs a little fast still sends every frame
LOOK_EVERY_S: Final = 0.1
"""How often the reader looks at the module's counters for outages."""


def _write_error(error: OSError, file: str) -> str:
    if error.strerror is None:  # the recording's own message, which names the file
        return str(error)
    return f"cannot write {error.filename or file}: {error.strerror}"


@dataclass
class Update:
    """What arrived since the page's last update."""

    latest: Any
    """The newest frame's values (float64, one per output)."""
    peak: Any
    """The largest value of each output since the last update."""
    times: Any
    """The strip chart's frames: decode times (float64) ..."""
    values: Any
    """... and their values (float32, frames x outputs)."""
    every: int
    """The strip chart keeps every ``every``-th frame."""


def _fit(values: Any, width: int) -> Any:
    """Frames cut or padded (NaN) to ``width`` outputs."""
    if values.shape[1] == width:
        return values
    out = np.full((values.shape[0], width), np.nan)
    keep = min(width, values.shape[1])
    out[:, :keep] = values[:, :keep]
    return out


class FrameFeed:
    """The reader thread and what it gathers. ``comms`` has the module's
    shapes (``queue_frames``, ``take_frames``, ``is_connected``, ``stats``).
    With ``reconnect`` (the module reopens the port) a recording goes on
    across outages and notes each; else the device going away ends it.
    ``tell`` is given a line when the sensor (``called``: "the sensor on
    PORT") goes away and one when it is back."""

    def __init__(
        self,
        comms: Any,
        names: Sequence[str],
        on_recording_end: Callable[[dict[str, Any]], None] | None = None,
        reconnect: bool = False,
        *,
        tell: Callable[[str], None] | None = None,
        called: str = "the sensor",
    ) -> None:
        self.comms = comms
        self.reconnect = reconnect
        self._tell = tell
        self._called = called
        self._told_gone = False
        self._outages: OutageWatch | None = None
        self.width = len(names)
        self._on_recording_end = on_recording_end
        self._lock = threading.Lock()  # what the next update shows
        self._record_lock = threading.Lock()  # the recording, and handing it over
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="nervlane-view", daemon=True)
        self.frames = 0
        self.lost = 0
        """Frames missing between two taken: dropped from a full queue."""
        self._last_sequence: int | None = None
        self._recent: collections.deque[tuple[float, int]] = collections.deque()
        self._kept_phase = 0
        self._every = 1
        self._latest: Any = None
        self._peak = np.full(self.width, np.nan)
        self._times: list[Any] = []
        self._values: list[Any] = []
        self.recording: PageRecording | None = None
        self.last_recording: dict[str, Any] | None = None
        """What the last recording to end wrote, or why it failed."""
        self.error: BaseException | None = None

    def start(self) -> None:
        self.comms.queue_frames(QUEUE_FRAMES)
        if self.reconnect:
            self._outages = OutageWatch(self.comms.stats(), time.monotonic())
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()

    # -- the reader thread ------------------------------------------------

    def _run(self) -> None:
        looked = 0.0
        try:
            while not self._stop.is_set():
                began = time.monotonic()
                if self._outages is not None and began - looked >= LOOK_EVERY_S:
                    self._look(began)
                    looked = began
                batch = self.comms.take_frames(TAKE_TIMEOUT_MS)
                if len(batch):
                    self.absorb(batch)
                    self._record(batch, began)
                    self._stop.wait(max(0.0, PACE_S - (time.monotonic() - began)))
                elif self._outages is None and not self.comms.is_connected():
                    self._gone_for_good()
                    self.finish_recording("the device going away")
                    self._stop.wait(TAKE_TIMEOUT_MS / 1000)
        except BaseException as e:  # noqa: BLE001 - shown on the page and by the command
            self.error = e

    def _look(self, now: float) -> None:
        with self._record_lock:
            self._look_locked(now)

    def _look_locked(self, now: float) -> None:
        """Outages that ended are noted in the running recording."""
        assert self._outages is not None
        told = self._outages.current
        ended, started = self._outages.look(self.comms.stats(), now)
        if self.recording is not None:
            self.recording.note_look(told, ended, started)
        if self._tell is not None:
            still = self._outages.current if self._outages.reason_changed else None
            for line in news(self._called, told, ended, started, away="; waiting for it to come back", still=still):
                self._tell(line)

    def _gone_for_good(self) -> None:
        """Told once: the device went away and the port is not reopened."""
        if self._tell is not None and not self._told_gone:
            gone = Outage(time.monotonic(), self.comms.stats().get("last_error") or None)
            self._tell(
                f"{self._called} went away ({gone.reason}); it is not reopened (--no-reconnect): Ctrl+C ends the view"
            )
        self._told_gone = True

    def _record(self, batch: Any, now: float) -> None:
        with self._record_lock:
            recording = self.recording
            if recording is None:
                return
            try:
                recording.add(batch)
                recording.write_due(now)
                return
            except OSError as e:
                failure = _write_error(e, recording.file)
        self.finish_recording(f"an error ({failure})", failure)

    def absorb(self, batch: Any) -> None:
        """Count a batch and keep what the page needs of it."""
        n = len(batch)
        sequence = batch.sequence
        first, last = int(sequence[0]), int(sequence[-1])
        values = _fit(batch.values, self.width)
        recent = self._recent
        recent.append((float(batch.time[-1]), n))
        while recent[0][0] < recent[-1][0] - 1.0:
            recent.popleft()
        rate = sum(count for _, count in recent)
        every = max(1, math.ceil(rate / (STRIP_MAX_HZ * _RATE_SLACK)))
        kept = np.arange((-self._kept_phase) % every, n, every)
        self._kept_phase = (self._kept_phase + n) % every
        with self._lock:
            if self._last_sequence is not None:
                self.lost += max(0, first - self._last_sequence - 1)
            self.lost += last - first - (n - 1)
            self._last_sequence = last
            self.frames += n
            self._latest = values[-1]
            self._peak = np.fmax(self._peak, np.fmax.reduce(values, axis=0))
            self._every = every
            self._times.append(batch.time[kept])
            self._values.append(values[kept].astype(np.float32))

    def take_update(self) -> Update | None:
        """What arrived since the last call; None when nothing did."""
        with self._lock:
            if self._latest is None:
                return None
            update = Update(
                self._latest,
                self._peak,
                np.concatenate(self._times),
                np.concatenate(self._values),
                self._every,
            )
            self._latest = None
            self._peak = np.full(self.width, np.nan)
            self._times.clear()
            self._values.clear()
        return update

    # -- recording --------------------------------------------------------

    def start_recording(self, make: Callable[[], PageRecording]) -> PageRecording:
        """Start recording what the reader takes from now on; ``make``
        builds the recording. Raises RuntimeError while one runs."""
        with self._record_lock:
            if self.recording is not None:
                raise RuntimeError(f"already recording to {self.recording.file}")
            if self._outages is not None:
                self._look_locked(time.monotonic())  # an outage over by now is not this recording's
            self.recording = make()
            return self.recording

    def finish_recording(self, stopped_by: str, failure: str | None = None) -> dict[str, Any] | None:
        """End the running recording, if any: it is fed no more frames, its
        files are closed (an .npz written whole), and ``last_recording``
        says what it holds, or why it failed."""
        with self._record_lock:
            current = None
            if self._outages is not None:
                self._look_locked(time.monotonic())  # an outage over by now is noted as over
                current = self._outages.current
            recording, self.recording = self.recording, None
        if recording is None:
            return None
        if current is not None:  # the outage outlasted the recording
            recording.note_outage(current.started, current.lasted(time.monotonic()), ended=False)
        try:
            summary = recording.finish(stopped_by, self.comms.stats())
        except OSError as e:
            failure = failure or _write_error(e, recording.file)
            summary = {"file": recording.file, "frames": recording.frames, "stopped_by": stopped_by}
        if failure is not None:
            summary["error"] = failure
        self.last_recording = summary
        if self._on_recording_end is not None:
            self._on_recording_end(summary)
        return summary
