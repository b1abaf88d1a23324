"""The frame formats a Nervlane device puts on the serial line.

The three formats, their names and protocol selectors, and the AES key of
the encrypted one.

Everything in the project that writes frames (the virtual sensor, the
benchmark's device, the fuzz seeds) builds them here, so a change to a
format is made once. docs/wire-formats.md describes the bytes.
"""

from __future__ import annotations

import enum
import struct
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Final

KEY: Final = b"Nervlane-aes-128"
"""The AES-128 key the module's encrypted decoder uses."""

HEADER: Final = b"\xff\xff"
"""The two bytes that open a binary or encrypted frame."""

HEAD_SIZE: Final = 4
"""Header plus the count (binary) or byte length (encrypted) word."""

BLOCK_SIZE: Final = 16


class Protocol(enum.IntEnum):
    """The protocol selector, the first element of a parameter file."""

    TEXT = 0
    BINARY = 1
    ENCRYPTED = 2


# The decoders refuse a count (binary) or byte length (encrypted) outside
# 1..MAX_COUNT; the encrypted length counts payload bytes, two per reading.
MAX_COUNT: Final = 511
MAX_BINARY_READINGS: Final = MAX_COUNT
MAX_ENCRYPTED_READINGS: Final = MAX_COUNT // 2


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
    return HEADER + struct.pack(f"<H{len(values)}H", len(values), *values)


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


def ecb_encryptor(key: bytes = KEY) -> Any:
    """An AES-128-ECB encryptor; ECB has no chaining, so one serves any
    number of frames. Raises ValueError for a key that is not 16 bytes."""
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    if len(key) != 16:
        raise ValueError(f"the AES-128 key must be 16 bytes, got {len(key)}")
    return Cipher(algorithms.AES(key), modes.ECB()).encryptor()


def encrypted_parts(readings: Iterable[int]) -> tuple[bytes, bytes]:
    """The clear head (FF FF and the payload length in bytes) and the
    plain text to encrypt: the readings as little-endian u16, zero-padded
    to length // 16 + 1 blocks. Raises ValueError as ``encrypted_frame``."""
    values = _readings_u16(readings, MAX_ENCRYPTED_READINGS, "an encrypted")
    payload = struct.pack(f"<{len(values)}H", *values)
    blocks = len(payload) // BLOCK_SIZE + 1
    return HEADER + struct.pack("<H", len(payload)), payload.ljust(BLOCK_SIZE * blocks, b"\0")


def encrypted_frame(readings: Iterable[int], key: bytes = KEY) -> bytes:
    """FF FF, payload length L in bytes, then L//16 + 1 AES-128-ECB blocks.

    The payload is the readings as little-endian u16, zero-padded; the
    decoder takes L//2 readings from it. Raises ValueError for an empty
    frame, more than 255 readings, a bad reading, or a key that is not 16
    bytes.
    """
    encryptor = ecb_encryptor(key)
    head, plain = encrypted_parts(readings)
    return head + encryptor.update(plain) + encryptor.finalize()  # type: ignore[no-any-return]


@dataclass(frozen=True)
class Format:
    """One frame format: the name the tools' ``--format`` options spell it
    by, the protocol selector a parameter file names it by, how many
    readings one frame can carry (None: no limit) and its encoder."""

    name: str
    selector: Protocol
    max_readings: int | None
    encode: Callable[[Sequence[int]], bytes]

    @staticmethod
    def named(name: str) -> Format:
        """The format of a name. Raises ValueError for an unknown one."""
        for fmt in ALL_FORMATS:
            if fmt.name == name:
                return fmt
        raise ValueError(f"unknown frame format {name!r}: choose one of {', '.join(FORMATS)}")

    @staticmethod
    def of_selector(selector: object) -> Format | None:
        """The format a protocol selector names, or None when it names none."""
        if isinstance(selector, bool) or not isinstance(selector, int):
            return None
        return next((fmt for fmt in ALL_FORMATS if fmt.selector == selector), None)


ALL_FORMATS: Final = (
    Format("text", Protocol.TEXT, None, text_frame),
    Format("binary", Protocol.BINARY, MAX_BINARY_READINGS, binary_frame),
    Format("encrypted", Protocol.ENCRYPTED, MAX_ENCRYPTED_READINGS, encrypted_frame),
)
"""Every frame format, in selector order."""

FORMATS: Final = tuple(fmt.name for fmt in ALL_FORMATS)
"""Frame format names, as the tools' --format options spell them."""


def format_name(selector: object) -> str | None:
    """The name of the format a protocol selector names, or None."""
    fmt = Format.of_selector(selector)
    return None if fmt is None else fmt.name


def protocol_selector(protocol: str | int) -> Protocol:
    """The selector of a format name, or a selector checked to be one.

    Raises ValueError for an unknown name or a number other than 0, 1, 2.
    """
    if isinstance(protocol, str):
        return Format.named(protocol).selector
    fmt = Format.of_selector(protocol)
    if fmt is None:
        raise ValueError(f"protocol selector must be 0, 1 or 2, got {protocol!r}")
    return fmt.selector


def encode_frame(fmt: str, readings: Sequence[int]) -> bytes:
    """One frame of ``readings`` in ``fmt`` ("text", "binary" or "encrypted")."""
    return Format.named(fmt).encode(readings)
