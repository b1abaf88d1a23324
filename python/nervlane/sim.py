"""A virtual Nervlane sensor: frame encoders, a believable signal, and a
pseudo-terminal that plays the device on a serial port.

The library half is what the test suites use as their device; the command
half (``nervlane simulate``) lets a person point the real module, or any
serial tool, at a sensor without owning one.
"""

from __future__ import annotations

import collections
import errno
import math
import os
import random
import struct
import sys
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Final


KEY: Final = b"Nervlane-aes-128"

FORMATS: Final = ("text", "binary", "encrypted")
PROTOCOL_SELECTOR: Final = {"text": 0, "binary": 1, "encrypted": 2}

# The decoders refuse a count (binary) or byte length (encrypted) outside
# 1..511; the encrypted length counts payload bytes, two per reading.
MAX_BINARY_READINGS: Final = 511
MAX_ENCRYPTED_READINGS: Final = 511 // 2

# Raw level of an unloaded channel, and the calibration the simulator's
# parameter files use: counts above the zero level to newtons.
NOMINAL_ZERO: Final = 1000
NOISE_COUNTS: Final = 3.0
DEAD_BAND_COUNTS: Final = 15.0
TAXEL_COEFS: Final = (0.0, 1.0e-3, 2.0e-9)
AXIS_COEFS: Final = (0.0, 1.0e-3)
NORMAL_COEFS: Final = (0.0, 1.0e-3, 2.0e-9)


# --------------------------------------------------------------------------
# Frames


def _readings_u16(readings: Iterable[int], limit: int, what: str) -> list[int]:
    values = list(readings)
    if not 1 <= len(values) <= limit:
        raise ValueError(f"{what} frame needs 1 to {limit} readings, got {len(values)}")
    for k, v in enumerate(values):
        if isinstance(v, bool) or not isinstance(v, int) or not 0 <= v <= 0xFFFF:
            raise ValueError(f"reading {k} is {v!r}: readings are integers 0 to 65535")
    return values


def binary_frame(readings: Iterable[int]) -> bytes:
    """FF FF, the reading count, then the readings, all little-endian u16.

    Raises ValueError for an empty frame, more than 511 readings, or a
    reading that is not an integer 0..65535.
    """
    values = _readings_u16(readings, MAX_BINARY_READINGS, "a binary")
    return struct.pack(f"<HH{len(values)}H", 0xFFFF, len(values), *values)


def _number_text(v: float | int) -> str:
    if isinstance(v, bool):
        raise ValueError(f"{v!r} is not a number")
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        # repr is the shortest text that reads back as the same double.
        return repr(v)
    raise ValueError(f"{v!r} is not a number")


def text_frame(values: Iterable[float | int]) -> bytes:
    """Comma-separated numbers and a line feed; floats written repr-exact.

    Raises ValueError for an empty frame (a bare line feed is not a frame)
    or a value that is not an int or float.
    """
    fields = [_number_text(v) for v in values]
    if not fields:
        raise ValueError("a text frame needs at least one value")
    return (",".join(fields) + "\n").encode("ascii")


def encrypted_frame(readings: Iterable[int], key: bytes = KEY) -> bytes:
    """FF FF, payload length L in bytes, then L//16 + 1 AES-128-ECB blocks.

    The payload is the readings as little-endian u16, zero-padded; the
    decoder takes L//2 readings from it. Raises ValueError for an empty
    frame, more than 255 readings, a bad reading, or a key that is not 16
    bytes.
    """
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    if len(key) != 16:
        raise ValueError(f"the AES-128 key must be 16 bytes, got {len(key)}")
    values = _readings_u16(readings, MAX_ENCRYPTED_READINGS, "an encrypted")
    payload = struct.pack(f"<{len(values)}H", *values)
    blocks = len(payload) // 16 + 1
    padded = payload.ljust(16 * blocks, b"\0")
    encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    cipher_text = encryptor.update(padded) + encryptor.finalize()
    return struct.pack("<HH", 0xFFFF, len(payload)) + cipher_text


