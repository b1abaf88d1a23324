"""How a recording went: its frames tallied as they are written, and the summary ``record`` prints."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Final

from .outputs import RecordingFailed

DECODER_COUNTERS: Final = ("frames_rejected", "bytes_discarded")
"""The decoder's counters that a recording's details keep, as they grew while it ran."""


@dataclass
class Tally:
    """What the summary reports."""

    frames: int = 0
    gaps: int = 0
    """Frames missing between two recorded ones: overwritten or dropped by this tool."""
    last_sequence: int | None = None
    first_time: float | None = None
    last_time: float | None = None
    raw_widths: set[int] = field(default_factory=set)

    @property
    def rate(self) -> float:
        if self.first_time is None or self.last_time is None or self.last_time <= self.first_time:
            return 0.0
        return (self.frames - 1) / (self.last_time - self.first_time)

    def count(self, sequence: Any, times: Any, width: int) -> None:
        """Frames written: their sequence numbers (a batch's array or a
        list; only the ends are read), times and reading count."""
        first, last = int(sequence[0]), int(sequence[-1])
        if self.last_sequence is not None:
            self.gaps += first - self.last_sequence - 1
        self.gaps += last - first - (len(sequence) - 1)
        self.last_sequence = last
        self.first_time = float(times[0]) if self.first_time is None else self.first_time
        self.last_time = float(times[-1])
        self.frames += len(sequence)
        self.raw_widths.add(width)


@dataclass
class Summary:
    """How a recording went: what ``finish`` returns and ``record`` prints."""

    frames: int
    seconds: float
    rate: float
    lost_by_tool: int
    """Frames missing between two recorded ones that reached this machine."""
    rejected: int
    """Frames the decoder rejected while recording."""
    discarded: int
    """Bytes the decoder skipped while recording."""
    stopped_by: str
    path: str
    """The file that holds the rows: the target, or the journal when the .npz could not be written."""
    raw_widths: list[int]
    outages: list[dict[str, Any]]
    failure: RecordingFailed | None = None
    """Why the files are not what they should be, or None."""
    not_received: int | None = None
    """Of a served sensor, frames missing between two recorded ones that
    never reached this machine (a server restart, the link); None for a
    local one."""

    @property
    def lost(self) -> int:
        return (self.not_received or 0) + self.lost_by_tool + self.rejected

    def lines(self) -> list[str]:
        upstream = "" if self.not_received is None else f"before they reached this machine: {self.not_received}; "
        text = [
            f"recorded {self.frames} frames in {self.seconds:.2f} s ({self.rate:.1f} frames/s) to {self.path}; "
            f"stopped by {self.stopped_by}",
            f"frames lost: {self.lost} ({upstream}overwritten/dropped by this tool: "
            f"{self.lost_by_tool}; rejected or discarded by the decoder: {self.rejected} frames, "
            f"{self.discarded} bytes)",
        ]
        if len(self.raw_widths) > 1:
            text.append(f"note: frames of different lengths ({self.raw_widths}); short rows have empty cells")
        if self.outages:
            away = sum(o["seconds"] for o in self.outages)
            text.append(f"outages: {len(self.outages)}, the device away {away:.1f} s in all")
            for n, o in enumerate(self.outages, 1):
                until = "" if o["ended"] else ", still away at the stop"
                text.append(
                    f"  outage {n}: from {o['start_time']} ({o['start_s']:.3f} s after the start) "
                    f"for {o['seconds']:.3f} s{until}"
                )
        return text

    @classmethod
    def of(
        cls,
        tally: Tally,
        stats: Mapping[str, Any],
        base: Mapping[str, Any],
        *,
        seconds: float,
        stopped_by: str,
        path: str,
        outages: list[dict[str, Any]],
    ) -> Summary:
        """The summary of a recording whose written frames ``tally``
        counted, the comms object's counters ``base`` at its start and
        ``stats`` at its end."""
        # The gaps a served sensor's client saw on arrival are the recording's
        # gaps that this tool did not make (the two can differ by a gap
        # counted as the recording started or stopped).
        not_received = None
        if "frames_not_received" in stats:
            not_received = min(tally.gaps, stats["frames_not_received"] - base.get("frames_not_received", 0))
        return cls(
            frames=tally.frames,
            seconds=seconds,
            rate=tally.rate,
            lost_by_tool=tally.gaps - (not_received or 0),
            rejected=stats["frames_rejected"] - base["frames_rejected"],
            discarded=stats["bytes_discarded"] - base["bytes_discarded"],
            stopped_by=stopped_by,
            path=path,
            raw_widths=sorted(tally.raw_widths),
            outages=outages,
            not_received=not_received,
        )
