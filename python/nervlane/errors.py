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
"""The port cannot be opened, ``auto`` finds no single USB port, or no server
answers for ``--from NAME``."""
EXIT_DISCONNECTED: Final = 4
EXIT_MISSING_EXTRA: Final = 5
"""An optional extra is not installed: ``plot`` (matplotlib), ``remote``
(Zenoh, for ``serve`` and ``--from``), ``view`` (aiohttp), ``mcap`` (MCAP
recordings). The message gives the pip command."""


class ToolError(Exception):
    """A failure the tool reports in one message and an exit code.

    ``detail`` is the text behind it that helps a developer more than the
    person at the keyboard (the module's own message, with the C++ source
    file and line); ``nervlane --verbose`` prints it too.
    """

    def __init__(self, message: str, code: int = EXIT_ERROR, detail: str | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.detail = detail


def missing_extra(extra: str, what: str) -> ToolError:
    """The error of an optional extra that is not installed: what needs it,
    and the pip command that installs it (EXIT_MISSING_EXTRA)."""
    from .extras import install_hint

    return ToolError(f"{what} needs the {extra} extra: {install_hint(extra)}", EXIT_MISSING_EXTRA)
