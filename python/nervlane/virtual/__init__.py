"""The virtual Nervlane sensor, in one import.

The frame encoders
(``nervlane.formats``), a believable signal and its parameter file
(``nervlane.virtual.signal_model``), and the pseudo-terminal that plays the
device on a serial port (``nervlane.virtual.pty_device``).

The test suites use it as their device; ``nervlane simulate``
(``nervlane.commands.simulate``) lets a person point the real module, or any
serial tool, at a sensor without owning one.
"""

from __future__ import annotations

from ..formats import (
    FORMATS,
    KEY,
    MAX_BINARY_READINGS,
    MAX_ENCRYPTED_READINGS,
    binary_frame,
    encode_frame,
    encrypted_frame,
    text_frame,
)
from .pty_device import PtyDevice, SentFrame, open_raw_pty, send_frame
from .signal_model import (
    AXIS_COEFS,
    DEAD_BAND_COUNTS,
    NOISE_COUNTS,
    NOMINAL_ZERO,
    NORMAL_COEFS,
    TAXEL_COEFS,
    Layout,
    SignalModel,
    parameter_document,
    write_params,
)

__all__ = [
    "AXIS_COEFS",
    "DEAD_BAND_COUNTS",
    "FORMATS",
    "KEY",
    "MAX_BINARY_READINGS",
    "MAX_ENCRYPTED_READINGS",
    "NOISE_COUNTS",
    "NOMINAL_ZERO",
    "NORMAL_COEFS",
    "TAXEL_COEFS",
    "Layout",
    "PtyDevice",
    "SentFrame",
    "SignalModel",
    "binary_frame",
    "encode_frame",
    "encrypted_frame",
    "open_raw_pty",
    "parameter_document",
    "send_frame",
    "text_frame",
    "write_params",
]
