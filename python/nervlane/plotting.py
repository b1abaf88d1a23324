"""Drawing a recording for ``nervlane plot``: its outputs over time and a heat map.

The lines show only frames that came: they break wherever the sequence
numbers skip and across every outage the recording lists, and the outages
are shaded. The legend names the strongest outputs by the names a person
counts by; the heat map shows each cell, named, where it sits, at the
frame of the strongest press.

It draws a recording (``nervlane.recording.Recording``) onto a matplotlib
``Figure`` of its own, so that no window or global state is involved; the
caller saves it.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Final, Protocol

import numpy as np
from matplotlib import colormaps
from matplotlib.collections import PatchCollection
from matplotlib.colors import Normalize
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Rectangle
from matplotlib.transforms import blended_transform_factory

from .parameters import kind_names, raw_names

if TYPE_CHECKING:
    from .recording import Recording

NAMED_LINES: Final = 12
"""Legend entries at most: beyond it, the strongest outputs and "and N more"."""
OTHERS: Final = "0.65"
"""The colour of the outputs the legend leaves out."""
AWAY: Final = "0.88"
"""The shade of an outage."""


class HeatCell(Protocol):
    """A heat map cell (``nervlane.view.layout.Cell``): its label, output
    positions (x, y, z for a triaxial, -1 for one it lacks) and place, y
    growing downwards."""

    @property
    def label(self) -> str: ...
    @property
    def outputs(self) -> tuple[int, ...]: ...
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def triaxial(self) -> bool: ...


def outage_spans(outages: Sequence[Mapping[str, Any]]) -> tuple[list[tuple[float, float, bool]], list[int]]:
    """Each outage as (start, end, ended) on the monotonic clock, and the
    numbers (from 1) of those without a usable start and length."""
    spans, unusable = [], []
    for n, outage in enumerate(outages, 1):
        start, seconds = outage.get("start_monotonic"), outage.get("seconds")
        if isinstance(start, (int, float)) and isinstance(seconds, (int, float)) and _finite(start, seconds):
            spans.append((float(start), float(start) + float(seconds), outage.get("ended") is not False))
        else:
            unusable.append(n)
    return spans, unusable


def _finite(start: float, seconds: float) -> bool:
    return (
        not isinstance(start, bool)
        and not isinstance(seconds, bool)
        and math.isfinite(start + seconds)
        and seconds >= 0
    )


def line_breaks(time: Any, sequence: Any, spans: Sequence[tuple[float, float, bool]]) -> Any:
    """The frames after which the lines break: where the next frame's
    number does not follow, and, for each outage, at the widest step
    between two frames that overlaps it (the outage's start and end are
    seen a little late, but always overlap the step they fall in)."""
    after = set(np.flatnonzero(np.diff(sequence) != 1).tolist())
    steps = np.diff(time)
    for start, end, _ in spans:
        across = np.flatnonzero((time[:-1] < end) & (time[1:] > start))
        if len(across):
            after.add(int(across[np.argmax(steps[across])]))
    return np.array(sorted(after), dtype=int)


def _count(n: int, thing: str) -> str:
    return f"{n} {thing}{'s' * (n != 1)}"


def _luminance(rgba: Sequence[float]) -> float:
    r, g, b = (c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in rgba[:3])
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def _plain(text: str) -> str:
    """Text that matplotlib shows as it is: a ``$`` would start maths."""
    return text.replace("$", r"\$")


def draw(recording: Recording, unit: str, cells: Sequence[HeatCell] | None, mm: bool) -> Figure:
    """The picture of ``recording``: every calibrated output over time (the
    raw readings when it has none) in ``unit``, and, with ``cells``, the
    heat map at the strongest press (positions in mm with ``mm``, else grid
    steps). Raises ValueError for a recording without frames."""
    if len(recording.time) == 0:
        raise ValueError("the recording holds no frames")
    time = np.asarray(recording.time, dtype=float)
    values = np.asarray(recording.values, dtype=float)
    calibrated = values.shape[1] > 0
    data = values if calibrated else np.asarray(recording.raw, dtype=float)
    names = kind_names(recording.names) if calibrated else raw_names(data.shape[1])
    label = f"value ({_plain(unit)})" if calibrated else "raw reading"
    spans, _ = outage_spans(recording.outages)
    sequence = np.asarray(recording.sequence)
    after = line_breaks(time, sequence, spans)
    origin = time[0]

    heat = bool(cells) and calibrated
    figure = Figure(figsize=(15, 5.5) if heat else (11, 5), layout="constrained")
    if heat:
        lines, cell_axes = figure.subplots(1, 2, gridspec_kw={"width_ratios": [2.2, 1]})
    else:
        lines, cell_axes = figure.subplots(), None
    _draw_lines(lines, time - origin, data, names, after, [(s - origin, e - origin, ended) for s, e, ended in spans])
    lines.set_xlabel("time (s)")
    lines.set_ylabel(label)
    skips = np.flatnonzero(np.diff(sequence) != 1)
    missing = sum(max(0, int(sequence[i + 1]) - int(sequence[i]) - 1) for i in skips)
    title = f"{_count(len(names), 'output')}, {_count(len(time), 'frame')}"
    if spans:
        title += f"; {_count(len(spans), 'outage')}, {sum(e - s for s, e, _ in spans):.1f} s away"
    if len(skips):
        title += f"; {_count(len(skips), 'gap')} in the numbers, {_count(missing, 'frame')} missing"
    lines.set_title(title)
    if heat and cell_axes is not None and cells:
        at = _heat_map(figure, cell_axes, values, cells, mm, label)
        lines.axvline(time[at] - origin, color="0.3", linestyle="--", linewidth=0.8)
        cell_axes.set_title(f"at the strongest press, {time[at] - origin:.2f} s")
    return figure


def _draw_lines(
    ax: Any, x: Any, data: Any, names: Sequence[str], after: Any, spans: Sequence[tuple[float, float, bool]]
) -> None:
    """One line per column of ``data``, broken after the frames ``after``
    (a NaN there, which matplotlib does not join across), a frame with
    breaks on both sides drawn as a dot; outages shaded."""
    y = data
    if len(after):
        x, y = np.insert(x, after + 1, np.nan), np.insert(data, after + 1, np.nan, axis=0)
    alone = np.isfinite(x) & ~np.isfinite(np.r_[np.nan, x[:-1]]) & ~np.isfinite(np.r_[x[1:], np.nan])
    dots = {"marker": ".", "markersize": 3, "markevery": np.flatnonzero(alone).tolist()} if alone.any() else {}
    strength = np.nan_to_num(np.fmax.reduce(np.abs(data), axis=0))
    order = np.argsort(-strength, kind="stable")
    shown = len(names) if len(names) <= NAMED_LINES else NAMED_LINES - 1
    colours = [f"C{i}" for i in range(10)] + ["#7f3f00", "#003f5f"]
    for rank in range(len(names) - 1, -1, -1):  # the strongest drawn last, on top
        i = order[rank]
        if rank < shown:
            ax.plot(x, y[:, i], linewidth=1.0, color=colours[rank], label=_plain(names[i]), zorder=3, **dots)
        else:
            ax.plot(x, y[:, i], linewidth=0.6, color=OTHERS, label="_nolegend_", zorder=2, **dots)
    handles, labels = ax.get_legend_handles_labels()
    handles, labels = handles[::-1], labels[::-1]
    if shown < len(names):
        handles.append(Line2D([], [], linewidth=0.6, color=OTHERS))
        labels.append(f"and {len(names) - shown} more")
    ax.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
    top = blended_transform_factory(ax.transData, ax.transAxes)
    for start, end, ended in spans:
        ax.axvspan(start, end, color=AWAY, linewidth=0, zorder=1)
        note = f"away {end - start:.2f} s" if ended else "away at the stop"
        ax.text(start, 0.99, f" {note}", transform=top, va="top", fontsize="small", color="0.3", clip_on=True)


def _heat_map(figure: Figure, ax: Any, values: Any, cells: Sequence[HeatCell], mm: bool, label: str) -> int:
    """Each cell as a square where it sits, coloured by its value (a
    triaxial by z, with an arrow for its shear), named, at the frame whose
    load (the sum of the values above zero) is highest; returns that
    frame."""
    level_of = [c.outputs[2] if c.triaxial else c.outputs[0] for c in cells]
    present = [0 <= i < values.shape[1] for i in level_of]
    levels = np.full((len(values), len(cells)), np.nan)
    for j, i in enumerate(level_of):
        if present[j]:
            levels[:, j] = values[:, i]
    at = int(np.argmax(np.nan_to_num(levels).clip(min=0).sum(axis=1)))
    shown = levels[at]
    centres = np.array([(c.x, -c.y) for c in cells], dtype=float)
    side = 0.92 * _pitch(centres) if mm else 0.92
    top = max(1e-9, float(np.nanmax(np.abs(levels), initial=0.0)))
    norm = Normalize(vmin=min(0.0, float(np.nanmin(levels, initial=0.0))), vmax=top)
    squares = [Rectangle((cx - side / 2, cy - side / 2), side, side) for cx, cy in centres]
    colours = colormaps["viridis"].with_extremes(bad="0.85")  # bad: a value the frame lacks
    patches = PatchCollection(squares, cmap=colours, norm=norm, edgecolor="white", linewidth=1.0)
    patches.set_array(np.ma.masked_invalid(shown))
    ax.add_collection(patches)
    figure.colorbar(patches, ax=ax, shrink=0.8, label=label)
    digits = 2 if top < 10 else 1 if top < 100 else 0
    across = (np.ptp(centres, axis=0).max() / (side / 0.92)) + 1 if len(cells) > 1 else 1
    size = max(4.0, min(9.0, 44.0 / across))
    for cell, (cx, cy), v in zip(cells, centres, shown, strict=True):
        ink = "black" if math.isnan(v) or _luminance(patches.cmap(norm(v))) > 0.179 else "white"
        number = "–" if math.isnan(v) else f"{v:.{digits}f}"
        if number != "–" and float(number) == 0:
            number = f"{0:.{digits}f}"  # no "-0.0"
        ax.text(cx, cy + side * 0.3, _plain(cell.label), ha="center", va="center", fontsize=size * 0.85, color=ink)
        ax.text(cx, cy - side * 0.3, number, ha="center", va="center", fontsize=size, color=ink)
        if cell.triaxial and cell.outputs[0] >= 0 and cell.outputs[1] >= 0:
            sx, sy = values[at, cell.outputs[0]], values[at, cell.outputs[1]]
            shear = math.hypot(sx, sy) if math.isfinite(sx) and math.isfinite(sy) else 0.0
            if shear > 0.01 * top:
                reach = side * 0.45 * min(1.0, math.sqrt(shear / (top / 2)))
                tip = (cx + sx / shear * reach, cy + sy / shear * reach)
                ax.annotate("", xy=tip, xytext=(cx, cy), arrowprops={"arrowstyle": "->", "color": ink, "lw": 1.5})
    low, high = centres.min(axis=0) - side, centres.max(axis=0) + side
    ax.set_xlim(low[0], high[0])
    ax.set_ylim(low[1], high[1])
    ax.set_aspect("equal")
    if mm:
        ax.set_xlabel("x (mm)")
        ax.set_ylabel("y (mm)")
    else:
        ax.set_xticks([])
        ax.set_yticks([])
        ax.set_xlabel("cells in output order")
    return at


def _pitch(centres: Any) -> float:
    """The room each cell has: the smallest distance between two cells
    along x or y (the larger of the two), so that no squares overlap."""
    if len(centres) < 2:
        return 1.0
    apart = np.abs(centres[:, None, :] - centres[None, :, :]).max(axis=2)
    np.fill_diagonal(apart, np.inf)
    return float(apart.min())
