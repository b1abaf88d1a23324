"""The ROS 2 messages a recording's MCAP holds: their definitions and CDR.

A frame is a ``nervlane_msgs/msg/TactileFrame``, the sensor's description a
``nervlane_msgs/msg/SensorInfo``, the counters and outages a
``diagnostic_msgs/msg/DiagnosticArray``. Each definition is the text of the
message file with its dependencies appended after a line of ``=``, as
ROS 2 bags store them. Frames are laid out in CDR a batch at a time with
numpy; the few other messages with ``struct``.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Final

import numpy as np

FRAME_TYPE: Final = "nervlane_msgs/msg/TactileFrame"
INFO_TYPE: Final = "nervlane_msgs/msg/SensorInfo"
DIAGNOSTICS_TYPE: Final = "diagnostic_msgs/msg/DiagnosticArray"
DIAGNOSTICS_TOPIC: Final = "/diagnostics"

OK: Final = 0
ERROR: Final = 2
"""DiagnosticStatus levels: streaming, or the sensor away."""

_SEPARATOR: Final = "=" * 80

_TIME: Final = "int32 sec\nuint32 nanosec\n"
_HEADER: Final = (
    "# Standard metadata for higher-level stamped data types.\nbuiltin_interfaces/Time stamp\nstring frame_id\n"
)
_KEY_VALUE: Final = "string key\nstring value\n"
_STATUS: Final = (
    "byte OK=0\nbyte WARN=1\nbyte ERROR=2\nbyte STALE=3\n"
    "byte level\nstring name\nstring message\nstring hardware_id\nKeyValue[] values\n"
)

TACTILE_FRAME: Final = """\
std_msgs/Header header   # stamp: the decode time as UTC; frame_id: NAME
uint64 sequence          # the module's frame number
float64 time             # decode time, seconds on the host's monotonic clock
float64[] raw            # the frame's readings
float64[] values         # calibrated values in output order (empty with --raw-only)
"""

SENSOR_INFO: Final = """\
std_msgs/Header header   # stamp: the recording's start as UTC; frame_id: NAME
string port              # the port, or "NAME on HOST" for a served sensor
string format            # the frame format: text, binary, encrypted or unknown
string[] output_names    # the calibrated values' names, in output order (empty with --raw-only)
string params_file       # the parameter file; its bytes are the attachment named after its base name
string module_version    # nervlane_comm_py's version
string package_version   # the nervlane-comm package's version
"""

DIAGNOSTIC_ARRAY: Final = "std_msgs/Header header\nDiagnosticStatus[] status\n"


def _with_dependencies(text: str, *deps: tuple[str, str]) -> str:
    return text + "".join(f"{_SEPARATOR}\nMSG: {name}\n{body}" for name, body in deps)


SCHEMAS: Final = {
    FRAME_TYPE: _with_dependencies(TACTILE_FRAME, ("std_msgs/Header", _HEADER), ("builtin_interfaces/Time", _TIME)),
    INFO_TYPE: _with_dependencies(SENSOR_INFO, ("std_msgs/Header", _HEADER), ("builtin_interfaces/Time", _TIME)),
    DIAGNOSTICS_TYPE: _with_dependencies(
        DIAGNOSTIC_ARRAY,
        ("std_msgs/Header", _HEADER),
        ("builtin_interfaces/Time", _TIME),
        ("diagnostic_msgs/DiagnosticStatus", _STATUS),
        ("diagnostic_msgs/KeyValue", _KEY_VALUE),
    ),
}
"""Each message type's definition, as an MCAP ``ros2msg`` schema holds it."""

_ENCAPSULATION: Final = b"\x00\x01\x00\x00"
"""CDR, little-endian."""


def _align(offset: int, size: int) -> int:
    return (offset + size - 1) // size * size


def _split_ns(stamp_ns: Any) -> tuple[Any, Any]:
    sec, nanosec = np.divmod(np.asarray(stamp_ns, dtype=np.int64), 1_000_000_000)
    return sec, nanosec


def stamps_ns(times: Any, utc_offset_ns: int) -> Any:
    """UTC nanoseconds of times on the monotonic clock (seconds), given how
    far UTC is ahead of that clock. The one rounding every format shares."""
    return np.rint(np.asarray(times, dtype=np.float64) * 1e9).astype(np.int64) + np.int64(utc_offset_ns)


def utc_seconds(stamp_ns: Any) -> Any:
    """UTC nanoseconds as float seconds since 1970."""
    return np.asarray(stamp_ns, dtype=np.int64) / 1e9


