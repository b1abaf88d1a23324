"""``RemoteSensor``: a served sensor, read with the local module's shapes.

The sensor another program serves (``nervlane serve``) is read over Zenoh,
so a script switches with one line::

    comms = RemoteSensor("left-hand")                  # instead of NervlaneComms() + init + connect
    comms = RemoteSensor("left-hand", "tcp/192.168.1.20:7447")   # served by another machine

Frames are buffered from the moment the object is made, in a bounded
buffer that drops the oldest; ``take_frames`` hands them over in order.
Zenoh is the optional ``remote`` extra (``nervlane.extras``).
"""

from __future__ import annotations

import operator
import threading
import time
import weakref
from collections.abc import Iterable
from types import TracebackType
from typing import Any, Final

import numpy as np

from . import payload
from .buffer import Chunk, FrameBuffer, RemoteBatch, RemoteFrame, empty_batch, joined
from .runs import SERVER_STATS, RunCarry
from .session import DEFAULT_ENDPOINT, endpoints_of, import_zenoh, session_config, zenoh_message

BUFFER_FRAMES: Final = 1 << 15
"""The default bound of the client's buffer: 16 s at 2000 frames/s."""
ALIVE_WITHIN_S: Final = 3.0
"""A server heard from less recently (it sends stats every second) counts as gone."""
FIND_SERVER_S: Final = 5.0
"""How long ``info`` and ``zero`` look for the server before giving up."""
ZERO_ANSWER_S: Final = 30.0
"""How long ``zero`` waits for the server's answer once asked (zeroing takes 20 frames)."""
SEQUENCE_MAX: Final = (1 << 64) - 1
"""The largest sequence number the arrays hold."""


