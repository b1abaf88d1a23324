"""Opening a sensor on a local port, with the port's errors in words.

The errors are explained in words a person can act on."""

from __future__ import annotations

import os
from typing import Any

from .. import parameters
from ..errors import EXIT_PORT, ToolError
from ..formats import format_name
from .opened import Sensor
from .ports import AUTO, auto_port, ports_present


def load_module() -> Any:
    """The ``nervlane_comm_py`` module. Raises ToolError when it does not load."""
    try:
        import nervlane_comm_py
    except ImportError as e:
        raise ToolError(f"the nervlane_comm_py module is not installed or does not load: {e}") from e
    return nervlane_comm_py


def open_sensor(port: str, params: str, *, reconnect: bool = False, realtime: bool = False) -> Sensor:
    """A comms object configured from ``params`` and connected to ``port``
    (``auto``: the only USB serial port). With ``reconnect`` the module
    reopens the port after an outage; with ``realtime`` its reader asks for
    real-time scheduling (``Sensor.realtime`` says whether it got it).

    Raises ToolError: EXIT_ERROR for a parameter file the module refuses or
    whose protocol selector names no frame format, EXIT_PORT when the port
    cannot be opened or ``auto`` finds no single USB port.
    """
    comms = load_module().NervlaneComms()
    parameters.configure(comms, params)
    doc = parameters.load_or_none(params)
    warning = parameters.selector_warning(doc)
    if warning is not None:
        # A fresh object has no decoder then: it would wait for frames for ever.
        raise parameters.DocumentError(f"parameter file {params}: {warning}")
    if port == AUTO:
        port = auto_port()
    try:
        comms.connect(port, reconnect=reconnect, realtime=realtime)
    except Exception as e:  # PortError mostly; ValueError for an empty name
        raise explain_port_error(port, e) from e
    parts = parameters.split(doc)
    return Sensor(
        comms,
        label=port,
        port=port,
        params=os.path.abspath(params),
        format=None if parts is None else format_name(parts[0]),
        output_names=parameters.output_names(doc, len(comms.read(0))),
        reconnect=reconnect,
        realtime=bool(comms.stats().get("realtime", False)),
    )


def explain_port_error(port: str, error: BaseException) -> ToolError:
    """What went wrong opening ``port`` and what to do about it, chosen by
    the error's ``reason`` (PortError); the module's full message goes into
    the detail."""
    reason = getattr(error, "reason", "other")
    message = str(error) or type(error).__name__
    if reason == "not_found":
        hint = "check the cable and the port name"
        present = ports_present()
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
