"""A pseudo-terminal pair that plays a serial device.

What its master end writes, the program on the slave end (the port)
reads. POSIX only."""

from __future__ import annotations

import collections
import contextlib
import errno
import os
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import TracebackType

from ..formats import Format


def open_raw_pty() -> tuple[int, str]:
    """A non-blocking master fd and the path of its raw-mode slave, which is
    left closed."""
    if sys.platform == "win32":
        raise OSError("this system has no POSIX pseudo-terminal (Linux and macOS have one)")
    else:
        import tty

        master, slave = os.openpty()
        try:
            tty.setraw(slave)
            path = os.ttyname(slave)
            os.set_blocking(master, False)
        except BaseException:
            os.close(master)
            raise
        finally:
            os.close(slave)
        return master, path


def send_frame(fd: int, frame: bytes) -> bool:
    """Write ``frame`` to the non-blocking master ``fd`` as a sensor sends:
    it never waits for its reader, so a frame that finds the port full is
    not sent (False), but one already started goes out whole."""
    import select

    try:
        n = os.write(fd, frame)
    except BlockingIOError:
        return False
    while n < len(frame):
        select.select([], [fd], [], 0.1)
        try:
            n += os.write(fd, frame[n:])
        except BlockingIOError:
            pass
    return True


@dataclass(frozen=True)
class SentFrame:
    """One frame the device sends: its index, when it went out, its bytes
    and (when the device encoded it) the readings it meant to send."""

    index: int
    time: float
    data: bytes
    readings: tuple[float, ...] | None


