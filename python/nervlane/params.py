"""Reading, checking and converting sensor parameter files.

The JSON form exists so that a person can edit a parameter file in a text
editor: MessagePack maps with integer keys (``input_map``, ``output_map``)
become JSON objects with the integers written as strings, and come back as
integers. Integers stay integers and floats stay floats both ways, because
the module refuses a float where it wants an integer.
"""

from __future__ import annotations

import json
import math
import os
import re
import sys
import tempfile
from typing import Any

import msgpack  # type: ignore[import-untyped]

from . import parameters
from .errors import EXIT_USAGE, ToolError
from .files import FileTooLarge, NotRegularFile, read_regular, write_bytes_atomic
from .formats import format_name
from .parameters import DocumentError
from .sensor.local import load_module

_INT_KEY = re.compile(r"-?(0|[1-9][0-9]*)\Z")


def _to_json_value(value: Any, where: str) -> Any:
    if isinstance(value, dict):
        out: dict[str, Any] = {}
        for k, v in value.items():
            if isinstance(k, bool) or not isinstance(k, (str, int)):
                raise DocumentError(f"{where}: map key {k!r} cannot be written as JSON")
            if isinstance(k, str) and _INT_KEY.match(k):
                # It would come back from JSON as an integer key.
                raise DocumentError(f"{where}: string key {k!r} looks like an integer; JSON cannot keep it apart")
            key = str(k)
            if key in out:
                raise DocumentError(f"{where}: key {key!r} occurs twice")
            out[key] = _to_json_value(v, f"{where}.{key}")
        return out
    if isinstance(value, (list, tuple)):
        return [_to_json_value(v, f"{where}[{i}]") for i, v in enumerate(value)]
    if isinstance(value, (bytes, bytearray)):
        raise DocumentError(f"{where}: binary data cannot be written as JSON")
    if isinstance(value, msgpack.ExtType):
        raise DocumentError(f"{where}: MessagePack extension type cannot be written as JSON")
    return value


def _dump(value: Any, indent: int) -> str:
    # Like json.dumps(indent=2), but lists and maps of plain numbers stay on
    # one line: coefficient lists and position maps read better that way.
    pad, inner = " " * indent, " " * (indent + 2)
    if isinstance(value, dict) and value and not all(isinstance(v, (int, float)) for v in value.values()):
        items = [f"{inner}{json.dumps(k)}: {_dump(v, indent + 2)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + pad + "}"
    if isinstance(value, list) and value and any(isinstance(v, (dict, list)) for v in value):
        items = [inner + _dump(v, indent + 2) for v in value]
        return "[\n" + ",\n".join(items) + "\n" + pad + "]"
    return json.dumps(value)


def to_json_text(value: Any) -> str:
    """The editable JSON form of a decoded parameter document. Raises DocumentError."""
    try:
        return _dump(_to_json_value(value, "$"), 0) + "\n"
    except RecursionError as e:
        raise DocumentError("nested too deeply for a parameter document") from e


def _from_json_value(value: Any) -> Any:
    if isinstance(value, dict):
        keys = list(value)
        if keys and all(_INT_KEY.match(k) for k in keys):
            return {int(k): _from_json_value(v) for k, v in value.items()}
        return {k: _from_json_value(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_from_json_value(v) for v in value]
    return value


def _reject_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for k, v in pairs:
        if k in out:
            raise DocumentError(f"key {k!r} occurs twice in one object")
        out[k] = v
    return out


def from_json_text(text: str, source: str = "<json>") -> Any:
    """Decode the JSON form back into the parameter document. Raises DocumentError."""
    try:
        return _from_json_value(json.loads(text, object_pairs_hook=_reject_duplicates))
    except json.JSONDecodeError as e:
        raise DocumentError(f"{source}: line {e.lineno} column {e.colno}: {e.msg}") from e
    except RecursionError as e:
        raise DocumentError(f"{source}: nested too deeply for a parameter document") from e


def _pack(value: Any, source: str) -> bytes:
    try:
        return parameters.pack(value)
    except (OverflowError, ValueError) as e:  # an integer beyond 64 bits, nesting beyond msgpack's limit
        raise DocumentError(f"{source}: {e}; MessagePack cannot hold it") from e


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
        return f"{v:.6g}" if math.isfinite(v) else str(v)
    return str(v)


def _fmt_list(v: Any) -> str:
    if isinstance(v, list):
        return "[" + ", ".join(_fmt_num(x) for x in v) + "]"
    return _fmt_num(v)


def _fmt_map(v: Any) -> str:
    if isinstance(v, dict):
        return "{" + ", ".join(f"{k}: {x}" for k, x in v.items()) + "}"
    return repr(v)


def show(path: str) -> None:
    """``nervlane params show``: the file laid out as tables."""
    from rich.pretty import Pretty
    from rich.table import Table

    from .console import ToolConsole

    console = ToolConsole()
    value, trailing = parameters.load(path)
    parts = parameters.split(value)
    if parts is None or len(value) > 3 or not all(isinstance(r, dict) for r in parts[1] + parts[2]):
        console.print(f"[bold]{path}[/]: not shaped like a parameter document; its content:")
        console.print(Pretty(value))
        return
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
            t.add_column(col)
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
            t.add_column(col)
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
        print(f"warning: {message}", file=sys.stderr)


def run_check(path: str) -> None:
    """``nervlane params check``. Raises DocumentError for a file the module refuses."""
    outputs, warning = check(path)
    print(f"{path}: valid ({outputs} calibrated outputs)")
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
        text = read_regular(path, parameters.MAX_FILE_BYTES).decode("utf-8")
    except FileTooLarge as e:
        raise DocumentError(f"cannot read {path}: {e}: no parameter document is that large") from e
    except (OSError, UnicodeDecodeError, NotRegularFile) as e:
        raise DocumentError(f"cannot read {path}: {e}") from e
    data = _pack(from_json_text(text, path), path)
    if out is None and sys.stdout.isatty():
        raise ToolError("from-json writes MessagePack; give -o FILE", EXIT_USAGE)
    with tempfile.TemporaryDirectory(prefix="nervlane-params-") as tmp:
        candidate = os.path.join(tmp, "params.msgpack")
        with open(candidate, "wb") as f:
            f.write(data)
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


ACTIONS = {
    "show": lambda path, out: show(path),
    "check": lambda path, out: run_check(path),
    "to-json": run_to_json,
    "from-json": run_from_json,
}
"""``nervlane params ACTION FILE [-o OUT]``: each raises ToolError."""
