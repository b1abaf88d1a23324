"""The live view of a sensor in a terminal, for ``monitor`` and ``demo``.

The values under their names, the module's counters, outages as they come
and go, and the keys that zero or quit."""

from __future__ import annotations

import contextlib
import os
import sys
import threading
import time
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from rich.console import Console, Group
from rich.live import Live
from rich.table import Table
from rich.text import Text

from .console import ToolConsole
from .options import NO_UNIT
from .parameters import kind_names, raw_names
from .sensor.opened import Sensor, device_gone
from .sensor.outages import Outage, OutageWatch
from .sensor.watch import DecodeRate, DecodeWatch

if TYPE_CHECKING:
    import nervlane_comm_py

REFRESH_HZ = 8
READ_TIMEOUT_MS = 100
MAX_COLUMNS = 8


@dataclass(frozen=True)
class Snapshot:
    """What the view shows at one moment."""

    values: list[float]
    frames: int
    """Frames this view's reader took."""
    decoded: int
    """Frames the module decoded since the reader started, or since the
    first frame it took when that one was decoded before: never fewer than
    it took."""
    decoded_per_s: float
    stats: Mapping[str, Any]
    """The module's counters (``stats()``)."""
    missing: int | None
    """Frames the nominal rate promised but the module never decoded (with ``--rate``)."""


class FrameReader:
    """Takes every frame it can on a thread of its own, so that drawing the
    view never delays it, and keeps the newest for the view. What it did not
    take the module counts as overwritten; zeroing's frames count as taken
    by zeroing, not as missed. With ``reconnect`` (the module reopens
    the port) it waits through outages; else the device going away ends it."""

    def __init__(
        self, comms: nervlane_comm_py.NervlaneComms, raw: bool, expected_rate: float | None, reconnect: bool
    ) -> None:
        self.comms = comms
        self.raw = raw
        self.expected_rate = expected_rate
        self.reconnect = reconnect
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self.latest: list[float] = []
        self.frames = 0
        self.base = comms.stats()
        """The counters when the reader started."""
        self._first: tuple[float, int] | None = None  # (time, sequence) of the first frame read
        self._last: tuple[float, int] = (0.0, 0)
        self._rate = DecodeRate()
        self.gone = False
        self.error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="nervlane-monitor", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()

    def _run(self) -> None:
        try:
            while not self._stop.is_set():
                frame = self.comms.read_frame(READ_TIMEOUT_MS)
                if frame is None:
                    if not self.reconnect and not self.comms.is_connected():
                        self.gone = True
                        return
                    continue
                with self._lock:
                    self.latest = frame.raw if self.raw else frame.values
                    self.frames += 1
                    self._last = (frame.time, frame.sequence)
                    if self._first is None:
                        self._first = self._last
        except BaseException as e:  # noqa: BLE001 - shown by the main thread
            self.error = e

    def snapshot(self) -> Snapshot:
        now = time.monotonic()
        stats = self.comms.stats()
        decoded = stats["frames_decoded"]
        rate = self._rate(now, decoded)
        with self._lock:
            # A frame's sequence number is the module's count of frames
            # decoded. The first frame taken may have been decoded before the
            # reader started: the newest frame then, or, of a served sensor,
            # one its server had counted but not yet sent.
            since = self.base["frames_decoded"]
            missing = None
            if self._first is not None:
                (first_time, first_sequence), (last_time, last_sequence) = self._first, self._last
                since = min(since, first_sequence - 1)
                if self.expected_rate:
                    expected = 1 + round((last_time - first_time) * self.expected_rate)
                    missing = max(0, expected - (last_sequence - first_sequence + 1))
            return Snapshot(list(self.latest), self.frames, decoded - since, rate, stats, missing)

    def zero(self) -> str:
        try:
            self.comms.zero([])
        except RuntimeError as e:
            return f"zeroing failed: {e}"
        return "zeroed all sensors"


def counters(snap: Snapshot, base: Mapping[str, Any]) -> str:
    """The module's loss counters since the view started, in one line."""
    s = snap.stats
    text = (
        f"overwritten {s['frames_overwritten'] - base['frames_overwritten']}  "
        f"rejected {s['frames_rejected'] - base['frames_rejected']}  "
        f"discarded {s['bytes_discarded'] - base['bytes_discarded']} B"
    )
    if snap.missing is not None:
        text += f"  missing {snap.missing}"
    # Each outage ends the connection with one port error.
    outages = s.get("port_errors", 0) - base.get("port_errors", 0)
    return f"{text}  outages {outages}" if outages else text


def away(label: str, outage: Outage, now: float) -> str:
    """The line that shows an outage while the module reopens the port."""
    seconds = outage.lasted(now)
    return f"reconnecting to {label} ({outage.reason})" + (f", away {seconds:.1f} s" if seconds >= 0.05 else "")


def _cell(name: str, width: int, v: float, peak: float, raw: bool) -> Text:
    text = f"{name:>{width}} {v:>7.0f}" if raw else f"{name:>{width}} {v:>8.3f}"
    if raw or peak <= 0 or v <= 0:
        return Text(text, style="dim" if v == 0 else "")
    share = min(1.0, v / peak)
    style = "bold red" if share > 0.66 else "yellow" if share > 0.33 else "green"
    return Text(text, style=style)


