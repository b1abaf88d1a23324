"""The virtual sensor under its older name: scripts that import
``nervlane.sim`` keep working. Everything lives in ``nervlane.virtual``."""

from __future__ import annotations

from .virtual import *  # noqa: F403
from .virtual import __all__ as __all__
