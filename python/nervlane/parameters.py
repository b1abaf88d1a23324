"""The sensor parameter file: building one, reading one, naming its outputs.

The file is one MessagePack array ``[protocol, [triaxial records], [taxel
records]]``. Every tool, test and script that writes or reads one goes
through here, so the layout is spelled once on the Python side. Whether a
file is valid is the module's to say (``configure``): its messages name the
record and the field at fault.
"""

from __future__ import annotations

import enum
import os
import re
from collections.abc import Iterable, Iterator, Mapping, Sequence
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


def largest_file() -> int:
    """The largest parameter file the module reads, which the tools that read
    one themselves hold to as well."""
    try:
        import nervlane_comm_py
    except ImportError as e:
        raise DocumentError(f"the nervlane_comm_py module is not installed or does not load: {e}") from e
    return int(nervlane_comm_py.MAX_PARAMETER_FILE_BYTES)


def read_file(path: str) -> bytes:
    """The bytes of a parameter file: a regular file no larger than the
    module reads. Raises DocumentError."""
    limit = largest_file()
    try:
        return read_regular(path, limit)
    except FileTooLarge as e:
        raise DocumentError(f"parameter file {path}: larger than {limit >> 20} MiB, not a parameter file") from e
    except NotRegularFile as e:
        raise DocumentError(f"parameter file {path}: {e}") from e
    except OSError as e:
        raise DocumentError(f"parameter file {path}: cannot be read ({e.strerror or e})") from e


def _why_unreadable(path: str) -> str | None:
    """What the system says of a name that is no readable regular file (no
    such file, no access, a folder, a FIFO); None for a readable one.
    Reads nothing: a FIFO is never opened."""
    try:
        open_regular(path).close()
    except NotRegularFile as e:
        return str(e)
    except OSError as e:
        return e.strerror or str(e)
    except ValueError as e:  # a NUL in the name
        return str(e)
    return None


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


_LIBRARY_ERROR: Final = re.compile(r" \((?:bad cast|parse error|insufficient bytes)\)$")


def configure(comms: nervlane_comm_py.NervlaneComms, path: str, shown_as: str | None = None) -> None:
    """``comms.init(path)``, every failure a DocumentError with the module's
    message, which names the record and the field at fault (the trailing
    "(bad cast)", "(parse error)" or "(insufficient bytes)" only in its
    ``detail``), naming the file (as ``shown_as`` if given) and, for a name
    that is no readable file, what the system says of it."""
    try:
        comms.init(path)
    except Exception as e:  # RuntimeError mostly; MemoryError, ValueError, TypeError too
        # msgpack's errors end with the library's name for them, which tells
        # a person nothing that the words before it have not.
        told = str(e)
        message = _LIBRARY_ERROR.sub("", told) or type(e).__name__
        why = _why_unreadable(path)
        name = path if shown_as is None else shown_as
        text = f"parameter file {name}: {message}" + (f" ({why})" if why else "")
        raise DocumentError(text, detail=told if message != told else None) from e


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
