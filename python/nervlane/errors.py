"""How the tools fail: one exception type, and exit codes with names.

Only ``nervlane.cli.main`` prints a ToolError and turns it into the exit
code; everything below it raises.
"""

from __future__ import annotations

from typing import Final

EXIT_OK: Final = 0
EXIT_ERROR: Final = 1
"""A bad file, a failed step, the module missing."""
EXIT_USAGE: Final = 2
EXIT_PORT: Final = 3
"""The port cannot be opened, or ``auto`` finds no single USB port."""
EXIT_DISCONNECTED: Final = 4
EXIT_MISSING_EXTRA: Final = 5
"""numpy or matplotlib (the ``plot`` extra) is not installed."""


class ToolError(Exception):
    """A failure the tool reports in one message and an exit code."""

    def __init__(self, message: str, code: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.code = code
