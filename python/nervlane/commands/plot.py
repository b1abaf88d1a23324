"""``nervlane plot``: a picture of a recording."""

from __future__ import annotations

import math
import sys
import zipfile
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..errors import EXIT_MISSING_EXTRA, ToolError
from ..files import NotRegularFile, atomic_path, open_regular
from ..options import PlotOptions
from ..parameters import RAW_PREFIX, TAXEL_PREFIX, raw_names
from ..recording.csv_file import SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv, stack


@dataclass
class Channels:
    """A recording as the plot needs it: time, and one column per channel."""

    names: list[str]
    time: Any
    data: Any
    """frames x channels"""


def _not_a_recording(path: str, why: str) -> ToolError:
    return ToolError(f"{path} is not a recording made by 'nervlane record' ({why})")


def _load_csv(path: str) -> Channels:
    try:
        with RecordingCsv(path) as f:
            header = f.header
            if TIME_COLUMN not in header:
                raise _not_a_recording(path, f"no {TIME_COLUMN} column")
            table = stack(list(f.chunks()), len(header))
            torn = f.torn
    except (OSError, UnicodeDecodeError, NotRegularFile) as e:
        raise ToolError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from e
    except ValueError as e:
        raise ToolError(f"{path}: {e}") from e
    if torn:
        print(
            f"warning: {path}: the last row is torn ({len(torn)} bytes without a line end); left out", file=sys.stderr
        )
    # Cells beyond the header: the readings of a frame longer than the
    # header's, after the raw columns it names.
    raw_count = sum(n.startswith(RAW_PREFIX) for n in header)
    names = [*header, *raw_names(raw_count + table.shape[1] - len(header))[raw_count:]]
    keep = [i for i, n in enumerate(names) if n not in (TIME_COLUMN, SEQUENCE_COLUMN)]
    return Channels([names[i] for i in keep], table[:, header.index(TIME_COLUMN)], table[:, keep])


def _load_npz(path: str) -> Channels:
    try:
        with open_regular(path) as file, np.load(file, allow_pickle=False) as f:
            missing = {TIME_COLUMN, "raw"} - set(f.files)
            if missing:
                raise _not_a_recording(path, f"no {', '.join(sorted(missing))} array")
            raw = np.asarray(f["raw"], dtype=float)
            cal = np.asarray(f["calibrated"], dtype=float) if "calibrated" in f.files else np.empty((len(raw), 0))
            names = [str(n) for n in f["calibrated_names"]] if "calibrated_names" in f.files else []
            t = np.asarray(f[TIME_COLUMN], dtype=float)
    except (OSError, ValueError, zipfile.BadZipFile, NotRegularFile) as e:
        raise ToolError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from e
    if raw.ndim != 2 or cal.ndim != 2 or len(raw) != len(t) or len(cal) != len(t) or len(names) != cal.shape[1]:
        raise _not_a_recording(path, "its arrays do not fit together")
    return Channels([*raw_names(raw.shape[1]), *names], t, np.hstack([raw, cal]))


def run(options: PlotOptions) -> None:
    """Time series of every calibrated channel (of the raw ones when there
    are none), and a heat map of the taxels at the frame where they were
    pressed hardest. Raises ToolError."""
    path, out = options.file, options.output
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise ToolError(
            f"plotting needs matplotlib ({e.name} is missing): pip install 'nervlane-comm[plot]'",
            EXIT_MISSING_EXTRA,
        ) from e

    rec = _load_npz(path) if path.lower().endswith(".npz") else _load_csv(path)
    if len(rec.time) == 0:
        raise ToolError(f"{path} holds no frames")
    names, t, data = rec.names, rec.time, rec.data
    cal_cols = [i for i, n in enumerate(names) if not n.startswith(RAW_PREFIX)]
    series = cal_cols or [i for i, n in enumerate(names) if n.startswith(RAW_PREFIX)]
    taxel_cols = [i for i in cal_cols if names[i].startswith(TAXEL_PREFIX)]

    if taxel_cols:
        fig, (ax_t, ax_h) = plt.subplots(1, 2, figsize=(13, 5), gridspec_kw={"width_ratios": [2, 1]})
    else:
        fig, ax_t = plt.subplots(figsize=(9, 5))
    for i in series:
        ax_t.plot(t, data[:, i], linewidth=0.8, label=names[i])
    ax_t.set_xlabel("time (s)")
    ax_t.set_ylabel("calibrated value" if cal_cols else "raw reading")
    ax_t.set_title(f"{len(series)} channels, {len(t)} frames")
    if len(series) <= 12:
        ax_t.legend(fontsize="small")

    if taxel_cols:
        taxels = np.nan_to_num(data[:, taxel_cols])
        strongest = int(np.argmax(taxels.sum(axis=1)))
        n = len(taxel_cols)
        cols = max(1, math.ceil(math.sqrt(n)))
        rows = math.ceil(n / cols)
        grid = np.full(rows * cols, np.nan)
        grid[:n] = taxels[strongest]
        image = ax_h.imshow(grid.reshape(rows, cols), cmap="viridis", interpolation="nearest")
        fig.colorbar(image, ax=ax_h, shrink=0.8, label="calibrated value")
        ax_h.set_title(f"taxels at the strongest press, t = {t[strongest]:.2f} s")
        ax_h.set_xticks([])
        ax_h.set_yticks([])
        ax_t.axvline(t[strongest], color="grey", linestyle="--", linewidth=0.8)
    fig.tight_layout()
    try:
        with atomic_path(out, ".png") as tmp:  # the suffix tells savefig the format
            fig.savefig(tmp, dpi=110)
    except OSError as e:
        raise ToolError(f"cannot write {out}: {e.strerror or e}") from e
    finally:
        plt.close(fig)
    print(f"wrote {out}")
