"""The server loop behind ``nervlane serve``.

One open sensor's frames, counters and details published on a Zenoh
session under ``nervlane/NAME/`` (``nervlane.remote.payload``), and its
``info`` and ``zero`` queries answered.

Frames come from the module's frame queue and leave in batches at most
every ``BATCH_S``, so 1000 frames/s cost 100 messages a second. Publishing
drops rather than waits: a subscriber that cannot keep up loses batches
(and sees the gap in the sequence numbers); the port's reader never slows.
"""

from __future__ import annotations

import queue
import secrets
import sys
import threading
import time
from collections.abc import Mapping
from typing import Any, Final

from ..console import stamped
from . import payload
from .session import import_zenoh

QUEUE_FRAMES: Final = 1 << 15
"""What the module holds while a batch is being sent: 16 s at 2000 frames/s."""
BATCH_S: Final = 0.010
"""The longest a frame waits to be sent, and the shortest gap between two batches."""
IDLE_WAIT_MS: Final = 100
"""How long one wait for frames lasts when none come: stats and the port are looked at in between."""
STATS_EVERY_S: Final = 1.0
SEND_QUEUE_BATCHES: Final = 16
"""Zenoh's queue of data waiting for a link, in its batches (2 by default):
a subscriber stalled for a moment (a busy CPU) gets what was sent
meanwhile instead of losing it; one stalled for longer loses batches
without holding up the others, as drop congestion control does."""


def next_due(due: float, first: float, now: float) -> float:
    """When the batch after this one is due: BATCH_S after this one was due
    (``due``) or, if later, after its first frame was decoded (``first``);
    it was taken at ``now``. Time a pass of the loop overslept or spent is
    not carried on, so a stream of a frame every BATCH_S goes a frame a
    batch; a loop that fell behind sends at most one batch at once."""
    return max(due, min(first, now), now - BATCH_S) + BATCH_S


class Server:
    """Publishes one open sensor under ``nervlane/NAME/`` on a Zenoh session."""

    def __init__(
        self, session: Any, comms: Any, names: list[str], name: str, details: dict[str, Any], reconnect: bool
    ) -> None:
        zenoh = import_zenoh()
        self.comms = comms
        self.name = name
        self.reconnect = reconnect
        self.stream = secrets.randbelow(payload.STREAM_ID_LIMIT - 1) + 1
        self.frames = self.batches = 0
        self._details = details
        self._names = list(names)
        self._reading_count: int | None = None
        self._zero_requests: queue.Queue[Any] = queue.Queue()
        drop = zenoh.CongestionControl.DROP
        self._frames = session.declare_publisher(
            payload.key(name, payload.FRAMES), congestion_control=drop, express=True
        )
        self._stats = session.declare_publisher(payload.key(name, payload.STATS), congestion_control=drop)
        self._zeroing = threading.Thread(target=self._answer_zero, name="nervlane-serve-zero", daemon=True)
        self._zeroing.start()
        self._queryables = [
            session.declare_queryable(payload.key(name, payload.INFO), self._answer_info),
            # Zeroing takes a few dozen frames: answered on a thread of our
            # own, never on Zenoh's, which carries everything else.
            session.declare_queryable(payload.key(name, payload.ZERO), self._zero_requests.put),
        ]
        self._token = session.liveliness().declare_token(payload.key(name, payload.ALIVE))

    @staticmethod
    def anchor() -> float:
        return time.time() - time.monotonic()

    def publish(self, batch: Any) -> None:
        n = len(batch)
        raw, values = batch.raw, batch.values
        self._reading_count = raw.shape[1]
        self.batches += 1
        self.frames += n
        self._frames.put(
            payload.encode_batch(self.stream, self.batches, self.anchor(), batch.sequence, batch.time, raw, values)
        )

    def publish_stats(self, connected: bool) -> None:
        stats = {
            **self.comms.stats(),
            "connected": connected,
            "frames_published": self.frames,
            "batches_published": self.batches,
            "stream": self.stream,
            "time": time.monotonic(),
            "clock_anchor": self.anchor(),
        }
        self._stats.put(payload.encode_json(stats))

    def info(self) -> dict[str, Any]:
        return {
            "name": self.name,
            **self._details,
            "reading_count": self._reading_count,
            "output_count": len(self._names),
            "output_names": self._names,
            "connected": self.comms.is_connected(),
            "stream": self.stream,
            "clock_anchor": self.anchor(),
            "stats": self.comms.stats(),
        }

    def _answer_info(self, query: Any) -> None:
        try:
            query.reply(payload.key(self.name, payload.INFO), payload.encode_json(self.info()))
        finally:
            query.drop()

    def _answer_zero(self) -> None:
        while (query := self._zero_requests.get()) is not None:
            try:
                query.reply(payload.key(self.name, payload.ZERO), payload.encode_json(self._zero(query.payload)))
            except Exception as e:  # noqa: BLE001 - a querier gone away must not end the thread
                print(stamped(f"warning: a zero request went unanswered: {e}"), file=sys.stderr)
            finally:
                query.drop()

    def _zero(self, request: Any) -> dict[str, Any]:
        try:
            data = request.to_bytes() if request is not None else b""
            indices = payload.decode_checked(data, payload.ZERO_FIELDS)["indices"]
        except (KeyError, payload.PayloadError) as e:
            return {"ok": False, "error": f"not a zero request: {e}"}
        if not all(0 <= i < len(self._names) for i in indices):
            return {"ok": False, "error": f"indices: a list of output positions 0..{len(self._names) - 1}"}
        try:
            self.comms.zero(indices)
        except Exception as e:  # noqa: BLE001 - whatever the module says goes back to the client
            return {"ok": False, "error": str(e).splitlines()[0] if str(e) else type(e).__name__}
        return {"ok": True}

    def run(self, watch: Any) -> Mapping[str, Any]:
        """Publish until Ctrl+C / SIGTERM (KeyboardInterrupt) or, without
        ``reconnect``, the device going away: then the frames still queued
        and the last stats are sent, and the counters returned. ``watch``
        (a ``DecodeWatch``) gives the warning for a stream that does not
        fit its format."""
        comms = self.comms
        comms.queue_frames(QUEUE_FRAMES)
        connected = comms.is_connected()
        self.publish_stats(connected)
        next_stats = time.monotonic() + STATS_EVERY_S
        due = float("-inf")
        hinted = False
        while True:
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            batch = comms.take_frames(IDLE_WAIT_MS)
            now = time.monotonic()
            if len(batch):
                due = next_due(due, float(batch.time[0]), now)
                self.publish(batch)
            was, connected = connected, comms.is_connected()
            if now >= next_stats or connected != was:
                self.publish_stats(connected)
                next_stats = now + STATS_EVERY_S
                if not hinted and (hint := watch.hint(comms.stats(), now)) is not None:
                    print(stamped(f"warning: {hint}"), file=sys.stderr)
                    hinted = True
            if not connected and not self.reconnect:
                while len(batch := comms.take_frames(0)):
                    self.publish(batch)
                stats: Mapping[str, Any] = comms.stats()
                self.publish_stats(False)
                return stats

    def close(self) -> None:
        self._zero_requests.put(None)
        self._zeroing.join(timeout=5.0)