def encode_frame(fmt: str, readings: Sequence[int]) -> bytes:
    """One frame of ``readings`` in ``fmt`` ("text", "binary" or "encrypted")."""
    if fmt == "text":
        return text_frame(readings)
    if fmt == "binary":
        return binary_frame(readings)
    if fmt == "encrypted":
        return encrypted_frame(readings)
    raise ValueError(f"unknown frame format {fmt!r}: choose one of {', '.join(FORMATS)}")


def max_readings(fmt: str) -> int | None:
    """How many readings one frame of ``fmt`` can carry (None: no limit)."""
    return {"text": None, "binary": MAX_BINARY_READINGS, "encrypted": MAX_ENCRYPTED_READINGS}[fmt]


# --------------------------------------------------------------------------
# Sensor layout and signal


@dataclass(frozen=True)
class Layout:
    """Where each sensor sits in a frame and in the calibrated output.

    Triaxial sensors come first, four frame channels and three outputs
    (x, y, z) each; then the taxels, one frame position and one output each.
    """

    taxels: int
    triaxials: int = 0

    def __post_init__(self) -> None:
        if self.taxels < 0 or self.triaxials < 0:
            raise ValueError("sensor counts cannot be negative")
        if self.taxels + self.triaxials == 0:
            raise ValueError("a sensor needs at least one taxel or triaxial")

    @property
    def frame_size(self) -> int:
        return 4 * self.triaxials + self.taxels

    @property
    def output_size(self) -> int:
        return 3 * self.triaxials + self.taxels

    def triaxial_channels(self, t: int) -> range:
        return range(4 * t, 4 * t + 4)

    def triaxial_outputs(self, t: int) -> range:
        return range(3 * t, 3 * t + 3)

    def taxel_channel(self, j: int) -> int:
        return 4 * self.triaxials + j

    def taxel_output(self, j: int) -> int:
        return 3 * self.triaxials + j

    @property
    def grid(self) -> tuple[int, int]:
        """Rows and columns of the near-square patch the taxels form."""
        cols = max(1, math.ceil(math.sqrt(self.taxels)))
        rows = max(1, math.ceil(self.taxels / cols))
        return rows, cols


@dataclass
class _Press:
    start: float
    duration: float
    row: float
    col: float
    radius: float
    peak: float
    shear: tuple[float, float] = (0.0, 0.0)

    def envelope(self, t: float) -> float:
        u = (t - self.start) / self.duration
        if not 0.0 < u < 1.0:
            return 0.0
        return 0.5 - 0.5 * math.cos(2.0 * math.pi * u)  # smooth rise and fall


