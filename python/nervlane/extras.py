"""The optional extras, and the pip command that adds one to this install.

``plot`` (matplotlib), ``remote`` (Zenoh), ``view`` (aiohttp) and ``mcap``
(the mcap package). The hint matches how the package was installed: from a
checkout, pip installs the extra from that folder; otherwise from the
package's name. Double quotes keep the brackets whole in every shell: POSIX
shells, PowerShell and cmd.
"""

from __future__ import annotations

import json
from importlib import metadata
from typing import Final
from urllib.parse import urlparse
from urllib.request import url2pathname

DISTRIBUTION: Final = "nervlane-comm"


def _checkout() -> str | None:
    """The folder this package was installed from with ``pip install .``
    (or ``-e .``), as pip recorded it; None for any other install."""
    try:
        text = metadata.distribution(DISTRIBUTION).read_text("direct_url.json")
        origin = json.loads(text) if text else None
    except (metadata.PackageNotFoundError, ValueError):
        return None
    if not isinstance(origin, dict) or "dir_info" not in origin or not isinstance(origin.get("url"), str):
        return None
    url = urlparse(origin["url"])
    return url2pathname(url.path) if url.scheme == "file" else None


def install_hint(extra: str) -> str:
    """The pip command that adds ``extra``, in words to end a message with."""
    folder = _checkout()
    if folder is not None:
        return f'pip install ".[{extra}]" in {folder}, the checkout it was installed from'
    return f'pip install "{DISTRIBUTION}[{extra}]" (from a checkout: pip install ".[{extra}]" in its folder)'
