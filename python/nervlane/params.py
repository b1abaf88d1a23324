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
from typing import Any

import msgpack  # type: ignore[import-untyped]

PROTOCOL_NAMES = {0: "text", 1: "binary", 2: "encrypted"}

_INT_KEY = re.compile(r"-?(0|[1-9][0-9]*)\Z")


class ParamsError(Exception):
    """A parameter file or its JSON form that cannot be read or converted."""


def load_msgpack(path: str) -> tuple[Any, int]:
    """The first MessagePack value in the file, and how many bytes follow it
    (the module ignores them too). Raises ParamsError."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ParamsError(f"cannot read {path}: {e.strerror or e}") from e
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, use_list=True)
    unpacker.feed(data)
    try:
        value = unpacker.unpack()
    except msgpack.OutOfData as e:
        raise ParamsError(f"{path}: insufficient bytes (empty or truncated file)") from e
    except (ValueError, msgpack.UnpackException, msgpack.FormatError, msgpack.StackError) as e:
        raise ParamsError(f"{path}: not a MessagePack file ({e})") from e
    return value, len(data) - unpacker.tell()


def _to_json_value(value: Any, where: str) -> Any:
    if isinstance(value, dict):
        out: dict[str, Any] = {}
        for k, v in value.items():
            if isinstance(k, bool) or not isinstance(k, (str, int)):
                raise ParamsError(f"{where}: map key {k!r} cannot be written as JSON")
            if isinstance(k, str) and _INT_KEY.match(k):
                # It would come back from JSON as an integer key.
                raise ParamsError(f"{where}: string key {k!r} looks like an integer; JSON cannot keep it apart")
            key = str(k)
            if key in out:
                raise ParamsError(f"{where}: key {key!r} occurs twice")
            out[key] = _to_json_value(v, f"{where}.{key}")
        return out
    if isinstance(value, (list, tuple)):
        return [_to_json_value(v, f"{where}[{i}]") for i, v in enumerate(value)]
    if isinstance(value, (bytes, bytearray)):
        raise ParamsError(f"{where}: binary data cannot be written as JSON")
    if isinstance(value, msgpack.ExtType):
        raise ParamsError(f"{where}: MessagePack extension type cannot be written as JSON")
    return value


def _dump(value: Any, indent: int) -> str:
    # Like json.dumps(indent=2), but lists and maps of plain numbers stay on
    # one line: coefficient lists and position maps read better that way.
    pad, inner = " " * indent, " " * (indent + 2)
    if isinstance(value, dict) and value and not all(
        isinstance(v, (int, float)) for v in value.values()
    ):
        items = [f"{inner}{json.dumps(k)}: {_dump(v, indent + 2)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + pad + "}"
    if isinstance(value, list) and value and any(isinstance(v, (dict, list)) for v in value):
        items = [inner + _dump(v, indent + 2) for v in value]
        return "[\n" + ",\n".join(items) + "\n" + pad + "]"
    return json.dumps(value)


def to_json_text(document: Any) -> str:
    """The editable JSON form of a decoded parameter document."""
    return _dump(_to_json_value(document, "$"), 0) + "\n"


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
            raise ParamsError(f"key {k!r} occurs twice in one object")
        out[k] = v
    return out


def from_json_text(text: str, source: str = "<json>") -> Any:
    """Decode the JSON form back into the parameter document. Raises ParamsError."""
    try:
        value = json.loads(text, object_pairs_hook=_reject_duplicates)
    except json.JSONDecodeError as e:
        raise ParamsError(f"{source}: line {e.lineno} column {e.colno}: {e.msg}") from e
    return _from_json_value(value)


def pack(document: Any) -> bytes:
    return msgpack.packb(document, use_bin_type=True)  # type: ignore[no-any-return]


def write_bytes_atomic(path: str, data: bytes) -> None:
    """Replace ``path`` whole: a failure leaves the old file as it was."""
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def check_file(path: str) -> tuple[bool, str, int | None]:
    """Validate through the module itself, so the verdict and the message
    are exactly what ``init`` would give. Returns (ok, message, outputs)."""
    import nervlane_comm_py as nc

    comms = nc.NervlaneComms()
    try:
        comms.init(path)
    except RuntimeError as e:
        return False, str(e), None
    return True, "ok", len(comms.read(0))


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


def show(path: str) -> int:
    """``nervlane params show``: the file laid out as tables."""
    from rich.console import Console
    from rich.pretty import Pretty
    from rich.table import Table

    console = Console()
    document, trailing = load_msgpack(path)
    shaped = (
        isinstance(document, list)
        and len(document) <= 3
        and all(isinstance(x, list) and all(isinstance(r, dict) for r in x) for x in document[1:3])
    )
    if not shaped:
        console.print(f"[bold]{path}[/]: not shaped like a parameter document; its content:")
        console.print(Pretty(document))
        return 0
    selector = document[0] if document else 0
    triaxials = document[1] if len(document) > 1 else []
    taxels = document[2] if len(document) > 2 else []
    console.print(
        f"[bold]{path}[/]: protocol {selector!r} ({PROTOCOL_NAMES.get(selector, 'unknown')}), "
        f"{len(triaxials)} triaxial, {len(taxels)} taxel sensors"
        + (f"; {trailing} trailing bytes ignored" if trailing else "")
    )

    def base(rec: dict[str, Any]) -> dict[str, Any]:
        b = rec.get("SensorParameters", {})
        return b if isinstance(b, dict) else {}

    if triaxials:
        t = Table(title="Triaxial sensors (frame position: channel; axis: output position)")
        for col in ("#", "type", "input_map", "output_map", "offset", "lower", "upper", "coefs_x", "coefs_y", "coefs_z"):
            t.add_column(col)
        for i, rec in enumerate(triaxials):
            b = base(rec)
            t.add_row(
                str(i), _fmt_num(b.get("sensor_type", "-")), _fmt_map(b.get("input_map", {})),
                _fmt_map(b.get("output_map", {})),
                *(_fmt_list(rec.get(k, "-")) for k in ("offset", "lower", "upper", "coefs_x", "coefs_y", "coefs_z")),
            )
        console.print(t)
    if taxels:
        t = Table(title="Taxels")
        for col in ("#", "type", "frame pos", "output pos", "offset", "lower", "upper", "coefs"):
            t.add_column(col)
        for i, rec in enumerate(taxels):
            b = base(rec)
            imap, omap = b.get("input_map", {}), b.get("output_map", {})
            pos_in = _fmt_num(min(imap)) if isinstance(imap, dict) and imap else "-"
            pos_out = ", ".join(map(str, omap.values())) if isinstance(omap, dict) and omap else "-"
            t.add_row(
                str(i), _fmt_num(b.get("sensor_type", "-")), pos_in, pos_out,
                *(_fmt_list(rec.get(k, "-")) for k in ("offset", "lower", "upper", "coefs")),
            )
        console.print(t)
    return 0


def run(action: str, path: str, out: str | None) -> int:
    """``nervlane params ACTION FILE [-o OUT]``; returns the exit code."""
    try:
        if action == "show":
            return show(path)
        if action == "check":
            try:
                ok, message, outputs = check_file(path)
            except ImportError as e:
                print(f"error: the nervlane_comm_py module is not installed ({e})", file=sys.stderr)
                return 1
            if ok:
                print(f"{path}: valid ({outputs} calibrated outputs)")
                return 0
            print(f"{path}: invalid: {message}", file=sys.stderr)
            return 1
        if action == "to-json":
            document, trailing = load_msgpack(path)
            text = to_json_text(document)
            if trailing:
                print(f"note: {trailing} bytes after the document were left out", file=sys.stderr)
            if out is None:
                sys.stdout.write(text)
            else:
                write_bytes_atomic(out, text.encode("utf-8"))
            return 0
        if action == "from-json":
            try:
                with open(path, encoding="utf-8") as f:
                    text = f.read()
            except (OSError, UnicodeDecodeError) as e:
                raise ParamsError(f"cannot read {path}: {e}") from e
            data = pack(from_json_text(text, path))
            if out is None:
                if sys.stdout.isatty():
                    print("error: from-json writes MessagePack; give -o FILE", file=sys.stderr)
                    return 2
                sys.stdout.buffer.write(data)
                sys.stdout.flush()
            else:
                write_bytes_atomic(out, data)
            return 0
    except ParamsError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    raise ValueError(f"unknown params action {action!r}")
