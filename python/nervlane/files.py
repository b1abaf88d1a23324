"""Files the tools read and write: regular-file inputs, whole outputs.

An input must be a regular file (a FIFO or a device would hang a read or
never end); an output appears whole or not at all."""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterator
from typing import IO

# Opening never waits (a FIFO without a writer would) and never takes a
# terminal as the controlling one; the check after opening sees what was
# really opened, in case the name changed in between.
_OPEN_FLAGS = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0)


class NotRegularFile(Exception):
    """An input that is a folder, a FIFO, a device or a socket; the message
    says which ("a FIFO, not a regular file")."""


class FileTooLarge(Exception):
    """An input larger than its reader takes."""


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a folder"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "not a regular file"


def _check_regular(mode: int) -> None:
    if not stat.S_ISREG(mode):
        raise NotRegularFile(f"{_kind(mode)}, not a {'file' if stat.S_ISDIR(mode) else 'regular file'}")


def open_regular(path: str, limit: int | None = None) -> IO[bytes]:
    """``path`` opened for reading in binary, refused at once unless it is a
    regular file of at most ``limit`` bytes (when given). Raises
    NotRegularFile, FileTooLarge, or OSError (no such file, no access)."""
    _check_regular(os.stat(path).st_mode)
    fd = os.open(path, _OPEN_FLAGS)
    f = os.fdopen(fd, "rb")
    try:
        status = os.fstat(fd)
        _check_regular(status.st_mode)
        if limit is not None and status.st_size > limit:
            raise FileTooLarge(f"{status.st_size} bytes, more than {limit}")
    except BaseException:
        f.close()
        raise
    return f


def read_regular(path: str, limit: int) -> bytes:
    """The bytes of a regular file of at most ``limit`` bytes (also if it
    grows while it is read). Raises as ``open_regular``."""
    with open_regular(path, limit) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise FileTooLarge(f"more than {limit} bytes")
    return data


@contextlib.contextmanager
def atomic_path(path: str, suffix: str = "") -> Iterator[str]:
    """A temporary name beside ``path`` to write to. Leaving the block
    normally renames it over ``path``; an error removes it, so ``path``
    keeps its old content. ``suffix`` ends the temporary name, for writers
    that insist on an extension."""
    tmp = f"{path}.tmp{os.getpid()}{suffix}"
    try:
        yield tmp
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def write_bytes_atomic(path: str, data: bytes) -> None:
    """Replace ``path`` whole: a failure leaves the old file as it was."""
    with atomic_path(path) as tmp, open(tmp, "wb") as f:
        f.write(data)
