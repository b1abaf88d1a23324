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

QUEUE_FRAMES: Final = 1 << 15
"""What the module holds while a batch is being sent: 16 s at 2000 frames/s."""
BATCH_S: Final = 0.010
"""The longest a frame waits to be sent, and the shortest gap between two batches."""
IDLE_WAIT_MS: Final = 100
"""How long one wait for frames lasts when none come: stats and the port are looked at in between."""
STATS_EVERY_S: Final = 1.0


def _port(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("the port name is empty")
    return text


def _name(text: str) -> str:
    try:
        return wire.check_name(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_arguments(p: argparse.ArgumentParser) -> None:
    """The ``serve`` command's arguments."""
    p.add_argument("port", type=_port, help="the serial port (COM3, /dev/ttyUSB0), or 'auto'")
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


def connect_device(comms: Any, port: str, *, reconnect: bool, realtime: bool) -> bool:
    """The one place serve connects the port. Returns whether the module
    itself reopens the port after an outage: a module without connect
    options is connected plainly, and serve then stops with the device."""
    if reconnect or realtime:
        try:
            comms.connect(port, reconnect=reconnect, realtime=realtime)
            return reconnect
        except TypeError:  # this module's connect takes the port alone
            if realtime:
                print("warning: this nervlane_comm_py has no real-time reader; --realtime ignored", file=sys.stderr)
    comms.connect(port)
    return False


def _import_zenoh() -> Any:
    from .remote import import_zenoh

    try:
        return import_zenoh()
    except ModuleNotFoundError as e:
        raise ToolError(str(e), EXIT_MISSING_EXTRA) from e


class Server:
    """Publishes one comms object under ``nervlane/NAME/`` on a Zenoh session."""

    def __init__(self, session: Any, comms: Any, name: str, details: dict[str, Any], doc: Any, reconnect: bool) -> None:
        zenoh = _import_zenoh()
        self.comms = comms
        self.name = name
        self.reconnect = reconnect
        import secrets

        self.stream = secrets.randbelow(wire.STREAM_ID_LIMIT - 1) + 1
        self.frames = self.batches = 0
        self._details = details
        self._doc = doc
        self._shape: tuple[int, int] | None = None
        self._names: list[str] = []
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
        shape = (raw.shape[1], values.shape[1])
        if shape != self._shape:
            from .document import output_names

            self._shape, self._names = shape, output_names(self._doc, shape[1])
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
        reading_count, output_count = self._shape or (None, None)
        return {
            "name": self.name,
            **self._details,
            "reading_count": reading_count,
            "output_count": output_count,
            "output_names": self._names,
            "connected": self.comms.is_connected(),
            "stream": self.stream,
            "clock_anchor": self.anchor(),
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
        from .connection import device_gone

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
            listen=a.listen, default_listen=[DEFAULT_ENDPOINT], scout=a.scout, config_file=a.zenoh_config
        )
    except ValueError as e:
        raise ToolError(str(e), EXIT_USAGE) from e
    try:
        return zenoh.open(config), endpoints_of(config, "listen")
    except zenoh.ZError as e:
        message = zenoh_message(e)
        hint = " (another 'nervlane serve'? give this one --listen tcp/127.0.0.1:PORT)" if "in use" in message else ""
        raise ToolError(f"cannot start serving: {message}{hint}", detail=str(e)) from e


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("nervlane-comm")
    except PackageNotFoundError:
        return "(not installed)"


def run_serve(a: argparse.Namespace) -> None:
    """Serve until Ctrl+C or SIGTERM (exit 0) or, without reconnecting,
    the device going away (EXIT_DISCONNECTED). Raises ToolError: the
    remote extra missing (EXIT_MISSING_EXTRA), a bad configuration
    (EXIT_USAGE), a listening address in use (EXIT_ERROR), and as
    ``open_sensor`` does."""
    import socket

    from . import document
    from .connection import explain_port_error, load_module
    from .ports import AUTO, auto_port
    from .watch import DecodeWatch
    from .wire import format_name

    zenoh = _import_zenoh()
    if a.zenoh_config is not None and not os.path.isfile(a.zenoh_config):
        raise ToolError(f"Zenoh configuration {a.zenoh_config}: no such file", EXIT_USAGE)
    session, where = _open_session(zenoh, a)
    comms = None
    server = None
    try:
        load_module()
        import nervlane_comm_py as nc

        comms = nc.NervlaneComms()
        document.configure(comms, a.params)
        doc = document.load_or_none(a.params)
        warning = document.selector_warning(doc)
        if warning is not None:
            raise document.DocumentError(f"parameter file {a.params}: {warning}")
        port = auto_port() if a.port == AUTO else a.port
        try:
            reconnect = connect_device(comms, port, reconnect=not a.no_reconnect, realtime=a.realtime)
        except Exception as e:  # PortError mostly; ValueError for an empty name
            raise explain_port_error(port, e) from e
        parts = document.split(doc)
        fmt = None if parts is None else format_name(parts[0])
        details = {
            "port": port,
            "params": os.path.abspath(a.params),
            "format": fmt,
            "host": socket.gethostname(),
            "package_version": _version(),
            "module_version": getattr(nc, "__version__", None),
            "reconnect": reconnect,
            "realtime": bool(comms.stats().get("realtime", False)),  # granted, not asked for
        }
        server = Server(session, comms, a.name, details, doc, reconnect)
        print(f"serving {port} as {a.name} on {where} (Ctrl+C to stop)", flush=True)
        try:
            server.run(port, DecodeWatch(comms.stats(), fmt, time.monotonic()))
        except KeyboardInterrupt:
            pass
        finally:
            print(f"served {server.frames} frame(s) in {server.batches} batch(es)", file=sys.stderr)
    finally:
        # The session first: clients see the server go at once.
        session.close()
        if server is not None:
            server.close()
        if comms is not None:
            comms.close()
