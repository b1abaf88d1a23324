"""Command-line tools and a virtual sensor for nervlane_comm_py.

``nervlane.load(path)`` reads any recording (.csv, .npz, .mcap) into numpy
arrays; it is imported when first used, so importing the package costs
nothing of numpy.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .recording.load import Recording

__all__ = ["load", "package_version"]


def load(path: Any, warn: Any = None, name: str | None = None) -> Recording:
    """A whole recording as numpy arrays: see ``nervlane.recording.load``."""
    from .recording.load import load as load_recording

    return load_recording(path, warn, name)


def package_version() -> str:
    """The installed distribution's version (``nervlane-comm``), which need
    not be the module's ``__version__``."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("nervlane-comm")
    except PackageNotFoundError:
        return "(not installed)"
