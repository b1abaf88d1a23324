"""``nervlane plot``: a picture of a recording.

The recording is read whole (``nervlane.recording.load``), its unit and heat map
cells are chosen here, and ``nervlane.plotting`` draws it."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from ..errors import ToolError, missing_extra
from ..files import atomic_path
from ..options import NO_UNIT, PlotOptions
from ..recording import Recording, load
from ..view.layout import grid_cells, placed_cells, read_layout

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def _warn(text: str) -> None:
    print(f"warning: {text}", file=sys.stderr)


def read_recording(path: str) -> Recording:
    """The recording, whatever its format (``nervlane.recording.load``). Raises ToolError."""
    return load(path, _warn)


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
        raise missing_extra("plot", f"plotting ({e.name} is missing)") from e
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
