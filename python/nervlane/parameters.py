"""The sensor parameter file: building one, reading one, naming its outputs.

The file is one MessagePack array ``[protocol, [triaxial records], [taxel
records]]``. Every tool, test and script that writes or reads one goes
through here, so the layout is spelled once on the Python side.
"""

from __future__ import annotations

import contextlib
import enum
import os
import re
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Final

import msgpack  # type: ignore[import-untyped]

from .errors import ToolError
from .files import FileTooLarge, NotRegularFile, open_regular, read_regular, write_bytes_atomic
from .formats import ALL_FORMATS, Protocol, format_name, protocol_selector

if TYPE_CHECKING:
    import nervlane_comm_py

BASE: Final = "SensorParameters"
"""The key under which a record keeps its base part."""
BASE_KEYS: Final = ("sensor_type", "input_map", "output_map")
TAXEL_KEYS: Final = (BASE, "lower", "upper", "offset", "coefs")
TRIAXIAL_KEYS: Final = (BASE, "lower", "upper", "offset", "coefs_x", "coefs_y", "coefs_z")

CHANNELS: Final = 4
"""Raw channels of a triaxial sensor."""
AXES: Final = "xyz"
"""A triaxial sensor's outputs, by axis number."""

MAX_FILE_BYTES: Final = 64 << 20
"""The module refuses a larger parameter file: real ones hold a few kilobytes."""
CANNOT_FIND: Final = "Cannot find sensor parameter file"
TOO_LARGE: Final = "Sensor parameter file is larger than 64 MiB"

RAW_PREFIX: Final = "raw_"
TAXEL_PREFIX: Final = "taxel_"
OTHER_PREFIX: Final = "out_"


class SensorType(enum.IntEnum):
    """A record's ``sensor_type``."""

    TRIAXIAL = 0
    TAXEL = 1


class DocumentError(ToolError):
    """A parameter file that cannot be read, converted or used."""


# --------------------------------------------------------------------------
# Building


def _base(sensor_type: SensorType, input_map: Mapping[int, int], output_map: Mapping[int, int]) -> dict[str, Any]:
    return {"sensor_type": int(sensor_type), "input_map": dict(input_map), "output_map": dict(output_map)}


def taxel_record(
    raw: int,
    out: int,
    *,
    lower: float = 0.0,
    upper: float = 0.0,
    offset: float = 0.0,
    coefs: Sequence[float] = (0.0, 1.0),
    output_map: Mapping[int, int] | None = None,
) -> dict[str, Any]:
    """A taxel reading frame position ``raw`` into output position ``out``.

    Values go into the record as given (an int stays an int), so a caller
    can build any file the module might meet; ``output_map`` replaces the
    usual ``{0: out}``.
    """
    return {
        BASE: _base(SensorType.TAXEL, {raw: 0}, {0: out} if output_map is None else output_map),
        "lower": lower,
        "upper": upper,
        "offset": offset,
        "coefs": list(coefs),
    }


def triaxial_record(
    first_raw: int,
    first_out: int,
    *,
    lower: Sequence[float] = (0.0,) * CHANNELS,
    upper: Sequence[float] = (0.0,) * CHANNELS,
    offset: Sequence[float] = (0.0,) * CHANNELS,
    coefs_x: Sequence[float] = (0.0, 1.0),
    coefs_y: Sequence[float] = (0.0, 1.0),
    coefs_z: Sequence[float] = (0.0, 1.0),
) -> dict[str, Any]:
    """A triaxial sensor whose channels 0..3 sit at frame positions
    ``first_raw``.. and whose x, y, z go to output positions ``first_out``..."""
    return {
        BASE: _base(
            SensorType.TRIAXIAL,
            {first_raw + c: c for c in range(CHANNELS)},
            {axis: first_out + axis for axis in range(len(AXES))},
        ),
        "lower": list(lower),
        "upper": list(upper),
        "offset": list(offset),
        "coefs_x": list(coefs_x),
        "coefs_y": list(coefs_y),
        "coefs_z": list(coefs_z),
    }


def make(protocol: str | int, triaxials: Iterable[Any] = (), taxels: Iterable[Any] = ()) -> list[Any]:
    """The document of a frame format (name or selector) and two record
    lists. Raises ValueError for a protocol that names no format."""
    return [int(protocol_selector(protocol)), list(triaxials), list(taxels)]


