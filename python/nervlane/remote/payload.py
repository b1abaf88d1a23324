"""The key names and payload codec of a served sensor.

What ``nervlane serve`` puts on Zenoh, defined once for the server
(``nervlane.remote.server``) and its clients (``nervlane.remote.client``).

Everything lives under ``nervlane/NAME/``:

- ``frames``: batches of frames in one binary layout (``encode_batch``,
  ``decode_batch``): a 48-byte little-endian header, then the sequence
  numbers, times, raw readings and calibrated values as flat arrays;
- ``stats``: the comms counters as a JSON object, once a second;
- ``info`` and ``zero``: queries answered with a JSON object;
- ``alive``: a liveliness token held while the server runs.

docs/wire-formats.md describes the same bytes for readers in any language;
nothing here depends on Zenoh, so a payload can be built and read without it.
"""

from __future__ import annotations

import json
import re
import struct
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

KEY_ROOT: Final = "nervlane"
FRAMES: Final = "frames"
STATS: Final = "stats"
INFO: Final = "info"
ZERO: Final = "zero"
ALIVE: Final = "alive"

VERSION: Final = 1
"""Of every payload: the batch header's ``version`` field, and ``"version"`` in the JSON objects."""

MAGIC: Final = b"NLFB"
HEADER: Final = struct.Struct("<4sHHIIIIQQd")
"""magic, version, header size, frame count, raw count, value count, flags
(0), stream id, batch number, clock anchor. No padding: 48 bytes."""
HEADER_SIZE: Final = HEADER.size

STREAM_ID_LIMIT: Final = 1 << 53
"""Stream ids stay below this so a JSON reader holds them exactly."""

_NAME = re.compile(r"[A-Za-z0-9_.-]+")


class PayloadError(ValueError):
    """A payload that is not one this version can read."""


def check_name(name: str) -> str:
    """``name`` when it can stand as one level of a key: letters, digits,
    ``-``, ``_`` and ``.``. Raises ValueError naming what is wrong."""
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(
            f"the sensor name {name!r} may hold only letters, digits, '-', '_' and '.' (no '/', spaces or wildcards)"
        )
    return name


def key(name: str, leaf: str) -> str:
    """``nervlane/NAME/LEAF``."""
    return f"{KEY_ROOT}/{name}/{leaf}"


@dataclass(frozen=True)
class BatchPayload:
    """One ``frames`` payload, decoded. The arrays are the receiver's own
    (writable, native byte order)."""

    stream: int
    """Chosen at random each time a server starts: a new value means the
    sequence numbers start again."""
    number: int
    """The server's count of batches, from 1; a gap means batches not received."""
    anchor: float
    """Wall-clock UTC minus the server's monotonic clock, in seconds, when
    the batch was sent: ``time + anchor`` is UTC (seconds since 1970)."""
    sequence: NDArray[np.uint64]
    time: NDArray[np.float64]
    raw: NDArray[np.float64]
    values: NDArray[np.float64]

    def __len__(self) -> int:
        return len(self.sequence)


def encode_batch(stream: int, number: int, anchor: float, sequence: Any, time: Any, raw: Any, values: Any) -> bytes:
    """The ``frames`` payload of ``n`` frames: sequence (n), time (n), raw
    (n x r) and values (n x v), as the module's FrameBatch gives them."""
    import numpy as np  # here, not above: the command line's start-up stays light

    n = len(sequence)
    raw = np.asarray(raw, dtype="<f8").reshape(n, -1) if n else np.zeros((0, 0), "<f8")
    values = np.asarray(values, dtype="<f8").reshape(n, -1) if n else np.zeros((0, 0), "<f8")
    header = HEADER.pack(MAGIC, VERSION, HEADER_SIZE, n, raw.shape[1], values.shape[1], 0, stream, number, anchor)
    return b"".join(
        (
            header,
            np.asarray(sequence, dtype="<u8").tobytes(),
            np.asarray(time, dtype="<f8").tobytes(),
            raw.tobytes(),
            values.tobytes(),
        )
    )


def decode_batch(payload: bytes | bytearray | memoryview) -> BatchPayload:
    """A ``frames`` payload. Raises PayloadError for anything else, or for a
    version this code does not read."""
    import numpy as np

    if len(payload) < 8 or bytes(payload[:4]) != MAGIC:
        raise PayloadError("not a nervlane frame batch")
    version, header_size = struct.unpack_from("<HH", payload, 4)
    if version != VERSION:
        raise PayloadError(f"frame batch version {version}; this reader knows version {VERSION}")
    if header_size < HEADER_SIZE or len(payload) < header_size:
        raise PayloadError(f"frame batch header of {header_size} bytes in a payload of {len(payload)}")
    _, _, _, n, r, v, _, stream, number, anchor = HEADER.unpack_from(payload)
    if len(payload) != header_size + 8 * n * (2 + r + v):
        raise PayloadError(f"frame batch of {len(payload)} bytes does not hold {n} frames of {r} readings, {v} values")
    arrays = []
    offset = header_size
    for dtype, count, width in (("<u8", n, None), ("<f8", n, None), ("<f8", n * r, r), ("<f8", n * v, v)):
        a = np.frombuffer(payload, dtype=dtype, count=count, offset=offset)
        offset += 8 * count
        arrays.append(a.astype(dtype[1:]).reshape(n, width) if width is not None else a.astype(dtype[1:]))
    return BatchPayload(stream, number, anchor, *arrays)


def encode_json(message: dict[str, Any]) -> bytes:
    """A ``stats``, ``info`` or ``zero`` payload: a UTF-8 JSON object with ``"version"``."""
    return json.dumps({"version": VERSION, **message}, separators=(",", ":")).encode()


def decode_json(payload: bytes | bytearray | memoryview) -> dict[str, Any]:
    """A JSON payload as a dict. Raises PayloadError for anything else."""
    try:
        message = json.loads(bytes(payload))
    except (UnicodeDecodeError, ValueError) as e:
        raise PayloadError(f"not a JSON payload: {e}") from e
    if not isinstance(message, dict):
        raise PayloadError("not a JSON object")
    if message.get("version") != VERSION:
        raise PayloadError(f"payload version {message.get('version')!r}; this reader knows version {VERSION}")
    return message
