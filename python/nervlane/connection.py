"""Finding and opening a sensor for the tools, with errors a person can act on."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, NamedTuple

from . import document
from .errors import EXIT_PORT, ToolError

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
        f"port {AUTO}: {len(usb)} USB serial ports found, {', '.join(map(describe_port, usb))}; "
        "name the one to use",
        EXIT_PORT,
    )


def explain_port_error(port: str, message: str) -> str:
    """What went wrong opening ``port``, and what to do about it."""
    low = message.lower()
    if "does not exist" in low or "no such file" in low or "cannot find the file" in low:
        hint = "check the cable and the port name"
        present = _ports_present()
        if present:
            hint += f" (serial ports present: {present})"
        elif os.name != "posix":
            hint += " (Device Manager lists the COM ports under 'Ports (COM & LPT)')"
        return f"cannot open {port}: no such port; {hint}.\n  ({message})"
    if "busy" in low or "in use" in low or "locked" in low or "resource temporarily unavailable" in low:
        return (
            f"cannot open {port}: the port is busy; another program (a serial terminal, "
            f"another script, ModemManager) has it open. Close it and try again.\n  ({message})"
        )
    if "permission" in low or "access is denied" in low or "not permitted" in low:
        if os.name == "posix":
            return (
                f"cannot open {port}: permission denied. Add yourself to the group that owns the port "
                f"(usually 'dialout': sudo usermod -aG dialout $USER, then log in again), "
                f"or give the device a udev rule with MODE=\"0660\" and GROUP=\"dialout\".\n  ({message})"
            )
        return (
            f"cannot open {port}: access denied; on Windows this usually means another program "
            f"has the port open. Close it and try again.\n  ({message})"
        )
    return f"cannot open {port}: {message}"


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
    except Exception as e:  # RuntimeError mostly; ValueError for an empty name
        raise ToolError(explain_port_error(port, str(e)), EXIT_PORT) from e
    return Sensor(comms, port, doc)


def disconnected_message(port: str) -> str:
    return f"the sensor on {port} went away (cable pulled or device reset); stopped."


def run_ports() -> None:
    """``nervlane ports``: a table of the serial ports the system lists."""
    from .console import ToolConsole
    from rich.table import Table

    ports = serial_ports()
    table = Table("device", "description", "USB VID:PID", "serial number", "manufacturer",
                  title="Serial ports")
    for p in ports:
        table.add_row(str(p.device), p.description or "", usb_id(p), p.serial_number or "", p.manufacturer or "")
    console = ToolConsole()
    console.print(table)
    if not ports:
        console.print("no serial ports found")
