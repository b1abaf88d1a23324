"""An MCAP's records found one by one: read back, and finished after a crash.

``scan`` finds the whole records of a file that a crash or a full disk cut
short; ``records`` reads them back through the ``mcap`` package's stream
reader; ``finish_unfinished`` adds the summary and index such a file lacks,
so that a seeking reader opens it. Needs the ``mcap`` extra.
"""

from __future__ import annotations

import contextlib
import io
import os
import struct
import zlib
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, Any

from mcap.data_stream import ReadDataStream, RecordBuilder
from mcap.exceptions import EndOfFile
from mcap.opcode import Opcode
from mcap.records import (
    Attachment,
    AttachmentIndex,
    Channel,
    Chunk,
    ChunkIndex,
    DataEnd,
    Footer,
    Message,
    MessageIndex,
    Metadata,
    MetadataIndex,
    Schema,
    Statistics,
    SummaryOffset,
)
from mcap.stream_reader import StreamReader, breakup_chunk

from .mcap_file import MAGIC, META_NAME, meta_record


@dataclass(frozen=True)
class Extent:
    """One record's place in the file."""

    opcode: int
    offset: int
    length: int
    """Of the whole record: opcode, length word and body."""


def scan(f: IO[bytes]) -> tuple[list[Extent], bool]:
    """The whole records of an MCAP, in order, up to its footer or the
    first one cut short; and whether the file is finished (its footer and
    closing magic are there). Raises ValueError for a file that is no MCAP."""
    f.seek(0, io.SEEK_END)
    size = f.tell()
    f.seek(0)
    if f.read(len(MAGIC)) != MAGIC:
        raise ValueError("it does not start as an MCAP file does")
    extents: list[Extent] = []
    at = len(MAGIC)
    while at + 9 <= size:
        f.seek(at)
        opcode, length = struct.unpack("<BQ", f.read(9))
        if at + 9 + length > size:
            break
        extents.append(Extent(opcode, at, 9 + length))
        at += 9 + length
        if opcode == Opcode.FOOTER:
            f.seek(at)
            return extents, f.read(len(MAGIC)) == MAGIC
    return extents, False


class _Prefix(io.RawIOBase):
    """The first ``end`` bytes of a file."""

    def __init__(self, f: IO[bytes], end: int) -> None:
        self._f, self._end = f, end
        f.seek(0)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        left = self._end - self._f.tell()
        view = memoryview(buffer)[: max(0, left)]
        data = self._f.read(len(view))
        view[: len(data)] = data
        return len(data)


def records(f: IO[bytes], end: int | None) -> Iterator[Any]:
    """The records of an MCAP (chunks opened), up to byte ``end`` (None:
    the whole file, to its footer)."""
    stream: IO[bytes] = f if end is None else io.BufferedReader(_Prefix(f, end))
    f.seek(0)
    try:
        yield from StreamReader(stream).records
    except EndOfFile:
        if end is None:
            raise


# --------------------------------------------------------------------------
# Finishing a file that a crash or a full disk left without its summary


def _read(f: IO[bytes], extent: Extent) -> ReadDataStream:
    f.seek(extent.offset + 9)
    return ReadDataStream(io.BytesIO(f.read(extent.length - 9)))


def _chunk_index(extent: Extent, chunk: Chunk) -> ChunkIndex:
    """The index of the chunk at ``extent``, without its message indexes yet."""
    return ChunkIndex(
        message_start_time=chunk.message_start_time,
        message_end_time=chunk.message_end_time,
        chunk_start_offset=extent.offset,
        chunk_length=extent.length,
        message_index_offsets={},
        message_index_length=0,
        compression=chunk.compression,
        compressed_size=len(chunk.data),
        uncompressed_size=chunk.uncompressed_size,
    )


