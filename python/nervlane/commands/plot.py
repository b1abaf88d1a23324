"""``nervlane plot``: a picture of a recording.

The recording is read whole (``read_recording``), its unit and heat map
cells are chosen here, and ``nervlane.plotting`` draws it."""

from __future__ import annotations

import contextlib
import datetime
import json
import sys
import zipfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ..errors import EXIT_MISSING_EXTRA, ToolError
from ..files import NotRegularFile, atomic_path, open_regular
from ..options import NO_UNIT, PlotOptions
from ..recording.csv_file import SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv, split_header, stack
from ..view.layout import grid_cells, placed_cells, read_layout

if TYPE_CHECKING:
    from matplotlib.figure import Figure


@dataclass(frozen=True)
class Recording:
    """A recording's frames and details, whatever its format: ``time`` in
    seconds on the monotonic clock, ``utc`` in seconds since the epoch."""

    names: list[str]
    sequence: Any
    time: Any
    utc: Any
    raw: Any
    values: Any
    outages: list[dict[str, Any]]
    params: bytes | None
    meta: dict[str, Any]


def _warn(text: str) -> None:
    print(f"warning: {text}", file=sys.stderr)


def read_recording(path: str) -> Recording:
    """The .csv (with its details, ``X.csv.json``) or .npz that ``record``
    wrote. Raises ToolError."""

    def not_ours(why: str) -> ToolError:
        return ToolError(f"{path} is not a recording made by 'nervlane record' ({why})")

    meta: dict[str, Any] = {}
    try:
        if path.lower().endswith(".npz"):
            with open_regular(path) as file, np.load(file, allow_pickle=False) as f:
                arrays = {k: f[k] for k in f.files}
            missing = {SEQUENCE_COLUMN, TIME_COLUMN, "raw", "calibrated", "calibrated_names"} - set(arrays)
            if missing:
                raise not_ours(f"no {', '.join(sorted(missing))} array")
            sequence, time_s, raw, values, names = (
                arrays.pop(k) for k in (SEQUENCE_COLUMN, TIME_COLUMN, "raw", "calibrated", "calibrated_names")
            )
            # The details are 0-d fields, lists and maps as JSON.
            for key, v in arrays.items():
                meta[key] = v.item() if v.ndim == 0 else v.tolist()
                if isinstance(meta[key], str) and meta[key][:1] in ("[", "{"):
                    with contextlib.suppress(ValueError):
                        meta[key] = json.loads(meta[key])
        else:
            with RecordingCsv(path) as f:
                if f.header[:2] != [SEQUENCE_COLUMN, TIME_COLUMN]:
                    raise not_ours(f"no {SEQUENCE_COLUMN} and {TIME_COLUMN} columns")
                table, torn, header = stack(list(f.chunks()), len(f.header)), f.torn, f.header
            if torn:
                _warn(f"{path}: the last row is torn ({len(torn)} bytes without a line end); left out")
            raws, names = split_header(header)
            end = 2 + raws + len(names)
            sequence, time_s, values = table[:, 0], table[:, 1], table[:, 2 + raws : end]
            # Cells beyond the header are a longer frame's readings, after the raw columns.
            raw = np.hstack([table[:, 2 : 2 + raws], table[:, end:]])
            why = "not a recording's details"
            try:
                with open(path + ".json", encoding="utf-8") as details:
                    found = json.load(details)
                meta = found if isinstance(found, dict) else meta
            except (OSError, ValueError) as e:
                why = getattr(e, "strerror", None) or str(e)
            if not meta:
                _warn(f"{path}.json: {why}; the plot cannot show {path}'s outages")
    except (OSError, ValueError, zipfile.BadZipFile, NotRegularFile) as e:
        raise ToolError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from e
    names = [str(n) for n in names]
    if raw.ndim != 2 or values.ndim != 2 or len(names) != values.shape[1]:
        raise not_ours("its arrays do not fit together")
    if not len(sequence) == len(raw) == len(values) == len(time_s):
        raise not_ours("its arrays do not fit together")
    if not (np.isfinite(np.asarray(sequence, dtype=float)).all() and np.isfinite(time_s).all()):
        raise not_ours(f"a frame without its {SEQUENCE_COLUMN} or {TIME_COLUMN}")
    outages = (
        [o for o in meta.get("outages", []) if isinstance(o, dict)] if isinstance(meta.get("outages"), list) else []
    )
    # time_s counts from the recording's start, which an outage gives on the monotonic clock too.
    start = next(
        (o["start_monotonic"] - o["start_s"] for o in outages if _numbers(o, "start_monotonic", "start_s")), 0.0
    )
    time = np.asarray(time_s, dtype=float) + start
    try:
        utc = datetime.datetime.fromisoformat(str(meta["start_time"])).timestamp() + time - start
    except (KeyError, ValueError):
        utc = np.full(len(time), np.nan)
    return Recording(names, np.asarray(sequence).astype(np.uint64), time, utc, raw, values, outages, None, meta)


def _numbers(d: dict[str, Any], *keys: str) -> bool:
    return all(isinstance(d.get(k), (int, float)) and not isinstance(d.get(k), bool) for k in keys)


def figure(options: PlotOptions) -> Figure:
    """The picture of the recording ``options.file``: its unit is
    ``options.unit``, else the recording's, else the layout file's, else
    ``NO_UNIT``; its heat map cells sit where the layout file says, else on
    a grid. Raises ToolError."""
    try:
        from .. import plotting
    except ImportError as e:
        if not (e.name or "").startswith("matplotlib"):
            raise
        raise ToolError(
            f"plotting needs matplotlib ({e.name} is missing): pip install 'nervlane-comm[plot]'",
            EXIT_MISSING_EXTRA,
        ) from e
    layout = None if options.layout is None else read_layout(options.layout)
    recording = read_recording(options.file)
    if len(recording.time) == 0:
        raise ToolError(f"{options.file} holds no frames")
    named = recording.meta.get("unit")
    named = named if isinstance(named, str) and named.strip() and named != NO_UNIT else None
    unit = options.unit or named or (layout.unit if layout is not None else None) or NO_UNIT
    cells = None
    if recording.names:
        names = recording.names
        cells = grid_cells(names) if layout is None else placed_cells(names, layout.positions, str(options.layout))
    elif layout is not None:
        _warn(f"{options.file} holds no calibrated values, so there is no heat map to lay out")
    _, unusable = plotting.outage_spans(recording.outages)
    if unusable:
        numbers = ", ".join(map(str, unusable))
        _warn(f"{options.file}: outage {numbers} of its details has no start and length; not shaded")
    return plotting.draw(recording, unit, cells, mm=layout is not None)


def run(options: PlotOptions) -> None:
    """Draw the recording (``figure``) into ``options.output`` (PNG).
    Raises ToolError."""
    picture = figure(options)
    out = options.output
    try:
        with atomic_path(out, ".png") as tmp:  # the suffix tells savefig the format
            picture.savefig(tmp, dpi=110)
    except OSError as e:
        raise ToolError(f"cannot write {out}: {e.strerror or e}") from e
    print(f"wrote {out}")