class PtyDevice:
    """A pseudo-terminal pair whose slave end is the port under test.

    The slave is put in raw mode and closed again at once, so the only
    holder of the port is whoever opens ``port``. Writing to the master is
    the device sending; closing the master (``hang_up``) is the cable being
    pulled, and ``plug_in`` brings the device back as a new pty, as the
    kernel may number a USB adapter anew. POSIX only.
    """

    def __init__(self, sent_maxlen: int = 1000) -> None:
        master, self.port = open_raw_pty()
        self._master: int | None = master
        self._lock = threading.Lock()  # one writer at a time, and close vs write
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._error: BaseException | None = None
        self.frames_sent = 0
        self.frames_dropped = 0
        self.sent: collections.deque[SentFrame] = collections.deque(maxlen=sent_maxlen)
        self.on_frame: Callable[[SentFrame], None] | None = None
        self._link: str | None = None

    # -- writing ----------------------------------------------------------

    def _write_all(self, data: bytes, deadline: float | None) -> bool:
        """Write every byte; False if the deadline or a stop came first."""
        import select

        view = memoryview(data)
        while view:
            with self._lock:
                fd = self._master
                if fd is None:
                    raise OSError(errno.EBADF, "the device has hung up")
                try:
                    n = os.write(fd, view)
                except BlockingIOError:
                    n = 0
            view = view[n:]
            if not view:
                break
            if self._stop.is_set() and threading.current_thread() is self._thread:
                return False
            wait = 0.05
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                wait = min(wait, left)
            select.select([], [fd], [], wait)
        return True

    def write(self, data: bytes, timeout: float | None = 5.0) -> None:
        """Send ``data`` whole. Raises TimeoutError when nobody drains the
        port within ``timeout`` seconds (None: wait for ever), and OSError
        after ``hang_up``/``close``."""
        deadline = None if timeout is None else time.monotonic() + timeout
        if not self._write_all(bytes(data), deadline):
            raise TimeoutError(f"the port {self.port} is not being read: write timed out")

    # -- streaming --------------------------------------------------------

    def stream(
        self,
        frame_source: Callable[[int], bytes],
        rate_hz: float,
        count: int | None = None,
    ) -> None:
        """Write frame_source(0), frame_source(1), ... at ``rate_hz`` from a
        background thread, paced on the monotonic clock, until ``count``
        frames or ``stop``. Raises RuntimeError if already streaming."""
        self._start(lambda i: (frame_source(i), None), rate_hz, count)

    def stream_readings(
        self,
        fmt: str,
        reading_source: Callable[[int], Sequence[int]],
        rate_hz: float,
        count: int | None = None,
    ) -> None:
        """Like ``stream``, encoding reading_source(i) in ``fmt``; ``sent``
        then also keeps the readings of each frame."""
        encode = Format.named(fmt).encode  # an unknown format fails here, not in the thread

        def source(i: int) -> tuple[bytes, tuple[float, ...]]:
            readings = list(reading_source(i))
            return encode(readings), tuple(float(v) for v in readings)

        self._start(source, rate_hz, count)

    def _start(
        self,
        source: Callable[[int], tuple[bytes, tuple[float, ...] | None]],
        rate_hz: float,
        count: int | None,
    ) -> None:
        if not rate_hz > 0:
            raise ValueError("rate_hz must be positive")
        if self._thread is not None and self._thread.is_alive():
            raise RuntimeError("the device is already streaming; stop() it first")
        if self._master is None:
            raise OSError(errno.EBADF, "the device has hung up")
        self._stop.clear()
        self._error = None
        self._thread = threading.Thread(
            target=self._run, args=(source, rate_hz, count), name="nervlane-sim", daemon=True
        )
        self._thread.start()

    def _run(
        self,
        source: Callable[[int], tuple[bytes, tuple[float, ...] | None]],
        rate_hz: float,
        count: int | None,
    ) -> None:
        import select

        period = 1.0 / rate_hz
        start = time.monotonic()
        i = 0
        try:
            while not self._stop.is_set() and (count is None or i < count):
                due = start + i * period
                now = time.monotonic()
                if due > now:
                    if self._stop.wait(due - now):
                        break
                elif now - due > 1.0:
                    start = now - i * period  # fell far behind: don't burst to catch up
                data, readings = source(i)
                with self._lock:
                    fd = self._master
                if fd is None:
                    break
                # A real line never waits for its reader: when nobody drains
                # the port the frame is lost, as on a UART.
                _, ready, _ = select.select([], [fd], [], 0)
                if not ready:
                    self.frames_dropped += 1
                else:
                    # Kept before the bytes go out: whatever the port's reader
                    # can have decoded is already in ``sent``.
                    frame = SentFrame(i, time.monotonic(), data, readings)
                    self.sent.append(frame)
                    if self.on_frame is not None:
                        self.on_frame(frame)
                    if self._write_all(data, None):
                        self.frames_sent += 1
                i += 1
        except OSError as e:
            if self._master is not None:  # a hang-up ends the stream quietly
                self._error = e
        except BaseException as e:  # noqa: BLE001 - handed to stop()'s caller
            self._error = e

    @property
    def streaming(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def wait(self, timeout: float | None = None) -> bool:
        """Wait for a counted stream to finish; True when it has."""
        if self._thread is not None:
            self._thread.join(timeout)
        return not self.streaming

    def stop(self) -> None:
        """Stop streaming and join the thread. Re-raises an error that ended
        the stream (for instance one raised by the frame source)."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        err, self._error = self._error, None
        if err is not None:
            raise err

    # -- ending -----------------------------------------------------------

    def hang_up(self) -> None:
        """Close the master: the reader of the port sees the device go away,
        and the stable name goes with it, as udev removes a by-id link. A
        link left pointing at the closed pty would lead a reconnecting
        reader to whatever pty the system hands out next under that number."""
        with self._lock:
            fd, self._master = self._master, None
        if fd is not None:
            os.close(fd)
        if self._link is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self._link)

    def plug_in(self) -> None:
        """After ``hang_up``: the device comes back as a new pty, which
        ``port`` names from now on and ``stable_port`` follows. A stream
        the hang-up ended is not resumed: start another."""
        if self._master is not None:
            raise RuntimeError("plug_in() needs the device hung up first")
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self._master, self.port = open_raw_pty()
        if self._link is not None:
            self._point_link()

    def stable_port(self) -> str:
        """A name that stays the device's across ``plug_in``, as the links
        in ``/dev/serial/by-id`` do: a symbolic link to the pty, made on
        first use, removed by ``hang_up`` and ``close``, made again by
        ``plug_in``."""
        if self._link is None:
            self._link = os.path.join(tempfile.mkdtemp(prefix="nervlane-device-"), "usb-Nervlane_Sensor-if00")
            self._point_link()
        return self._link

    def _point_link(self) -> None:
        assert self._link is not None
        fresh = self._link + ".new"
        os.symlink(self.port, fresh)
        os.replace(fresh, self._link)  # never a moment without the name

    @property
    def port_open(self) -> bool:
        """Whether a program holds the port open (Linux: the master reports
        no hang-up while the slave is open)."""
        import select

        with self._lock:
            if self._master is None:
                return False
            poller = select.poll()
            poller.register(self._master, select.POLLOUT)
            return not any(events & select.POLLHUP for _, events in poller.poll(0))

    def wait_port_open(self, timeout: float) -> bool:
        """Wait until a program opens the port; False after ``timeout`` s."""
        deadline = time.monotonic() + timeout
        while not self.port_open:
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)
        return True

    def close(self) -> None:
        """Stop streaming, hang up and remove the stable name. Safe to call twice."""
        self._stop.set()
        thread, self._thread = self._thread, None
        self.hang_up()
        if thread is not None:
            thread.join()
        link, self._link = self._link, None
        if link is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(link)  # hang_up has already removed it
            with contextlib.suppress(OSError):
                os.rmdir(os.path.dirname(link))

    def __enter__(self) -> PtyDevice:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_master", None) is not None:
            self.close()
