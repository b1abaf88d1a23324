"""The serial ports present, their stable names, and ``auto``.

Listing them, naming them so a person can tell them apart, and ``auto``,
the only USB serial port.

On Linux a USB serial port also has a stable name, a link in
``/dev/serial/by-id`` built from the adapter's vendor, product and serial
number. The kernel's name (``/dev/ttyUSB0``) can change when the adapter is
replugged; the stable one does not, so it is the one to reconnect to.
"""

from __future__ import annotations

import os
from typing import Any, Final

from serial.tools import list_ports  # type: ignore[import-untyped]

from ..errors import EXIT_PORT, ToolError

AUTO: Final = "auto"
"""The port name that means: the only USB serial port present."""

BY_ID = "/dev/serial/by-id"
"""Where Linux (udev) keeps a stable name for each USB serial port."""


def serial_ports() -> list[Any]:
    """The serial ports the system lists, by device name: pyserial's
    ``ListPortInfo`` (``device``, ``description``, ``vid``, ``pid``,
    ``serial_number``, ``manufacturer``)."""
    return sorted(list_ports.comports(), key=lambda p: p.device)


def stable_names() -> dict[str, str]:
    """The stable name of each device that has one: the device's real path
    to the link in ``BY_ID`` that points at it (the first by name when
    several do). Empty where there is no such folder (no USB serial port
    plugged in, or not Linux)."""
    folder = BY_ID
    try:
        links = sorted(os.listdir(folder))
    except OSError:
        return {}
    names: dict[str, str] = {}
    for link in links:
        path = os.path.join(folder, link)
        names.setdefault(os.path.realpath(path), path)
    return names


def is_usb(port: Any) -> bool:
    return port.vid is not None


def usb_id(port: Any) -> str:
    return f"{port.vid:04X}:{port.pid or 0:04X}" if is_usb(port) else ""


def describe_port(port: Any) -> str:
    """``/dev/ttyUSB0 (CP2102 USB to UART, 10C4:EA60)``: what a person
    needs to tell ports apart."""
    details = [d for d in (port.description, usb_id(port)) if d and d != "n/a" and d != port.device]
    return f"{port.device} ({', '.join(details)})" if details else str(port.device)


def ports_present() -> str:
    """The ports present, described in one line for an error message."""
    return ", ".join(describe_port(p) for p in serial_ports())


def auto_port() -> str:
    """The only USB serial port present, by its stable name when it has
    one. Raises ToolError (EXIT_PORT) when there is none or more than one,
    naming the ports found."""
    ports = serial_ports()
    usb = [p for p in ports if is_usb(p)]
    if len(usb) == 1:
        device = str(usb[0].device)
        return stable_names().get(os.path.realpath(device), device)
    if not usb:
        found = f"; other serial ports: {', '.join(map(describe_port, ports))}" if ports else ""
        raise ToolError(f"port {AUTO}: no USB serial port found (is the sensor plugged in?){found}", EXIT_PORT)
    raise ToolError(
        f"port {AUTO}: {len(usb)} USB serial ports found, {', '.join(map(describe_port, usb))}; name the one to use",
        EXIT_PORT,
    )
