"""A sensor shared over Zenoh: the client and the server behind ``serve``.

``RemoteSensor`` reads a sensor that ``nervlane serve`` shares, with the
shapes of the local module.

Zenoh is the optional ``remote`` extra: ``pip install "nervlane-comm[remote]"``.
"""

from .buffer import RemoteBatch, RemoteFrame
from .client import BUFFER_FRAMES, RemoteSensor
from .session import DEFAULT_ENDPOINT

__all__ = ["BUFFER_FRAMES", "DEFAULT_ENDPOINT", "RemoteBatch", "RemoteFrame", "RemoteSensor"]
