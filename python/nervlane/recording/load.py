"""The one reader of every recording format: ``nervlane.load`` and the batches behind it.

``open_recording`` reads a recording's details at once and its frames in
batches (``RecordingFile``), for tools that go through a long one a piece
at a time (``convert``, ``recover``); ``load`` gathers it all into numpy
arrays (``Recording``). CSV (with its sidecar), .npz and MCAP alike, and
the files of earlier releases, which carry no clock origin and no
parameter file: their times count from the recording's start.
"""

from __future__ import annotations

import base64
import binascii
import contextlib
import datetime
import json
import os
import warnings
import zipfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any, Final

import numpy as np

from ..errors import ToolError
from ..files import NotRegularFile, open_regular
from .csv_file import PARAMS_KEY, SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv, split_header
from .npz_file import PARAMS_ARRAY
from .outputs import SIDECAR_SUFFIX, require_mcap
from .ros2_messages import stamps_ns, utc_seconds
from .writer import Rows

NPZ_ARRAYS: Final = ("sequence", TIME_COLUMN, "raw", "calibrated", "calibrated_names", PARAMS_ARRAY)
BATCH_ROWS: Final = 1 << 16

Warn = Callable[[str], None]


class RecordingError(ToolError, ValueError):
    """A file that is no recording, or cannot be read; the message says why."""


class RecordingWarning(UserWarning):
    """Something of a recording left out or made up as it was read: a torn
    last row, an unfinished MCAP, the details a file of an earlier release lacks."""


def _warn(message: str) -> None:
    warnings.warn(message, RecordingWarning, stacklevel=4)


@dataclass
class Recording:
    """A whole recording as numpy arrays, one row per frame."""

    names: list[str]
    """The calibrated values' names, in output order."""
    sequence: Any
    """uint64: the module's frame numbers."""
    time: Any
    """float64: decode times, seconds on the recording host's monotonic clock."""
    utc: Any
    """float64: the same instants, seconds since 1970 (UTC)."""
    raw: Any
    """float64, frames x readings: NaN for a reading a narrower frame lacks."""
    values: Any
    """float64, frames x ``names``."""
    outages: list[dict[str, Any]]
    """Times the sensor was away, as the sidecar lists them (``start_s``, ``start_monotonic``, ``start_time``,
    ``seconds``, ``ended``)."""
    params: bytes | None
    """The parameter file the recording was made with; None for a file of an earlier release."""
    meta: dict[str, Any]
    """The recording's details (port, format, start_time, stopped_by, counters...)."""


@dataclass
class RecordingFile:
    """A recording's details, with its frames to read in batches."""

    path: str
    names: list[str]
    meta: dict[str, Any]
    """With ``start_monotonic`` (the origin of ``time_s``) and ``utc_offset_ns`` always."""
    outages: list[dict[str, Any]]
    params: bytes | None
    _batches: Callable[[], Iterator[tuple[Rows, Any]]] = field(repr=False)

    @property
    def start(self) -> float:
        return float(self.meta["start_monotonic"])

    def batches(self) -> Iterator[tuple[Rows, Any]]:
        """The frames in order, in batches of one width: each with its UTC
        nanoseconds (int64). Raises RecordingError."""
        try:
            yield from self._batches()
        except (OSError, NotRegularFile) as e:
            raise RecordingError(f"cannot read {self.path}: {getattr(e, 'strerror', None) or e}") from e
        except (ValueError, UnicodeDecodeError, zipfile.BadZipFile) as e:
            if isinstance(e, RecordingError):
                raise
            raise RecordingError(f"{self.path}: {e}") from e


def _fill_clock(path: str, meta: dict[str, Any], params: bytes | None, warn: Warn) -> None:
    """A file of an earlier release: its times from its start, UTC from its start_time."""
    missing = [k for k in ("start_monotonic", "utc_offset_ns") if not isinstance(meta.get(k), (int, float))]
    if not missing and params is not None:
        return
    if missing:
        meta["start_monotonic"] = 0.0
        try:
            started = datetime.datetime.fromisoformat(str(meta.get("start_time")))
            meta["utc_offset_ns"] = round(started.timestamp() * 1e9)
        except ValueError:
            meta["utc_offset_ns"] = 0
    warn(
        f"{path} was made before recordings carried their clock and parameter file: "
        + ("its times count from its start, and utc from its start_time; " if missing else "")
        + ("it has no parameter file inside" if params is None else "its parameter file is inside")
    )


