"""``nervlane plot``: a picture of a recording."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..console import warn
from ..errors import EXIT_MISSING_EXTRA, ToolError
from ..files import atomic_path
from ..options import PlotOptions
from ..parameters import RAW_PREFIX, TAXEL_PREFIX, raw_names
from ..recording import load


@dataclass
class Channels:
    """A recording as the plot needs it: time, and one column per channel."""

    names: list[str]
    time: Any
    data: Any
    """frames x channels"""


def _load(path: str) -> Channels:
    """The recording as the plot needs it: times from its start, the raw
    readings then the calibrated values (``nervlane.recording.load``)."""
    rec = load(path, warn)
    start = float(rec.meta["start_monotonic"])
    return Channels([*raw_names(rec.raw.shape[1]), *rec.names], rec.time - start, np.hstack([rec.raw, rec.values]))


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

    rec = _load(path)
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
