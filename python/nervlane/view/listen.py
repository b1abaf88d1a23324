"""Where the browser view listens, and the token it asks for off loopback.

The listening socket is made before the port opens, so that a taken
address is refused before anything else happens.
"""

from __future__ import annotations

import contextlib
import ipaddress
import os
import secrets
import socket
from dataclasses import dataclass
from typing import Final

from ..errors import EXIT_USAGE, ToolError

DEFAULT_HOST: Final = "127.0.0.1"
DEFAULT_PORT: Final = 8765
PORT_TRIES: Final = 20
"""Without ``--http``: 8765, else the next free port of these many."""


@dataclass
class Listener:
    sock: socket.socket
    host: str
    """The host as the URL names it."""
    port: int
    loopback: bool


def parse_http(text: str) -> tuple[str, int]:
    """``HOST:PORT`` (``[::1]:8765`` for IPv6). Raises ToolError (EXIT_USAGE)."""
    host, sep, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    # isdigit alone takes "²" (which int() refuses) and "٣" (which int() reads as 3).
    if not sep or not host or not (port.isascii() and port.isdigit()) or int(port) > 65535:
        raise ToolError(f"--http {text}: give HOST:PORT, for instance 127.0.0.1:8765", EXIT_USAGE)
    return host, int(port)


def _bind(host: str, port: int) -> Listener:
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        if os.name == "posix":  # elsewhere this option lets two servers share a port
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except BaseException:
        sock.close()
        raise
    ip = ipaddress.ip_address(str(address[0]).split("%")[0])
    if ip.is_unspecified:
        shown = socket.gethostname()
    else:
        shown = f"[{ip}]" if ip.version == 6 else host
    return Listener(sock, shown, sock.getsockname()[1], ip.is_loopback)


def listen(http: str | None) -> Listener:
    """A listening socket: ``--http HOST:PORT`` as given (port 0: any free
    one), or 127.0.0.1 from port 8765 on. Raises ToolError."""
    if http is None:
        for port in range(DEFAULT_PORT, DEFAULT_PORT + PORT_TRIES):
            with contextlib.suppress(OSError):
                return _bind(DEFAULT_HOST, port)
        raise ToolError(
            f"ports {DEFAULT_PORT} to {DEFAULT_PORT + PORT_TRIES - 1} on {DEFAULT_HOST} are all taken: "
            "choose one with --http HOST:PORT",
            EXIT_USAGE,
        )
    host, port = parse_http(http)
    try:
        return _bind(host, port)
    except OSError as e:
        raise ToolError(f"cannot serve on {http}: {e.strerror or e}", EXIT_USAGE) from e
    except UnicodeError as e:  # a name no resolver can take (a label over 63 characters, say)
        raise ToolError(
            f"cannot serve on {http}: {host} is no host name ({getattr(e, 'reason', e)})", EXIT_USAGE
        ) from e


def new_token(listener: Listener, require: bool) -> str | None:
    """A random token when the view is reachable from other machines, or
    when asked for one; None otherwise."""
    return secrets.token_urlsafe(24) if require or not listener.loopback else None
