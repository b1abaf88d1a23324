"""The parameter document's JSON form, for editing a parameter file by hand.

A person edits the JSON in a text editor; it converts back to MessagePack.

MessagePack maps with integer keys (``input_map``, ``output_map``) become
JSON objects with the integers written as strings, and come back as
integers. Integers stay integers and floats stay floats both ways, because
the module refuses a float where it wants an integer.
"""

from __future__ import annotations

import json
import re
from typing import Any

import msgpack  # type: ignore[import-untyped]

from . import parameters
from .parameters import DocumentError

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


def pack(value: Any, source: str) -> bytes:
    """The document as MessagePack. Raises DocumentError naming ``source``."""
    try:
        return parameters.pack(value)
    except (OverflowError, ValueError) as e:  # an integer beyond 64 bits, nesting beyond msgpack's limit
        raise DocumentError(f"{source}: {e}; MessagePack cannot hold it") from e