class SignalModel:
    """Believable raw readings, one frame per call.

    Every channel sits on a zero level near ``NOMINAL_ZERO`` that drifts
    slowly, with a little noise; now and then a press comes and goes, a
    smooth bump spread over neighbouring taxels, and the triaxials feel
    pushes of their own with some shear. Seeded models repeat exactly.
    """

    def __init__(self, layout: Layout, seed: int | None = None, rate_hz: float = 100.0) -> None:
        if rate_hz <= 0:
            raise ValueError("rate_hz must be positive")
        self.layout = layout
        self.dt = 1.0 / rate_hz
        self.t = 0.0
        self._rng = random.Random(seed)
        n = layout.frame_size
        self._base = [NOMINAL_ZERO + self._rng.uniform(-5.0, 5.0) for _ in range(n)]
        self._drift_phase = [self._rng.uniform(0.0, 2.0 * math.pi) for _ in range(n)]
        self._drift_period = [self._rng.uniform(40.0, 90.0) for _ in range(n)]
        self._taxel_presses: list[_Press] = []
        self._triaxial_presses: list[list[_Press]] = [[] for _ in range(layout.triaxials)]
        self._next_press = self._rng.uniform(0.2, 1.0)
        self._next_push = [self._rng.uniform(0.3, 1.5) for _ in range(layout.triaxials)]

    def __call__(self, _index: int = 0) -> list[int]:
        return self.next_frame()

    def zero_level(self, channel: int, t: float | None = None) -> float:
        """The unloaded level of ``channel`` at time ``t`` (now by default)."""
        t = self.t if t is None else t
        wave = math.sin(2.0 * math.pi * t / self._drift_period[channel] + self._drift_phase[channel])
        return self._base[channel] + 12.0 * wave

    def _schedule(self) -> None:
        rows, cols = self.layout.grid
        rng = self._rng
        if self.layout.taxels and self.t >= self._next_press:
            press = _Press(
                    start=self.t,
                    duration=rng.uniform(0.6, 2.0),
                    row=rng.uniform(0, rows - 1),
                    col=rng.uniform(0, cols - 1),
                    radius=rng.uniform(0.7, 1.8),
                    peak=rng.uniform(3000.0, 25000.0),
            )
            self._taxel_presses.append(press)
            self._next_press = self.t + press.duration + rng.uniform(0.3, 2.0)
        for k in range(self.layout.triaxials):
            if self.t >= self._next_push[k]:
                z = rng.uniform(2000.0, 15000.0)
                push = _Press(
                    start=self.t,
                    duration=rng.uniform(0.8, 2.5),
                    row=0.0,
                    col=0.0,
                    radius=1.0,
                    peak=z,
                    shear=(rng.uniform(-0.3, 0.3) * z, rng.uniform(-0.3, 0.3) * z),
                )
                self._triaxial_presses[k].append(push)
                self._next_push[k] = self.t + push.duration + rng.uniform(0.5, 3.0)
        self._taxel_presses = [p for p in self._taxel_presses if self.t < p.start + p.duration]
        for k, presses in enumerate(self._triaxial_presses):
            self._triaxial_presses[k] = [p for p in presses if self.t < p.start + p.duration]

    def next_frame(self) -> list[int]:
        """The raw readings (integers 0..65535) of the next frame."""
        layout = self.layout
        self._schedule()
        load = [0.0] * layout.frame_size
        _, cols = layout.grid
        for p in self._taxel_presses:
            e = p.envelope(self.t)
            if e == 0.0:
                continue
            for j in range(layout.taxels):
                r, c = divmod(j, cols)
                d2 = (r - p.row) ** 2 + (c - p.col) ** 2
                if d2 > (2.5 * p.radius) ** 2:
                    continue  # a fingertip, not the whole patch
                load[layout.taxel_channel(j)] += p.peak * e * math.exp(-d2 / (2.0 * p.radius**2))
        for k, presses in enumerate(self._triaxial_presses):
            for p in presses:
                e = p.envelope(self.t)
                z, x, y = p.peak * e, p.shear[0] * e, p.shear[1] * e
                # The four channels that give back x, y and z through the
                # sums and differences the calibration forms.
                ch = layout.triaxial_channels(k)
                load[ch[0]] += (z - x - y) / 4.0
                load[ch[1]] += (z - x + y) / 4.0
                load[ch[2]] += (z + x - y) / 4.0
                load[ch[3]] += (z + x + y) / 4.0
        gauss = self._rng.gauss
        frame = [
            min(0xFFFF, max(0, round(self.zero_level(i) + load[i] + gauss(0.0, NOISE_COUNTS))))
            for i in range(layout.frame_size)
        ]
        self.t += self.dt
        return frame


# --------------------------------------------------------------------------
# Parameter file


def _selector(protocol: str | int) -> int:
    if isinstance(protocol, str):
        if protocol not in PROTOCOL_SELECTOR:
            raise ValueError(f"unknown frame format {protocol!r}: choose one of {', '.join(FORMATS)}")
        return PROTOCOL_SELECTOR[protocol]
    if protocol not in (0, 1, 2):
        raise ValueError(f"protocol selector must be 0, 1 or 2, got {protocol!r}")
    return protocol


