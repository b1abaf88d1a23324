"""Where a recording goes, checked before any port opens.

The files one recording writes, checked so that no recording is lost, and
how a failure to write them is named."""

from __future__ import annotations

import errno
import os
import re
import tempfile
from dataclasses import dataclass
from typing import Final

from ..errors import EXIT_ERROR, EXIT_USAGE, ToolError, missing_extra

JOURNAL_SUFFIX: Final = ".journal.csv"
SIDECAR_SUFFIX: Final = ".json"
FORMATS: Final = (".csv", ".npz", ".mcap")
"""The recording formats, by the file name's ending."""
_FORMATS_TEXT: Final = "a .csv, .npz or .mcap file"

# Write errors named as a person knows them, in summaries and metadata.
_WRITE_STOPS: Final = {errno.ENOSPC: "disk full", getattr(errno, "EDQUOT", -1): "disk quota exceeded"}


@dataclass(frozen=True)
class Outputs:
    """The files one recording writes. A CSV recording is its own journal;
    an .npz gets its rows in ``NAME.npz.journal.csv`` while it runs, and
    the journal goes once the .npz is written. A CSV has its metadata in a
    sidecar ``CSV.json``; an .npz holds it inside."""

    target: str

    @property
    def npz(self) -> bool:
        return self.target.lower().endswith(".npz")

    @property
    def mcap(self) -> bool:
        """An MCAP is its own journal, with its details inside."""
        return self.target.lower().endswith(".mcap")

    @property
    def csv(self) -> str:
        return self.target + JOURNAL_SUFFIX if self.npz else self.target

    @property
    def sidecar(self) -> str:
        return self.csv + SIDECAR_SUFFIX

    @property
    def files(self) -> list[str]:
        if self.mcap:
            return [self.target]
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
        raise _refuse(out, f"the name is empty; name {_FORMATS_TEXT}")
    if out.endswith(("/", os.sep, os.altsep or os.sep)) or os.path.basename(out) in ("", ".", ".."):
        raise _refuse(out, f"that names a folder; name {_FORMATS_TEXT} in it")
    if os.path.isdir(out):
        raise _refuse(out, f"it is a folder; name {_FORMATS_TEXT} in it")
    if not out.lower().endswith(FORMATS):
        raise _refuse(out, f"the name says no format this tool writes; name {_FORMATS_TEXT}")
    if out.lower().endswith(".mcap"):
        require_mcap("recording to MCAP")
    outputs = Outputs(out)
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


def require_mcap(what: str) -> None:
    """Raises ToolError (EXIT_MISSING_EXTRA) with the pip command when the
    ``mcap`` extra is not installed."""
    try:
        import mcap.writer  # noqa: F401
    except ImportError as e:
        raise missing_extra("mcap", what) from e


_NAME_CHARACTERS: Final = re.compile(r"[A-Za-z][A-Za-z0-9_]*")


def check_name(name: str) -> str:
    """``name`` when it can stand in a ROS 2 topic (``/nervlane/NAME/frames``):
    a letter, then letters, digits and single underscores. Raises ValueError."""
    if not _NAME_CHARACTERS.fullmatch(name) or "__" in name or name.endswith("_"):
        raise ValueError(
            f"{name!r} cannot name a sensor in ROS 2 topics: give a letter, then letters, digits and single "
            "underscores (e.g. left_hand)"
        )
    return name


def name_from(text: str) -> str:
    """A name for ``check_name`` made of a port's base name or a served name:
    other characters become underscores."""
    name = re.sub(r"_+", "_", re.sub(r"[^A-Za-z0-9_]", "_", os.path.basename(text.rstrip("/\\")) or text)).strip("_")
    return name if name[:1].isalpha() else f"sensor_{name}".rstrip("_")


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
