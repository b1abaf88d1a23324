"""A recording's MCAP, written a chunk at a time.

The file has the ``ros2`` profile: ``ros2msg`` schemas, ``cdr`` messages
(``ros2_messages``). Frames go on ``/nervlane/NAME/frames``, the sensor's
description once on ``/nervlane/NAME/info``, counters and outages on
``/diagnostics``; the parameter file is an attachment, and how the run
went the metadata named ``nervlane``.

Each ``write`` closes a chunk and hands it to the system whole, so the
file is valid up to its last whole record at every moment: a crash or a
full disk loses the chunk in progress, and ``mcap_scan.finish_unfinished``
adds the summary and index that such a file lacks. ``mcap_read`` reads it
back. Needs the ``mcap`` extra.
"""

from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Final

from mcap.data_stream import RecordBuilder
from mcap.records import Metadata
from mcap.writer import CompressionType, Writer

from . import ros2_messages as msgs
from .outputs import RecordingFailed, create_file, write_failed

META_NAME: Final = "nervlane"
"""The metadata that says how the run went (the last of that name counts)."""
PARAMS_MEDIA_TYPE: Final = "application/msgpack"
OUTAGE_PREFIX: Final = "outage_"
"""Before the outage's fields in a status."""
MAGIC: Final = b"\x89MCAP0\r\n"
_CHUNK_BYTES: Final = 1 << 30
"""Chunks close when ``write`` says, never on their own: a write error then
always falls between two of them."""


def frames_topic(name: str) -> str:
    return f"/nervlane/{name}/frames"


def info_topic(name: str) -> str:
    return f"/nervlane/{name}/info"


def status_name(name: str) -> str:
    """The DiagnosticStatus name of the sensor recorded as NAME."""
    return f"nervlane: {name}"


def _compression() -> CompressionType:
    # Whichever the installed mcap can use: both come as wheels.
    for kind, module in ((CompressionType.ZSTD, "zstandard"), (CompressionType.LZ4, "lz4.frame")):
        try:
            __import__(module)
            return kind
        except ImportError:
            continue
    return CompressionType.NONE


def meta_record(meta: Mapping[str, Any]) -> dict[str, str]:
    """A recording's details as MCAP metadata: every value as JSON text."""
    return {k: json.dumps(v) for k, v in meta.items()}


