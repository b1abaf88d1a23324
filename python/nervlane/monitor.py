"""The live view behind ``nervlane monitor`` and ``nervlane demo``."""

from __future__ import annotations

import collections
import contextlib
import os
import statistics
import sys
import threading
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from rich.console import Console, Group
from rich.live import Live
from rich.table import Table
from rich.text import Text

from .connection import disconnected_message, open_sensor
from .console import ToolConsole
from .document import output_names, raw_names
from .errors import EXIT_DISCONNECTED, ToolError

if TYPE_CHECKING:
    import nervlane_comm_py

REFRESH_HZ = 8
READ_TIMEOUT_MS = 100
MAX_COLUMNS = 8


class FrameReader:
    """Reads frames as fast as they come on a thread of its own, so that
    drawing the view never makes it miss one, and keeps the counts the
    view shows.

    "Skipped" frames (published by the reader thread but overwritten before
    this loop took them) cannot be counted directly: frames carry no
    sequence number. With the device's nominal rate known it is the
    expected count minus the frames read; otherwise every interval between
    frames longer than 1.5x the median interval counts as
    round(interval / median) - 1 skipped frames.
    """

    def __init__(self, comms: nervlane_comm_py.NervlaneComms, raw: bool, expected_rate: float | None) -> None:
        self.comms = comms
        self.raw = raw
        self.expected_rate = expected_rate
        self.io_lock = threading.Lock()  # zeroing must not race the reads for frames
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self.latest: list[float] = []
        self.frames = 0
        self.timeouts = 0
        self.first_time: float | None = None
        self.last_time: float | None = None
        self._recent: collections.deque[float] = collections.deque()
        self._intervals: collections.deque[float] = collections.deque(maxlen=200)
        self._median: float | None = None
        self._gap_skipped = 0
        self.gone = False
        self.error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="nervlane-monitor", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()

    def _run(self) -> None:
        read = self.comms.read_raw if self.raw else self.comms.read
        try:
            while not self._stop.is_set():
                with self.io_lock:
                    values = read(READ_TIMEOUT_MS)
                now = time.monotonic()
                if not values:
                    with self._lock:
                        self.timeouts += 1
                    if not self.comms.is_connected():
                        self.gone = True
                        return
                    continue
                self._count(values, now)
        except BaseException as e:  # noqa: BLE001 - shown by the main thread
            self.error = e

    def _count(self, values: list[float], now: float) -> None:
        with self._lock:
            self.latest = values
            self.frames += 1
            if self.last_time is not None:
                dt = now - self.last_time
                self._intervals.append(dt)
                if self._median is None or self.frames % 50 == 0:
                    self._median = statistics.median(self._intervals)
                if self._median and len(self._intervals) >= 10 and dt > 1.5 * self._median:
                    self._gap_skipped += max(0, round(dt / self._median) - 1)
            else:
                self.first_time = now
            self.last_time = now
            self._recent.append(now)
            while self._recent and now - self._recent[0] > 1.0:
                self._recent.popleft()

    def snapshot(self) -> tuple[list[float], int, float, int, int]:
        """(latest values, frames read, frames per second over the last
        second, estimated skipped, time-outs)."""
        with self._lock:
            rate = float(len(self._recent))
            if self.first_time is not None and time.monotonic() - self.first_time < 1.0 and len(self._recent) > 1:
                rate = (len(self._recent) - 1) / max(1e-6, self._recent[-1] - self._recent[0])
            if self.expected_rate and self.first_time is not None and self.last_time is not None:
                expected = 1 + round((self.last_time - self.first_time) * self.expected_rate)
                skipped = max(0, expected - self.frames)
            else:
                skipped = self._gap_skipped
            return list(self.latest), self.frames, rate, skipped, self.timeouts

    def zero(self) -> str:
        with self.io_lock:
            try:
                self.comms.zero([])
            except RuntimeError as e:
                return f"zeroing failed: {e}"
        return "zeroed all sensors"


def _cell(name: str, width: int, v: float, peak: float, raw: bool) -> Text:
    text = f"{name:>{width}} {v:>7.0f}" if raw else f"{name:>{width}} {v:>8.3f}"
    if raw or peak <= 0 or v <= 0:
        return Text(text, style="dim" if v == 0 else "")
    share = min(1.0, v / peak)
    style = "bold red" if share > 0.66 else "yellow" if share > 0.33 else "green"
    return Text(text, style=style)


