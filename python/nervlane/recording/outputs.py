"""Where a recording goes, checked before any port opens.

The files one recording writes, checked so that no recording is lost, and
how a failure to write them is named."""

from __future__ import annotations

import errno
import os
import tempfile
from dataclasses import dataclass
from typing import Final

from ..errors import EXIT_ERROR, EXIT_USAGE, ToolError

JOURNAL_SUFFIX: Final = ".journal.csv"
SIDECAR_SUFFIX: Final = ".json"

# Write errors named as a person knows them, in summaries and metadata.
_WRITE_STOPS: Final = {errno.ENOSPC: "disk full", getattr(errno, "EDQUOT", -1): "disk quota exceeded"}


@dataclass(frozen=True)
class Outputs:
    """The files one recording writes. A CSV recording is its own journal;
    an .npz gets its rows in ``NAME.npz.journal.csv`` while it runs, and
    the journal goes once the .npz is written. A CSV has its metadata in a
    sidecar ``CSV.json``; an .npz holds it inside."""

    target: str
    npz: bool

    @property
    def csv(self) -> str:
        return self.target + JOURNAL_SUFFIX if self.npz else self.target

    @property
    def sidecar(self) -> str:
        return self.csv + SIDECAR_SUFFIX

    @property
    def files(self) -> list[str]:
        return [self.target, self.csv, self.sidecar] if self.npz else [self.target, self.sidecar]

    @property
    def folder(self) -> str:
        return os.path.dirname(os.path.abspath(self.target))


def _refuse(out: str, why: str) -> ToolError:
    shown = out if out.strip() else repr(out)
    return ToolError(f"cannot record to {shown}: {why}", EXIT_USAGE)


def check_output(out: str, force: bool = False) -> Outputs:
    """The files for ``out``, checked before any port opens: a name that is
    a file's, in a folder that exists and takes files, where no recording
    is lost (an unfinished one never; a finished one unless ``force``).
    Creates nothing. Raises ToolError (EXIT_USAGE) naming ``out``."""
    if not out.strip():
        raise _refuse(out, "the name is empty; name a file (run.csv or run.npz)")
    if out.endswith(("/", os.sep, os.altsep or os.sep)) or os.path.basename(out) in ("", ".", ".."):
        raise _refuse(out, "that names a folder; name a file in it (run.csv or run.npz)")
    if os.path.isdir(out):
        raise _refuse(out, "it is a folder; name a file in it (run.csv or run.npz)")
    outputs = Outputs(out, out.lower().endswith(".npz"))
    folder = outputs.folder
    if not os.path.isdir(folder):
        raise _refuse(out, f"folder {folder} does not exist")
    try:
        # Unnamed where the system allows it, and gone when closed.
        tempfile.TemporaryFile(dir=folder).close()
    except OSError as e:
        raise _refuse(out, f"folder {folder} does not take new files ({e.strerror or e})") from e
    if outputs.npz and os.path.lexists(outputs.csv):
        raise ToolError(
            f"{outputs.csv} is an unrecovered recording (the run that wrote it did not finish); "
            f"'nervlane recover {out}' turns it into {out}. To record anew, choose another name "
            f"or delete {outputs.csv} and {outputs.sidecar} first.",
            EXIT_USAGE,
        )
    existing = [p for p in outputs.files if os.path.lexists(p)]
    for p in existing:
        if os.path.isdir(p):
            raise _refuse(out, f"{p} is a folder")
    if existing and not force:
        raise ToolError(
            f"{' and '.join(existing)} already exist{'s' if len(existing) == 1 else ''}: choose another "
            "name, or give --force to replace",
            EXIT_USAGE,
        )
    return outputs


class RecordingFailed(ToolError):
    """A recording stopped because its files could not be written. ``stop``
    names it as the summary and the metadata do ("disk full")."""

    def __init__(self, message: str, stop: str, code: int = EXIT_ERROR) -> None:
        super().__init__(message, code)
        self.stop = stop


def write_failed(path: str, error: OSError) -> RecordingFailed:
    """The failure to write ``path``, its stop named as a person knows it."""
    stop = _WRITE_STOPS.get(error.errno or 0, "a write error")
    return RecordingFailed(f"cannot write {path}: {error.strerror or error}", stop)


def create_file(path: str, replace: bool) -> int:
    """A file descriptor of ``path`` made for writing: made anew, or with
    ``replace`` emptied. Raises FileExistsError when it exists and not ``replace``."""
    flags = os.O_WRONLY | os.O_CREAT | getattr(os, "O_BINARY", 0) | (os.O_TRUNC if replace else os.O_EXCL)
    return os.open(path, flags, 0o666)
