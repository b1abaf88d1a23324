"""The Zenoh session set-up that the server and its clients share.

The default endpoint, the peer configuration, and Zenoh's errors in words.

Zenoh is the optional ``remote`` extra (``nervlane.extras``).
"""

from __future__ import annotations

import json
import re
from typing import Any, Final

from ..extras import install_hint

DEFAULT_ENDPOINT: Final = "tcp/127.0.0.1:7447"
"""Where ``nervlane serve`` listens by default, and where a client looks without ``connect``."""
_IP_PROTOCOLS: Final = frozenset({"tcp", "udp", "tls", "quic", "ws"})
"""The protocols whose address is HOST:PORT."""
RETRY_MS: Final = (100, 1000)
"""First and longest wait between attempts to reach an endpoint: a client
made before its server finds it within about a second of it starting."""


def import_zenoh() -> Any:
    """The ``zenoh`` module. Raises ModuleNotFoundError with the pip
    command when the ``remote`` extra is not installed."""
    try:
        import zenoh
    except ImportError as e:
        raise ModuleNotFoundError(
            f"this needs the remote extra (Zenoh): {install_hint('remote')} ({e})", name="zenoh"
        ) from e
    return zenoh


def check_endpoint(text: str) -> str:
    """``text`` when it has an endpoint's form: PROTOCOL/ADDRESS, with
    HOST:PORT for the protocols over IP (``tcp/127.0.0.1:7447``,
    ``tcp/[::1]:7447``). Raises ValueError that says what a good one looks
    like; Zenoh's own refusal would show its parser's internals."""
    protocol, _, rest = text.partition("/")
    address = re.split(r"[?#]", rest, maxsplit=1)[0]
    shown = text if text.strip() else repr(text)
    why = None
    if "/" not in text:
        why = "no protocol"
    elif not re.fullmatch(r"[a-z][a-z0-9-]*", protocol) or not address:
        why = "not PROTOCOL/ADDRESS"
    elif protocol in _IP_PROTOCOLS:
        host, colon, port = address.rpartition(":")
        # isdigit alone takes "²", which int() refuses, and "٣", which int() reads as 3.
        if not colon or host in ("", "[]"):
            why = "no HOST:PORT"
        elif not (port.isascii() and port.isdigit()) or not 0 < int(port) <= 65535:
            why = "the port must be a number from 1 to 65535"
    if why is not None:
        raise ValueError(f"{shown} is not an endpoint ({why}): give one like {DEFAULT_ENDPOINT}")
    return text


def zenoh_message(error: BaseException) -> str:
    """Zenoh's message without the Rust source places it appends, and
    without the structure its configuration parser wraps around it."""
    text = re.sub(r" at \S+\.rs:\d+\.?", "", str(error)).strip()
    wrapped = re.search(r'msg: "((?:[^"\\]|\\.)*)"(?:, location: Some\(Location \{ line: (\d+), column: (\d+))?', text)
    if wrapped:
        text = wrapped[1] + (f" (line {wrapped[2]}, column {wrapped[3]})" if wrapped[2] else "")
    elif parsed := re.search(r"--> *(\d+):(\d+).*?= *([^\n]+)", text, re.DOTALL):
        text = f"line {parsed[1]}, column {parsed[2]}: {parsed[3].strip()}"
    return text or type(error).__name__


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
    for endpoint in (*(listen or ()), *(connect or ())):
        check_endpoint(endpoint)
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
