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
import math
import re
import struct
from collections.abc import Callable
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
    """A ``frames`` payload. Raises PayloadError for anything else, for a
    version this code does not read, and for fields no server sends: a
    stream id outside 1..2^53-1, a clock anchor or a time that is not a
    finite number, sequence numbers that do not rise strictly from 1 or more."""
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
    if not 0 < stream < STREAM_ID_LIMIT:
        raise PayloadError(f"frame batch of stream {stream}, not a stream id (1 to 2^53 - 1)")
    arrays = []
    offset = header_size
    for dtype, count, width in (("<u8", n, None), ("<f8", n, None), ("<f8", n * r, r), ("<f8", n * v, v)):
        a = np.frombuffer(payload, dtype=dtype, count=count, offset=offset)
        offset += 8 * count
        arrays.append(a.astype(dtype[1:]).reshape(n, width) if width is not None else a.astype(dtype[1:]))
    sequence, times = arrays[0], arrays[1]
    if not math.isfinite(anchor) or not np.isfinite(times).all():
        raise PayloadError("frame batch whose clock anchor or times are not all finite numbers")
    if n and (sequence[0] == 0 or not (sequence[1:] > sequence[:-1]).all()):
        raise PayloadError("frame batch whose sequence numbers do not rise strictly from 1 or more")
    return BatchPayload(stream, number, anchor, *arrays)


def encode_json(message: dict[str, Any]) -> bytes:
    """A ``stats``, ``info`` or ``zero`` payload: a UTF-8 JSON object with ``"version"``."""
    return json.dumps({"version": VERSION, **message}, separators=(",", ":")).encode()


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def decode_json(payload: bytes | bytearray | memoryview) -> dict[str, Any]:
    """A JSON payload as a dict: UTF-8, an object, ``"version"`` the integer
    this code reads. Raises PayloadError for anything else (NaN, a document
    nested too deeply for this reader...)."""
    try:
        message = json.loads(bytes(payload).decode("utf-8"), parse_constant=_no_constant)
    except ValueError as e:  # UnicodeDecodeError and JSONDecodeError are ValueErrors
        raise PayloadError(f"not a UTF-8 JSON payload: {e}") from e
    except RecursionError:
        raise PayloadError("not a JSON payload this reader takes: nested too deeply") from None
    if not isinstance(message, dict):
        raise PayloadError("not a JSON object")
    version = message.get("version")
    if type(version) is not int or version != VERSION:
        raise PayloadError(f"payload version {version!r}; this reader knows version {VERSION}")
    return message


Field = tuple[str, Callable[[Any], bool]]
"""What a JSON field must be: in words, and as a test of its value."""

_COUNT: Final[Field] = ("a whole number, 0 or more", lambda v: type(v) is int and v >= 0)
_COUNT_OR_NULL: Final[Field] = ("a whole number, 0 or more, or null", lambda v: v is None or _COUNT[1](v))
_NUMBER: Final[Field] = ("a finite number", lambda v: type(v) in (int, float) and math.isfinite(v))
_FLAG: Final[Field] = ("true or false", lambda v: type(v) is bool)
_TEXT: Final[Field] = ("text or null", lambda v: v is None or type(v) is str)
_STREAM: Final[Field] = ("a stream id (1 to 2^53 - 1)", lambda v: type(v) is int and 0 < v < STREAM_ID_LIMIT)
_NAMES: Final[Field] = ("a list of names", lambda v: type(v) is list and all(type(n) is str for n in v))
_INDICES: Final[Field] = ("a list of whole numbers", lambda v: type(v) is list and all(type(i) is int for i in v))

MODULE_COUNTERS: Final = (
    "frames_decoded",
    "frames_delivered",
    "frames_overwritten",
    "frames_dropped",
    "frames_rejected",
    "bytes_discarded",
    "connects",
    "port_errors",
    "reconnects",
)
"""The comms object's counters, as its ``stats()`` names them."""
COUNTERS: Final = (*MODULE_COUNTERS, "frames_published", "batches_published")
"""The counters of a ``stats`` payload: the module's, then the server's own."""
STATS_FIELDS: Final[dict[str, Field]] = {
    **dict.fromkeys(COUNTERS, _COUNT),
    "last_error": _TEXT,
    "connected": _FLAG,
    "realtime": _FLAG,
    "stream": _STREAM,
    "time": _NUMBER,
    "clock_anchor": _NUMBER,
}
"""The fields of a ``stats`` payload that a client uses; others pass as they are."""
INFO_FIELDS: Final[dict[str, Field]] = {
    **{k: STATS_FIELDS[k] for k in ("connected", "realtime", "stream", "clock_anchor")},
    **dict.fromkeys(("name", "port", "params", "format", "host", "package_version", "module_version"), _TEXT),
    "reconnect": _FLAG,
    "reading_count": _COUNT_OR_NULL,
    "output_count": _COUNT,
    "output_names": _NAMES,
    "stats": ("the counters", lambda v: type(v) is dict and _fault(v, STATS_FIELDS) is None),
}
ZERO_FIELDS: Final[dict[str, Field]] = {"indices": _INDICES}
"""The field of a ``zero`` request."""


def _shown(value: Any) -> str:
    if isinstance(value, (list, dict)):
        return "a list" if isinstance(value, list) else "an object"
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _fault(message: dict[str, Any], fields: dict[str, Field]) -> str | None:
    for name, (what, fits) in fields.items():
        if name in message and not fits(message[name]):
            return f"{name} is {_shown(message[name])}, not {what}"
    return None


def decode_checked(payload: bytes | bytearray | memoryview, fields: dict[str, Field]) -> dict[str, Any]:
    """A JSON payload (``decode_json``) whose ``fields`` present are each of
    their kind (``STATS_FIELDS``, ``INFO_FIELDS``). Raises PayloadError
    naming the first that is not."""
    message = decode_json(payload)
    fault = _fault(message, fields)
    if fault is not None:
        raise PayloadError(f"a payload whose {fault}")
    return message
