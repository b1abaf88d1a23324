"""A sensor another program serves (``nervlane serve``), read over Zenoh
with the shapes of the local module, so a script switches with one line::

    comms = RemoteSensor("left-hand")                  # instead of NervlaneComms() + init + connect
    comms = RemoteSensor("left-hand", "tcp/192.168.1.20:7447")   # served by another machine

Frames are buffered from the moment the object is made, in a bounded
buffer that drops the oldest; ``take_frames`` hands them over in order.
Zenoh is the optional ``remote`` extra: ``pip install "nervlane-comm[remote]"``.
"""

from __future__ import annotations

import collections
import json
import operator
import threading
import time
import weakref
from collections.abc import Iterable
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Final

import numpy as np
from numpy.typing import NDArray

from . import remote_wire as wire

DEFAULT_ENDPOINT: Final = "tcp/127.0.0.1:7447"
"""Where ``nervlane serve`` listens by default, and where a client looks without ``connect``."""
INSTALL_HINT: Final = 'pip install "nervlane-comm[remote]"'

BUFFER_FRAMES: Final = 1 << 15
"""The default bound of the client's buffer: 16 s at 2000 frames/s."""
ALIVE_WITHIN_S: Final = 3.0
"""A server heard from less recently (it sends stats every second) counts as gone."""
FIND_SERVER_S: Final = 5.0
"""How long ``info`` and ``zero`` look for the server before giving up."""
ZERO_ANSWER_S: Final = 30.0
"""How long ``zero`` waits for the server's answer once asked (zeroing takes 20 frames)."""
RETRY_MS: Final = (100, 1000)
"""First and longest wait between attempts to reach an endpoint: a client
made before its server finds it within about a second of it starting."""
SAME_CLOCK_S: Final = 1e-3
"""Two anchors closer than this are one machine's clock, sampled apart."""
FIRST_FRAME_MS: Final = 2000
"""How long the tools wait for a frame when the server names no outputs yet."""

# What stats() gives before the server has sent any: the module's keys.
_SERVER_STATS: Final[dict[str, Any]] = {
    "frames_decoded": 0,
    "frames_delivered": 0,
    "frames_overwritten": 0,
    "frames_dropped": 0,
    "frames_rejected": 0,
    "bytes_discarded": 0,
    "connects": 0,
    "port_errors": 0,
    "last_error": None,
    "reconnects": 0,
    "realtime": False,
    "connected": False,
}
# The counters a client as the module carries on from one server run to the next.
_RUN_COUNTERS: Final = (
    "frames_decoded",
    "frames_dropped",
    "frames_rejected",
    "bytes_discarded",
    "connects",
    "port_errors",
    "reconnects",
)


def import_zenoh() -> Any:
    """The ``zenoh`` module. Raises ModuleNotFoundError with the pip
    command when the ``remote`` extra is not installed."""
    try:
        import zenoh
    except ImportError as e:
        raise ModuleNotFoundError(f"this needs the remote extra (Zenoh): {INSTALL_HINT} ({e})", name="zenoh") from e
    return zenoh


def zenoh_message(error: BaseException) -> str:
    """Zenoh's message without the Rust source places it appends."""
    import re

    return re.sub(r" at \S+\.rs:\d+\.?", "", str(error)).strip() or type(error).__name__


