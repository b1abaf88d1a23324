"""The Zenoh session set-up that the server and its clients share.

The default endpoint, the peer configuration, and Zenoh's errors in words.

Zenoh is the optional ``remote`` extra: ``pip install "nervlane-comm[remote]"``.
"""

from __future__ import annotations

import json
from typing import Any, Final

DEFAULT_ENDPOINT: Final = "tcp/127.0.0.1:7447"
"""Where ``nervlane serve`` listens by default, and where a client looks without ``connect``."""
INSTALL_HINT: Final = 'pip install "nervlane-comm[remote]"'
RETRY_MS: Final = (100, 1000)
"""First and longest wait between attempts to reach an endpoint: a client
made before its server finds it within about a second of it starting."""


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
