"""The rich console every tool writes through."""

from __future__ import annotations

import errno
import sys

from rich.console import Console


class ToolConsole(Console):
    """A console on which a closed pipe (``nervlane monitor ... | head``)
    ends the command quietly. Rich's own answer is to exit with status 1
    and no word; this hands the error to ``nervlane.cli.main`` instead."""

    def on_broken_pipe(self) -> None:
        self.quiet = True
        raise BrokenPipeError(errno.EPIPE, "the reader of this output has gone")


def warn(message: str) -> None:
    """A warning on standard error, worded as every tool words one."""
    print(f"warning: {message}", file=sys.stderr)
