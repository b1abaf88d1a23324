"""``nervlane plot``: a picture of a recording."""

from __future__ import annotations

import csv
import math
from typing import Any

from .document import RAW_PREFIX, TAXEL_PREFIX
from .errors import EXIT_MISSING_EXTRA, ToolError
from .files import atomic_path
from .record import TIME_COLUMN


def _load(path: str) -> tuple[list[str], list[list[float]]]:
    try:
        with open(path, newline="") as f:
            rows = list(csv.reader(f))
    except OSError as e:
        raise ToolError(f"cannot read {path}: {e.strerror or e}") from e
    if not rows or not rows[0] or rows[0][0] != TIME_COLUMN:
        raise ToolError(f"{path} is not a recording made by 'nervlane record' (no {TIME_COLUMN} column)")
    header = rows[0]
    try:
        body = [[float(x) if x != "" else math.nan for x in r] for r in rows[1:] if r]
    except ValueError as e:
        raise ToolError(f"{path}: {e}") from e
    if not body:
        raise ToolError(f"{path} holds no frames")
    if any(len(r) != len(header) for r in body):
        raise ToolError(f"{path}: rows and header differ in length")
    return header, body


def run_plot(path: str, out: str) -> None:
    """Time series of every recorded channel, and a heat map of the taxels
    at the frame where they were pressed hardest. Raises ToolError."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
    except ImportError as e:
        raise ToolError(
            f"plotting needs numpy and matplotlib ({e.name} is missing): pip install 'nervlane-comm[plot]'",
            EXIT_MISSING_EXTRA,
        ) from e

    header, body = _load(path)
    data: Any = np.array(body, dtype=float)
    t = data[:, 0]
    cal_cols = [i for i, n in enumerate(header) if i > 0 and not n.startswith(RAW_PREFIX)]
    raw_cols = [i for i, n in enumerate(header) if n.startswith(RAW_PREFIX)]
    series = cal_cols or raw_cols
    taxel_cols = [i for i in cal_cols if header[i].startswith(TAXEL_PREFIX)] or series

    fig, (ax_t, ax_h) = plt.subplots(1, 2, figsize=(13, 5), gridspec_kw={"width_ratios": [2, 1]})
    for i in series:
        ax_t.plot(t, data[:, i], linewidth=0.8, label=header[i])
    ax_t.set_xlabel("time (s)")
    ax_t.set_ylabel("calibrated value" if cal_cols else "raw reading")
    ax_t.set_title(f"{len(series)} channels, {len(t)} frames")
    if len(series) <= 12:
        ax_t.legend(fontsize="small")

    taxels = np.nan_to_num(data[:, taxel_cols])
    strongest = int(np.argmax(taxels.sum(axis=1)))
    n = len(taxel_cols)
    cols = max(1, math.ceil(math.sqrt(n)))
    rows = math.ceil(n / cols)
    grid = np.full(rows * cols, np.nan)
    grid[:n] = taxels[strongest]
    image = ax_h.imshow(grid.reshape(rows, cols), cmap="viridis", interpolation="nearest")
    fig.colorbar(image, ax=ax_h, shrink=0.8)
    ax_h.set_title(f"strongest press, t = {t[strongest]:.2f} s")
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