def session_config(
    *,
    listen: list[str] | None = None,
    connect: list[str] | None = None,
    scout: bool = False,
    config_file: str | None = None,
    default_listen: list[str] | None = None,
    default_connect: list[str] | None = None,
    send_queue_batches: int | None = None,
) -> Any:
    """A Zenoh configuration for a peer: ``config_file`` (TLS, access
    control, routers) when given, then what the arguments name. Without
    ``listen`` (``connect``) the file's endpoints stay, and when the file
    names none, ``default_listen`` (``default_connect``) apply; a peer
    listens nowhere unless told. Multicast and gossip scouting stay off
    unless ``scout``. ``send_queue_batches`` sizes the queue of data
    waiting to be sent on each link, unless the file sizes it. Raises ValueError for a file or an endpoint Zenoh
    refuses."""
    zenoh = import_zenoh()
    try:
        config = zenoh.Config.from_file(config_file) if config_file else zenoh.Config()
    except zenoh.ZError as e:
        raise ValueError(f"Zenoh configuration {config_file}: {zenoh_message(e)}") from e
    pristine = zenoh.Config()

    def insert(k: str, value: Any) -> None:
        try:
            config.insert_json5(k, json.dumps(value))
        except zenoh.ZError as e:
            raise ValueError(f"{value!r}: {zenoh_message(e)}") from e

    def untouched(k: str) -> bool:
        return bool(json.loads(config.get_json(k)) == json.loads(pristine.get_json(k)))

    if untouched("mode"):
        insert("mode", "peer")
    if send_queue_batches is not None and untouched("transport/link/tx/queue/size/data"):
        insert("transport/link/tx/queue/size/data", send_queue_batches)
    insert("scouting/multicast/enabled", scout)
    if not scout:
        # Gossip passes on the addresses of other peers; without it a peer
        # talks only to the endpoints it is given, and opens without waiting.
        insert("scouting/gossip/enabled", False)
        insert("scouting/delay", 0)
    if listen is not None or untouched("listen/endpoints"):
        # Zenoh's own default listens on every interface.
        insert("listen/endpoints", listen if listen is not None else default_listen or [])
    if connect is not None or (default_connect and untouched("connect/endpoints")):
        insert("connect/endpoints", connect if connect is not None else default_connect)
    if untouched("connect/retry"):
        insert("connect/retry", {"period_init_ms": RETRY_MS[0], "period_max_ms": RETRY_MS[1]})
    return config


def endpoints_of(config: Any, which: str = "connect") -> str:
    """The endpoints a configuration connects to (``which="listen"``:
    listens on), for messages."""
    endpoints = json.loads(config.get_json(f"{which}/endpoints"))
    if isinstance(endpoints, dict):  # by mode
        endpoints = endpoints.get("peer") or []
    return ", ".join(map(str, endpoints)) or "(no endpoint)"


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
class _Chunk(RemoteBatch):
    """Frames of one received batch, or what is left of it in the buffer."""

    stream: int

    def same_kind(self, other: _Chunk) -> bool:
        return (
            self.stream == other.stream
            and self.raw.shape[1] == other.raw.shape[1]
            and self.values.shape[1] == other.values.shape[1]
        )

    def part(self, rows: slice) -> _Chunk:
        return _Chunk(self.sequence[rows], self.time[rows], self.raw[rows], self.values[rows], self.anchor, self.stream)


