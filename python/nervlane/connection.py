"""Finding and opening a sensor for the tools, with errors a person can act on."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Final, NamedTuple

from . import document
from .errors import EXIT_DISCONNECTED, EXIT_PORT, ToolError
from .wire import format_name

if TYPE_CHECKING:
    import nervlane_comm_py

AUTO = "auto"
"""The port name that means: the only USB serial port present."""


def serial_ports() -> list[Any]:
    """The serial ports the system lists, by device name: pyserial's
    ``ListPortInfo`` (``device``, ``description``, ``vid``, ``pid``,
    ``serial_number``, ``manufacturer``). Raises ToolError without pyserial."""
    try:
        from serial.tools import list_ports  # type: ignore[import-untyped]
    except ImportError as e:
        raise ToolError(f"listing serial ports needs pyserial (pip install pyserial): {e}") from e
    return sorted(list_ports.comports(), key=lambda p: p.device)


def is_usb(port: Any) -> bool:
    return port.vid is not None


def usb_id(port: Any) -> str:
    return f"{port.vid:04X}:{port.pid or 0:04X}" if is_usb(port) else ""


def describe_port(port: Any) -> str:
    """``/dev/ttyUSB0 (CP2102 USB to UART, 10C4:EA60)``: what a person
    needs to tell ports apart."""
    details = [d for d in (port.description, usb_id(port)) if d and d != "n/a" and d != port.device]
    return f"{port.device} ({', '.join(details)})" if details else str(port.device)


def _ports_present() -> str:
    try:
        ports = serial_ports()
    except ToolError:
        return ""
    return ", ".join(describe_port(p) for p in ports)


def auto_port() -> str:
    """The device name of the only USB serial port present. Raises
    ToolError (EXIT_PORT) when there is none or more than one, naming
    the ports found."""
    ports = serial_ports()
    usb = [p for p in ports if is_usb(p)]
    if len(usb) == 1:
        return str(usb[0].device)
    if not usb:
        found = f"; other serial ports: {', '.join(map(describe_port, ports))}" if ports else ""
        raise ToolError(f"port {AUTO}: no USB serial port found (is the sensor plugged in?){found}", EXIT_PORT)
    raise ToolError(
        f"port {AUTO}: {len(usb)} USB serial ports found, {', '.join(map(describe_port, usb))}; name the one to use",
        EXIT_PORT,
    )


def explain_port_error(port: str, error: BaseException) -> ToolError:
    """What went wrong opening ``port`` and what to do about it, chosen by
    the error's ``reason`` (PortError); the module's full message goes into
    the detail."""
    reason = getattr(error, "reason", "other")
    message = str(error) or type(error).__name__
    if reason == "not_found":
        hint = "check the cable and the port name"
        present = _ports_present()
        if present:
            hint += f" (serial ports present: {present})"
        elif os.name != "posix":
            hint += " (Device Manager lists the COM ports under 'Ports (COM & LPT)')"
        else:
            hint += " (no serial ports found)"
        text = f"cannot open {port}: no such port; {hint}."
    elif reason == "busy":
        text = (
            f"cannot open {port}: the port is busy; another program (a serial terminal, another script, "
            "ModemManager) has it open. Close it and try again."
        )
    elif reason == "access_denied" and os.name == "posix":
        text = (
            f"cannot open {port}: permission denied. Add yourself to the group that owns the port "
            "(usually 'dialout': sudo usermod -aG dialout $USER, then log in again), "
            'or give the device a udev rule with MODE="0660" and GROUP="dialout".'
        )
    elif reason == "access_denied":
        text = (
            f"cannot open {port}: access denied; on Windows this usually means another program "
            "has the port open. Close it and try again."
        )
    elif reason == "disconnected":
        text = f"cannot open {port}: the device went away while it was being opened; check the cable and try again."
    else:
        text = f"cannot open {port}: {getattr(error, 'description', message)}"
    return ToolError(text, EXIT_PORT, detail=message)


def load_module() -> object:
    try:
        import nervlane_comm_py
    except ImportError as e:
        raise ToolError(f"the nervlane_comm_py module is not installed or does not load: {e}") from e
    return nervlane_comm_py


class Sensor(NamedTuple):
    comms: nervlane_comm_py.NervlaneComms
    port: str
    """The port opened: ``auto`` resolved."""
    document: Any
    """The parameter document, for naming outputs (None if Python cannot read it)."""
    format: str | None
    """The frame format the parameter file chooses."""


def open_sensor(port: str, params: str) -> Sensor:
    """A comms object configured from ``params`` and connected to ``port``
    (``auto``: the only USB serial port).

    Raises ToolError: EXIT_ERROR for a parameter file the module refuses or
    whose protocol selector names no frame format, EXIT_PORT when the port
    cannot be opened or ``auto`` finds no single USB port.
    """
    load_module()
    import nervlane_comm_py as nc

    comms = nc.NervlaneComms()
    document.configure(comms, params)
    doc = document.load_or_none(params)
    warning = document.selector_warning(doc)
    if warning is not None:
        # A fresh object has no decoder then: it would wait for frames for ever.
        raise document.DocumentError(f"parameter file {params}: {warning}")
    if port == AUTO:
        port = auto_port()
    try:
        comms.connect(port)
    except Exception as e:  # PortError mostly; ValueError for an empty name
        raise explain_port_error(port, e) from e
    parts = document.split(doc)
    return Sensor(comms, port, doc, None if parts is None else format_name(parts[0]))


def device_gone(port: str, stats: Mapping[str, Any]) -> ToolError:
    """The error of a sensor that went away, with the reason the module
    gave (``stats()["last_error"]``)."""
    last = stats.get("last_error")
    why = f" (last error: {last})" if last else ""
    return ToolError(
        f"the sensor on {port} went away (cable pulled or device reset){why}; stopped.",
        EXIT_DISCONNECTED,
        detail=last,
    )


class DecodeWatch:
    """Notices a stream that the parameter file's format does not fit:
    after a couple of seconds nothing decoded, or most of what arrives
    refused or skipped by the decoder. Fed the module's ``stats()``."""

    AFTER_S: Final = 2.0
    # A decoder that fits skips only what it meets before the first frame
    # starts (a partial line, the rest of a frame); beyond that allowance,
    # more than a few bytes skipped per decoded frame is no longer noise.
    STARTUP_BYTES: Final = 1024
    BYTES_PER_FRAME: Final = 4

    def __init__(self, stats: Mapping[str, Any], fmt: str | None, start: float) -> None:
        self._base = dict(stats)
        self._format = fmt or "unknown"
        self._start = start

    def hint(self, stats: Mapping[str, Any], now: float) -> str | None:
        """What to tell the user now, or None while all looks well."""
        seconds = now - self._start
        if seconds < self.AFTER_S:
            return None
        decoded, rejected, skipped = (
            stats[k] - self._base[k] for k in ("frames_decoded", "frames_rejected", "bytes_discarded")
        )
        question = f"does the parameter file's format ({self._format}) match the device?"
        if decoded == 0 and rejected == 0 and skipped == 0:
            return f"nothing received in {seconds:.1f} s: is the device on and sending? {question}"
        if decoded == 0:
            return f"nothing decoded in {seconds:.1f} s: {question}"
        if rejected > decoded or skipped > self.STARTUP_BYTES + self.BYTES_PER_FRAME * decoded:
            return (
                f"the decoder refused {rejected} frames and skipped {skipped} bytes while it decoded "
                f"{decoded} in {seconds:.1f} s: {question}"
            )
        return None


def run_ports() -> None:
    """``nervlane ports``: a table of the serial ports the system lists."""
    from rich.table import Table

    from .console import ToolConsole

    ports = serial_ports()
    table = Table("device", "description", "USB VID:PID", "serial number", "manufacturer", title="Serial ports")
    for p in ports:
        table.add_row(str(p.device), p.description or "", usb_id(p), p.serial_number or "", p.manufacturer or "")
    console = ToolConsole()
    console.print(table)
    if not ports:
        console.print("no serial ports found")