# --------------------------------------------------------------------------
# Frames, a batch at a time


def _frame_layout(frame_id: bytes, raw_count: int, value_count: int) -> tuple[np.dtype[Any], int]:
    """The structured dtype of one TactileFrame's bytes (after the
    encapsulation), and its length: each field aligned to its element's size,
    an empty array's bytes left out."""
    fields: list[tuple[str, Any]] = [
        ("sec", "<i4"),
        ("nanosec", "<u4"),
        ("id_length", "<u4"),
        ("frame_id", f"S{len(frame_id) + 1}"),
        ("sequence", "<u8"),
        ("time", "<f8"),
        ("raw_count", "<u4"),
        *([("raw", ("<f8", (raw_count,)))] if raw_count else []),
        ("value_count", "<u4"),
        *([("values", ("<f8", (value_count,)))] if value_count else []),
    ]
    offsets = []
    at = 0
    for _, fmt in fields:
        field = np.dtype(fmt)
        at = _align(at, field.alignment)
        offsets.append(at)
        at += field.itemsize
    names, formats = zip(*fields, strict=True)
    dtype = np.dtype({"names": list(names), "formats": list(formats), "offsets": offsets, "itemsize": at})
    return dtype, at


def encode_frames(frame_id: str, sequence: Any, times: Any, stamp_ns: Any, raw: Any, values: Any) -> list[bytes]:
    """The CDR of a batch of frames of one shape: one ``bytes`` each."""
    ident = frame_id.encode()
    n, raw_count = raw.shape
    value_count = values.shape[1]
    dtype, size = _frame_layout(ident, raw_count, value_count)
    rows = np.zeros(n, dtype=dtype)
    rows["sec"], rows["nanosec"] = _split_ns(stamp_ns)
    rows["id_length"] = len(ident) + 1
    rows["frame_id"] = ident
    rows["sequence"] = sequence
    rows["time"] = times
    rows["raw_count"] = raw_count
    if raw_count:
        rows["raw"] = raw
    rows["value_count"] = value_count
    if value_count:
        rows["values"] = values
    data = rows.tobytes()
    return [_ENCAPSULATION + data[i : i + size] for i in range(0, n * size, size)]


@dataclass
class Frames:
    """Decoded frames of one shape."""

    sequence: Any
    time: Any
    stamp_ns: Any
    raw: Any
    values: Any


def _decode_run(messages: Sequence[bytes]) -> Frames:
    """Frames whose bytes have one layout (the first message's)."""
    first = messages[0]
    (id_length,) = struct.unpack_from("<I", first, 4 + 8)
    ident = b"x" * (id_length - 1)
    (raw_count,) = struct.unpack_from("<I", first, 4 + _align(12 + id_length, 8) + 16)
    dtype, _ = _frame_layout(ident, raw_count, 0)
    (value_count,) = struct.unpack_from("<I", first, 4 + dtype.fields["value_count"][1])  # type: ignore[index]
    dtype, size = _frame_layout(ident, raw_count, value_count)
    body = b"".join(m[4:] for m in messages)
    if len(body) != size * len(messages):
        raise ValueError("a TactileFrame's length does not fit its counts")
    rows = np.frombuffer(body, dtype=dtype)
    if np.any(rows["raw_count"] != raw_count) or np.any(rows["value_count"] != value_count):
        raise ValueError("frames of one length with different counts")
    stamp = rows["sec"].astype(np.int64) * 1_000_000_000 + rows["nanosec"].astype(np.int64)
    raw = rows["raw"] if raw_count else np.empty((len(rows), 0))
    vals = rows["values"] if value_count else np.empty((len(rows), 0))
    return Frames(rows["sequence"].copy(), rows["time"].copy(), stamp, np.array(raw), np.array(vals))


def _runs(messages: Sequence[bytes]) -> Iterator[Sequence[bytes]]:
    start = 0
    for i in range(1, len(messages) + 1):
        if i == len(messages) or len(messages[i]) != len(messages[start]):
            yield messages[start:i]
            start = i


def decode_frames(messages: Sequence[bytes]) -> Iterator[Frames]:
    """TactileFrames decoded, in order, a run of equal-length messages at a
    time (a run whose counts differ is split message by message). Raises
    ValueError for bytes that are no TactileFrame."""
    try:
        for run in _runs(messages):
            try:
                yield _decode_run(run)
            except ValueError:
                if len(run) == 1:
                    raise
                for one in run:
                    yield _decode_run([one])
    except (struct.error, KeyError, TypeError) as e:
        raise ValueError(f"a message is no TactileFrame ({e})") from e


