"""Where each cell of the page's heat map sits.

A grid in output order, or the positions a layout file gives in millimetres.

A cell is one taxel (one output), or one triaxial sensor with its x, y and
z outputs. A cell has the output names ``nervlane.parameters.output_names``
gives (``taxel_5``, ``tri0_x``...), which files and peers rely on, and a
label a person counts by (``taxel 0``, ``triaxial 0``), which the page
shows. A layout file may use either, and ``tri0`` for a whole triaxial.

A layout file's axes: x to the right, y up, both in millimetres.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

from ..errors import ToolError
from ..parameters import AXES, kind_names

# output_names calls a triaxial's outputs tri0_x, tri0_y, tri0_z.
_TRIAXIAL_OUTPUT: Final = re.compile(rf"^(tri(\d+))_([{AXES}])$")
UNIT_KEY: Final = "unit"
"""The layout file's entry that names the calibrated unit."""
_EXAMPLE: Final = '{"unit": "N", "taxel 0": [0, 0], "taxel 1": [4.5, 0]}'

Placement = Mapping[str, tuple[float, float]]


@dataclass(frozen=True)
class LayoutFile:
    positions: dict[str, tuple[float, float]]
    """Cell or output names, as the file gives them, and ``(x, y)`` in mm."""
    unit: str | None = None
    """The calibrated unit, when the file names it."""


@dataclass(frozen=True)
class Cell:
    name: str
    """The output's name, or a triaxial's (``tri0``)."""
    outputs: tuple[int, ...]
    """Output positions: one for a taxel; x, y, z for a triaxial (-1 for an axis it lacks)."""
    x: float
    y: float
    """Position on the page: grid steps or millimetres, y growing downwards."""
    label: str = ""
    """What a person calls it: ``taxel 0``, ``triaxial 0``."""

    @property
    def triaxial(self) -> bool:
        return len(self.outputs) == len(AXES)

    def as_json(self, names: Sequence[str]) -> dict[str, Any]:
        return {
            "name": self.name,
            "label": self.label or self.name,
            "outputs": list(self.outputs),
            "labels": [names[i] if i >= 0 else None for i in self.outputs],
            "triaxial": self.triaxial,
            "x": self.x,
            "y": self.y,
        }


def _cells_by_output(names: Sequence[str]) -> list[tuple[str, str, list[int]]]:
    """(cell name, label, output positions) in the order of each cell's first output."""
    kinds = kind_names(names)
    cells: dict[str, tuple[str, list[int]]] = {}
    for i, name in enumerate(names):
        match = _TRIAXIAL_OUTPUT.match(name)
        if match is None:
            cells[name] = (kinds[i], [i])
            continue
        _, outputs = cells.setdefault(match[1], (f"triaxial {match[2]}", [-1] * len(AXES)))
        outputs[AXES.index(match[3])] = i
    return [(name, label, outputs) for name, (label, outputs) in cells.items()]


def grid_cells(names: Sequence[str]) -> list[Cell]:
    """The cells in output order, row by row on a near-square grid."""
    cells = _cells_by_output(names)
    columns = max(1, math.ceil(math.sqrt(len(cells))))
    return [
        Cell(name, tuple(out), float(i % columns), float(i // columns), label)
        for i, (name, label, out) in enumerate(cells)
    ]


def read_layout(path: str) -> LayoutFile:
    """The positions in a layout file: a JSON object whose keys name cells
    or outputs and whose values are ``[x, y]`` in millimetres (x right, y
    up), with an optional ``"unit"``. Raises ToolError naming the file and
    what is wrong with it."""
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
    except RecursionError:
        raise ToolError(f"layout file {path}: nested too deeply to be a layout") from None
    if not isinstance(data, dict) or not data:
        raise ToolError(f"layout file {path}: needs an object of cell names and [x, y] in mm, like {_EXAMPLE}")
    unit = data.pop(UNIT_KEY, None)
    if unit is not None and (not isinstance(unit, str) or not unit.strip() or len(unit) > 20):
        raise ToolError(f'layout file {path}: "unit" needs a short text such as "N" or "kPa", found {json.dumps(unit)}')
    positions = {}
    for name, value in data.items():
        if (
            not isinstance(value, list)
            or len(value) != 2
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in value)
        ):
            raise ToolError(f"layout file {path}: {name}: needs [x, y], two numbers in mm, found {json.dumps(value)}")
        positions[name] = (float(value[0]), float(value[1]))
    if not positions:
        raise ToolError(f"layout file {path}: places no cell; give [x, y] in mm for each, like {_EXAMPLE}")
    return LayoutFile(positions, None if unit is None else unit.strip())


def placed_cells(names: Sequence[str], placement: Placement, path: str) -> list[Cell]:
    """The cells at the positions of a layout file (y turned to grow
    downwards), checked against the sensor's outputs: every cell placed (a
    triaxial by its name or any of its outputs), no unknown name, a
    triaxial's outputs together, no two cells at one place. Raises
    ToolError."""
    groups = _cells_by_output(names)
    kinds = kind_names(names)
    known: dict[str, str] = {}  # every name the file may use -> its cell
    for cell, label, outputs in groups:
        known[cell] = known[label] = cell
        for i in outputs:
            if i >= 0:
                known[names[i]] = known[kinds[i]] = cell
    unknown = [name for name in placement if name not in known]
    if unknown:
        labels = ", ".join(label for _, label, _ in groups)
        raise ToolError(
            f"layout file {path}: {', '.join(unknown)}: no such cell; this sensor's cells are {labels} "
            f"(or their outputs' names: {', '.join(names)})"
        )
    spots: dict[str, set[tuple[float, float]]] = {cell: set() for cell, _, _ in groups}
    for name, spot in placement.items():
        spots[known[name]].add(spot)
    for cell, label, _ in groups:
        if len(spots[cell]) > 1:
            raise ToolError(f"layout file {path}: {label} is given different positions; give it one")
    missing = [label for cell, label, _ in groups if not spots[cell]]
    if missing:
        raise ToolError(f"layout file {path}: no position for {', '.join(missing)}")
    cells = []
    taken: dict[tuple[float, float], str] = {}
    for name, label, outputs in groups:
        x, y = spots[name].pop()
        if (x, y) in taken:
            raise ToolError(f"layout file {path}: {taken[x, y]} and {label} are both at ({x:g}, {y:g}) mm")
        taken[x, y] = label
        cells.append(Cell(name, tuple(outputs), x, -y, label))
    return cells
