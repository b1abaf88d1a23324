"""Recovering a recording after a crash: an .npz from its journal, an MCAP finished.

The journal of an .npz recording that did not finish (``X.npz.journal.csv``)
is written as the ``X.npz`` it would have made; an MCAP that did not finish
gets the summary and index it lacks (``mcap_scan.finish_unfinished``). Both
are read through ``load``'s reader."""

from __future__ import annotations

import contextlib
import os
from typing import Any

import numpy as np

from ..errors import EXIT_USAGE, ToolError
from .load import RecordingFile, open_recording
from .npz_file import ArraySpill, npz_fields, params_array
from .outputs import Outputs, require_mcap
from .summary import Tally


def _tally(recording: RecordingFile, spill: ArraySpill | None = None) -> Tally:
    tally = Tally()
    for rows, _ in recording.batches():
        if len(rows):
            tally.count(rows.sequence, rows.time - recording.start, rows.raw.shape[1])
            if spill is not None:
                spill.add(rows.sequence, rows.time - recording.start, rows.raw, rows.values)
    return tally


def _finished_meta(recording: RecordingFile, tally: Tally, source: str) -> dict[str, Any]:
    meta = dict(recording.meta)
    meta.update(
        frames=tally.frames,
        frames_lost_by_tool=tally.gaps,
        frames_rejected=meta.get("frames_rejected", 0),
        bytes_discarded=meta.get("bytes_discarded", 0),
        stopped_by=meta.get("stopped_by") or "the run ending unfinished",
        outages=recording.outages,
        recovered_from=source,
    )
    meta.setdefault("seconds", round(tally.last_time or 0.0, 3))
    return meta


def recover(target: str, force: bool = False) -> tuple[int, str | None]:
    """Write ``X.npz`` from the journal of a recording that did not finish
    (``X.npz.journal.csv``, with its sidecar), as the recording would have,
    then remove the journal; or finish ``X.mcap``. Returns the frames
    recovered and a warning of what was left out (None: nothing). Raises
    ToolError (EXIT_USAGE: nothing to recover, or ``X.npz`` exists and not
    ``force``)."""
    if target.lower().endswith(".mcap"):
        return _recover_mcap(target)
    outputs = Outputs(target)
    if not outputs.npz:
        raise ToolError(
            f"{target}: only an .npz recording has a journal to recover, and an MCAP one to finish; a CSV is its own",
            EXIT_USAGE,
        )
    if not os.path.lexists(outputs.csv):
        raise ToolError(f"nothing to recover for {target}: there is no {outputs.csv}", EXIT_USAGE)
    if os.path.lexists(target) and not force:
        raise ToolError(f"{target} already exists: choose another name, or give --force to replace it", EXIT_USAGE)
    told: list[str] = []
    journal = open_recording(outputs.csv, told.append)
    spill = ArraySpill(outputs.folder, len(journal.names))
    try:
        tally = _tally(journal, spill)
        meta = _finished_meta(journal, tally, outputs.csv)
        arrays = {"calibrated_names": np.array(journal.names, dtype=str), **params_array(journal.params)}
        spill.save(target, {**arrays, **npz_fields(meta)})
    except OSError as e:
        raise ToolError(f"cannot recover {target}: {e.strerror or e}") from e
    finally:
        spill.close()
    os.unlink(outputs.csv)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(outputs.sidecar)
    return tally.frames, "; ".join(told) or None


def _recover_mcap(target: str) -> tuple[int, str | None]:
    require_mcap(f"recovering {target}")
    from .mcap_scan import finish_unfinished

    told: list[str] = []
    recording = open_recording(target, told.append)
    if not any("is unfinished" in t for t in told):
        raise ToolError(f"nothing to recover for {target}: it is finished already", EXIT_USAGE)
    tally = _tally(recording)
    try:
        finish_unfinished(target, _finished_meta(recording, tally, target))
    except OSError as e:
        raise ToolError(f"cannot recover {target}: {e.strerror or e}") from e
    return tally.frames, "; ".join(t for t in told if "is unfinished" not in t) or None
