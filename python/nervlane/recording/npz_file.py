"""A recording's ``.npz``: its arrays gathered while it runs, then written.

The arrays wait beside the file while the recording runs (``ArraySpill``);
the .npz is written whole at the end, with the recording's details as
fields (``npz_fields``)."""

from __future__ import annotations

import contextlib
import json
import tempfile
from collections.abc import Mapping
from typing import IO, Any, Final

import numpy as np

from ..files import atomic_path


def _write_all(f: IO[bytes], data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[f.write(view) or 0 :]


class ArraySpill:
    """The .npz's arrays gathered in unnamed temporary files beside it, so
    a long recording does not fill memory; ``save`` writes them out. Raw
    rows are kept at their own length and padded only when saved."""

    KEYS: Final = ("sequence", "time_s", "raw", "calibrated")

    def __init__(self, folder: str, value_count: int) -> None:
        self._folder = folder
        self._files: dict[str, IO[bytes]] = {}
        try:
            for key in self.KEYS:
                # Unbuffered: nothing is left to write (and fail) when closed.
                self._files[key] = tempfile.TemporaryFile(dir=folder, buffering=0)
        except BaseException:
            self.close()
            raise
        self.value_count = value_count
        self.frames = 0
        self._runs: list[list[int]] = []
        """[frames, readings] of each run of frames of one length, in order."""

    def add(self, sequence: Any, times: Any, raw: Any, values: Any) -> None:
        for key, array, dtype in zip(
            self.KEYS, (sequence, times, raw, values), (np.uint64, np.float64, np.float64, np.float64), strict=True
        ):
            _write_all(self._files[key], np.ascontiguousarray(array, dtype=dtype).tobytes())
        n, width = raw.shape
        if self._runs and self._runs[-1][1] == width:
            self._runs[-1][0] += n
        else:
            self._runs.append([n, width])
        self.frames += n

    def _map(self, f: IO[bytes], dtype: Any, width: int | None) -> Any:
        shape = (self.frames,) if width is None else (self.frames, width)
        if self.frames == 0 or width == 0:
            return np.zeros(shape, dtype=dtype)
        return np.memmap(f, dtype=dtype, mode="r", shape=shape)

    def _raw(self) -> Any:
        widest = max((w for _, w in self._runs), default=0)
        if len({w for _, w in self._runs}) <= 1:
            return self._map(self._files["raw"], np.float64, widest)
        src, wide = self._files["raw"], tempfile.TemporaryFile(dir=self._folder, buffering=0)
        self._files["raw_wide"] = wide
        src.seek(0)
        for frames, width in self._runs:
            for start in range(0, frames, 1 << 14):
                n = min(1 << 14, frames - start)
                rows = np.frombuffer(src.read(n * width * 8), dtype=np.float64).reshape(n, width)
                padded = np.full((n, widest), np.nan)
                padded[:, :width] = rows
                _write_all(wide, padded.tobytes())
        return self._map(wide, np.float64, widest)

    def save(self, path: str, extra: dict[str, Any]) -> None:
        """Write the .npz whole (to a temporary name, then renamed)."""
        arrays = {
            "sequence": self._map(self._files["sequence"], np.uint64, None),
            "time_s": self._map(self._files["time_s"], np.float64, None),
            "raw": self._raw(),
            "calibrated": self._map(self._files["calibrated"], np.float64, self.value_count),
        }
        with atomic_path(path, ".npz") as tmp:  # savez adds .npz to a name without it
            np.savez_compressed(tmp, **arrays, **extra)

    def close(self) -> None:
        for f in self._files.values():
            with contextlib.suppress(OSError):
                f.close()


def npz_fields(meta: Mapping[str, Any]) -> dict[str, Any]:
    """A recording's details as 0-d fields that ``np.load`` reads without
    pickles: lists and maps as JSON."""
    return {k: np.array(json.dumps(v) if isinstance(v, (list, dict)) else v) for k, v in meta.items()}
