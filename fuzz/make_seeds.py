#!/usr/bin/env python3
"""Writes the hand-made seed inputs into fuzz/corpus/<target>/seed-*: well-formed
frames of each format (and a few damaged ones) under several delivery shapes,
and parameter files like the documented example. The rest of each corpus is
what the fuzzers found, minimised with -merge=1.

    .venv/bin/python fuzz/make_seeds.py
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from nervlane.formats import binary_frame as binary  # noqa: E402
from nervlane.formats import encrypted_frame as encrypted  # noqa: E402
from nervlane.parameters import make, pack, taxel_record, triaxial_record  # noqa: E402

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


# Integer zeros and coefficients, as a person writes them by hand: the
# decoder must take an integer wherever it takes a number.
def taxel(raw: int, out: int, coefs: list[float] | None = None) -> dict:
    return taxel_record(raw, out, lower=0, upper=0, offset=0, coefs=coefs or [0, 1])


TRIAXIAL = triaxial_record(
    0, 0, lower=[0] * 4, upper=[0] * 4, offset=[0] * 4, coefs_x=[0, 1], coefs_y=[0, 1], coefs_z=[0, 1]
)


def main() -> None:
    # First byte: bit 7 begin_stream, bits 0..6 chunk size (0: whole).
    for shape in (0, 1, 3, 0x80, 0x85):
        s = bytes([shape])
        write(
            "fuzz_protocol_binary", f"frames-{shape}", s + binary([1, 2, 3, 65535]) + b"\x00" + binary(list(range(20)))
        )
        write(
            "fuzz_protocol_binary",
            f"bad-counts-{shape}",
            s + b"\xff\xff\x00\x00\xff\xff\xff\x01\x02" + binary([0xFFFF] * 3),
        )
        write(
            "fuzz_protocol_binary_encrypt",
            f"frames-{shape}",
            s + encrypted([1, 2, 3, 65535]) + b"\x12" + encrypted(list(range(8))),
        )
        write("fuzz_protocol_binary_encrypt", f"bad-length-{shape}", s + b"\xff\xff\x00\x02" + encrypted([7]))
        write(
            "fuzz_protocol_string",
            f"lines-{shape}",
            s + b"1,2.5,-3e2\n4,,5\n1.5,nan,inf\n0x1F,1e400\n,\n" + b"9" * 50 + b",7\n",
        )
        write("fuzz_protocol_string", f"partial-{shape}", s + b"partial\n1,2,3,\r\n 7 , 8\n")
    write("fuzz_protocol_binary", "largest", b"\x00" + binary([0xABCD] * 511))
    write("fuzz_protocol_binary_encrypt", "largest", b"\x00" + encrypted([0xABCD] * 255))

    # Last byte: the length of the frame calibrated with the file's models.
    write("fuzz_parameter_file", "example", pack(make("text", [TRIAXIAL], [taxel(4, 3)])) + bytes([10]))
    write(
        "fuzz_parameter_file",
        "taxels",
        pack(make("binary", [], [taxel(0, 0), taxel(1, 1, [1, 2, 3]), taxel(30, 2)])) + bytes([8]),
    )
    no_taxel_list = [*make("encrypted", [TRIAXIAL, TRIAXIAL])[:2], None]
    write("fuzz_parameter_file", "two-triaxials", pack(no_taxel_list) + bytes([3]))
    write(
        "fuzz_parameter_file",
        "floats",
        pack(make("text", [dict(TRIAXIAL, lower=[0.5] * 4)], [dict(taxel(2, 5), offset=1.5)])) + bytes([40]),
    )
    write("fuzz_parameter_file", "nil-record", pack(make("text", [None])))
    write("fuzz_parameter_file", "huge-output-position", pack(make("text", [], [taxel(0, 2000000000)])) + bytes([4]))


if __name__ == "__main__":
    main()
