"""The browser view's web server (aiohttp).

The page and its assets from the installed package, a WebSocket that
carries up to 30 updates a second, and the page's controls.

A view bound to anything but loopback asks every request for a random
token, given in the printed URL (and then kept in a cookie), so nobody else
on the network can watch, zero or record the sensor.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import math
import os
import time
import weakref
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Final

from aiohttp import WSCloseCode, web

from ..console import stamped
from ..errors import ToolError
from ..options import NO_UNIT
from ..parameters import kind_names
from ..sensor.opened import Sensor
from ..sensor.watch import DecodeRate
from .feed import STRIP_MAX_HZ, FrameFeed, Update
from .layout import Cell
from .listen import DEFAULT_HOST, Listener
from .recording import PageRecording, record_formats

UPDATE_HZ: Final = 30.0
STATE_EVERY_S: Final = 0.25
STRIP_SECONDS: Final = 10.0
CLIENT_BACKLOG: Final = 30
"""Updates waiting for one slow page (a second's worth); beyond it that page misses updates."""
STATIC: Final = Path(__file__).with_name("static")
_LOOPBACK_NAMES: Final = ("127.0.0.1", "localhost", "[::1]")
_HTTP_PORT: Final = 80
"""Browsers leave this port out of the Host header."""
AUTO_SCALE_FLOOR: Final = 1.0
"""The auto colour scale never tops out below this, so that noise stays dark."""
_SECURITY_HEADERS: Final = {
    # Everything the page uses comes from this server.
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}


# --------------------------------------------------------------------------
# Messages


def _numbers(values: Any) -> list[float | None]:
    return [round(v, 6) if math.isfinite(v) else None for v in values.tolist()]


def frame_messages(update: Update, time0: float) -> list[str | bytes]:
    """One update: a JSON header (the newest values, the peaks, how many
    strip-chart rows follow), then the rows as one binary message: their
    times (float64, seconds since the view started), then their values
    (float32, row by row), little-endian."""
    header = {
        "type": "frames",
        "rows": len(update.times),
        "every": update.every,
        "latest": _numbers(update.latest),
        "peak": _numbers(update.peak),
    }
    rows = (update.times - time0).astype("<f8").tobytes() + update.values.astype("<f4").tobytes()
    return [json.dumps(header, allow_nan=False), rows]


# --------------------------------------------------------------------------
# The server


class ViewServer:
    """Serves one open sensor to any number of pages. While the sensor
    reconnects, the page shows an outage as such and a recording goes on
    across it."""

    def __init__(
        self,
        sensor: Sensor,
        cells: Sequence[Cell],
        units: str,
        listener: Listener,
        token: str | None,
        record_dir: str,
        *,
        unit: str | None = None,
        scale: tuple[float, float] | None = None,
    ) -> None:
        self.sensor = sensor
        self.names = list(sensor.output_names)
        self.cells = cells
        self.units = units
        self.listener = listener
        self.token = token
        self.record_dir = record_dir
        self.unit = unit or NO_UNIT
        self.scale = scale
        self.feed = FrameFeed(
            sensor.comms, self.names, _say_recorded, sensor.reconnect, tell=_say, called=sensor.called
        )
        self.cookie = f"nervlane_view_{listener.port}"  # one per port: cookies ignore ports
        self._hosts = {f"{h}:{listener.port}" for h in (*_LOOPBACK_NAMES, listener.host)}
        if listener.port == _HTTP_PORT:
            self._hosts.update((*_LOOPBACK_NAMES, listener.host))
        self._outboxes: set[asyncio.Queue[list[str | bytes]]] = set()
        self._sockets: weakref.WeakSet[web.WebSocketResponse] = weakref.WeakSet()
        self._time0 = time.monotonic()
        self._base = sensor.comms.stats()
        self._rate = DecodeRate()

    @property
    def url(self) -> str:
        query = f"?token={self.token}" if self.token else ""
        return f"http://{self.listener.host}:{self.listener.port}/{query}"

    # -- who may ask ------------------------------------------------------

    def _refusal(self, request: web.Request) -> str | None:
        if self.token is not None:
            given = request.query.get("token") or request.cookies.get(self.cookie) or ""
            if not hmac.compare_digest(given.encode(), self.token.encode()):
                return "this view needs its token: open the URL that nervlane view printed"
        elif request.host not in self._hosts:
            # A loopback view answers to loopback names only, so that a web
            # page cannot point a name of its own at it.
            return f"this view answers to {DEFAULT_HOST}:{self.listener.port} only"
        origin = request.headers.get("Origin")
        if origin is not None and origin != f"{request.scheme}://{request.host}":
            return "requests from other sites are refused"
        return None

    @web.middleware
    async def _guard(self, request: web.Request, handler: Any) -> web.StreamResponse:
        refusal = self._refusal(request)
        if refusal is not None:
            raise web.HTTPForbidden(text=refusal + "\n", headers=_SECURITY_HEADERS)
        response: web.StreamResponse = await handler(request)
        if not response.prepared:
            response.headers.update(_SECURITY_HEADERS)
        return response

    # -- the app ----------------------------------------------------------

    def app(self) -> web.Application:
        app = web.Application(middlewares=[self._guard])
        app.router.add_get("/", self._page)
        app.router.add_static("/static/", STATIC)
        app.router.add_get("/ws", self._socket)
        app.router.add_post("/api/zero", self._zero)
        app.router.add_post("/api/record", self._record)
        app.on_shutdown.append(self._close_sockets)
        return app

    async def _page(self, request: web.Request) -> web.StreamResponse:
        response = web.FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-store"})
        if self.token is not None and request.query.get("token"):
            # The page's assets, socket and controls carry it from here on.
            response.set_cookie(self.cookie, self.token, httponly=True, samesite="Strict")
        return response

    def hello(self) -> dict[str, Any]:
        return {
            "type": "hello",
            "names": self.names,
            "labels": kind_names(self.names),
            "cells": [c.as_json(self.names) for c in self.cells],
            "units": self.units,
            "unit": self.unit,
            "scale": (
                {"auto": True, "floor": AUTO_SCALE_FLOOR}
                if self.scale is None
                else {"auto": False, "low": self.scale[0], "high": self.scale[1], "floor": AUTO_SCALE_FLOOR}
            ),
            "port": self.sensor.label,
            "params": self.sensor.params,
            "format": self.sensor.format,
            "record_dir": os.path.abspath(self.record_dir),
            "record_formats": record_formats(),
            "strip_seconds": STRIP_SECONDS,
            "strip_max_hz": STRIP_MAX_HZ,
            "update_hz": UPDATE_HZ,
        }

    def state(self) -> dict[str, Any]:
        comms = self.sensor.comms
        stats, base, feed = comms.stats(), self._base, self.feed
        if comms.is_connected():
            connection = "connected"
        else:
            connection = "reconnecting" if self.sensor.reconnect else "disconnected"
        recording = feed.recording
        return {
            "type": "state",
            "connection": connection,
            "last_error": stats.get("last_error"),
            "frames_per_s": round(self._rate(time.monotonic(), stats["frames_decoded"]), 1),
            "frames": feed.frames,
            "lost": feed.lost,
            "rejected": stats["frames_rejected"] - base["frames_rejected"],
            "discarded": stats["bytes_discarded"] - base["bytes_discarded"],
            "recording": None if recording is None else {"file": recording.file, "frames": recording.frames},
            "last_recording": feed.last_recording,
            "error": None if feed.error is None else f"the view's reader stopped: {feed.error!r}",
        }

    async def _socket(self, request: web.Request) -> web.StreamResponse:
        ws = web.WebSocketResponse(heartbeat=20, compress=False)
        await ws.prepare(request)
        self._sockets.add(ws)
        outbox: asyncio.Queue[list[str | bytes]] = asyncio.Queue(CLIENT_BACKLOG)
        await ws.send_json(self.hello())
        await ws.send_json(self.state())
        self._outboxes.add(outbox)
        sender = asyncio.create_task(self._send(ws, outbox))
        try:
            async for _ in ws:  # the page says nothing; this waits for it to go
                pass
        finally:
            self._outboxes.discard(outbox)
            sender.cancel()
        return ws

    @staticmethod
    async def _send(ws: web.WebSocketResponse, outbox: asyncio.Queue[list[str | bytes]]) -> None:
        with contextlib.suppress(ConnectionError):
            while not ws.closed:
                for message in await outbox.get():
                    if isinstance(message, bytes):
                        await ws.send_bytes(message)
                    else:
                        await ws.send_str(message)

    async def _close_sockets(self, _app: web.Application) -> None:
        for ws in list(self._sockets):
            await ws.close(code=WSCloseCode.GOING_AWAY, message=b"the view has stopped")

    def _post(self, messages: list[str | bytes]) -> None:
        for outbox in self._outboxes:
            with contextlib.suppress(asyncio.QueueFull):  # that page is a second behind: it misses this one
                outbox.put_nowait(messages)

    async def _broadcast(self) -> None:
        """Up to 30 updates a second, the state four times a second."""
        period = 1.0 / UPDATE_HZ
        next_state = 0.0
        while True:
            await asyncio.sleep(period)
            update = self.feed.take_update()
            if not self._outboxes:
                continue
            messages = [] if update is None else frame_messages(update, self._time0)
            now = time.monotonic()
            if now >= next_state:
                messages.append(json.dumps(self.state()))
                next_state = now + STATE_EVERY_S
            if messages:
                self._post(messages)

    # -- controls ---------------------------------------------------------

    @staticmethod
    async def _body(request: web.Request) -> dict[str, Any]:
        if request.content_type != "application/json":
            # A form on another site can send no such request without the browser asking first.
            raise web.HTTPUnsupportedMediaType(text="send application/json\n")
        try:
            body = await request.json()
        except ValueError:
            body = None
        except RecursionError:
            raise web.HTTPBadRequest(text="send a JSON object; this one is nested too deeply\n") from None
        if not isinstance(body, dict):
            raise web.HTTPBadRequest(text="send a JSON object\n")
        return body

    async def _zero(self, request: web.Request) -> web.Response:
        outputs = (await self._body(request)).get("outputs", [])
        if not isinstance(outputs, list) or not all(type(i) is int and 0 <= i < len(self.names) for i in outputs):
            error = f"outputs: a list of output positions 0..{len(self.names) - 1}"
            return web.json_response({"error": error}, status=400)
        comms = self.sensor.comms
        if not comms.is_connected():
            return web.json_response({"error": self._away(comms)}, status=409)
        loop = asyncio.get_running_loop()
        try:
            await loop.run_in_executor(None, comms.zero, outputs)
        except RuntimeError as e:
            error = getattr(e, "description", str(e)) if comms.is_connected() else self._away(comms)
            return web.json_response({"error": error}, status=409)
        return web.json_response({"zeroed": [self.names[i] for i in outputs] or "all"})

    def _away(self, comms: Any, action: str = "zero") -> str:
        why = comms.stats().get("last_error")
        when = "when it is back" if self.sensor.reconnect else "once it is plugged in and the view restarted"
        return f"the sensor is away{f' ({why})' if why else ''}: {action} {when}"

    async def _record(self, request: web.Request) -> web.Response:
        body = await self._body(request)
        action = body.get("action")
        loop = asyncio.get_running_loop()
        if action == "stop":
            summary = await loop.run_in_executor(None, self.feed.finish_recording, "the page's Stop button")
            if summary is None:
                return web.json_response({"error": "not recording"}, status=409)
            return web.json_response(summary)
        formats = record_formats()
        if action != "start" or body.get("format", "csv") not in formats:
            error = f'send {{"action": "start" or "stop", "format": one of {", ".join(formats)}}}'
            return web.json_response({"error": error}, status=400)
        if not self.sensor.comms.is_connected():
            return web.json_response({"error": self._away(self.sensor.comms, "record")}, status=409)

        def make() -> PageRecording:
            return PageRecording(self.record_dir, body.get("format", "csv"), self.sensor, time.monotonic(), self.unit)

        try:
            recording = self.feed.start_recording(make)
        except (RuntimeError, ToolError) as e:
            return web.json_response({"error": str(e)}, status=409)
        return web.json_response({"file": recording.file})

    # -- running ----------------------------------------------------------

    async def serve(self, seconds: float | None) -> None:
        """Serve until ``seconds`` pass (None: until cancelled). The reader
        is the caller's to start and stop."""
        runner = web.AppRunner(self.app(), access_log=None, handle_signals=False, shutdown_timeout=1.0)
        await runner.setup()
        try:
            await web.SockSite(runner, self.listener.sock).start()
            broadcast = asyncio.create_task(self._broadcast())
            try:
                if seconds is None:
                    await asyncio.Event().wait()
                else:
                    await asyncio.sleep(seconds)
            finally:
                broadcast.cancel()
        finally:
            await runner.cleanup()


def _say(line: str) -> None:
    print(stamped(line), flush=True)


def _say_recorded(summary: dict[str, Any]) -> None:
    failure = f"; {summary['error']}" if "error" in summary else ""
    _say(f"recorded {summary['frames']} frames to {summary['file']}, stopped by {summary['stopped_by']}{failure}")
