"""The commands' options, as ``nervlane.cli`` parses them once.

Small frozen records that the commands take instead of the parser's output.

Importing this module costs nothing beyond the standard library, so the
command line can build them without loading any command.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TypeAlias


@dataclass(frozen=True)
class PortSource:
    """A sensor on a local port (``auto``: the only USB serial port), with
    its parameter file."""

    port: str
    params: str
    reconnect: bool = True
    """The module reopens the port after an outage; else the device going away ends the command."""
    realtime: bool = False
    """The port's reader asks for real-time priority."""


@dataclass(frozen=True)
class ServedSource:
    """A sensor that ``nervlane serve`` shares under ``name``, reached at
    ``connect`` (None: this machine)."""

    name: str
    connect: str | None = None
    reconnect: bool = True
    """The command waits through the server or its device going away; else that ends it."""


SourceOptions: TypeAlias = PortSource | ServedSource
"""Where a command's frames come from."""


@dataclass(frozen=True)
class PageOptions:
    """How to serve the browser view's page."""

    http: str | None = None
    open_browser: bool = True
    require_token: bool = False
    record_dir: str = os.curdir
    layout: str | None = None
    seconds: float | None = None


@dataclass(frozen=True)
class MonitorOptions:
    source: SourceOptions
    raw: bool = False
    zero: bool = False
    seconds: float | None = None
    rate: float | None = None
    """The device's nominal frame rate, to count frames that never arrived."""


@dataclass(frozen=True)
class RecordOptions:
    source: SourceOptions
    output: str
    seconds: float | None = None
    raw_only: bool = False
    force: bool = False


@dataclass(frozen=True)
class RecoverOptions:
    file: str
    force: bool = False


@dataclass(frozen=True)
class ViewOptions:
    source: SourceOptions
    page: PageOptions


@dataclass(frozen=True)
class PlotOptions:
    file: str
    output: str


@dataclass(frozen=True)
class ParamsOptions:
    action: str
    """``show``, ``check``, ``to-json`` or ``from-json``."""
    file: str
    output: str | None = None


@dataclass(frozen=True)
class DemoOptions:
    seconds: float | None = 5.0
    """None: until Ctrl+C."""
    format: str = "binary"
    page: PageOptions | None = None
    """Show it in the browser view with these options; None: in the terminal."""
    reconnect: bool = True
    realtime: bool = False


@dataclass(frozen=True)
class ServeOptions:
    source: PortSource
    name: str
    listen: tuple[str, ...] | None = None
    scout: bool = False
    zenoh_config: str | None = None


@dataclass(frozen=True)
class SimulateOptions:
    format: str = "binary"
    rate: float = 100.0
    taxels: int = 16
    triaxials: int = 2
    params: str | None = None
    frames: int | None = None
    seconds: float | None = None
    seed: int | None = None
