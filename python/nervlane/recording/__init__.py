"""A recording's files: where they go, writing them, reading them back.

The files as ``nervlane record`` writes them: where they go
(``check_output``, before any port opens), writing them from the frame
queue's batches (``RecordingWriter``, which other tools reuse), reading a
CSV back (``RecordingCsv``), and turning the journal of an .npz recording
that did not finish into the .npz (``recover``).

One module a file format (``csv_file``, ``npz_file``); ``outputs`` names
the files, ``writer`` writes them, ``recover`` mends them after a crash.
"""

from .csv_file import SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv
from .outputs import Outputs, RecordingFailed, check_output
from .recover import recover
from .writer import RecordingWriter, Rows, Summary

__all__ = [
    "SEQUENCE_COLUMN",
    "TIME_COLUMN",
    "Outputs",
    "RecordingCsv",
    "RecordingFailed",
    "RecordingWriter",
    "Rows",
    "Summary",
    "check_output",
    "recover",
]
