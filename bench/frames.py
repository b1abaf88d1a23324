"""The stamped frames the benchmark device sends, and how a consumer reads
the stamp back.

Every frame carries its own sequence number and the monotonic time at which
the device wrote it, spread over the first six readings (16 bits each), so a
consumer can tell which frames it missed and how late each one arrived
without any side channel. CLOCK_MONOTONIC is shared by all processes of the
machine, so the device's send time and the consumer's receive time are on
one clock.
"""

from __future__ import annotations

import os
import struct
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any, Final

# The frame formats come from the tree's own package, not an installed copy.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from nervlane import formats  # noqa: E402
from nervlane.virtual.pty_device import open_raw_pty, send_frame  # noqa: E402

# seq low, seq high, then the send time in nanoseconds as four words, low first.
STAMP_WORDS: Final = 6
FORMATS: Final = formats.FORMATS
BAUD: Final = 115200


def filler(count: int) -> list[int]:
    """Plausible raw levels for the readings after the stamp (an unloaded
    sensor sits near 1000 counts); no 0xFFFF, so a payload never looks like
    a header."""
    return [1000 + (37 * k) % 61 for k in range(count)]


def stamp_words(seq: int, send_ns: int) -> tuple[int, int, int, int, int, int]:
    return (
        seq & 0xFFFF,
        (seq >> 16) & 0xFFFF,
        send_ns & 0xFFFF,
        (send_ns >> 16) & 0xFFFF,
        (send_ns >> 32) & 0xFFFF,
        (send_ns >> 48) & 0xFFFF,
    )


def read_stamp(values: object) -> tuple[int, int]:
    """(sequence number, send time in ns) from a decoded frame: a list of
    floats from read_raw, or a tuple of ints from a hand-written decoder."""
    v = values  # type: ignore[assignment]
    seq = int(v[0]) | (int(v[1]) << 16)  # type: ignore[index]
    sent = int(v[2]) | (int(v[3]) << 16) | (int(v[4]) << 32) | (int(v[5]) << 48)  # type: ignore[index]
    return seq, sent


class FrameMaker:
    """Builds frame ``seq`` stamped with ``send_ns`` in one wire format,
    reusing one buffer: the device must be much faster than any consumer, so
    its cost per frame is a few microseconds. The first frame comes from
    nervlane.formats; later ones only rewrite the stamp."""

    def __init__(self, fmt: str, readings: int) -> None:
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {fmt!r}: choose one of {', '.join(FORMATS)}")
        if readings < STAMP_WORDS:
            raise ValueError(f"a stamped frame needs at least {STAMP_WORDS} readings")
        limit = formats.Format.named(fmt).max_readings
        if limit is not None and readings > limit:
            raise ValueError(f"a {fmt} frame carries at most {limit} readings")
        self.fmt = fmt
        self.readings = readings
        rest = filler(readings - STAMP_WORDS)
        unstamped = [0] * STAMP_WORDS + rest
        self._stamp = struct.Struct(f"<{STAMP_WORDS}H")
        if fmt == "binary":
            self._buf = bytearray(formats.binary_frame(unstamped))
        elif fmt == "text":
            self._tail = b"," + formats.text_frame(rest) if rest else b"\n"
        else:
            self._head, plain = formats.encrypted_parts(unstamped)
            self._plain = bytearray(plain)
            # ECB has no chaining, so one encryptor serves every frame.
            self._encryptor = formats.ecb_encryptor()

    def make(self, seq: int, send_ns: int) -> bytes | bytearray:
        words = stamp_words(seq, send_ns)
        if self.fmt == "binary":
            self._stamp.pack_into(self._buf, formats.HEAD_SIZE, *words)
            return self._buf
        if self.fmt == "text":
            return ",".join(map(str, words)).encode("ascii") + self._tail
        self._stamp.pack_into(self._plain, 0, *words)
        return self._head + self._encryptor.update(self._plain)  # type: ignore[no-any-return]

    def size(self) -> int:
        """Bytes of a typical frame (text frames vary by a few digits)."""
        return len(self.make(123456, 1 << 40))


def add_load_arguments(ap: Any, *, burners: int) -> None:
    """The options every many-device load benchmark takes: how long, how many
    devices at what rate, frame width, and CPU-bound processes beside."""
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--devices", type=int, default=8)
    ap.add_argument("--rate", type=float, default=1000.0)
    ap.add_argument("--readings", type=int, default=22)
    ap.add_argument("--burners", type=int, default=burners, help="CPU-bound processes running beside")


def stream_to_ptys(count: int, rate: float, make: Callable[[int], bytes]) -> tuple[list[int], dict[str, Any]]:
    """A device process's work: ``count`` raw pseudo-terminals, their names
    printed on one line, then from "go" to the next line on stdin the frame
    ``make(tick)`` written to each ``rate`` times a second. Like a real
    sensor it never waits for its reader: a frame that finds a port full is
    not sent (counted in "unsent"), and when this process falls behind it
    skips the ticks it missed ("behind", frames) rather than bursting.
    Returns the masters, still open (closing them hangs up), and the counts:
    "stamped" and "unsent" per port, "behind". Raises SystemExit(1) when the
    first line is not "go"."""
    ptys = [open_raw_pty() for _ in range(count)]
    fds = [fd for fd, _ in ptys]
    print(" ".join(port for _, port in ptys), flush=True)
    if sys.stdin.readline().strip() != "go":
        raise SystemExit(1)
    stop = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.readline(), stop.set()), daemon=True).start()
    stamped, unsent = [0] * count, [0] * count
    behind = 0
    period_ns = int(1e9 / rate)
    start = time.monotonic_ns()
    tick = 0
    while not stop.is_set():
        late = time.monotonic_ns() - (start + tick * period_ns)
        if late < 0:
            time.sleep(-late / 1e9)
            continue
        if late > 50_000_000:
            skipped = late // period_ns
            behind += skipped * count
            tick += skipped
            continue
        for k, fd in enumerate(fds):
            stamped[k] += 1  # made per port: a frame stamped with its send time carries its own
            unsent[k] += not send_frame(fd, make(tick))
        tick += 1
    return fds, {"stamped": stamped, "unsent": unsent, "behind": behind}


def take_until_quiet(source: Any, stop: threading.Event, quiet_ms: int) -> Iterator[tuple[Any, int]]:
    """Batches from ``source.take_frames``, each with the CLOCK_MONOTONIC
    nanoseconds at which it was taken, until ``stop`` is set and ``quiet_ms``
    pass without a frame."""
    while True:
        batch = source.take_frames(quiet_ms)
        now = time.monotonic_ns()
        if len(batch):
            yield batch, now
        elif stop.is_set():
            return
