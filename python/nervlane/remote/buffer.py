"""The remote client's frames, and the bounded buffer that holds them.

The shapes it hands over (``RemoteFrame``, ``RemoteBatch``), and the buffer
that keeps what arrived until it is taken, dropping the oldest when full."""

from __future__ import annotations

import collections
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray


@dataclass(frozen=True)
class RemoteFrame:
    """One frame whole, as ``nervlane_comm_py.Frame``: ``time`` is on the
    server's monotonic clock; ``time + anchor`` is UTC (seconds since 1970)."""

    sequence: int
    time: float
    raw: list[float]
    values: list[float]
    anchor: float


@dataclass(frozen=True)
class RemoteBatch:
    """Frames of one shape from one server run, oldest first, as
    ``nervlane_comm_py.FrameBatch``: ``sequence`` (uint64, n), ``time``
    (server's monotonic clock, n), ``raw`` (n x readings), ``values``
    (n x outputs). ``time + anchor`` is UTC (seconds since 1970)."""

    sequence: NDArray[np.uint64]
    time: NDArray[np.float64]
    raw: NDArray[np.float64]
    values: NDArray[np.float64]
    anchor: float

    def __len__(self) -> int:
        return len(self.sequence)


@dataclass(frozen=True)
class Chunk(RemoteBatch):
    """Frames of one received batch, or what is left of it in the buffer."""

    stream: int

    def same_kind(self, other: Chunk) -> bool:
        return (
            self.stream == other.stream
            and self.raw.shape[1] == other.raw.shape[1]
            and self.values.shape[1] == other.values.shape[1]
        )

    def part(self, rows: slice) -> Chunk:
        return Chunk(self.sequence[rows], self.time[rows], self.raw[rows], self.values[rows], self.anchor, self.stream)

    def newest(self) -> RemoteFrame:
        return RemoteFrame(
            int(self.sequence[-1]), float(self.time[-1]), self.raw[-1].tolist(), self.values[-1].tolist(), self.anchor
        )


def empty_batch() -> RemoteBatch:
    return RemoteBatch(np.zeros(0, np.uint64), np.zeros(0), np.zeros((0, 0)), np.zeros((0, 0)), float("nan"))


def joined(chunks: list[Chunk]) -> RemoteBatch:
    """The chunks as one batch of the caller's own arrays (always copied)."""
    return RemoteBatch(
        np.concatenate([c.sequence for c in chunks]),
        np.concatenate([c.time for c in chunks]),
        np.concatenate([c.raw for c in chunks]),
        np.concatenate([c.values for c in chunks]),
        chunks[-1].anchor,
    )


class FrameBuffer:
    """Chunks received and not yet taken, at most ``capacity`` frames: the
    oldest beyond it go, and are counted in ``dropped``. Capacity 0 keeps
    nothing. Not thread-safe: its owner's lock guards it."""

    def __init__(self, capacity: int) -> None:
        self.capacity = capacity
        self.frames = 0
        """Frames held."""
        self.dropped = 0
        self._chunks: collections.deque[Chunk] = collections.deque()

    def add(self, chunk: Chunk) -> None:
        """Keep ``chunk``, dropping the oldest to make room."""
        if not self.capacity:
            return
        self._chunks.append(chunk)
        self.frames += len(chunk)
        self._trim()

    def resize(self, capacity: int) -> None:
        """Bound the buffer anew, dropping the oldest to fit."""
        self.capacity = capacity
        self._trim()

    def _trim(self) -> None:
        while self.frames > self.capacity:
            excess = self.frames - self.capacity
            oldest = self._chunks[0]
            if len(oldest) <= excess:
                self._chunks.popleft()
                gone = len(oldest)
            else:
                self._chunks[0] = oldest.part(slice(excess, None))
                gone = excess
            self.frames -= gone
            self.dropped += gone

    def take(self, limit: int | None) -> list[Chunk]:
        """The oldest chunks of one kind (one shape, one server run), up to
        ``limit`` frames (None: all), split where the limit falls."""
        taken: list[Chunk] = []
        if not self._chunks:
            return taken
        first = self._chunks[0]
        n = 0
        while self._chunks and self._chunks[0].same_kind(first) and (limit is None or n < limit):
            chunk = self._chunks.popleft()
            if limit is not None and n + len(chunk) > limit:
                keep = limit - n
                self._chunks.appendleft(chunk.part(slice(keep, None)))
                chunk = chunk.part(slice(keep))
            taken.append(chunk)
            n += len(chunk)
        self.frames -= n
        return taken
