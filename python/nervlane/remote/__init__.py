"""A sensor shared over Zenoh: ``RemoteSensor``, which reads a sensor that
``nervlane serve`` shares with the shapes of the local module, and the
server behind that command.

Zenoh is the optional ``remote`` extra: ``pip install "nervlane-comm[remote]"``.
"""

from .buffer import RemoteBatch, RemoteFrame
from .client import BUFFER_FRAMES, RemoteSensor
from .session import DEFAULT_ENDPOINT

__all__ = ["BUFFER_FRAMES", "DEFAULT_ENDPOINT", "RemoteBatch", "RemoteFrame", "RemoteSensor"]