# --------------------------------------------------------------------------
# CSV, with its sidecar


def _sidecar(path: str, warn: Warn) -> dict[str, Any]:
    sidecar = path + SIDECAR_SUFFIX
    try:
        with open_regular(sidecar) as f:
            meta = json.loads(f.read().decode("utf-8"))
        if isinstance(meta, dict):
            return meta
    except FileNotFoundError:
        warn(f"{path} has no {sidecar}: its details are unknown")
        return {}
    except (OSError, NotRegularFile, ValueError) as e:
        warn(f"{sidecar} cannot be read ({getattr(e, 'strerror', None) or e}): the recording's details are unknown")
        return {}
    warn(f"{sidecar} holds no details")
    return {}


def _open_csv(path: str, warn: Warn) -> RecordingFile:
    try:
        with RecordingCsv(path) as f:
            header = f.header
    except (OSError, NotRegularFile, UnicodeDecodeError) as e:
        raise RecordingError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from e
    if header[:2] != [SEQUENCE_COLUMN, TIME_COLUMN]:
        raise RecordingError(
            f"{path} is not a recording made by 'nervlane record' "
            f"(it does not start with the columns {SEQUENCE_COLUMN},{TIME_COLUMN})"
        )
    raw_count, names = split_header(header)
    meta = _sidecar(path, warn)
    params = None
    if isinstance(meta.get(PARAMS_KEY), str):
        try:
            params = base64.b64decode(meta[PARAMS_KEY], validate=True)
        except binascii.Error:
            warn(f"{path}: the parameter file in its sidecar is no base64")
    meta.pop(PARAMS_KEY, None)
    outages = meta.pop("outages", None) or []
    _fill_clock(path, meta, params, warn)
    start, offset = float(meta["start_monotonic"]), int(meta["utc_offset_ns"])
    end = 2 + raw_count + len(names)

    def batches() -> Iterator[tuple[Rows, Any]]:
        with RecordingCsv(path) as f:
            for chunk in f.chunks():
                # Cells beyond the header: a longer frame's readings after its values.
                raw = np.hstack([chunk[:, 2 : 2 + raw_count], chunk[:, end:]])
                times = chunk[:, 1] + start
                rows = Rows(chunk[:, 0].astype(np.uint64), times, raw, chunk[:, 2 + raw_count : end])
                yield rows, stamps_ns(times, offset)
            if f.torn:
                warn(f"{path}: the last row is torn ({len(f.torn)} bytes without a line end); left out")

    return RecordingFile(path, names, meta, list(outages), params, batches)


# --------------------------------------------------------------------------
# .npz


def _field(value: Any) -> Any:
    v = value.item() if value.ndim == 0 else value.tolist()
    if isinstance(v, str) and v[:1] in ("[", "{"):
        try:
            return json.loads(v)
        except ValueError:
            return v
    return v


