"""``nervlane params``: show, check or convert a sensor parameter file.

The JSON form is ``nervlane.parameters_json``'s."""

from __future__ import annotations

import math
import os
import sys
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from .. import parameters
from ..console import ToolConsole, warn
from ..errors import EXIT_USAGE, ToolError
from ..files import FileTooLarge, NotRegularFile, read_regular, write_bytes_atomic
from ..formats import format_name
from ..options import ParamsOptions
from ..parameters import DocumentError
from ..parameters_json import from_json_text, pack, to_json_text
from ..sensor.local import load_module


def check(path: str, shown_as: str | None = None) -> tuple[int, str | None]:
    """Validate through the module itself, so the verdict and the message
    are what ``init`` gives. Returns the number of calibrated outputs and a
    warning (a selector that names no frame format) or None. Raises
    DocumentError naming the file as ``shown_as``."""
    comms = load_module().NervlaneComms()
    parameters.configure(comms, path, shown_as)
    return len(comms.read(0)), parameters.selector_warning(parameters.load_or_none(path))


# --------------------------------------------------------------------------
# Display


def _fmt_num(v: Any) -> str:
    if isinstance(v, float):
        # The shortest text that reads back as the same float: every digit the file holds.
        return repr(v).removesuffix(".0") if math.isfinite(v) else str(v)
    return str(v)


def _fmt_list(v: Any) -> str:
    if isinstance(v, list):
        return "[" + ", ".join(_fmt_num(x) for x in v) + "]"
    return _fmt_num(v)


def _fmt_map(v: Any) -> str:
    if isinstance(v, dict):
        return "{" + ", ".join(f"{k}: {x}" for k, x in v.items()) + "}"
    return repr(v)


def show(path: str, shown_as: str | None = None) -> None:
    """``nervlane params show``: the file laid out as tables, then the
    module's verdict as ``check`` gives it, named as ``shown_as`` if given.
    Raises DocumentError for a file the module refuses, after the tables if
    the file is shaped like a parameter document, else at once."""
    refused = warning = None
    try:
        warning = check(path, shown_as)[1]
    except DocumentError as e:
        refused = e
    try:
        value, trailing = parameters.load(path)
    except DocumentError as e:
        raise (refused or e) from None
    path = shown_as or path
    parts = parameters.split(value)
    if parts is None or len(value) > 3 or not all(isinstance(r, dict) for r in parts[1] + parts[2]):
        raise refused or DocumentError(f"{path}: not shaped like a parameter document")
    console = ToolConsole()
    _show_tables(console, path, parts, trailing)
    _warn(warning)
    if refused is not None:
        raise refused


def _show_tables(console: Any, path: str, parts: tuple[Any, list[Any], list[Any]], trailing: int) -> None:
    from rich.table import Table

    selector, triaxials, taxels = parts
    console.print(
        f"[bold]{path}[/]: protocol {selector!r} ({format_name(selector) or 'unknown'}), "
        f"{len(triaxials)} triaxial, {len(taxels)} taxel sensors"
        + (f"; {trailing} trailing bytes ignored" if trailing else "")
    )
    if triaxials:
        t = Table(title="Triaxial sensors (frame position: channel; axis: output position)")
        for col in (
            "#",
            "type",
            "input_map",
            "output_map",
            "offset",
            "lower",
            "upper",
            "coefs_x",
            "coefs_y",
            "coefs_z",
        ):
            t.add_column(col, overflow="fold")
        for i, rec in enumerate(triaxials):
            b = parameters.base(rec)
            t.add_row(
                str(i),
                _fmt_num(b.get("sensor_type", "-")),
                _fmt_map(b.get("input_map", {})),
                _fmt_map(b.get("output_map", {})),
                *(_fmt_list(rec.get(k, "-")) for k in ("offset", "lower", "upper", "coefs_x", "coefs_y", "coefs_z")),
            )
        console.print(t)
    if taxels:
        t = Table(title="Taxels")
        for col in ("#", "type", "frame pos", "output pos", "offset", "lower", "upper", "coefs"):
            t.add_column(col, overflow="fold")
        for i, rec in enumerate(taxels):
            b = parameters.base(rec)
            imap, omap = b.get("input_map", {}), b.get("output_map", {})
            pos_in = _fmt_num(min(imap)) if isinstance(imap, dict) and imap else "-"
            pos_out = ", ".join(map(str, omap.values())) if isinstance(omap, dict) and omap else "-"
            t.add_row(
                str(i),
                _fmt_num(b.get("sensor_type", "-")),
                pos_in,
                pos_out,
                *(_fmt_list(rec.get(k, "-")) for k in ("offset", "lower", "upper", "coefs")),
            )
        console.print(t)


# --------------------------------------------------------------------------
# Commands


def _warn(message: str | None) -> None:
    if message is not None:
        warn(message)


def run_check(path: str, shown_as: str | None = None) -> None:
    """``nervlane params check``. Raises DocumentError for a file the module refuses."""
    outputs, warning = check(path, shown_as)
    print(f"{shown_as or path}: valid ({outputs} calibrated outputs)")
    _warn(warning)


def run_to_json(path: str, out: str | None) -> None:
    value, trailing = parameters.load(path)
    text = to_json_text(value)
    if trailing:
        print(f"note: {trailing} bytes after the document were left out", file=sys.stderr)
    if out is None:
        sys.stdout.write(text)
    else:
        _write(out, text.encode("utf-8"))


def run_from_json(path: str, out: str | None) -> None:
    """Converts, then checks the result as ``check`` does before any of it
    is written: a file the module would refuse is never written."""
    try:
        text = read_regular(path, parameters.largest_file()).decode("utf-8")
    except FileTooLarge as e:
        raise DocumentError(f"cannot read {path}: {e}: no parameter document is that large") from e
    except (OSError, UnicodeDecodeError, NotRegularFile) as e:
        raise DocumentError(f"cannot read {path}: {e}") from e
    data = pack(from_json_text(text, path), path)
    if out is None and sys.stdout.isatty():
        raise ToolError("from-json writes MessagePack; give -o FILE", EXIT_USAGE)
    with _written(data) as candidate:
        _, warning = check(candidate, path)
    if out is None:
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    else:
        _write(out, data)
    _warn(warning)


def _write(out: str, data: bytes) -> None:
    try:
        write_bytes_atomic(out, data)
    except OSError as e:
        raise ToolError(f"cannot write {out}: {e.strerror or e}") from e


@contextmanager
def _written(data: bytes) -> Iterator[str]:
    """``data`` as a parameter file in a temporary folder, for the module to read."""
    with tempfile.TemporaryDirectory(prefix="nervlane-params-") as tmp:
        path = os.path.join(tmp, "params.msgpack")
        with open(path, "wb") as f:
            f.write(data)
        yield path


def run(options: ParamsOptions) -> None:
    """``nervlane params ACTION FILE [-o OUT]``; ``show`` and ``check`` also
    take a recording (.csv, .npz, .mcap), for the parameter file inside it.
    Raises ToolError."""
    path = options.file
    if options.action == "to-json":
        run_to_json(path, options.output)
        return
    if options.action == "from-json":
        run_from_json(path, options.output)
        return
    look = show if options.action == "show" else run_check
    if not path.lower().endswith((".csv", ".npz", ".mcap")):
        look(path)
        return
    from ..recording import open_recording

    data = open_recording(path, warn).params
    if data is None:
        raise ToolError(f"{path} carries no parameter file (it was made before recordings did): give the file itself")
    with _written(data) as inside:
        look(inside, f"the parameter file in {path}")