def render(
    title: str,
    snap: Snapshot,
    base: Mapping[str, Any],
    names: list[str],
    elapsed: float,
    raw: bool,
    status: str,
    hint: str,
    width: int = 80,
    unit: str | None = None,
) -> Group:
    """The view: a header line with the unit (``unit``, None: ``NO_UNIT``;
    raw readings have none) and the counters, then each value under its
    name, as many to a row as ``width`` holds."""
    header = Text.assemble(
        (title, "bold"),
        f"  {'raw readings' if raw else f'values in {unit or NO_UNIT}'}  {elapsed:5.1f} s  ",
        (f"{snap.decoded_per_s:6.1f} decoded/s", "cyan"),
        f"  read {snap.frames}  {counters(snap, base)}",
    )
    values = snap.values
    label = max(map(len, names), default=1)
    cols = max(1, min(MAX_COLUMNS, width // (label + 11)))  # name, value, padding
    table = Table(show_header=False, box=None, padding=(0, 1))
    for _ in range(min(cols, max(1, len(values)))):
        table.add_column(justify="right")
    peak = max(values, default=0.0)
    row: list[Text] = []
    for name, v in zip(names, values, strict=False):
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
    sensor: Sensor,
    title: str,
    raw: bool,
    seconds: float | None,
    expected_rate: float | None,
    console: Console | None = None,
    unit: str | None = None,
) -> tuple[Snapshot, Mapping[str, Any], float]:
    """Show the sensor until ``seconds`` pass, Ctrl+C, or 'q'. Keys are read
    only when interactive (no ``seconds`` and stdin a terminal). Calibrated
    values carry the names a person counts by (``kind_names``) and their
    ``unit`` (None: ``NO_UNIT``), raw readings their column names
    (``raw_3``); a stream that does not fit its frame format gets a hint.
    While the sensor is reconnecting (the module reopens the port) an
    outage is shown, with the module's last error, until the device is
    back.

    Returns (the last snapshot, the counters when the view started,
    seconds shown). Raises ToolError (EXIT_DISCONNECTED) when the device
    goes away and the sensor is not reconnecting.
    """
    console = console or ToolConsole()
    interactive = seconds is None and sys.stdin.isatty()
    keys = "z: zero   q or Ctrl+C: quit" if interactive else ("Ctrl+C: quit" if seconds is None else "")
    comms = sensor.comms
    reader = FrameReader(comms, raw, expected_rate, sensor.reconnect)
    base = reader.base
    reader.start()
    start = time.monotonic()
    watch = DecodeWatch(base, sensor.format, start)
    outages = OutageWatch(base, start)
    status = ""
    hint_shown = False
    last_plain = start

    def view(snap: Snapshot) -> Group:
        names = raw_names(len(snap.values)) if raw else kind_names(sensor.output_names)
        now = time.monotonic()
        hint = watch.hint(snap.stats, now)
        if outages.current is not None:
            hint = away(sensor.label, outages.current, now)
        return render(title, snap, base, names, now - start, raw, hint or status, keys, console.width, unit)

    def tell(now: float, text: str) -> None:
        console.print(f"{now - start:5.1f} s  {text}", soft_wrap=True)

    live = Live(console=console, auto_refresh=False, transient=False) if console.is_terminal else None
    try:
        with _keys(interactive) as poll, live if live is not None else contextlib.nullcontext():
            while True:
                now = time.monotonic()
                if seconds is not None and now - start >= seconds:
                    break
                if reader.gone:
                    raise device_gone(sensor, comms.stats())
                if reader.error is not None:
                    raise reader.error
                key = poll()  # type: ignore[operator]
                if key in ("q", "Q"):
                    break
                if key in ("z", "Z"):
                    status = "zeroing..."
                    if live is not None:
                        live.update(view(reader.snapshot()), refresh=True)
                    status = reader.zero()
                snap = reader.snapshot()
                told = outages.current
                ended, started = outages.look(snap.stats, now)
                if live is not None:
                    live.update(view(snap), refresh=True)
                else:
                    for outage in ended:
                        if outage is not told:  # it came and went between two looks
                            tell(now, away(sensor.label, outage, outage.started))
                        tell(now, f"{sensor.label} is back after {outage.lasted(now):.1f} s")
                    if started is not None:
                        tell(now, away(sensor.label, started, now))
                    elif outages.reason_changed and outages.current is not None:
                        tell(now, away(sensor.label, outages.current, now))
                if live is None and now - last_plain >= 1.0:
                    tell(now, f"{snap.decoded_per_s:.1f} decoded/s  read {snap.frames}  {counters(snap, base)}")
                    hint = watch.hint(snap.stats, now)
                    if hint is not None and not hint_shown:
                        console.print(hint, soft_wrap=True)
                        hint_shown = True
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
    snap = reader.snapshot()
    if live is None:
        console.print(view(snap))
    return snap, base, elapsed


def summary(snap: Snapshot, base: Mapping[str, Any], elapsed: float) -> str:
    """The closing line of a view."""
    return (
        f"read {snap.frames} frames in {elapsed:.1f} s ({snap.frames / max(elapsed, 1e-9):.1f}/s); "
        f"decoded {snap.decoded}  {counters(snap, base)}"
    )