def pack(document: Any) -> bytes:
    return msgpack.packb(document, use_bin_type=True)  # type: ignore[no-any-return]


def write(path: str | os.PathLike[str], document: Any) -> None:
    """Write ``document`` as MessagePack, replacing ``path`` whole."""
    write_bytes_atomic(os.fspath(path), pack(document))


# --------------------------------------------------------------------------
# Reading


def _refused(name: str, error: Exception) -> DocumentError:
    if isinstance(error, FileTooLarge):
        return DocumentError(f"parameter file {name}: {TOO_LARGE}")
    detail = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return DocumentError(f"parameter file {name}: {CANNOT_FIND} ({detail})")


def check_file(path: str, shown_as: str | None = None) -> None:
    """Refuses, as the module does and before anything is read, a name that
    is no regular file (a folder, a FIFO, a device) and a file larger than
    64 MiB. Raises DocumentError with the module's message, naming the file
    as ``shown_as`` if given."""
    try:
        open_regular(path, MAX_FILE_BYTES).close()
    except (NotRegularFile, FileTooLarge, OSError) as e:
        raise _refused(path if shown_as is None else shown_as, e) from e


def read_file(path: str, shown_as: str | None = None) -> bytes:
    """The bytes of a parameter file, refused as ``check_file`` refuses it.
    Raises DocumentError."""
    try:
        return read_regular(path, MAX_FILE_BYTES)
    except (NotRegularFile, FileTooLarge, OSError) as e:
        raise _refused(path if shown_as is None else shown_as, e) from e


def load(path: str) -> tuple[Any, int]:
    """The first MessagePack value in the file, and how many bytes follow it
    (the module ignores them too). Raises DocumentError."""
    data = read_file(path)
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, use_list=True)
    unpacker.feed(data)
    try:
        value = unpacker.unpack()
    except msgpack.OutOfData as e:
        raise DocumentError(f"{path}: insufficient bytes (empty or truncated file)") from e
    except (ValueError, TypeError, msgpack.UnpackException, msgpack.FormatError, msgpack.StackError) as e:
        raise DocumentError(f"{path}: not a MessagePack file ({e})") from e
    return value, len(data) - unpacker.tell()


def split(document: Any) -> tuple[Any, list[Any], list[Any]] | None:
    """(selector, triaxial records, taxel records) as the module takes them,
    an absent element meaning selector 0 or no sensors; None when the
    document is not an array or a record list is not one."""
    if not isinstance(document, list):
        return None
    selector = document[0] if document else int(Protocol.TEXT)
    triaxials = document[1] if len(document) > 1 else []
    taxels = document[2] if len(document) > 2 else []
    if not isinstance(triaxials, list) or not isinstance(taxels, list):
        return None
    return selector, triaxials, taxels


def base(record: Any) -> dict[Any, Any]:
    """A record's base part; empty when it has none."""
    part = record.get(BASE) if isinstance(record, dict) else None
    return part if isinstance(part, dict) else {}


def load_or_none(path: str) -> Any:
    """The document in a file the module has accepted; None in the rare
    case that Python's msgpack reads it otherwise (a string that is not
    UTF-8), for uses that can do without it."""
    try:
        return load(path)[0]
    except DocumentError:
        return None


def selector_warning(document: Any) -> str | None:
    """What to tell a user whose document's protocol selector names no
    frame format; None when it names one."""
    parts = split(document)
    if parts is None or format_name(parts[0]) is not None:
        return None
    names = ", ".join(f"{int(fmt.selector)} {fmt.name}" for fmt in ALL_FORMATS)
    return (
        f"protocol selector {parts[0]!r} names no frame format ({names}); the module keeps the frame "
        "decoder the object already has, and a fresh object has none, so it decodes no frames"
    )