def meta_of(record: Mapping[str, str]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for k, v in record.items():
        try:
            out[k] = json.loads(v)
        except ValueError:
            out[k] = v
    return out


class _FdStream:
    """The file the mcap writer writes into, unbuffered (no ``io`` base
    class, which the writer would buffer): every write whole, or an OSError."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.size = 0

    def write(self, data: Any) -> int:
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view[: 1 << 20]) :]
        self.size += len(data)
        return len(data)

    def tell(self) -> int:
        return self.size

    def flush(self) -> None:
        pass


@dataclass(frozen=True)
class Start:
    """What a recording's MCAP is made with."""

    name: str
    """NAME in the topics, and every header's frame_id."""
    info: dict[str, Any]
    """The SensorInfo's fields."""
    stamp_ns: int
    """The recording's start, UTC."""
    utc_offset_ns: int
    """UTC minus the monotonic clock, in ns."""
    params_name: str
    params_data: bytes | None


class McapRows:
    """A recording's MCAP, fed frames and written a chunk at a time.
    ``kept`` is always 0: a chunk reaches the disk whole or not at all."""

    kept: Final = 0

    def __init__(self, path: str, replace: bool, start: Start) -> None:
        self.path = path
        self._start = start
        self._fd = create_file(path, replace)
        try:
            self._stream = _FdStream(self._fd)
            self._whole = 0
            stream: Any = self._stream
            writer = Writer(stream, chunk_size=_CHUNK_BYTES, compression=_compression())
            self._writer = writer
            writer.start(profile="ros2", library=f"nervlane-comm/{start.info['package_version']}")
            channels = {}
            for topic, kind in (
                (frames_topic(start.name), msgs.FRAME_TYPE),
                (info_topic(start.name), msgs.INFO_TYPE),
                (msgs.DIAGNOSTICS_TOPIC, msgs.DIAGNOSTICS_TYPE),
            ):
                schema = writer.register_schema(kind, "ros2msg", msgs.SCHEMAS[kind].encode())
                channels[kind] = writer.register_channel(topic, "cdr", schema)
            self._channels = channels
            if start.params_data is not None:
                writer.add_attachment(
                    start.stamp_ns, start.stamp_ns, start.params_name, PARAMS_MEDIA_TYPE, start.params_data
                )
            self._add(msgs.INFO_TYPE, start.stamp_ns, msgs.encode_info(start.stamp_ns, start.name, start.info))
            self.write()
        except BaseException:
            os.close(self._fd)
            raise

    @classmethod
    def create(
        cls, path: str, replace: bool, meta: Mapping[str, Any], names: list[str], params_data: bytes | None
    ) -> McapRows:
        """The MCAP of a recording with these details (a ``RecordingWriter``'s
        ``meta``), made exclusively unless ``replace``. Raises OSError
        (FileExistsError: it exists, and is left alone; else nothing is left)."""
        info = {key: meta[key] for key in ("port", "format", "module_version", "package_version")}
        info.update(output_names=names, params_file=meta["params"])
        offset = int(meta["utc_offset_ns"])
        stamp = int(msgs.stamps_ns(meta["start_monotonic"], offset))
        params_name = os.path.basename(meta["params"]) or "params.msgpack"
        start = Start(meta["name"], info, stamp, offset, params_name, params_data)
        try:
            return cls(path, replace, start)
        except FileExistsError:
            raise
        except OSError:
            with contextlib.suppress(OSError):
                os.unlink(path)
            raise

    def _add(self, kind: str, stamp_ns: int, data: bytes) -> None:
        self._writer.add_message(self._channels[kind], stamp_ns, data, stamp_ns)

    def add(self, sequence: Any, times: Any, raw: Any, values: Any) -> None:
        """Frames of one batch: their sequence numbers, decode times on the
        monotonic clock, readings and calibrated values."""
        stamps = msgs.stamps_ns(times, self._start.utc_offset_ns)
        add, channel = self._writer.add_message, self._channels[msgs.FRAME_TYPE]
        data = msgs.encode_frames(self._start.name, sequence, times, stamps, raw, values)
        for stamp, message in zip(stamps.tolist(), data, strict=True):
            add(channel, stamp, message, stamp)

    def status(
        self, stamp_ns: int, level: int, message: str, counters: Mapping[str, int], outage: Mapping[str, Any]
    ) -> None:
        """A DiagnosticArray of the sensor's one status: its ``counters``,
        and the fields of an ``outage`` that starts or ends (``outage_`` before
        each, its value as JSON)."""
        values = [(k, str(v)) for k, v in counters.items()]
        values += [(f"{OUTAGE_PREFIX}{k}", json.dumps(v)) for k, v in outage.items()]
        status = msgs.Status(level, status_name(self._start.name), message, self._start.info["port"], values)
        self._add(msgs.DIAGNOSTICS_TYPE, stamp_ns, msgs.encode_diagnostics(stamp_ns, self._start.name, [status]))

    def write(self) -> None:
        """Close the chunk in progress and hand it to the disk. On an error
        the file is cut back to its last whole record, and the error raised."""
        with self._whole_or_cut():
            self._writer.flush()

    @contextlib.contextmanager
    def _whole_or_cut(self) -> Iterator[None]:
        """What the block writes, on the disk and counted whole; on an
        OSError the file cut back to its last whole record first."""
        try:
            yield
            os.fsync(self._fd)
        except OSError:
            self._cut()
            raise
        self._whole = self._stream.size

    def _cut(self) -> None:
        with contextlib.suppress(OSError):
            os.ftruncate(self._fd, self._whole)
            os.fsync(self._fd)
        self._stream.size = self._whole
        with contextlib.suppress(OSError):
            os.lseek(self._fd, self._whole, os.SEEK_SET)

    def finish(self, meta: Mapping[str, Any], failed: bool) -> None:
        """End the file: the metadata, then (unless a write ``failed``
        before) the summary and index. A file that cannot be finished keeps
        its records up to the last whole one, and the metadata if it fits,
        for ``finish_unfinished``. Raises OSError."""
        if not failed:
            try:
                self._writer.add_metadata(META_NAME, meta_record(meta))
                self._writer.finish()
                os.fsync(self._fd)
                return
            except OSError:
                self._cut()
                with contextlib.suppress(OSError):
                    self._append_meta(meta)
                raise
        self._append_meta(meta)

    def finish_recording(
        self, meta: Mapping[str, Any], failure: RecordingFailed | None, frames: int
    ) -> RecordingFailed | None:
        """``finish`` and close, for a ``RecordingWriter`` whose ``failure``
        so far is given; returns its failure then, which says how to finish
        a file that could not be."""
        try:
            self.finish(meta, failure is not None)
        except OSError as e:
            failure = failure or write_failed(self.path, e)
        finally:
            self.close()
        if failure is None:
            return None
        return RecordingFailed(
            f"{failure}; {self.path} holds the {frames} frames written before, up to its last whole chunk: "
            f"once there is room, 'nervlane recover {self.path}' finishes it",
            failure.stop,
        )

    def _append_meta(self, meta: Mapping[str, Any]) -> None:
        builder = RecordBuilder()
        Metadata(name=META_NAME, metadata=meta_record(meta)).write(builder)
        with self._whole_or_cut():
            self._stream.write(builder.end())

    def close(self) -> None:
        os.close(self._fd)
