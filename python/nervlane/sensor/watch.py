"""Watching a stream's counters: its decode rate, and signs that its frame format does not fit.

The parameter file's format may not fit the device: the tools say so
instead of showing nothing."""

from __future__ import annotations

from collections import deque
from collections.abc import Mapping
from typing import Any, Final


class DecodeRate:
    """Frames decoded per second over the last second or so, from the
    module's ``frames_decoded`` sampled now and then."""

    def __init__(self) -> None:
        self._samples: deque[tuple[float, int]] = deque()

    def __call__(self, now: float, decoded: int) -> float:
        samples = self._samples
        samples.append((now, decoded))
        while len(samples) > 2 and samples[1][0] <= now - 1.0:
            samples.popleft()
        then, before = samples[0]
        return (decoded - before) / (now - then) if now > then else 0.0


class DecodeWatch:
    """Notices a stream that the parameter file's format does not fit:
    after a couple of seconds nothing decoded, or most of what arrives
    refused or skipped by the decoder. Fed the module's ``stats()``."""

    AFTER_S: Final = 2.0
    # A decoder that fits skips only what it meets before the first frame
    # starts (a partial line, the rest of a frame); beyond that allowance,
    # more than a few bytes skipped per decoded frame is no longer noise.
    STARTUP_BYTES: Final = 1024
    BYTES_PER_FRAME: Final = 4

    def __init__(self, stats: Mapping[str, Any], fmt: str | None, start: float) -> None:
        self._base = dict(stats)
        self._format = fmt or "unknown"
        self._start = start

    def hint(self, stats: Mapping[str, Any], now: float) -> str | None:
        """What to tell the user now, or None while all looks well."""
        seconds = now - self._start
        if seconds < self.AFTER_S:
            return None
        decoded, rejected, skipped = (
            stats[k] - self._base[k] for k in ("frames_decoded", "frames_rejected", "bytes_discarded")
        )
        question = f"does the parameter file's format ({self._format}) match the device?"
        if decoded == 0 and rejected == 0 and skipped == 0:
            return f"nothing received in {seconds:.1f} s: is the device on and sending? {question}"
        if decoded == 0:
            return f"nothing decoded in {seconds:.1f} s: {question}"
        if rejected > decoded or skipped > self.STARTUP_BYTES + self.BYTES_PER_FRAME * decoded:
            return (
                f"the decoder refused {rejected} frames and skipped {skipped} bytes while it decoded "
                f"{decoded} in {seconds:.1f} s: {question}"
            )
        return None