def configure(comms: nervlane_comm_py.NervlaneComms, path: str, shown_as: str | None = None) -> None:
    """``comms.init(path)``, every failure a DocumentError that names the
    file (as ``shown_as`` if given) and, where the module's message does
    not say, the record and the field at fault."""
    # The module refuses the same names, but the message's place is found
    # by reading the file again: a FIFO or a device must never get that far.
    check_file(path, shown_as)
    try:
        comms.init(path)
    except Exception as e:  # RuntimeError mostly; MemoryError, ValueError, TypeError too
        message = str(e) or type(e).__name__
        where = None
        if message in _LOCATORS:
            with contextlib.suppress(DocumentError):
                where = locate(read_file(path), message)
        name = path if shown_as is None else shown_as
        raise DocumentError(f"parameter file {name}: {message}" + (f": {where}" if where else "")) from e


# --------------------------------------------------------------------------
# Naming the outputs


def raw_names(count: int) -> list[str]:
    return [f"{RAW_PREFIX}{i}" for i in range(count)]


def _int_pairs(value: Any) -> Iterator[tuple[int, int]]:
    if isinstance(value, dict):
        for k, v in value.items():
            if type(k) is int and type(v) is int:
                yield k, v


def output_names(document: Any, count: int) -> list[str]:
    """A name for each of ``count`` calibrated outputs after the sensor that
    writes it: ``tri0_x``.. for triaxials, ``taxel_5`` for the taxel writing
    output 5, ``out_7`` for an output no record names."""
    names = [f"{OTHER_PREFIX}{i}" for i in range(count)]
    parts = split(document)
    if parts is None:
        return names
    _, triaxials, taxels = parts
    for t, rec in enumerate(triaxials):
        for axis, pos in _int_pairs(base(rec).get("output_map")):
            if 0 <= pos < count and 0 <= axis < len(AXES):
                names[pos] = f"tri{t}_{AXES[axis]}"
    for rec in taxels:
        for _, pos in _int_pairs(base(rec).get("output_map")):
            if 0 <= pos < count and names[pos].startswith(OTHER_PREFIX):
                names[pos] = f"{TAXEL_PREFIX}{pos}"
    return names


_TRIAXIAL_NAME: Final = re.compile(rf"tri(\d+)_([{AXES}])")


def kind_names(names: Sequence[str]) -> list[str]:
    """The names a person counts by, one for each of ``output_names``'
    names: taxels numbered from 0 in output order (``taxel_6`` may be
    ``taxel 0``), ``triaxial 0 x`` for ``tri0_x``, ``output 7`` for
    ``out_7``; any other name as it is."""
    taxels = 0
    kinds = []
    for name in names:
        if name.startswith(TAXEL_PREFIX):
            kinds.append(f"taxel {taxels}")
            taxels += 1
        elif match := _TRIAXIAL_NAME.fullmatch(name):
            kinds.append(f"triaxial {match[1]} {match[2]}")
        elif name.startswith(OTHER_PREFIX):
            kinds.append(f"output {name.removeprefix(OTHER_PREFIX)}")
        else:
            kinds.append(name)
    return kinds


# --------------------------------------------------------------------------
# Locating a fault the module reports without a place


class _Map(list[tuple[Any, Any]]):
    """A MessagePack map as its pairs, in file order, duplicates kept: the
    module keeps the first of a record's duplicate keys."""


class _Fault(Exception):
    pass


def _describe(v: Any) -> str:
    if v is None:
        return "nil"
    if isinstance(v, bool):
        return f"the boolean {str(v).lower()}"
    if isinstance(v, int):
        return f"the integer {v}"
    if isinstance(v, float):
        return f"the float {v!r}"
    if isinstance(v, str):
        return f"the string {v[:40]!r}" + ("..." if len(v) > 40 else "")
    if isinstance(v, (bytes, bytearray)):
        return "binary data"
    if isinstance(v, _Map):
        return "a map"
    if isinstance(v, list):
        return "an array"
    return "an extension value"


def _is_int32(v: Any) -> bool:
    return type(v) is int and -(2**31) <= v < 2**31


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _need_int(v: Any, where: str) -> None:
    if not _is_int32(v):
        raise _Fault(f"{where}: needs an integer from {-(2**31)} to {2**31 - 1}, found {_describe(v)}")


def _need_number(v: Any, where: str) -> None:
    if not _is_number(v):
        raise _Fault(f"{where}: needs a number, found {_describe(v)}")


def _need_numbers(v: Any, where: str) -> None:
    if not isinstance(v, list) or isinstance(v, _Map):
        raise _Fault(f"{where}: needs an array of numbers, found {_describe(v)}")
    for i, x in enumerate(v):
        _need_number(x, f"{where}, element {i}")


