"""Where each cell of the page's heat map sits.

A grid in output order, or the positions a layout file gives in millimetres.

A cell is one taxel (one output), or one triaxial sensor with its x, y and
z outputs. Outputs are known by the names ``nervlane.parameters.output_names``
gives them (``taxel_5``, ``tri0_x``...), which is also how a layout file
names them.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

from ..errors import ToolError
from ..parameters import AXES

# output_names calls a triaxial's outputs tri0_x, tri0_y, tri0_z.
_TRIAXIAL_OUTPUT: Final = re.compile(rf"^(tri\d+)_([{AXES}])$")

Placement = Mapping[str, tuple[float, float]]


@dataclass(frozen=True)
class Cell:
    name: str
    """The output's name, or a triaxial's (``tri0``)."""
    outputs: tuple[int, ...]
    """Output positions: one for a taxel; x, y, z for a triaxial (-1 for an axis it lacks)."""
    x: float
    y: float
    """Position on the page: grid steps or millimetres, y growing downwards."""

    @property
    def triaxial(self) -> bool:
        return len(self.outputs) == len(AXES)

    def as_json(self, names: Sequence[str]) -> dict[str, Any]:
        return {
            "name": self.name,
            "outputs": list(self.outputs),
            "labels": [names[i] if i >= 0 else None for i in self.outputs],
            "triaxial": self.triaxial,
            "x": self.x,
            "y": self.y,
        }


def _cells_by_output(names: Sequence[str]) -> list[tuple[str, list[int]]]:
    """(cell name, output positions) in the order of each cell's first output."""
    cells: dict[str, list[int]] = {}
    for i, name in enumerate(names):
        match = _TRIAXIAL_OUTPUT.match(name)
        if match is None:
            cells[name] = [i]
            continue
        outputs = cells.setdefault(match[1], [-1] * len(AXES))
        outputs[AXES.index(match[2])] = i
    return list(cells.items())


def grid_cells(names: Sequence[str]) -> list[Cell]:
    """The cells in output order, row by row on a near-square grid."""
    cells = _cells_by_output(names)
    columns = max(1, math.ceil(math.sqrt(len(cells))))
    return [Cell(name, tuple(out), float(i % columns), float(i // columns)) for i, (name, out) in enumerate(cells)]


def read_layout(path: str) -> dict[str, tuple[float, float]]:
    """The positions in a layout file: a JSON object whose keys are output
    names and whose values are ``[x, y]`` in millimetres. Raises ToolError
    naming the file and what is wrong with it."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except IsADirectoryError:
        raise ToolError(f"layout file {path}: is a folder, not a file") from None
    except OSError as e:
        raise ToolError(f"cannot read layout file {path}: {e.strerror or e}") from e
    except UnicodeDecodeError as e:
        raise ToolError(f"layout file {path}: not UTF-8 text ({e.reason} at byte {e.start})") from e
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise ToolError(f"layout file {path}: not JSON: {e.msg} at line {e.lineno}, column {e.colno}") from e
    example = '{"taxel_0": [0, 0], "taxel_1": [4.5, 0]}'
    if not isinstance(data, dict) or not data:
        raise ToolError(f"layout file {path}: needs an object of output names and [x, y] in mm, like {example}")
    placement = {}
    for name, value in data.items():
        if (
            not isinstance(value, list)
            or len(value) != 2
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in value)
        ):
            raise ToolError(f"layout file {path}: {name}: needs [x, y], two numbers in mm, found {json.dumps(value)}")
        placement[name] = (float(value[0]), float(value[1]))
    return placement


def placed_cells(names: Sequence[str], placement: Placement, path: str) -> list[Cell]:
    """The cells at the positions of a layout file (y turned to grow
    downwards), checked against the sensor's outputs: every cell placed (a
    triaxial by any of its outputs), no unknown name, a triaxial's outputs
    together, no two cells at one place. Raises ToolError."""
    unknown = sorted(set(placement) - set(names))
    if unknown:
        raise ToolError(
            f"layout file {path}: {', '.join(unknown)}: no such output; this sensor's outputs are {', '.join(names)}"
        )
    groups = _cells_by_output(names)
    spots = {name: {placement[names[i]] for i in out if i >= 0 and names[i] in placement} for name, out in groups}
    missing = [name for name, _ in groups if not spots[name]]
    if missing:
        raise ToolError(f"layout file {path}: no position for {', '.join(missing)}")
    cells = []
    taken: dict[tuple[float, float], str] = {}
    for name, outputs in groups:
        if len(spots[name]) > 1:
            raise ToolError(f"layout file {path}: the outputs of {name} are at different positions; give them one")
        x, y = spots[name].pop()
        if (x, y) in taken:
            raise ToolError(f"layout file {path}: {taken[x, y]} and {name} are both at ({x:g}, {y:g}) mm")
        taken[x, y] = name
        cells.append(Cell(name, tuple(outputs), x, -y))
    return cells
