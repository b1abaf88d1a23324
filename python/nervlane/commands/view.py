"""``nervlane view``: the sensor live in a web browser.

The view itself is ``nervlane.view``'s."""

from __future__ import annotations

from ..console import ToolConsole
from ..options import ViewOptions
from ..sensor import open_source
from ..view.launch import prepare, serve


def run(options: ViewOptions) -> None:
    """Check what needs no sensor, open the sensor, then serve the page.
    Raises ToolError."""
    prepared = prepare(options.page)
    try:
        # Notes go to standard error: standard output's first line is the URL.
        sensor = open_source(options.source, ToolConsole(stderr=True))
    except BaseException:
        prepared.listener.sock.close()
        raise
    serve(prepared, sensor)