def _open_npz(path: str, warn: Warn) -> RecordingFile:
    @contextlib.contextmanager
    def arrays() -> Iterator[Any]:
        with open_regular(path) as file, np.load(file, allow_pickle=False) as f:
            yield f

    try:
        with arrays() as f:
            missing = {"sequence", TIME_COLUMN, "raw"} - set(f.files)
            if missing:
                raise RecordingError(
                    f"{path} is not a recording made by 'nervlane record' (no {', '.join(sorted(missing))} array)"
                )
            names = [str(n) for n in f["calibrated_names"]] if "calibrated_names" in f.files else []
            meta = {k: _field(f[k]) for k in f.files if k not in NPZ_ARRAYS}
            params = f[PARAMS_ARRAY].tobytes() if PARAMS_ARRAY in f.files else None
    except (OSError, ValueError, zipfile.BadZipFile, NotRegularFile) as e:
        if isinstance(e, RecordingError):
            raise
        raise RecordingError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from e
    outages = meta.pop("outages", None) or []
    _fill_clock(path, meta, params, warn)
    start, offset = float(meta["start_monotonic"]), int(meta["utc_offset_ns"])

    def batches() -> Iterator[tuple[Rows, Any]]:
        with arrays() as f:
            sequence = np.asarray(f["sequence"], dtype=np.uint64)
            t = np.asarray(f[TIME_COLUMN], dtype=np.float64)
            raw = np.asarray(f["raw"], dtype=np.float64)
            values = np.asarray(f["calibrated"], dtype=np.float64) if "calibrated" in f.files else None
        if values is None:
            values = np.empty((len(t), 0))
        if raw.ndim != 2 or values.ndim != 2 or not len(sequence) == len(t) == len(raw) == len(values):
            raise RecordingError(f"{path} is not a recording made by 'nervlane record' (its arrays do not fit)")
        if values.shape[1] != len(names):
            raise RecordingError(f"{path}: {values.shape[1]} calibrated values, {len(names)} names")
        for i in range(0, len(t), BATCH_ROWS):
            s = slice(i, i + BATCH_ROWS)
            times = t[s] + start
            yield Rows(sequence[s], times, raw[s], values[s]), stamps_ns(times, offset)

    return RecordingFile(path, names, meta, list(outages), params, batches)


# --------------------------------------------------------------------------
# Any


def open_recording(path: str | os.PathLike[str], warn: Warn | None = None, name: str | None = None) -> RecordingFile:
    """A recording's details, its frames to be read in batches. ``warn``
    is told what was left out or made up (default: a RecordingWarning);
    ``name`` picks the sensor of an MCAP that holds several. Raises
    RecordingError (a ValueError)."""
    path = os.fspath(path)
    warn = warn or _warn
    lower = path.lower()
    if lower.endswith(".csv"):
        return _open_csv(path, warn)
    if lower.endswith(".npz"):
        return _open_npz(path, warn)
    if lower.endswith(".mcap"):
        require_mcap(f"reading {path}")
        from .mcap_read import open_mcap

        return open_mcap(path, warn, name)
    raise RecordingError(f"{path}: not a recording by its name (a .csv, .npz or .mcap file)")


def _stack(parts: list[Any], width: int) -> Any:
    widest = max([width, *(p.shape[1] for p in parts)])
    out = np.full((sum(len(p) for p in parts), widest), np.nan)
    row = 0
    for p in parts:
        out[row : row + len(p), : p.shape[1]] = p
        row += len(p)
    return out


def load(path: str | os.PathLike[str], warn: Warn | None = None, name: str | None = None) -> Recording:
    """A whole recording, .csv, .npz or .mcap, as numpy arrays (``Recording``).
    ``warn`` is told of a torn last row, an unfinished MCAP or a file of an
    earlier release (default: a ``RecordingWarning``); ``name`` picks the
    sensor of an MCAP that holds several. Raises RecordingError (a
    ValueError) for a file that is no recording or cannot be read."""
    rec = open_recording(path, warn, name)
    parts = list(rec.batches())
    rows = [p[0] for p in parts]
    stamps = [p[1] for p in parts]
    empty = np.empty((0, 0))

    def joined(key: str, dtype: Any) -> Any:
        return np.concatenate([np.asarray(getattr(r, key), dtype=dtype) for r in rows]) if rows else np.empty(0, dtype)

    return Recording(
        names=rec.names,
        sequence=joined("sequence", np.uint64),
        time=joined("time", np.float64),
        utc=utc_seconds(np.concatenate(stamps) if stamps else np.empty(0, np.int64)),
        raw=_stack([r.raw for r in rows] or [empty], 0),
        values=_stack([r.values for r in rows] or [empty], len(rec.names)),
        outages=rec.outages,
        params=rec.params,
        meta=rec.meta,
    )
