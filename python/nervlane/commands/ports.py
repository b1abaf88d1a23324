"""``nervlane ports``: a table of the serial ports present."""

from __future__ import annotations

import os

from rich.table import Table

from ..console import ToolConsole
from ..sensor import ports


def run() -> None:
    """Print the table; a line says so when there is no port."""
    present = ports.serial_ports()
    stable = ports.stable_names()
    table = Table(
        "device",
        "stable name",
        "description",
        "USB VID:PID",
        "serial number",
        "manufacturer",
        title="Serial ports",
    )
    for p in present:
        table.add_row(
            str(p.device),
            stable.get(os.path.realpath(p.device), ""),
            p.description or "",
            ports.usb_id(p),
            p.serial_number or "",
            p.manufacturer or "",
        )
    console = ToolConsole()
    console.print(table)
    if not present:
        console.print("no serial ports found")
