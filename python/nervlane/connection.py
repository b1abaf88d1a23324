"""Opening a sensor for the tools, with errors a person can act on."""

from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import nervlane_comm_py

# Exit codes shared by the tools.
EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_PORT = 3
EXIT_DISCONNECTED = 4
EXIT_MISSING_EXTRA = 5


class ToolError(Exception):
    """A failure the tool reports in one message and an exit code."""

    def __init__(self, message: str, code: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.code = code


def explain_port_error(port: str, message: str) -> str:
    """What went wrong opening ``port``, and what to do about it."""
    low = message.lower()
    if "does not exist" in low or "no such file" in low or "cannot find the file" in low:
        hint = "check the cable and the port name"
        if os.name == "posix":
            candidates = sorted(
                f"/dev/{n}" for n in _listdir("/dev") if n.startswith(("ttyUSB", "ttyACM", "cu.usb"))
            )
            if candidates:
                hint += f" (serial ports present: {', '.join(candidates)})"
        else:
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


def _listdir(path: str) -> list[str]:
    try:
        return os.listdir(path)
    except OSError:
        return []


def load_module() -> object:
    try:
        import nervlane_comm_py
    except ImportError as e:
        raise ToolError(f"the nervlane_comm_py module is not installed or does not load: {e}") from e
    return nervlane_comm_py


def open_sensor(port: str, params: str) -> nervlane_comm_py.NervlaneComms:
    """A comms object configured from ``params`` and connected to ``port``.

    Raises ToolError: EXIT_ERROR for a bad parameter file, EXIT_PORT when
    the port cannot be opened.
    """
    load_module()
    import nervlane_comm_py as nc

    comms = nc.NervlaneComms()
    try:
        comms.init(params)
    except RuntimeError as e:
        raise ToolError(f"parameter file {params}: {e}") from e
    try:
        comms.connect(port)
    except RuntimeError as e:
        raise ToolError(explain_port_error(port, str(e)), EXIT_PORT) from e
    return comms


def disconnected_message(port: str) -> str:
    return f"the sensor on {port} went away (cable pulled or device reset); stopped."


def report(err: ToolError) -> int:
    print(f"error: {err}", file=sys.stderr)
    return err.code
