"""``nervlane convert``: a recording written again in another format.

Read through ``load``'s reader a batch at a time and written by the
recording writer that ``record`` uses, so a converted file is the one that
``record`` would have written: frames, times, details, outages and the
parameter file, all that the target format holds. The new files are
written in a folder of their own beside the target and renamed into place
when whole.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from typing import Any, Final

from ..console import warn
from ..errors import EXIT_USAGE, ToolError
from ..options import ConvertOptions
from ..recording import Outputs, RecordingFile, RecordingWriter, check_output, open_recording
from ..recording.outputs import name_from
from ..recording.summary import DECODER_COUNTERS
from ..sensor.opened import Sensor

WRITE_EVERY_FRAMES: Final = 1 << 15


class _Counters:
    """The decoder's counters of the recording, where the writer asks a sensor for them."""

    def __init__(self, meta: dict[str, Any]) -> None:
        self.final = {k: int(meta.get(k) or 0) for k in DECODER_COUNTERS}

    def stats(self) -> dict[str, int]:
        return dict.fromkeys(DECODER_COUNTERS, 0)


def _write(recording: RecordingFile, outputs: Outputs) -> int:
    meta = recording.meta
    port = str(meta.get("port") or "")
    counters = _Counters(meta)
    sensor = Sensor(
        counters,
        label=port,
        port=None,
        params=str(meta.get("params") or ""),
        format=meta.get("format"),
        output_names=recording.names,
        params_data=recording.params,
    )
    name = meta.get("name") or name_from(port or "sensor")
    writer = RecordingWriter(outputs, sensor, start=recording.start, name=name, statuses=False)
    writer.meta.update(meta)
    writer.outages = list(recording.outages)
    for rows, _ in recording.batches():
        writer.add(rows)
        if writer.frames - writer.tally.frames >= WRITE_EVERY_FRAMES:
            writer.flush()
    seconds = meta.get("seconds")
    summary = writer.finish(
        str(meta.get("stopped_by") or "unknown"),
        counters.final,
        float(seconds) if isinstance(seconds, (int, float)) else None,
    )
    if summary.failure is not None:
        raise summary.failure
    if summary.frames == 0:
        raise ToolError(f"{recording.path} holds no frames: nothing to convert")
    return summary.frames


def run(options: ConvertOptions) -> None:
    """``nervlane convert IN OUT``. Raises ToolError; OUT is left as it was
    unless the conversion succeeds."""
    source, target = options.input, options.output
    if os.path.abspath(source) == os.path.abspath(target):
        raise ToolError(f"{source}: IN and OUT are the same file; name another OUT", EXIT_USAGE)
    outputs = check_output(target, options.force)
    recording = open_recording(source, warn)
    folder = tempfile.mkdtemp(prefix=".nervlane-convert-", dir=outputs.folder)
    try:
        made = Outputs(os.path.join(folder, os.path.basename(target)))
        frames = _write(recording, made)
        for new, final in zip(made.files, outputs.files, strict=True):
            if os.path.lexists(new):
                os.replace(new, final)
            elif options.force:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(final)  # a sidecar of the recording replaced
    except OSError as e:
        raise ToolError(f"cannot write {target}: {e.strerror or e}") from e
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"converted {frames} frames from {source} to {target}")