def _empty() -> RemoteBatch:
    return RemoteBatch(np.zeros(0, np.uint64), np.zeros(0), np.zeros((0, 0)), np.zeros((0, 0)), float("nan"))


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
    ``time.monotonic()`` clock (see ``_clock_offset``); sequence numbers
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
        self.name = wire.check_name(name)
        self._as_module = as_module
        # With as_module: added to this run's times and sequence numbers, and
        # the counters of the runs before it.
        self._offset = 0.0
        self._numbered = 0
        self._carried = dict.fromkeys(_RUN_COUNTERS, 0)
        self._capacity = self._count(capacity, "capacity")
        self._cond = threading.Condition()
        self._chunks: collections.deque[_Chunk] = collections.deque()
        self._buffered = 0
        self._latest: tuple[_Chunk, bool] | None = None  # the newest chunk; whether read_frame returned its frame
        self._run: int | None = None  # the server run (stream id) the counters are of
        self._last_sequence = 0  # the run's newest, as its server numbers them; 0: none yet
        self._received = self._missed = self._buffer_dropped = self._rejected = 0
        self._delivered = self._overwritten = 0  # by read_frame, as the module counts its reads
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
                s.declare_subscriber(wire.key(name, wire.FRAMES), forward("_on_frames")),
                s.declare_subscriber(wire.key(name, wire.STATS), forward("_on_stats")),
                s.liveliness().declare_subscriber(wire.key(name, wire.ALIVE), forward("_on_alive"), history=True),
            ]
        except BaseException:
            self.close()
            raise

    # -- what arrives (Zenoh's threads) ----------------------------------

    def _read(self, sample: Any, decode: Any) -> Any:
        """The sample's payload decoded, or None (counted) when this version cannot read it."""
        try:
            return decode(sample.payload.to_bytes())
        except wire.WireError:
            with self._cond:
                self._rejected += 1
            return None

    def _on_frames(self, sample: Any) -> None:
        batch = self._read(sample, wire.decode_batch)
        if batch is None or len(batch) == 0:
            return
        with self._cond:
            self._hear()
            if batch.stream != self._run:
                self._new_run(batch.stream, batch.anchor)
            first, last = int(batch.sequence[0]), int(batch.sequence[-1])
            # Gaps between batches count within one run: a new one (the
            # server restarted) numbers afresh, and its counters come within a second.
            if self._last_sequence:
                self._missed += max(first - self._last_sequence - 1, 0)
            self._missed += last - first - (len(batch) - 1)
            self._last_sequence = last
            # Frames before the first stats (sent once a second): the sensor is connected.
            self._server.setdefault("connected", True)
            self._received += len(batch)
            if self._latest is not None and not self._latest[1]:
                self._overwritten += 1
            self._overwritten += len(batch) - 1
            chunk = _Chunk(
                batch.sequence + np.uint64(self._numbered),
                batch.time + self._offset,
                batch.raw,
                batch.values,
                batch.anchor - self._offset,
                batch.stream,
            )
            self._latest = (chunk, False)
            if self._capacity:
                self._chunks.append(chunk)
                self._buffered += len(chunk)
                self._trim()
            self._cond.notify_all()

    def _on_stats(self, sample: Any) -> None:
        stats = self._read(sample, wire.decode_json)
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
        if self._as_module and self._run is not None:
            ended = {**_SERVER_STATS, **self._server}
            ended["frames_decoded"] = max(ended["frames_decoded"], self._last_sequence)
            for key in _RUN_COUNTERS:
                self._carried[key] += int(ended[key] or 0)
            # An outage the ended run was in ends with this run's connect.
            self._carried["reconnects"] += max(0, int(ended["port_errors"]) - int(ended["reconnects"]))
            self._numbered = self._carried["frames_decoded"]
        self._run, self._last_sequence, self._server = stream, 0, {}
        self._offset = self._clock_offset(anchor)

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

    def _clock_offset(self, anchor: float | None) -> float:
        """What turns a server run's times into this machine's monotonic
        clock: the difference of the two machines' anchors (UTC minus the
        monotonic clock), taken once a run, so that the times keep the
        server's spacing whatever either wall clock does later. As right as
        the two machines' wall clocks agree (NTP: milliseconds)."""
        if not self._as_module or anchor is None:
            return 0.0
        offset = anchor - (time.time() - time.monotonic())
        # One machine's two anchors differ only by when each was sampled:
        # keep its decode times exact.
        return 0.0 if abs(offset) < SAME_CLOCK_S else offset

    def _hear(self) -> None:
        self._heard = time.monotonic()
        if self._token is None:
            # Data before the token's news (it travels apart): the server is there.
            self._token = True

    def _trim(self) -> None:
        while self._buffered > self._capacity:
            excess = self._buffered - self._capacity
            oldest = self._chunks[0]
            if len(oldest) <= excess:
                self._chunks.popleft()
                dropped = len(oldest)
            else:
                self._chunks[0] = oldest.part(slice(excess, None))
                dropped = excess
            self._buffered -= dropped
            self._buffer_dropped += dropped
            self._missed += dropped

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
            if not self._wait(timeout, lambda: bool(self._chunks)):
                return _empty()
            first = self._chunks[0]
            taken: list[_Chunk] = []
            n = 0
            while self._chunks and self._chunks[0].same_kind(first) and (limit is None or n < limit):
                chunk = self._chunks.popleft()
                if limit is not None and n + len(chunk) > limit:
                    keep = limit - n
                    self._chunks.appendleft(chunk.part(slice(keep, None)))
                    chunk = chunk.part(slice(keep))
                taken.append(chunk)
                n += len(chunk)
            self._buffered -= n
        # Always copies: the caller owns what it gets, read_frame keeps its own.
        return RemoteBatch(
            np.concatenate([c.sequence for c in taken]),
            np.concatenate([c.time for c in taken]),
            np.concatenate([c.raw for c in taken]),
            np.concatenate([c.values for c in taken]),
            taken[-1].anchor,
        )

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
        return RemoteFrame(
            int(chunk.sequence[-1]),
            float(chunk.time[-1]),
            chunk.raw[-1].tolist(),
            chunk.values[-1].tolist(),
            chunk.anchor,
        )

    def queue_frames(self, capacity: int) -> None:
        """Bound the buffer to ``capacity`` frames, dropping (and counting)
        the oldest beyond it; 0 empties it and stops buffering."""
        capacity = self._count(capacity, "capacity")
        with self._cond:
            self._capacity = capacity
            self._trim()

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
        frame this client will never hand over: gaps in the sequence
        numbers as frames arrive (lost before they reached it) plus
        ``buffer_dropped``, those dropped from its full buffer; and
        ``payloads_rejected``, messages this version cannot read."""
        with self._cond:
            stats = {**_SERVER_STATS, **self._server}
            stats.pop("version", None)
            alive = self._alive()
            if self._as_module:
                self._as_module_counters(stats, alive)
            stats.update(
                server_alive=alive,
                frames_received=self._received,
                frames_missed=self._missed,
                buffer_dropped=self._buffer_dropped,
                payloads_rejected=self._rejected,
            )
        return stats

    def _as_module_counters(self, stats: dict[str, Any], alive: bool) -> None:
        # A frame's sequence number is its server's count of frames decoded.
        stats["frames_decoded"] = max(stats["frames_decoded"], self._last_sequence)
        for key in _RUN_COUNTERS:
            stats[key] = int(stats[key] or 0) + self._carried[key]
        stats["port_errors"] += self._losses
        stats["reconnects"] += self._returns
        stats.update(frames_delivered=self._delivered, frames_overwritten=self._overwritten)
        if not alive and self._heard > float("-inf"):
            stats["last_error"] = f"nervlane serve stopped or cannot be reached at {self.endpoint}"

    def _ask(self, leaf: str, payload: bytes | None, answer_s: float) -> dict[str, Any] | None:
        """The server's answer to a query, or None when no server answered
        within FIND_SERVER_S (a session still connecting knows of no
        server yet, and such a query ends at once: ask again)."""
        deadline = time.monotonic() + FIND_SERVER_S
        while True:
            if self._closed:
                raise RuntimeError(f"the remote sensor {self.name} is closed")
            replies = self._session.get(wire.key(self.name, leaf), payload=payload, timeout=answer_s)
            for reply in replies:
                if reply.ok is None:
                    continue
                try:
                    message = wire.decode_json(reply.ok.payload.to_bytes())
                except wire.WireError:
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
        message = self._ask(wire.INFO, None, FIND_SERVER_S)
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

    def _why_absent(self) -> str:
        """Nothing at the endpoint, or something there without this name."""
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
        message = self._ask(wire.ZERO, wire.encode_json({"indices": chosen}), ZERO_ANSWER_S)
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


def open_remote_sensor(
    name: str, connect: str | None = None, *, zenoh_config: str | None = None
) -> tuple[RemoteSensor, dict[str, Any]]:
    """For the tools' ``--from NAME [--connect ENDPOINT]``: a RemoteSensor
    whose server has answered, with its ``info()`` (``port``, ``params``,
    ``format``, ``output_names``, ``host``...), made ``as_module`` and
    buffering nothing before ``queue_frames``. When the server names no outputs
    yet, they are named after its first frame. Raises ToolError: the remote
    extra missing (EXIT_MISSING_EXTRA), a bad name, endpoint or
    configuration (EXIT_USAGE), no server answering (EXIT_PORT), no names
    and no frame to name them by (EXIT_ERROR)."""
    from .errors import EXIT_MISSING_EXTRA, EXIT_PORT, EXIT_USAGE, ToolError

    try:
        sensor = RemoteSensor(name, connect, zenoh_config=zenoh_config, capacity=0, as_module=True)
    except ModuleNotFoundError as e:
        raise ToolError(f"cannot read {name}: {e}", EXIT_MISSING_EXTRA) from e
    except ValueError as e:
        raise ToolError(str(e), EXIT_USAGE) from e
    try:
        info = sensor.info()
        if not info.get("output_names"):
            # A server that has not seen its sensor's shape yet: its first frame shows it.
            frame = sensor.read_frame(FIRST_FRAME_MS)
            if frame is None:
                raise ToolError(f"{name} at {sensor.endpoint} names no outputs and sent no frame in 2 s")
            info = sensor.info()
            if not info.get("output_names"):
                from .parameters import output_names

                info["output_names"] = output_names(None, len(frame.values))
    except RuntimeError as e:
        why = sensor._why_absent()
        sensor.close()
        raise ToolError(
            f"cannot reach {name} at {sensor.endpoint}: {why}; is 'nervlane serve PORT PARAMS --name {name}' "
            "running and listening there?",
            EXIT_PORT,
        ) from e
    except BaseException:
        sensor.close()
        raise
    return sensor, info
