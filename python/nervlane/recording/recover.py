"""Recovering an .npz recording after a crash, from its journal.

The journal of a recording that did not finish (``X.npz.journal.csv``) is
written as the ``X.npz`` it would have made."""

from __future__ import annotations

import contextlib
import json
import os
from typing import Any

import numpy as np

from ..errors import EXIT_USAGE, ToolError
from ..files import NotRegularFile
from .csv_file import SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv, split_header
from .npz_file import ArraySpill, npz_fields
from .outputs import Outputs
from .writer import Tally


def recover(target: str, force: bool = False) -> tuple[int, str | None]:
    """Write ``X.npz`` from the journal of a recording that did not finish
    (``X.npz.journal.csv``, with its sidecar), as the recording would have,
    then remove the journal. Returns the frames recovered and the text of a
    torn last row left out (None: there was none). Raises ToolError
    (EXIT_USAGE: nothing to recover, or ``X.npz`` exists and not ``force``)."""
    outputs = Outputs(target, True)
    if not target.lower().endswith(".npz"):
        raise ToolError(f"{target}: only an .npz recording has a journal to recover; a CSV is its own", EXIT_USAGE)
    if not os.path.lexists(outputs.csv):
        raise ToolError(f"nothing to recover for {target}: there is no {outputs.csv}", EXIT_USAGE)
    if os.path.lexists(target) and not force:
        raise ToolError(f"{target} already exists: choose another name, or give --force to replace it", EXIT_USAGE)
    meta: dict[str, Any] = {}
    with contextlib.suppress(OSError, ValueError):
        with open(outputs.sidecar, encoding="utf-8") as f:
            meta = dict(json.load(f))
    tally = Tally()
    try:
        with RecordingCsv(outputs.csv) as journal:
            header = journal.header
            if header[:2] != [SEQUENCE_COLUMN, TIME_COLUMN]:
                raise ToolError(f"{outputs.csv} is not a journal of 'nervlane record' (its header is {header[:2]})")
            raw_count, names = split_header(header)
            end = 2 + raw_count + len(names)
            spill = ArraySpill(outputs.folder, len(names))
            try:
                for chunk in journal.chunks():
                    raw = np.hstack([chunk[:, 2 : 2 + raw_count], chunk[:, end:]])
                    sequence = chunk[:, 0].astype(np.uint64)
                    tally.count(sequence.tolist(), chunk[:, 1], raw.shape[1])
                    spill.add(sequence, chunk[:, 1], raw, chunk[:, 2 + raw_count : end])
                meta.update(
                    frames=tally.frames,
                    frames_lost_by_tool=tally.gaps,
                    stopped_by=meta.get("stopped_by") or "the run ending unfinished",
                    recovered_from=outputs.csv,
                )
                meta.setdefault("seconds", round(tally.last_time or 0.0, 3))
                spill.save(target, {"calibrated_names": np.array(names, dtype=str), **npz_fields(meta)})
            finally:
                spill.close()
            torn = journal.torn
    except (OSError, NotRegularFile) as e:
        raise ToolError(f"cannot recover {target}: {getattr(e, 'strerror', None) or e}") from e
    except (ValueError, UnicodeDecodeError) as e:
        raise ToolError(f"cannot recover {target}: {outputs.csv}: {e}") from e
    os.unlink(outputs.csv)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(outputs.sidecar)
    return tally.frames, torn
