"""Reading a recording's MCAP back: its frames, its details, its outages.

One pass through the file's records (``mcap_scan.records``, the ``mcap``
package's stream reader): the frames of one sensor, its SensorInfo, its
statuses on /diagnostics, the parameter file attached, and the metadata
named ``nervlane``. A file whose run did not end has no metadata; its
details are then made from the SensorInfo and the statuses. Needs the
``mcap`` extra.
"""

from __future__ import annotations

import datetime
import json
import struct
from collections.abc import Iterator
from typing import Any

import numpy as np
from mcap.exceptions import McapError
from mcap.records import Attachment, Channel, Message, Metadata, Schema

from ..files import NotRegularFile, open_regular
from ..parameters import output_names
from . import ros2_messages as msgs
from .load import RecordingError, RecordingFile, Warn
from .mcap_file import META_NAME, OUTAGE_PREFIX, PARAMS_MEDIA_TYPE, frames_topic, info_topic, meta_of, status_name
from .mcap_scan import records, scan
from .summary import DECODER_COUNTERS
from .writer import Rows


class _Content:
    """What one pass through the records keeps."""

    def __init__(self) -> None:
        self.schemas: dict[int, Schema] = {}
        self.channels: dict[int, Channel] = {}
        self.messages: dict[int, list[bytes]] = {}
        self.attachments: list[Attachment] = []
        self.meta: dict[str, str] | None = None

    def take(self, record: Any) -> None:
        if isinstance(record, Message):
            self.messages.setdefault(record.channel_id, []).append(record.data)
        elif isinstance(record, Channel):
            self.channels[record.id] = record
        elif isinstance(record, Schema):
            self.schemas[record.id] = record
        elif isinstance(record, Attachment):
            self.attachments.append(record)
        elif isinstance(record, Metadata) and record.name == META_NAME:
            self.meta = dict(record.metadata)

    def of(self, topic: str, kind: str) -> list[bytes]:
        for cid, channel in self.channels.items():
            schema = self.schemas.get(channel.schema_id)
            if channel.topic == topic and schema is not None and schema.name == kind:
                return self.messages.get(cid, [])
        return []

    def sensors(self) -> list[str]:
        found = []
        for channel in self.channels.values():
            schema = self.schemas.get(channel.schema_id)
            parts = channel.topic.split("/")
            if schema is not None and schema.name == msgs.FRAME_TYPE and len(parts) == 4 and parts[3] == "frames":
                found.append(parts[2])
        return found


def _read(path: str, warn: Warn) -> _Content:
    try:
        f = open_regular(path)
    except (OSError, NotRegularFile) as e:
        raise RecordingError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from e
    content = _Content()
    with f:
        try:
            extents, finished = scan(f)
        except ValueError as e:
            raise RecordingError(f"{path} is no MCAP file: {e}") from e
        except OSError as e:
            raise RecordingError(f"cannot read {path}: {e.strerror or e}") from e
        end = None
        if not finished:
            end = extents[-1].offset + extents[-1].length if extents else 0
            warn(
                f"{path} is unfinished (the run that wrote it did not end): read up to its last whole chunk; "
                f"'nervlane recover {path}' finishes it"
            )
        try:
            for record in records(f, end):
                content.take(record)
        except (McapError, OSError, ValueError, struct.error) as e:
            raise RecordingError(f"cannot read {path}: {e}") from e
    return content


def _outages(statuses: list[tuple[int, msgs.Status]], start: float, offset: int) -> list[dict[str, Any]]:
    """The outages the statuses told of as they started and ended."""
    outages, pending, last = [], None, None
    for stamp, status in statuses:
        last = stamp
        fields = {k[len(OUTAGE_PREFIX) :]: v for k, v in status.values if k.startswith(OUTAGE_PREFIX)}
        try:
            outage = {k: json.loads(v) for k, v in fields.items()}
        except ValueError:
            continue
        if "seconds" in outage:
            outages.append(outage)
            pending = None
        elif outage:
            pending = outage
    if pending is not None and last is not None:
        lasted = (last - offset) / 1e9 - float(pending.get("start_monotonic", start))
        outages.append({**pending, "seconds": round(max(0.0, lasted), 6), "ended": False})
    return outages


def _made_meta(name: str, info: dict[str, Any] | None, statuses: list[tuple[int, msgs.Status]]) -> dict[str, Any]:
    """The details of a file whose run did not end, from its SensorInfo and statuses."""
    meta: dict[str, Any] = {"name": name}
    if info is not None:
        started = datetime.datetime.fromtimestamp(info["stamp_ns"] / 1e9, datetime.timezone.utc).astimezone()
        meta.update(
            start_time=started.isoformat(timespec="milliseconds"),
            port=info["port"],
            params=info["params_file"],
            format=info["format"],
            package_version=info["package_version"],
            module_version=info["module_version"],
        )
    if statuses:
        values = dict(statuses[-1][1].values)
        for key in DECODER_COUNTERS:
            if values.get(key, "").isdigit():
                meta[key] = int(values[key])
    meta["stopped_by"] = "the run ending unfinished"
    return meta


def open_mcap(path: str, warn: Warn, name: str | None = None) -> RecordingFile:
    """A recording's MCAP (``load.open_recording``). Raises RecordingError."""
    content = _read(path, warn)
    sensors = content.sensors()
    if name is None and len(sensors) > 1:
        raise RecordingError(f"{path} holds the frames of several sensors ({', '.join(sensors)}): name one")
    name = name if name is not None else (sensors[0] if sensors else None)
    if name is None or name not in sensors:
        raise RecordingError(f"{path} holds no frames of nervlane (no {frames_topic(name or 'NAME')} channel)")
    try:
        infos = content.of(info_topic(name), msgs.INFO_TYPE)
        info = msgs.decode_info(infos[0]) if infos else None
        statuses = [
            (stamp, s)
            for data in content.of(msgs.DIAGNOSTICS_TOPIC, msgs.DIAGNOSTICS_TYPE)
            for stamp, found in [msgs.decode_diagnostics(data)]
            for s in found
            if s.name == status_name(name)
        ]
    except (ValueError, struct.error, UnicodeDecodeError) as e:
        raise RecordingError(f"{path}: a message cannot be read ({e})") from e
    frames = content.of(frames_topic(name), msgs.FRAME_TYPE)
    meta = meta_of(content.meta) if content.meta is not None else _made_meta(name, info, statuses)
    first = next(msgs.decode_frames(frames[:1]), None) if frames else None
    if not isinstance(meta.get("utc_offset_ns"), int):
        meta["utc_offset_ns"] = int(first.stamp_ns[0] - np.rint(first.time[0] * 1e9)) if first else 0
    if not isinstance(meta.get("start_monotonic"), (int, float)):
        at = info["stamp_ns"] if info else (int(first.stamp_ns[0]) if first else meta["utc_offset_ns"])
        meta["start_monotonic"] = (at - meta["utc_offset_ns"]) / 1e9
    outages = meta.pop("outages", None)
    if not isinstance(outages, list):
        outages = _outages(statuses, meta["start_monotonic"], meta["utc_offset_ns"])
    params = [a for a in content.attachments if a.media_type == PARAMS_MEDIA_TYPE]
    names = info["output_names"] if info else output_names(None, first.values.shape[1] if first else 0)

    def batches() -> Iterator[tuple[Rows, Any]]:
        for run in msgs.decode_frames(frames):
            yield Rows(run.sequence, run.time, run.raw, run.values), run.stamp_ns

    return RecordingFile(path, list(names), meta, outages, params[0].data if params else None, batches)
