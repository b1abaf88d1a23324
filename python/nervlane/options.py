"""The commands' options, as ``nervlane.cli`` parses them once.

Small frozen records that the commands take instead of the parser's output.

Importing this module costs nothing beyond the standard library, so the
command line can build them without loading any command.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Final, Literal, TypeAlias, get_args

NO_UNIT: Final = "calibrated units"
"""What the tools call the calibrated values' unit when nothing names it."""
UNIT_MAX_CHARS: Final = 20
"""The longest unit a tool takes: a unit is a short text such as "N" or "kPa"."""


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
    unit: str | None = None
    """The calibrated unit; None: the layout file's, else "calibrated units"."""
    scale: tuple[float, float] | None = None
    """A fixed colour scale (low, high); None: auto, following the recent peak."""


@dataclass(frozen=True)
class MonitorOptions:
    """``nervlane monitor``: the live view of a sensor in the terminal."""

    source: SourceOptions
    raw: bool = False
    """Show the raw readings instead of the calibrated values."""
    zero: bool = False
    """Zero every sensor before the view starts."""
    seconds: float | None = None
    """None: until q or Ctrl+C."""
    rate: float | None = None
    """The device's nominal frame rate, to count frames that never arrived."""
    unit: str | None = None
    """The calibrated unit; None: ``NO_UNIT``."""


@dataclass(frozen=True)
class RecordOptions:
    """``nervlane record``: every frame of a sensor into ``output`` (.csv, .npz or .mcap)."""

    source: SourceOptions
    output: str
    seconds: float | None = None
    """None: until Ctrl+C or SIGTERM."""
    raw_only: bool = False
    """Leave out the calibrated values."""
    force: bool = False
    """Replace a finished recording of that name."""
    unit: str | None = None
    """The calibrated unit, kept in the recording's details; None: ``NO_UNIT``."""
    name: str | None = None
    """The sensor's name in an MCAP's topics (``/nervlane/NAME/frames``);
    None: the served name, or the port's base name."""


@dataclass(frozen=True)
class RecoverOptions:
    """``nervlane recover``: an .npz recording written from its journal, or an MCAP finished."""

    file: str
    """The recording's name, ``X.npz`` or ``X.mcap``, as given to ``record -o``."""
    force: bool = False
    """Replace ``X.npz`` if it exists."""


@dataclass(frozen=True)
class ConvertOptions:
    """``nervlane convert``: a recording written again in another format."""

    input: str
    output: str
    force: bool = False
    """Replace ``output`` if it exists."""


@dataclass(frozen=True)
class ViewOptions:
    """``nervlane view``: a sensor live in a web browser."""

    source: SourceOptions
    page: PageOptions


@dataclass(frozen=True)
class PlotOptions:
    """``nervlane plot``: a recording drawn into ``output`` (PNG)."""

    file: str
    output: str
    unit: str | None = None
    """The calibrated unit; None: the recording's, else the layout file's, else ``NO_UNIT``."""
    layout: str | None = None
    """A layout file placing the heat map's cells in mm; None: a grid in output order."""


ParamsAction: TypeAlias = Literal["show", "check", "to-json", "from-json"]
PARAMS_ACTIONS: Final[tuple[ParamsAction, ...]] = get_args(ParamsAction)


@dataclass(frozen=True)
class ParamsOptions:
    """``nervlane params``: a parameter file shown, checked or converted."""

    action: ParamsAction
    file: str
    """The parameter file (``from-json``: its JSON); ``show`` and ``check`` also take a recording."""
    output: str | None = None
    """Where ``to-json`` and ``from-json`` write; None: standard output."""


@dataclass(frozen=True)
class DemoOptions:
    """``nervlane demo``: a virtual sensor, shown live."""

    page: PageOptions | None = None
    """Show it in the browser view with these options; None: in the terminal."""
    seconds: float | None = 5.0
    """None: until Ctrl+C."""
    format: str = "binary"
    """The virtual sensor's frame format, one of ``nervlane.formats.FORMATS``."""
    reconnect: bool = True
    realtime: bool = False
    """As a ``PortSource``'s, for the virtual sensor's port."""


@dataclass(frozen=True)
class ServeOptions:
    """``nervlane serve``: a sensor on a port shared over Zenoh under ``name``."""

    source: PortSource
    """The port it owns: a served sensor is not served again."""
    name: str
    """What clients ask for: the key prefix ``nervlane/NAME/``."""
    listen: tuple[str, ...] | None = None
    """Where clients connect; None: this machine only (``tcp/127.0.0.1:7447``)."""
    scout: bool = False
    zenoh_config: str | None = None


@dataclass(frozen=True)
class SimulateOptions:
    """``nervlane simulate``: a virtual sensor on a pseudo-terminal."""

    format: str = "binary"
    rate: float = 100.0
    taxels: int = 16
    triaxials: int = 2
    params: str | None = None
    frames: int | None = None
    seconds: float | None = None
    seed: int | None = None
