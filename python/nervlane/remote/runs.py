"""Carrying a served stream across server restarts.

For a client that answers as a local module would: sequence numbers and
counters that go on, and times on this machine's monotonic clock."""

from __future__ import annotations

import time
from collections.abc import Mapping
from typing import Any, Final

from .payload import MODULE_COUNTERS

SAME_CLOCK_S: Final = 1e-3
"""Two anchors closer than this are one machine's clock, sampled apart."""

SERVER_STATS: Final[dict[str, Any]] = {
    **dict.fromkeys(MODULE_COUNTERS, 0),
    "last_error": None,
    "realtime": False,
    "connected": False,
}
"""What the counters are before the server has sent any: the module's keys."""
RUN_COUNTERS: Final = tuple(k for k in MODULE_COUNTERS if k not in ("frames_delivered", "frames_overwritten"))
"""The counters that carry on from one server run to the next: all the
module's but those of reads, which a client counts of its own."""


class RunCarry:
    """What the runs before this one add: to its sequence numbers
    (``numbered``), its times (``offset``) and its counters."""

    def __init__(self) -> None:
        self.offset = 0.0
        self.numbered = 0
        self._carried = dict.fromkeys(RUN_COUNTERS, 0)

    def end(self, server: Mapping[str, Any], last_sequence: int) -> None:
        """A run ended with these counters (the server's last) and newest
        sequence number: the next run's numbers and counters go on from them."""
        ended = {**SERVER_STATS, **server}
        ended["frames_decoded"] = max(ended["frames_decoded"], last_sequence)
        for key in RUN_COUNTERS:
            self._carried[key] += int(ended[key] or 0)
        # An outage the ended run was in ends with the next run's connect.
        self._carried["reconnects"] += max(0, int(ended["port_errors"]) - int(ended["reconnects"]))
        self.numbered = self._carried["frames_decoded"]

    def start(self, anchor: float | None) -> None:
        """A run begins whose server's anchor (UTC minus its monotonic
        clock) is ``anchor``: its times are put on this machine's monotonic
        clock by the difference of the two machines' anchors, taken once a
        run, so that the times keep the server's spacing whatever either
        wall clock does later. As right as the two machines' wall clocks
        agree (NTP: milliseconds)."""
        if anchor is None:
            self.offset = 0.0
            return
        offset = anchor - (time.time() - time.monotonic())
        # One machine's two anchors differ only by when each was sampled:
        # keep its decode times exact.
        self.offset = 0.0 if abs(offset) < SAME_CLOCK_S else offset

    def add_to(self, stats: dict[str, Any], last_sequence: int) -> None:
        """The run's counters in ``stats`` made to go on from the runs before."""
        # A frame's sequence number is its server's count of frames decoded.
        stats["frames_decoded"] = max(stats["frames_decoded"], last_sequence)
        for key in RUN_COUNTERS:
            stats[key] = int(stats[key] or 0) + self._carried[key]
