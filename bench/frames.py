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
from typing import Final

# The frame formats come from the tree's own package, not an installed copy.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from nervlane import wire  # noqa: E402

# seq low, seq high, then the send time in nanoseconds as four words, low first.
STAMP_WORDS: Final = 6
FORMATS: Final = wire.FORMATS
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
    nervlane.wire; later ones only rewrite the stamp."""

    def __init__(self, fmt: str, readings: int) -> None:
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {fmt!r}: choose one of {', '.join(FORMATS)}")
        if readings < STAMP_WORDS:
            raise ValueError(f"a stamped frame needs at least {STAMP_WORDS} readings")
        limit = wire.max_readings(fmt)
        if limit is not None and readings > limit:
            raise ValueError(f"a {fmt} frame carries at most {limit} readings")
        self.fmt = fmt
        self.readings = readings
        rest = filler(readings - STAMP_WORDS)
        unstamped = [0] * STAMP_WORDS + rest
        self._stamp = struct.Struct(f"<{STAMP_WORDS}H")
        if fmt == "binary":
            self._buf = bytearray(wire.binary_frame(unstamped))
        elif fmt == "text":
            self._tail = b"," + wire.text_frame(rest) if rest else b"\n"
        else:
            self._head, plain = wire.encrypted_parts(unstamped)
            self._plain = bytearray(plain)
            # ECB has no chaining, so one encryptor serves every frame.
            self._encryptor = wire.ecb_encryptor()

    def make(self, seq: int, send_ns: int) -> bytes | bytearray:
        words = stamp_words(seq, send_ns)
        if self.fmt == "binary":
            self._stamp.pack_into(self._buf, wire.HEAD_SIZE, *words)
            return self._buf
        if self.fmt == "text":
            return ",".join(map(str, words)).encode("ascii") + self._tail
        self._stamp.pack_into(self._plain, 0, *words)
        return self._head + self._encryptor.update(self._plain)  # type: ignore[no-any-return]

    def size(self) -> int:
        """Bytes of a typical frame (text frames vary by a few digits)."""
        return len(self.make(123456, 1 << 40))