def _need_int_map(v: Any, where: str) -> None:
    if not isinstance(v, _Map):
        raise _Fault(f"{where}: needs a map from integer to integer, found {_describe(v)}")
    for k, x in v:
        if not _is_int32(k):
            raise _Fault(f"{where}: needs integer keys, found {_describe(k)}")
        _need_int(x, f"{where}, key {k}")


_Check = Callable[[Any, str], None]
_BASE_RULES: Final[dict[str, _Check]] = {
    "sensor_type": _need_int,
    "input_map": _need_int_map,
    "output_map": _need_int_map,
}
_TAXEL_RULES: Final[dict[str, _Check]] = {
    "lower": _need_number,
    "upper": _need_number,
    "offset": _need_number,
    "coefs": _need_numbers,
}
_TRIAXIAL_RULES: Final[dict[str, _Check]] = {k: _need_numbers for k in TRIAXIAL_KEYS[1:]}


def _need_record(v: Any, where: str, keys: Sequence[str], rules: Mapping[str, _Check], path: str = "") -> None:
    """Checks as the module decodes a record: a map whose keys are all
    strings, then the first occurrence of each of ``keys`` in their order,
    the base part where it comes."""
    label = f'{where}, field "{path[:-1]}"' if path else where
    if not isinstance(v, _Map):
        raise _Fault(f"{label}: needs a map, found {_describe(v)}")
    for k, _ in v:
        if type(k) is not str:
            raise _Fault(f"{label}: every key must be a string, found {_describe(k)}")
    first: dict[str, Any] = {}
    for k, x in v:
        first.setdefault(k, x)
    for key in keys:
        if key not in first:
            continue
        if key == BASE:
            _need_record(first[key], where, BASE_KEYS, _BASE_RULES, f"{path}{key}.")
        else:
            rules[key](first[key], f'{where}, field "{path}{key}"')


def _type_fault(value: Any) -> None:
    if not isinstance(value, list) or isinstance(value, _Map):
        raise _Fault(f"the document needs to be an array, found {_describe(value)}")
    if value:
        _need_int(value[0], "the protocol selector")
    lists = ((1, "triaxial", TRIAXIAL_KEYS, _TRIAXIAL_RULES), (2, "taxel", TAXEL_KEYS, _TAXEL_RULES))
    for index, kind, keys, rules in lists:
        if len(value) <= index:
            continue
        records = value[index]
        if not isinstance(records, list) or isinstance(records, _Map):
            raise _Fault(f"the {kind} list needs to be an array, found {_describe(records)}")
        for i, rec in enumerate(records):
            if rec is not None:  # an empty slot; the module names it itself
                _need_record(rec, f"{kind} record {i}", keys, rules)


def _output_map_fault(value: Any) -> None:
    if not isinstance(value, list) or len(value) < 3 or not isinstance(value[2], list):
        return
    for i, rec in enumerate(value[2]):
        fields = dict(reversed(rec)) if isinstance(rec, _Map) else {}
        base_part = fields.get(BASE)
        out = dict(reversed(base_part)).get("output_map") if isinstance(base_part, _Map) else None
        if isinstance(out, _Map) and len(dict(out)) > 1:
            raise _Fault(f"taxel record {i}: output_map has {len(dict(out))} entries; a taxel has one output")


_LOCATORS: Final[dict[str, Callable[[Any], None]]] = {
    "bad cast": _type_fault,
    "Invalid output map for the sensor type": _output_map_fault,
}
"""The module's messages that name no place in the file, and how to find it."""


def locate(data: bytes, message: str) -> str | None:
    """Where in the file ``data`` the fault lies that the module reported as
    ``message``, for the messages that do not say: "bad cast" (a value of
    the wrong type) and "Invalid output map for the sensor type". None when
    the message says already, or the place cannot be found."""
    check = _LOCATORS.get(message)
    if check is None:
        return None
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, use_list=True, object_pairs_hook=_Map)
    unpacker.feed(data)
    try:
        value = unpacker.unpack()
    except Exception:  # noqa: BLE001 - msgpack's own refusals; the module's message stands alone
        return None
    try:
        check(value)
    except _Fault as fault:
        return str(fault)
    return None
