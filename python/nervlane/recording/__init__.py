"""A recording's files: where they go, writing them, reading them back.

The files as ``nervlane record`` writes them: where they go
(``check_output``, before any port opens), writing them from the frame
queue's batches (``RecordingWriter``, which other tools reuse), reading
any of them back (``load``, ``open_recording``), and finishing a recording
that a crash cut short (``recover``).

One module a file format (``csv_file``, ``npz_file``, ``mcap_file`` with
``ros2_messages``, ``mcap_scan`` and ``mcap_read``); ``outputs`` names the
files, ``writer`` writes them (``summary`` says how that went), ``load``
reads them, ``recover`` mends them after a crash. The MCAP modules need
the ``mcap`` extra and are imported only for an MCAP.
"""

from .csv_file import SEQUENCE_COLUMN, TIME_COLUMN, RecordingCsv
from .load import Recording, RecordingError, RecordingFile, RecordingWarning, load, open_recording
from .outputs import Outputs, RecordingFailed, check_output
from .recover import recover
from .summary import Summary
from .writer import RecordingWriter, Rows

__all__ = [
    "SEQUENCE_COLUMN",
    "TIME_COLUMN",
    "Outputs",
    "Recording",
    "RecordingCsv",
    "RecordingError",
    "RecordingFailed",
    "RecordingFile",
    "RecordingWarning",
    "RecordingWriter",
    "Rows",
    "Summary",
    "check_output",
    "load",
    "open_recording",
    "recover",
]
