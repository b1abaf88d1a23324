"""The rich console every tool writes through, and the tools' log lines."""

from __future__ import annotations

import errno
import sys
import time
from typing import Any, Final

from rich.console import Console

PIPED_WIDTH: Final = 10_000
"""The width a console takes when its output is not a terminal: wide enough
that no line is wrapped and no table cut, so ``grep`` finds whole lines."""


def stamped(text: str) -> str:
    """``text`` as a log line: the local time of day first ("18:42:07 ...")."""
    return f"{time.strftime('%H:%M:%S')} {text}"


class ToolConsole(Console):
    """A console that wraps only in a terminal, and tells log lines. Piped or redirected, its
    lines stay whole and its tables uncut, whatever ``COLUMNS`` says.

    A closed pipe (``nervlane monitor ... | head``) ends the command
    quietly: rich's own answer is to exit with status 1 and no word; this
    hands the error to ``nervlane.cli.main`` instead."""

    def __init__(self, *, log: bool = False, **options: Any) -> None:
        super().__init__(**options)
        self.log_lines = log
        """``tell`` starts each line with the time of day: the console of a
        tool that runs for long (record, serve, view)."""
        if not self.is_terminal and "width" not in options:
            self.width = PIPED_WIDTH
            self.soft_wrap = True

    def tell(self, text: str, style: str | None = None) -> None:
        """One message line, never wrapped; with ``log``, it starts with
        the time of day. ``text`` is plain: no markup is read in it."""
        self.print(stamped(text) if self.log_lines else text, style=style, soft_wrap=True, markup=False)

    def on_broken_pipe(self) -> None:
        self.quiet = True
        raise BrokenPipeError(errno.EPIPE, "the reader of this output has gone")


def warn(message: str) -> None:
    """A warning on standard error, worded as every tool words one."""
    print(f"warning: {message}", file=sys.stderr)