class RemoteSensor:
    """A sensor served under ``name`` by ``nervlane serve``.

    ``connect`` is the server's Zenoh endpoint (``"tcp/192.168.1.20:7447"``);
    None means this machine (``tcp/127.0.0.1:7447``), or the endpoints in
    ``zenoh_config`` when that file names some. ``scout`` lets Zenoh find
    servers by multicast on the local network. The server need not be
    running yet: frames arrive once it starts, and after it restarts.
    ``capacity`` 0 buffers nothing until ``queue_frames``, as the module's
    queue.

    With ``as_module`` it answers as a local module would, for code written
    for one (the tools' ``--from``): ``time`` is on this machine's
    ``time.monotonic()`` clock (see ``RunCarry.start``); sequence numbers
    and counters go on across server restarts, as the module's go on
    across reconnects; ``frames_decoded`` follows the newest sequence
    number; ``frames_delivered`` and ``frames_overwritten`` count this
    client's ``read_frame``; the server going away counts a port error
    (with ``last_error``) and its return a reconnect.

    Thread-safe. Raises ModuleNotFoundError without the ``remote`` extra,
    ValueError for a bad name, endpoint or configuration file.
    """

    def __init__(
        self,
        name: str,
        connect: str | None = None,
        *,
        zenoh_config: str | None = None,
        scout: bool = False,
        capacity: int = BUFFER_FRAMES,
        as_module: bool = False,
    ) -> None:
        self.name = payload.check_name(name)
        self._as_module = as_module
        self._carry = RunCarry()  # stays at naught without as_module
        self._buffer = FrameBuffer(self._count(capacity, "capacity"))
        self._cond = threading.Condition()
        self._latest: tuple[Chunk, bool] | None = None  # the newest chunk; whether read_frame returned its frame
        self._run: int | None = None  # the server run (stream id) the counters are of
        self._last_sequence = 0  # the run's newest, as its server numbers them; 0: none yet
        self._restarted = False  # with as_module: a run began after another, and no frame of it came yet
        self._received = self._gaps = self._rejected = 0
        self._delivered = 0  # by read_frame, as the module counts its reads
        self._server: dict[str, Any] = {}
        self._token: bool | None = None  # the server's liveliness token: None before any news of it
        self._losses = self._returns = 0  # the token gone, and back
        self._heard = float("-inf")
        self._closed = False
        self._session: Any = None
        zenoh = import_zenoh()
        self._put_kind = zenoh.SampleKind.PUT
        config = session_config(
            connect=None if connect is None else [connect],
            default_connect=[DEFAULT_ENDPOINT],
            scout=scout,
            config_file=zenoh_config,
        )
        self.endpoint = endpoints_of(config)
        """Where this client looks for the server, for messages."""
        try:
            self._session = zenoh.open(config)
        except zenoh.ZError as e:
            raise ValueError(f"cannot open a Zenoh session to {self.endpoint}: {zenoh_message(e)}") from e
        # The callbacks hold this object weakly: one dropped without close()
        # is collected, and its session closed, like any other.
        this = weakref.ref(self)

        def forward(method: str) -> Any:
            def call(sample: Any) -> None:
                target = this()
                if target is not None:
                    getattr(target, method)(sample)

            return call

        try:
            s = self._session
            self._subscribers = [
                s.declare_subscriber(payload.key(name, payload.FRAMES), forward("_on_frames")),
                s.declare_subscriber(payload.key(name, payload.STATS), forward("_on_stats")),
                s.liveliness().declare_subscriber(payload.key(name, payload.ALIVE), forward("_on_alive"), history=True),
            ]
        except BaseException:
            self.close()
            raise

    # -- what arrives (Zenoh's threads) ----------------------------------

    def _read(self, sample: Any, decode: Any) -> Any:
        """The sample's payload decoded, or None (counted) when this version cannot read it."""
        try:
            return decode(sample.payload.to_bytes())
        except payload.PayloadError:
            with self._cond:
                self._rejected += 1
            return None

    def _on_frames(self, sample: Any) -> None:
        batch = self._read(sample, payload.decode_batch)
        if batch is None or len(batch) == 0:
            return
        first, last = int(batch.sequence[0]), int(batch.sequence[-1])
        with self._cond:
            if batch.stream != self._run:
                self._new_run(batch.stream, batch.anchor)
            if first <= self._last_sequence or self._carry.numbered + last > SEQUENCE_MAX:
                # Numbers that run backwards in one run, or that would
                # pass what the arrays hold once numbered on: refused whole.
                self._rejected += 1
                return
            self._hear()
            # Gaps count within one run, and with as_module from one run to
            # the next as well, where the numbers go on.
            if self._last_sequence or self._restarted:
                self._gaps += first - self._last_sequence - 1
            self._restarted = False
            self._gaps += last - first - (len(batch) - 1)
            self._last_sequence = last
            # Frames before the first stats (sent once a second): the sensor is connected.
            self._server.setdefault("connected", True)
            self._received += len(batch)
            offset = self._carry.offset
            chunk = Chunk(
                batch.sequence + np.uint64(self._carry.numbered),
                batch.time + offset,
                batch.raw,
                batch.values,
                batch.anchor - offset,
                batch.stream,
            )
            self._latest = (chunk, False)
            self._buffer.add(chunk)
            self._cond.notify_all()

    def _on_stats(self, sample: Any) -> None:
        stats = self._read(sample, lambda data: payload.decode_checked(data, payload.STATS_FIELDS))
        if stats is None:
            return
        with self._cond:
            self._hear()
            self._take_stats(stats)

    def _take_stats(self, stats: dict[str, Any]) -> None:
        stream = stats.get("stream")
        if stream is not None and stream != self._run:
            self._new_run(stream, stats.get("clock_anchor"))
        self._server = stats

    def _new_run(self, stream: int, anchor: float | None) -> None:
        """Frames or counters of a server run other than the one so far:
        the server started, or started again."""
        if self._as_module:
            if self._run is not None:
                ended = self._carry.numbered + self._last_sequence
                self._carry.end(self._server, self._last_sequence)
                # What the ended run decoded after its last frame here never came.
                self._gaps += (self._carry.numbered - ended) if self._last_sequence else 0
                self._restarted = True
            self._carry.start(anchor)
        self._run, self._last_sequence, self._server = stream, 0, {}

    def _on_alive(self, sample: Any) -> None:
        with self._cond:
            alive = sample.kind == self._put_kind
            if alive:
                self._heard = time.monotonic()
                self._returns += self._token is False
            else:
                self._losses += self._token is True
            self._token = alive
            self._cond.notify_all()

    def _hear(self) -> None:
        self._heard = time.monotonic()
        if self._token is None:
            # Data before the token's news (it travels apart): the server is there.
            self._token = True

    # -- the module's shapes ---------------------------------------------

    @staticmethod
    def _count(value: Any, what: str) -> int:
        try:
            n = operator.index(value)
        except TypeError:
            raise TypeError(f"{what} must be a whole number, not {type(value).__name__}") from None
        if n < 0:
            raise ValueError(f"{what} must not be negative")
        return n

    def _wait(self, timeout: Any, ready: Any) -> bool:
        """Wait (holding the lock) until ``ready()`` or ``timeout`` ms pass."""
        ms = operator.index(timeout)
        deadline = time.monotonic() + max(ms, 0) / 1000.0
        while not ready() and not self._closed:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self._cond.wait(left)
        return bool(ready())

    def take_frames(self, timeout: int = 500, max_frames: int = 0) -> RemoteBatch:
        """The buffered frames (up to ``max_frames``, 0 = all) of one shape
        and one server run, oldest first, waiting up to ``timeout`` ms for
        the first. Empty after the time-out: not an error."""
        limit = self._count(max_frames, "max_frames") or None
        with self._cond:
            if not self._wait(timeout, lambda: self._buffer.frames > 0):
                return empty_batch()
            taken = self._buffer.take(limit)
        # Always copies: the caller owns what it gets, read_frame keeps its own.
        return joined(taken)

    def read_frame(self, timeout: int = 500) -> RemoteFrame | None:
        """The newest frame not yet returned by read_frame, waiting up to
        ``timeout`` ms; None after the time-out. Apart from the buffer:
        it takes nothing from ``take_frames``."""
        with self._cond:
            if not self._wait(timeout, lambda: self._latest is not None and not self._latest[1]):
                return None
            assert self._latest is not None
            chunk = self._latest[0]
            self._latest = (chunk, True)
            self._delivered += 1
        return chunk.newest()

    def queue_frames(self, capacity: int) -> None:
        """Bound the buffer to ``capacity`` frames, dropping (and counting)
        the oldest beyond it; 0 empties it and stops buffering."""
        capacity = self._count(capacity, "capacity")
        with self._cond:
            self._buffer.resize(capacity)

    def is_alive(self) -> bool:
        """Whether the server is running and heard from lately."""
        with self._cond:
            return self._alive()

    def _alive(self) -> bool:
        return self._token is True and time.monotonic() - self._heard < ALIVE_WITHIN_S

    def is_connected(self) -> bool:
        """Whether the server is alive and its sensor connected."""
        with self._cond:
            return self._alive() and bool(self._server.get("connected"))

    def stats(self) -> dict[str, Any]:
        """The server's latest counters (the module's ``stats()`` keys,
        ``connected`` and what the server adds; with ``as_module``, as the
        class says), then this client's:
        ``server_alive``; ``frames_received``; ``frames_missed``, every
        frame this client will never hand over: ``frames_not_received``,
        gaps in the sequence numbers as frames arrive (lost before they
        reached it: on the way, or at the server; with ``as_module`` also
        across a server restart), plus ``buffer_dropped``, those dropped
        from its full buffer; and ``payloads_rejected``, messages this
        version cannot read or whose fields are not what a server sends."""
        with self._cond:
            stats = {**SERVER_STATS, **self._server}
            stats.pop("version", None)
            alive = self._alive()
            if self._as_module:
                self._as_module_counters(stats, alive)
            stats.update(
                server_alive=alive,
                frames_received=self._received,
                frames_missed=self._gaps + self._buffer.dropped,
                frames_not_received=self._gaps,
                buffer_dropped=self._buffer.dropped,
                payloads_rejected=self._rejected,
            )
        return stats

    def _as_module_counters(self, stats: dict[str, Any], alive: bool) -> None:
        self._carry.add_to(stats, self._last_sequence)
        stats["port_errors"] += self._losses
        # The server's times are on its own clock, and its outages are not
        # all of those counted here: an outage is dated when it is seen.
        stats.pop("last_error_time", None)
        stats.pop("last_reconnect_time", None)
        stats["reconnects"] += self._returns
        # Every frame received is read once, passed over for a newer one, or the newest still unread.
        unread = self._latest is not None and not self._latest[1]
        stats.update(frames_delivered=self._delivered, frames_overwritten=self._received - self._delivered - unread)
        if not alive and self._heard > float("-inf"):
            stats["last_error"] = f"nervlane serve stopped or cannot be reached at {self.endpoint}"

    def _ask(
        self, leaf: str, request: bytes | None, answer_s: float, fields: dict[str, payload.Field]
    ) -> dict[str, Any] | None:
        """The server's answer to a query, its ``fields`` checked, or None
        when no server answered within FIND_SERVER_S (a session still
        connecting knows of no server yet, and such a query ends at once:
        ask again)."""
        deadline = time.monotonic() + FIND_SERVER_S
        while True:
            if self._closed:
                raise RuntimeError(f"the remote sensor {self.name} is closed")
            replies = self._session.get(payload.key(self.name, leaf), payload=request, timeout=answer_s)
            for reply in replies:
                if reply.ok is None:
                    continue
                message: dict[str, Any] | None = self._read(reply.ok, lambda b: payload.decode_checked(b, fields))
                if message is None:
                    continue
                with self._cond:
                    self._hear()
                return message
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.05)

    def info(self) -> dict[str, Any]:
        """What the server says of its sensor: ``output_names``,
        ``reading_count``, ``output_count``, ``format``, ``params``,
        ``port``, ``host``, ``package_version``, ``module_version``,
        ``clock_anchor`` and ``connected``. Raises RuntimeError when no
        server answers."""
        message = self._ask(payload.INFO, None, FIND_SERVER_S, payload.INFO_FIELDS)
        if message is None:
            raise RuntimeError(f"no server named {self.name} answered at {self.endpoint}")
        message.pop("version", None)
        counters = message.pop("stats", None)
        with self._cond:
            if self._as_module and isinstance(counters, dict) and "frames_decoded" not in self._server:
                # The counters until the first stats come: where a tool's counts start.
                self._take_stats(
                    {**counters, "stream": message.get("stream"), "clock_anchor": message.get("clock_anchor")}
                )
            self._server["connected"] = bool(message.get("connected"))
        return message

    def why_absent(self) -> str:
        """Why no server answers: nothing at the endpoint, or Zenoh there
        serving no sensor of this name."""
        info = self._session.info
        if list(info.peers_zid()) or list(info.routers_zid()):
            return f"Zenoh answers there, but serves no sensor named {self.name}"
        return "nothing answers there"

    def zero(self, indices: Iterable[int]) -> None:
        """The server zeroes the taxels at these output positions (all
        with ``[]``). Raises RuntimeError with the module's message on the
        server ("Could not zero the sensor"...), or when no server answers."""
        try:
            chosen = [operator.index(i) for i in indices]
        except TypeError:
            raise TypeError("zero() takes a sequence of whole numbers") from None
        message = self._ask(payload.ZERO, payload.encode_json({"indices": chosen}), ZERO_ANSWER_S, {})
        if message is None:
            raise RuntimeError(f"Could not zero the sensor: no server named {self.name} answered at {self.endpoint}")
        if not message.get("ok"):
            raise RuntimeError(str(message.get("error") or "Could not zero the sensor"))

    def close(self) -> None:
        """Leave the Zenoh session; waiting calls return at once. Frames
        already buffered can still be taken. Safe to call twice."""
        with self._cond:
            if self._closed:
                return
            self._closed = True
            self._cond.notify_all()
        session, self._session = self._session, None
        if session is not None:
            session.close()

    def __enter__(self) -> RemoteSensor:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_session", None) is not None:
            self.close()