class _Summary:
    """What a finished MCAP's summary holds of its data section, gathered
    record by record."""

    def __init__(self) -> None:
        self.schemas: dict[int, Schema] = {}
        self.channels: dict[int, Channel] = {}
        self.stats = Statistics(
            attachment_count=0,
            channel_count=0,
            channel_message_counts={},
            chunk_count=0,
            message_count=0,
            message_end_time=0,
            message_start_time=0,
            metadata_count=0,
            schema_count=0,
        )
        self.chunks: list[ChunkIndex] = []
        self.attachments: list[AttachmentIndex] = []
        self.metadata: list[MetadataIndex] = []

    def add(self, f: IO[bytes], extent: Extent) -> None:
        """The record at ``extent``, indexed if a summary lists its kind."""
        if extent.opcode == Opcode.CHUNK:
            self._add_chunk(extent, Chunk.read(_read(f, extent)))
        elif extent.opcode == Opcode.MESSAGE_INDEX and self.chunks:
            index = self.chunks[-1]
            index.message_index_offsets[MessageIndex.read(_read(f, extent)).channel_id] = extent.offset
            index.message_index_length += extent.length
        elif extent.opcode == Opcode.ATTACHMENT:
            a = Attachment.read(_read(f, extent))
            self.attachments.append(
                AttachmentIndex(
                    offset=extent.offset,
                    length=extent.length,
                    log_time=a.log_time,
                    create_time=a.create_time,
                    data_size=len(a.data),
                    name=a.name,
                    media_type=a.media_type,
                )
            )
        elif extent.opcode == Opcode.METADATA:
            name = Metadata.read(_read(f, extent)).name
            self.metadata.append(MetadataIndex(offset=extent.offset, length=extent.length, name=name))

    def _add_chunk(self, extent: Extent, chunk: Chunk) -> None:
        counts: dict[int, int] = {}
        for rec in breakup_chunk(chunk):
            if isinstance(rec, Schema):
                self.schemas[rec.id] = rec
            elif isinstance(rec, Channel):
                self.channels[rec.id] = rec
            elif isinstance(rec, Message):
                counts[rec.channel_id] = counts.get(rec.channel_id, 0) + 1
        if not counts:
            return
        stats = self.stats
        first = stats.message_count == 0
        stats.message_start_time = (
            chunk.message_start_time if first else min(stats.message_start_time, chunk.message_start_time)
        )
        stats.message_end_time = max(stats.message_end_time, chunk.message_end_time)
        for channel, n in counts.items():
            stats.channel_message_counts[channel] = stats.channel_message_counts.get(channel, 0) + n
            stats.message_count += n
        self.chunks.append(_chunk_index(extent, chunk))

    def groups(self) -> list[tuple[Opcode, Sequence[Any]]]:
        """The summary's groups of records, in order, the statistics counting them."""
        stats = self.stats
        stats.schema_count, stats.channel_count = len(self.schemas), len(self.channels)
        stats.chunk_count, stats.attachment_count = len(self.chunks), len(self.attachments)
        stats.metadata_count = len(self.metadata)
        return [
            (Opcode.SCHEMA, list(self.schemas.values())),
            (Opcode.CHANNEL, list(self.channels.values())),
            (Opcode.STATISTICS, [stats]),
            (Opcode.CHUNK_INDEX, self.chunks),
            (Opcode.ATTACHMENT_INDEX, self.attachments),
            (Opcode.METADATA_INDEX, self.metadata),
        ]


def _summary_section(groups: list[tuple[Opcode, Sequence[Any]]], start: int) -> bytes:
    """The summary whose groups are ``groups``, starting at byte ``start``,
    then its offsets and the footer."""
    summary = RecordBuilder()
    offsets: list[SummaryOffset] = []
    for opcode, group in groups:
        begin = summary.count
        for rec in group:
            rec.write(summary)
        offsets.append(
            SummaryOffset(group_opcode=opcode, group_start=start + begin, group_length=summary.count - begin)
        )
    offset_start = start + summary.count
    for o in offsets:
        o.write(summary)
    body: bytes = summary.end()
    crc = zlib.crc32(body)
    crc = zlib.crc32(struct.pack("<BQQQ", Opcode.FOOTER, 20, start, offset_start), crc)
    footer = RecordBuilder()
    Footer(summary_start=start, summary_offset_start=offset_start, summary_crc=crc).write(footer)
    ending: bytes = footer.end()
    return body + ending


def finish_unfinished(path: str, meta: Mapping[str, Any]) -> None:
    """Add to an unfinished MCAP what a finished one has after its data:
    the metadata ``meta``, then the summary (schemas, channels, statistics,
    chunk, attachment and metadata indexes) and the footer. Whatever
    follows the last whole record, or a summary begun and not ended, is cut
    off first. Raises OSError, ValueError (no MCAP, or a finished one)."""
    with open(path, "r+b") as f:
        extents, finished = scan(f)
        if finished:
            raise ValueError("it is finished already")
        ends = next((i for i, e in enumerate(extents) if e.opcode == Opcode.DATA_END), len(extents))
        extents = extents[:ends]
        cut = extents[-1].offset + extents[-1].length if extents else len(MAGIC)
        summary = _Summary()
        for extent in extents:
            summary.add(f, extent)
        f.seek(cut)
        f.truncate()
        data = RecordBuilder()
        Metadata(name=META_NAME, metadata=meta_record(meta)).write(data)
        summary.metadata.append(MetadataIndex(offset=cut, length=data.count, name=META_NAME))
        DataEnd(data_section_crc=0).write(data)
        tail = _summary_section(summary.groups(), cut + data.count)
        try:
            f.write(data.end() + tail + MAGIC)
            f.flush()
            os.fsync(f.fileno())
        except OSError:
            with contextlib.suppress(OSError):
                f.truncate(cut)
            raise