def render(
    title: str, values: list[float], names: list[str], frames: int, rate: float, skipped: int, timeouts: int,
    elapsed: float, raw: bool, status: str, hint: str, width: int = 80,
) -> Group:
    """The view: a header line, then each value under the name the
    recordings give its column, as many to a row as ``width`` holds."""
    header = Text.assemble(
        (title, "bold"),
        f"  {'raw' if raw else 'calibrated'}  {elapsed:5.1f} s  ",
        (f"{rate:6.1f} frames/s", "cyan"),
        f"  read {frames}  skipped {skipped}  time-outs {timeouts}",
    )
    label = max(map(len, names), default=1)
    cols = max(1, min(MAX_COLUMNS, width // (label + 11)))  # name, value, padding
    table = Table(show_header=False, box=None, padding=(0, 1))
    for _ in range(min(cols, max(1, len(values)))):
        table.add_column(justify="right")
    peak = max(values, default=0.0)
    row: list[Text] = []
    for name, v in zip(names, values):
        row.append(_cell(name, label, v, peak, raw))
        if len(row) == cols:
            table.add_row(*row)
            row = []
    if row:
        table.add_row(*row)
    parts: list[Text | Table] = [header, table if values else Text("waiting for frames...", style="dim")]
    if status:
        parts.append(Text(status, style="magenta"))
    if hint:
        parts.append(Text(hint, style="dim"))
    return Group(*parts)


@contextlib.contextmanager
def _keys(enabled: bool) -> Iterator[object]:
    """Single key presses from the terminal, without Enter, while inside."""
    if not enabled:
        yield lambda: None
        return
    if sys.platform == "win32":
        import msvcrt

        def poll_nt() -> str | None:
            return msvcrt.getwch() if msvcrt.kbhit() else None

        yield poll_nt
    else:
        import select
        import termios
        import tty

        fd = sys.stdin.fileno()
        saved = termios.tcgetattr(fd)
        tty.setcbreak(fd)

        def poll_posix() -> str | None:
            ready, _, _ = select.select([fd], [], [], 0)
            return os.read(fd, 1).decode(errors="replace") if ready else None

        try:
            yield poll_posix
        finally:
            termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def live_view(
    comms: nervlane_comm_py.NervlaneComms,
    title: str,
    raw: bool,
    seconds: float | None,
    expected_rate: float | None,
    port: str,
    console: Console | None = None,
    document: Any = None,
) -> tuple[int, int, float]:
    """Show the sensor until ``seconds`` pass, Ctrl+C, or 'q'. Keys are read
    only when interactive (no ``seconds`` and stdin a terminal). Calibrated
    values are named after the sensors of the parameter ``document``.

    Returns (frames read, estimated skipped, seconds shown). Raises
    ToolError (EXIT_DISCONNECTED) when the device goes away.
    """
    console = console or ToolConsole()
    interactive = seconds is None and sys.stdin.isatty()
    hint = "z: zero   q or Ctrl+C: quit" if interactive else ("Ctrl+C: quit" if seconds is None else "")
    reader = FrameReader(comms, raw, expected_rate)
    reader.start()
    start = time.monotonic()
    status = ""
    last_plain = start

    def frame() -> Group:
        values, frames, rate, skipped, timeouts = reader.snapshot()
        names = raw_names(len(values)) if raw else output_names(document, len(values))
        return render(title, values, names, frames, rate, skipped, timeouts, time.monotonic() - start, raw,
                      status, hint, console.width)

    live = Live(console=console, auto_refresh=False, transient=False) if console.is_terminal else None
    try:
        with _keys(interactive) as poll, live if live is not None else contextlib.nullcontext():
            while True:
                now = time.monotonic()
                if seconds is not None and now - start >= seconds:
                    break
                if reader.gone:
                    raise ToolError(disconnected_message(port), EXIT_DISCONNECTED)
                if reader.error is not None:
                    raise reader.error
                key = poll()  # type: ignore[operator]
                if key in ("q", "Q"):
                    break
                if key in ("z", "Z"):
                    status = "zeroing..."
                    if live is not None:
                        live.update(frame(), refresh=True)
                    status = reader.zero()
                if live is not None:
                    live.update(frame(), refresh=True)
                elif now - last_plain >= 1.0:
                    _, frames, rate, skipped, _ = reader.snapshot()
                    console.print(f"{now - start:5.1f} s  {frames} frames  {rate:.1f}/s  skipped {skipped}")
                    last_plain = now
                wait = 1.0 / REFRESH_HZ
                if seconds is not None:
                    wait = min(wait, max(0.0, seconds - (time.monotonic() - start)))
                time.sleep(wait)
    except KeyboardInterrupt:
        pass
    finally:
        reader.stop()
    elapsed = time.monotonic() - start
    if live is None:
        console.print(frame())
    _, frames, _, skipped, _ = reader.snapshot()
    return frames, skipped, elapsed


def run_monitor(port: str, params: str, raw: bool, zero: bool, seconds: float | None, rate: float | None) -> None:
    """``nervlane monitor``. Raises ToolError."""
    comms, port, doc = open_sensor(port, params)
    console = ToolConsole()
    try:
        if zero:
            try:
                comms.zero([])
            except RuntimeError as e:
                if not comms.is_connected():
                    raise ToolError(disconnected_message(port), EXIT_DISCONNECTED) from e
                raise ToolError(f"zeroing failed: {e} (zeroing needs at least 20 frames per second)") from e
        frames, skipped, elapsed = live_view(comms, port, raw, seconds, rate, port, console, doc)
        console.print(
            f"read {frames} frames in {elapsed:.1f} s ({frames / max(elapsed, 1e-9):.1f}/s), "
            f"about {skipped} skipped"
        )
    finally:
        del comms