# --------------------------------------------------------------------------
# The other messages, one at a time


class _CdrWriter:
    def __init__(self) -> None:
        self.data = bytearray()

    def _put(self, fmt: str, value: Any) -> None:
        size = struct.calcsize(fmt)
        self.data += b"\x00" * (_align(len(self.data), size) - len(self.data))
        self.data += struct.pack("<" + fmt, value)

    def header(self, stamp_ns: int, frame_id: str) -> None:
        sec, nanosec = divmod(stamp_ns, 1_000_000_000)
        self._put("i", sec)
        self._put("I", nanosec)
        self.string(frame_id)

    def byte(self, value: int) -> None:
        self._put("B", value)

    def count(self, n: int) -> None:
        self._put("I", n)

    def string(self, text: str) -> None:
        raw = text.encode() + b"\x00"
        self._put("I", len(raw))
        self.data += raw

    def strings(self, texts: Sequence[str]) -> None:
        self.count(len(texts))
        for t in texts:
            self.string(t)

    def bytes(self) -> bytes:
        return _ENCAPSULATION + bytes(self.data)


class _CdrReader:
    def __init__(self, data: bytes) -> None:
        if data[:4] != _ENCAPSULATION:
            raise ValueError("not little-endian CDR")
        self._data = memoryview(data)[4:]
        self._at = 0

    def _get(self, fmt: str) -> Any:
        size = struct.calcsize(fmt)
        self._at = _align(self._at, size)
        (value,) = struct.unpack_from("<" + fmt, self._data, self._at)
        self._at += size
        return value

    def header(self) -> tuple[int, str]:
        sec, nanosec = self._get("i"), self._get("I")
        return sec * 1_000_000_000 + nanosec, self.string()

    def byte(self) -> int:
        return int(self._get("B"))

    def count(self) -> int:
        n = int(self._get("I"))
        if n > len(self._data):
            raise ValueError("a count beyond the message")
        return n

    def string(self) -> str:
        n = self.count()
        text = bytes(self._data[self._at : self._at + n])
        if len(text) != n or not text.endswith(b"\x00"):
            raise ValueError("a string cut short")
        self._at += n
        return text[:-1].decode()

    def strings(self) -> list[str]:
        return [self.string() for _ in range(self.count())]


INFO_FIELDS: Final = ("port", "format", "output_names", "params_file", "module_version", "package_version")


def encode_info(stamp_ns: int, frame_id: str, info: dict[str, Any]) -> bytes:
    """A SensorInfo from ``info``'s fields (``INFO_FIELDS``)."""
    w = _CdrWriter()
    w.header(stamp_ns, frame_id)
    w.string(info["port"])
    w.string(info["format"])
    w.strings(info["output_names"])
    for key in INFO_FIELDS[3:]:
        w.string(info[key])
    return w.bytes()


def decode_info(data: bytes) -> dict[str, Any]:
    """A SensorInfo's fields, with ``stamp_ns`` and ``frame_id``. Raises
    ValueError (or struct.error) for bytes that are none."""
    r = _CdrReader(data)
    stamp, frame_id = r.header()
    info: dict[str, Any] = {"stamp_ns": stamp, "frame_id": frame_id, "port": r.string(), "format": r.string()}
    info["output_names"] = r.strings()
    for key in INFO_FIELDS[3:]:
        info[key] = r.string()
    return info


@dataclass
class Status:
    """One DiagnosticStatus."""

    level: int
    name: str
    message: str
    hardware_id: str
    values: list[tuple[str, str]]


def encode_diagnostics(stamp_ns: int, frame_id: str, statuses: Sequence[Status]) -> bytes:
    w = _CdrWriter()
    w.header(stamp_ns, frame_id)
    w.count(len(statuses))
    for s in statuses:
        w.byte(s.level)
        w.string(s.name)
        w.string(s.message)
        w.string(s.hardware_id)
        w.count(len(s.values))
        for key, value in s.values:
            w.string(key)
            w.string(value)
    return w.bytes()


def decode_diagnostics(data: bytes) -> tuple[int, list[Status]]:
    """A DiagnosticArray's stamp (UTC ns) and statuses."""
    r = _CdrReader(data)
    stamp, _ = r.header()
    statuses = []
    for _ in range(r.count()):
        level, name, message, hardware_id = r.byte(), r.string(), r.string(), r.string()
        values = [(r.string(), r.string()) for _ in range(r.count())]
        statuses.append(Status(level, name, message, hardware_id, values))
    return stamp, statuses
