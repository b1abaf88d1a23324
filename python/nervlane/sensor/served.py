"""Opening a sensor that ``nervlane serve`` shares (``--from NAME``).

Its comms is a ``nervlane.remote.RemoteSensor`` that answers as the local
module would, once its server has answered."""

from __future__ import annotations

from typing import Final

from ..errors import EXIT_MISSING_EXTRA, EXIT_PORT, EXIT_USAGE, ToolError
from ..parameters import output_names
from .opened import Sensor

FIRST_FRAME_MS: Final = 2000
"""How long to wait for a frame when the server names no outputs yet."""


def open_served(
    name: str, connect: str | None = None, *, reconnect: bool = True, zenoh_config: str | None = None
) -> Sensor:
    """The sensor served under ``name`` at ``connect`` (None: this machine),
    its comms a RemoteSensor made ``as_module`` and buffering nothing before
    ``queue_frames``; messages call it "NAME on HOST". With ``reconnect``
    the tool waits through the server or its device going away. When the server names
    no outputs yet, they are named after its first frame. Raises ToolError:
    the remote extra missing (EXIT_MISSING_EXTRA), a bad name, endpoint or
    configuration (EXIT_USAGE), no server answering within a few seconds
    (EXIT_PORT), no names and no frame to name them by (EXIT_ERROR)."""
    from ..remote.client import RemoteSensor

    try:
        comms = RemoteSensor(name, connect, zenoh_config=zenoh_config, capacity=0, as_module=True)
    except ModuleNotFoundError as e:
        raise ToolError(f"cannot read {name}: {e}", EXIT_MISSING_EXTRA) from e
    except ValueError as e:
        raise ToolError(str(e), EXIT_USAGE) from e
    try:
        info = comms.info()
        if not info.get("output_names"):
            # A server that has not seen its sensor's shape yet: its first frame shows it.
            frame = comms.read_frame(FIRST_FRAME_MS)
            if frame is None:
                raise ToolError(f"{name} at {comms.endpoint} names no outputs and sent no frame in 2 s")
            info = comms.info()
            if not info.get("output_names"):
                info["output_names"] = output_names(None, len(frame.values))
    except RuntimeError as e:
        why = comms.why_absent()
        comms.close()
        raise ToolError(
            f"cannot reach {name} at {comms.endpoint}: {why}; is 'nervlane serve PORT PARAMS --name {name}' "
            "running and listening there?",
            EXIT_PORT,
        ) from e
    except BaseException:
        comms.close()
        raise
    return Sensor(
        comms,
        label=f"{name} on {info.get('host') or 'its server'}",
        port=None,
        params=str(info.get("params") or ""),
        format=info.get("format"),
        output_names=list(info["output_names"]),
        reconnect=reconnect,
        realtime=bool(info.get("realtime", False)),
    )
