"""Seeing a sensor's outages while the module reopens its port.

When the device went away, why, and how long it stayed away.

The module's counters tell it: each outage counts one port error when it
starts and one reconnect when it ends, both under the module's own lock.
Reading the counters rather than ``is_connected()`` means an outage that
starts and ends between two looks is still counted.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any


@dataclass
class Outage:
    started: float
    """When it started (else when it was seen to), on the clock of ``time.monotonic()``."""
    last_error: str | None
    """Why the port failed (the module's ``last_error``); None when unknown."""
    seconds: float | None = None
    """How long it lasted; None while it lasts."""

    def lasted(self, now: float) -> float:
        return self.seconds if self.seconds is not None else now - self.started

    @property
    def reason(self) -> str:
        """Why, as the tools say it: "last error: ..." or "reason unknown"."""
        return "reason unknown" if self.last_error is None else f"last error: {self.last_error}"


class OutageWatch:
    """Fed the module's ``stats()`` now and then, it says which outages
    started and ended since the last look. The module's ``last_error_time``
    and ``last_reconnect_time`` date them as they happened, however seldom
    the tool looks; where those cannot tell which outage they belong to
    (several came and went between two looks), or a source gives none (a
    served sensor), an outage is dated at the look that saw it. An outage
    that began and ended between two looks without times of its own is
    dated at the earlier look, its length is the time between them (an
    upper bound), and its reason is unknown: the module's ``last_error`` is
    that of the newest port error, which may be another outage's."""

    def __init__(self, stats: Mapping[str, Any], now: float) -> None:
        self._errors = stats.get("port_errors", 0)
        self._returns = stats.get("reconnects", 0)
        self._looked = now
        self.current: Outage | None = None
        """The outage under way, if any."""
        self.count = 0
        """Outages seen so far, the one under way included."""
        self.reason_changed = False
        """Whether the last look found a new reason for the outage under way:
        the module met a different device under the port's name, or the
        device itself again."""

    def look(self, stats: Mapping[str, Any], now: float) -> tuple[list[Outage], Outage | None]:
        """The outages that ended since the last look, oldest first, and the
        one that started and still lasts (None: none started)."""
        errors, returns = stats.get("port_errors", 0), stats.get("reconnects", 0)
        new_errors, new_returns = errors - self._errors, returns - self._returns
        self._errors, self._returns = errors, returns
        since, self._looked = self._looked, now
        last_error = stats.get("last_error")
        # The newest error and return, each dated only when it is the one
        # meant: the newest error starts the outage that lasts, or the one
        # short outage; the newest return ends the only outage that ended.
        failed = _when(stats, "last_error_time", since, now)
        back = _when(stats, "last_reconnect_time", since, now) if new_returns == 1 else None
        ended: list[Outage] = []
        if self.current is not None and new_returns > 0:
            end = back if back is not None else now
            self.current.seconds = end - self.current.started
            ended.append(self.current)
            self.current = None
            new_returns -= 1
        short = min(new_errors, new_returns)
        if short == 1 and new_errors == 1 and failed is not None and back is not None:
            ended.append(Outage(failed, last_error, back - failed))
        else:
            ended += [Outage(since, None, now - since) for _ in range(short)]
        self.count += short
        started = None
        if new_errors > short:
            started = self.current = Outage(failed if failed is not None else now, last_error)
            self.count += 1
        self.reason_changed = (
            self.current is not None and started is None and last_error not in (None, self.current.last_error)
        )
        if self.reason_changed:
            assert self.current is not None
            self.current.last_error = last_error
        return ended, started


def _when(stats: Mapping[str, Any], key: str, since: float, now: float) -> float | None:
    """A time from ``stats`` that falls between the last look and this one
    (a source on another clock gives none that does)."""
    value = stats.get(key)
    return value if isinstance(value, float) and since <= value <= now else None


def news(
    called: str,
    told: Outage | None,
    ended: Sequence[Outage],
    started: Outage | None,
    *,
    away: str = "",
    back: str = "",
    still: Outage | None = None,
) -> list[str]:
    """The lines a tool prints for one look of an ``OutageWatch``: one when
    the sensor went away, one when it is back (both for an outage that
    came and went between two looks), and one when the outage under way
    has a new reason (``still``, given when the watch says
    ``reason_changed``). ``called`` names the sensor ("the sensor on
    PORT"); ``told`` is the outage under way before the look; ``away`` and
    ``back`` end the lines with what the tool does meanwhile."""
    lines = []
    for outage in ended:
        if outage is not told:  # it came and went between two looks
            lines.append(f"{called} went away ({outage.reason}){away}")
        lines.append(f"{called} is back after {outage.lasted(outage.started):.1f} s{back}")
    if started is not None:
        lines.append(f"{called} went away ({started.reason}){away}")
    elif still is not None:
        lines.append(f"{called} is still away ({still.reason})")
    return lines
