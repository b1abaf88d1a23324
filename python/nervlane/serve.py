"""``nervlane serve``: one program owns the sensor's port and publishes its
frames on Zenoh, so that any number of programs, on this machine or others,
read the sensor at once (``nervlane.remote.RemoteSensor``).

Frames come from the module's frame queue and leave in batches at most
every ``BATCH_S``, so 1000 frames/s cost 100 messages a second. Publishing
drops rather than waits: a subscriber that cannot keep up loses batches
(and sees the gap in the sequence numbers); the port's reader never slows.
The payloads are laid out in ``nervlane.remote_wire``.
"""

from __future__ import annotations

import argparse
import os
import queue
import sys
import threading
import time
from typing import Any, Final

from . import remote_wire as wire
from .errors import EXIT_MISSING_EXTRA, EXIT_USAGE, ToolError
from .sensor.local import Sensor
from .sensor.source import PORT_HELP, port_name

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


def _name(text: str) -> str:
    try:
        return wire.check_name(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_arguments(p: argparse.ArgumentParser) -> None:
    """The ``serve`` command's arguments."""
    p.add_argument("port", type=port_name, help=PORT_HELP)
    p.add_argument("params", help="the sensor's parameter file")
    p.add_argument("--name", required=True, type=_name, help="the name clients ask for (key prefix nervlane/NAME/)")
    p.add_argument(
        "--listen",
        action="append",
        metavar="ENDPOINT",
        help="where clients connect (default tcp/127.0.0.1:7447: this machine only; "
        "tcp/0.0.0.0:7447 shares the sensor with the local network). May be repeated",
    )
    p.add_argument("--scout", action="store_true", help="let Zenoh peers find this server by multicast scouting")
    p.add_argument(
        "--zenoh-config",
        metavar="FILE",
        help="a Zenoh configuration file (TLS, access control, routers); the options above apply on top of it",
    )
    p.add_argument("--realtime", action="store_true", help="read the port at real-time priority where permitted")
    p.add_argument(
        "--no-reconnect", action="store_true", help="exit (code 4) when the device goes away, rather than wait for it"
    )


def _import_zenoh() -> Any:
    from .remote import import_zenoh

    try:
        return import_zenoh()
    except ModuleNotFoundError as e:
        raise ToolError(str(e), EXIT_MISSING_EXTRA) from e


class Server:
    """Publishes one open sensor under ``nervlane/NAME/`` on a Zenoh session."""

    def __init__(self, session: Any, sensor: Sensor, name: str, details: dict[str, Any], reconnect: bool) -> None:
        zenoh = _import_zenoh()
        self.comms = sensor.comms
        self.name = name
        self.reconnect = reconnect
        import secrets

        self.stream = secrets.randbelow(wire.STREAM_ID_LIMIT - 1) + 1
        self.frames = self.batches = 0
        self._details = details
        self._names = list(sensor.output_names)
        self._reading_count: int | None = None
        self._zero_requests: queue.Queue[Any] = queue.Queue()
        drop = zenoh.CongestionControl.DROP
        self._frames = session.declare_publisher(wire.key(name, wire.FRAMES), congestion_control=drop, express=True)
        self._stats = session.declare_publisher(wire.key(name, wire.STATS), congestion_control=drop)
        self._zeroing = threading.Thread(target=self._answer_zero, name="nervlane-serve-zero", daemon=True)
        self._zeroing.start()
        self._queryables = [
            session.declare_queryable(wire.key(name, wire.INFO), self._answer_info),
            # Zeroing takes a few dozen frames: answered on a thread of our
            # own, never on Zenoh's, which carries everything else.
            session.declare_queryable(wire.key(name, wire.ZERO), self._zero_requests.put),
        ]
        self._token = session.liveliness().declare_token(wire.key(name, wire.ALIVE))

    @staticmethod
    def anchor() -> float:
        return time.time() - time.monotonic()

    def publish(self, batch: Any) -> None:
        n = len(batch)
        raw, values = batch.raw, batch.values
        self._reading_count = raw.shape[1]
        self.batches += 1
        self.frames += n
        payload = wire.encode_batch(self.stream, self.batches, self.anchor(), batch.sequence, batch.time, raw, values)
        self._frames.put(payload)

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
        self._stats.put(wire.encode_json(stats))

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
            query.reply(wire.key(self.name, wire.INFO), wire.encode_json(self.info()))
        finally:
            query.drop()

    def _answer_zero(self) -> None:
        while (query := self._zero_requests.get()) is not None:
            try:
                query.reply(wire.key(self.name, wire.ZERO), wire.encode_json(self._zero(query.payload)))
            except Exception as e:  # noqa: BLE001 - a querier gone away must not end the thread
                print(f"warning: a zero request went unanswered: {e}", file=sys.stderr)
            finally:
                query.drop()

    def _zero(self, payload: Any) -> dict[str, Any]:
        try:
            indices = wire.decode_json(payload.to_bytes() if payload is not None else b"")["indices"]
            if not isinstance(indices, list) or not all(
                isinstance(i, int) and not isinstance(i, bool) for i in indices
            ):
                raise wire.WireError("indices must be a list of whole numbers")
        except (KeyError, wire.WireError) as e:
            return {"ok": False, "error": f"not a zero request: {e}"}
        try:
            self.comms.zero(indices)
        except Exception as e:  # noqa: BLE001 - whatever the module says goes back to the client
            return {"ok": False, "error": str(e).splitlines()[0] if str(e) else type(e).__name__}
        return {"ok": True}

    def run(self, port: str, watch: Any) -> None:
        """Publish until the device goes away for good (ToolError,
        EXIT_DISCONNECTED) or Ctrl+C / SIGTERM (KeyboardInterrupt)."""
        from .sensor.local import device_gone

        comms = self.comms
        comms.queue_frames(QUEUE_FRAMES)
        connected = comms.is_connected()
        self.publish_stats(connected)
        next_stats = time.monotonic() + STATS_EVERY_S
        last_sent = float("-inf")
        hinted = False
        while True:
            pause = last_sent + BATCH_S - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            batch = comms.take_frames(IDLE_WAIT_MS)
            if len(batch):
                last_sent = time.monotonic()
                self.publish(batch)
            now = time.monotonic()
            was, connected = connected, comms.is_connected()
            if now >= next_stats or connected != was:
                self.publish_stats(connected)
                next_stats = now + STATS_EVERY_S
                if not hinted and (hint := watch.hint(comms.stats(), now)) is not None:
                    print(f"warning: {hint}", file=sys.stderr)
                    hinted = True
            if not connected and not self.reconnect:
                while len(batch := comms.take_frames(0)):
                    self.publish(batch)
                stats = comms.stats()
                self.publish_stats(False)
                raise device_gone(port, stats)

    def close(self) -> None:
        self._zero_requests.put(None)
        self._zeroing.join(timeout=5.0)


def _open_session(zenoh: Any, a: argparse.Namespace) -> tuple[Any, str]:
    """The session, and where it listens."""
    from .remote import DEFAULT_ENDPOINT, endpoints_of, session_config, zenoh_message

    try:
        config = session_config(
            listen=a.listen,
            default_listen=[DEFAULT_ENDPOINT],
            scout=a.scout,
            config_file=a.zenoh_config,
            send_queue_batches=SEND_QUEUE_BATCHES,
        )
    except ValueError as e:
        raise ToolError(str(e), EXIT_USAGE) from e
    try:
        return zenoh.open(config), endpoints_of(config, "listen")
    except zenoh.ZError as e:
        message = zenoh_message(e)
        hint = " (another 'nervlane serve'? give this one --listen tcp/127.0.0.1:PORT)" if "in use" in message else ""
        raise ToolError(f"cannot start serving: {message}{hint}", detail=str(e)) from e


def run_serve(a: argparse.Namespace) -> None:
    """Serve until Ctrl+C or SIGTERM (exit 0) or, with ``--no-reconnect``,
    the device going away (EXIT_DISCONNECTED). Raises ToolError: the
    remote extra missing (EXIT_MISSING_EXTRA), a bad configuration
    (EXIT_USAGE), a listening address in use (EXIT_ERROR), and as
    ``open_sensor`` does."""
    import socket

    from . import package_version
    from .sensor.local import load_module, open_sensor, realtime_hint
    from .sensor.watch import DecodeWatch

    zenoh = _import_zenoh()
    if a.zenoh_config is not None and not os.path.isfile(a.zenoh_config):
        raise ToolError(f"Zenoh configuration {a.zenoh_config}: no such file", EXIT_USAGE)
    session, where = _open_session(zenoh, a)
    sensor = None
    server = None
    try:
        reconnect = not a.no_reconnect
        sensor = open_sensor(a.port, a.params, reconnect=reconnect, realtime=a.realtime)
        comms = sensor.comms
        hint = realtime_hint(sensor, a.realtime)
        if hint is not None:
            print(f"warning: {hint}", file=sys.stderr)
        details = {
            "port": sensor.port,
            "params": sensor.params,
            "format": sensor.format,
            "host": socket.gethostname(),
            "package_version": package_version(),
            "module_version": getattr(load_module(), "__version__", None),
            "reconnect": reconnect,
            "realtime": bool(comms.stats().get("realtime", False)),  # granted, not asked for
        }
        server = Server(session, sensor, a.name, details, reconnect)
        print(f"serving {sensor.port} as {a.name} on {where} (Ctrl+C to stop)", flush=True)
        try:
            server.run(sensor.port, DecodeWatch(comms.stats(), sensor.format, time.monotonic()))
        except KeyboardInterrupt:
            pass
        finally:
            print(f"served {server.frames} frame(s) in {server.batches} batch(es)", file=sys.stderr)
    finally:
        # The session first: clients see the server go at once.
        session.close()
        if server is not None:
            server.close()
        if sensor is not None:
            sensor.comms.close()
