"""Output files that appear whole or not at all."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator


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
