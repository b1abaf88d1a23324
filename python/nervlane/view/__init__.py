"""``nervlane view``: the sensor live in a web browser.

A small web server (``nervlane.view.server``) shows a heat map of the
taxels, triaxial forces, a strip chart and the connection's state, with
Zero and Record buttons. Its page and assets are files of this package
(``static/``): nothing comes from the internet.

This module itself imports nothing of the ``view`` extra, so that the
command line can describe the command without it.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from dataclasses import dataclass


@dataclass(frozen=True)
class PageOptions:
    """How to serve the page."""

    http: str | None = None
    open_browser: bool = True
    require_token: bool = False
    record_dir: str = "."
    layout: str | None = None
    seconds: float | None = None
    unit: str | None = None
    """The calibrated unit; None: the layout file's, else "calibrated units"."""
    scale: tuple[float, float] | None = None
    """A fixed colour scale (low, high); None: auto, following the recent peak."""

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> PageOptions:
        return cls(
            args.http,
            not args.no_browser,
            args.require_token,
            args.record_dir,
            getattr(args, "layout", None),
            getattr(args, "seconds", None),
        )


def add_page_arguments(parser: argparse.ArgumentParser) -> None:
    """The page's options, shared by ``view`` and ``demo --view``."""
    parser.add_argument(
        "--http",
        metavar="HOST:PORT",
        help="where to serve the page (default 127.0.0.1:8765, or the next free port); any address but "
        "loopback asks for the token in the printed URL",
    )
    parser.add_argument("--no-browser", action="store_true", help="print the URL without opening a browser")
    parser.add_argument("--require-token", action="store_true", help="ask for the URL's token on loopback too")
    parser.add_argument(
        "--record-dir",
        default=os.curdir,
        metavar="DIR",
        help="where the page's Record button writes (default: the working folder)",
    )


def add_view_arguments(parser: argparse.ArgumentParser, seconds_type: Callable[[str], float] = float) -> None:
    """``view``'s options besides its source."""
    parser.add_argument(
        "--layout",
        metavar="FILE.json",
        help='where each taxel sits, in mm: {"taxel_0": [0, 0], "taxel_1": [4.5, 0], ...} '
        "(default: a grid in output order)",
    )
    parser.add_argument("--seconds", type=seconds_type, metavar="S", help="stop after S seconds (default: Ctrl+C)")
    add_page_arguments(parser)