def parameter_document(layout: Layout, protocol: str | int) -> list[Any]:
    """The parameter document matching ``layout`` and a frame format.

    Offsets sit at the nominal zero level, a small dead band hides the
    noise, and the polynomials turn counts above zero into newtons.
    """
    zero = float(NOMINAL_ZERO)
    full_scale = float(0xFFFF - NOMINAL_ZERO)
    triaxials = []
    for t in range(layout.triaxials):
        channels = layout.triaxial_channels(t)
        outputs = layout.triaxial_outputs(t)
        triaxials.append(
            {
                "SensorParameters": {
                    "sensor_type": 0,
                    "input_map": {pos: ch for ch, pos in enumerate(channels)},
                    "output_map": {axis: out for axis, out in enumerate(outputs)},
                },
                "lower": [DEAD_BAND_COUNTS] * 4,
                "upper": [full_scale] * 4,
                "offset": [zero] * 4,
                "coefs_x": list(AXIS_COEFS),
                "coefs_y": list(AXIS_COEFS),
                "coefs_z": list(NORMAL_COEFS),
            }
        )
    taxels = [
        {
            "SensorParameters": {
                "sensor_type": 1,
                "input_map": {layout.taxel_channel(j): 0},
                "output_map": {0: layout.taxel_output(j)},
            },
            "lower": DEAD_BAND_COUNTS,
            "upper": full_scale,
            "offset": zero,
            "coefs": list(TAXEL_COEFS),
        }
        for j in range(layout.taxels)
    ]
    return [_selector(protocol), triaxials, taxels]


def write_params(path: str | os.PathLike[str], layout: Layout, protocol: str | int) -> None:
    """Write the matching MessagePack parameter file (replaced whole, never half-written)."""
    from nervlane.params import pack, write_bytes_atomic

    write_bytes_atomic(os.fspath(path), pack(parameter_document(layout, protocol)))


# --------------------------------------------------------------------------
# The device


def _open_raw_pty() -> tuple[int, str]:
    """A non-blocking master fd and the path of its raw-mode slave, which is
    left closed."""
    if sys.platform == "win32":
        raise OSError("the virtual sensor needs a POSIX pseudo-terminal (Linux or macOS)")
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
    pulled. POSIX only.
    """

    def __init__(self, sent_maxlen: int = 1000) -> None:
        master, self.port = _open_raw_pty()
        self._master: int | None = master
        self._lock = threading.Lock()  # one writer at a time, and close vs write
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._error: BaseException | None = None
        self.frames_sent = 0
        self.frames_dropped = 0
        self.sent: collections.deque[SentFrame] = collections.deque(maxlen=sent_maxlen)
        self.on_frame: Callable[[SentFrame], None] | None = None

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
        encode_frame(fmt, [0])  # an unknown format fails here, not in the thread

        def source(i: int) -> tuple[bytes, tuple[float, ...]]:
            readings = list(reading_source(i))
            return encode_frame(fmt, readings), tuple(float(v) for v in readings)

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
        """Close the master: the reader of the port sees the device go away."""
        with self._lock:
            fd, self._master = self._master, None
        if fd is not None:
            os.close(fd)

    def close(self) -> None:
        """Stop streaming and hang up. Safe to call twice."""
        self._stop.set()
        thread, self._thread = self._thread, None
        self.hang_up()
        if thread is not None:
            thread.join()

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


# --------------------------------------------------------------------------
# Command


def run_simulate(
    fmt: str,
    rate: float,
    taxels: int,
    triaxials: int,
    params: str | None,
    frames: int | None,
    seconds: float | None,
    seed: int | None,
) -> int:
    """``nervlane simulate``: prints the port, then streams until done or Ctrl+C."""
    layout = Layout(taxels, triaxials)
    limit = max_readings(fmt)
    if limit is not None and layout.frame_size > limit:
        print(
            f"error: a {fmt} frame carries at most {limit} readings; this layout needs "
            f"{layout.frame_size} (4 per triaxial + 1 per taxel)",
            file=sys.stderr,
        )
        return 2
    if params is not None:
        write_params(params, layout, fmt)
    count = frames
    if seconds is not None:
        count = max(1, round(seconds * rate))
    model = SignalModel(layout, seed, rate)
    with PtyDevice() as dev:
        print(dev.port, flush=True)
        print(
            f"virtual sensor on {dev.port}: {fmt} frames of {layout.frame_size} readings at {rate:g}/s"
            + (f", parameters in {params}" if params else "")
            + (" (Ctrl+C to stop)" if count is None else f", {count} frames"),
            file=sys.stderr,
            flush=True,
        )
        dev.stream_readings(fmt, model, rate, count)
        try:
            while not dev.wait(0.2):
                pass
        except KeyboardInterrupt:
            pass
        dev.stop()
        print(f"sent {dev.frames_sent} frames ({dev.frames_dropped} dropped: port not drained)", file=sys.stderr)
    return 0
