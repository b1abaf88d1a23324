#!/usr/bin/env python3
"""Writes the hand-made seed inputs into fuzz/corpus/<target>/seed-*: well-formed
frames of each format (and a few damaged ones) under several delivery shapes,
and parameter files like the documented example. The rest of each corpus is
what the fuzzers found, minimised with -merge=1.

    .venv/bin/python fuzz/make_seeds.py
"""

import os
import struct

import msgpack  # type: ignore[import-untyped]
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

KEY = b"Nervlane-aes-128"
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def binary(values: list[int]) -> bytes:
    return b"\xff\xff" + struct.pack("<H", len(values)) + b"".join(struct.pack("<H", v) for v in values)


def encrypted(values: list[int]) -> bytes:
    length = 2 * len(values)
    blocks = length // 16 + 1
    plain = b"".join(struct.pack("<H", v) for v in values).ljust(16 * blocks, b"\0")
    enc = Cipher(algorithms.AES(KEY), modes.ECB()).encryptor()
    return b"\xff\xff" + struct.pack("<H", length) + enc.update(plain) + enc.finalize()


def taxel(raw: int, out: int, coefs: list[float] | None = None) -> dict:
    return {"SensorParameters": {"sensor_type": 1, "input_map": {raw: 0}, "output_map": {0: out}},
            "lower": 0, "upper": 0, "offset": 0, "coefs": coefs or [0, 1]}


TRIAXIAL = {"SensorParameters": {"sensor_type": 0, "input_map": {0: 0, 1: 1, 2: 2, 3: 3},
                                 "output_map": {0: 0, 1: 1, 2: 2}},
            "lower": [0, 0, 0, 0], "upper": [0, 0, 0, 0], "offset": [0, 0, 0, 0],
            "coefs_x": [0, 1], "coefs_y": [0, 1], "coefs_z": [0, 1]}


def main() -> None:
    # First byte: bit 7 begin_stream, bits 0..6 chunk size (0: whole).
    for shape in (0, 1, 3, 0x80, 0x85):
        s = bytes([shape])
        write("fuzz_protocol_binary", f"frames-{shape}", s + binary([1, 2, 3, 65535]) + b"\x00" + binary(list(range(20))))
        write("fuzz_protocol_binary", f"bad-counts-{shape}", s + b"\xff\xff\x00\x00\xff\xff\xff\x01\x02" + binary([0xFFFF] * 3))
        write("fuzz_protocol_binary_encrypt", f"frames-{shape}", s + encrypted([1, 2, 3, 65535]) + b"\x12" + encrypted(list(range(8))))
        write("fuzz_protocol_binary_encrypt", f"bad-length-{shape}", s + b"\xff\xff\x00\x02" + encrypted([7]))
        write("fuzz_protocol_string", f"lines-{shape}", s + b"1,2.5,-3e2\n4,,5\n1.5,nan,inf\n0x1F,1e400\n,\n" + b"9" * 50 + b",7\n")
        write("fuzz_protocol_string", f"partial-{shape}", s + b"partial\n1,2,3,\r\n 7 , 8\n")
    write("fuzz_protocol_binary", "largest", b"\x00" + binary([0xABCD] * 511))
    write("fuzz_protocol_binary_encrypt", "largest", b"\x00" + encrypted([0xABCD] * 255))

    # Last byte: the length of the frame calibrated with the file's models.
    write("fuzz_parameter_file", "example", msgpack.packb([0, [TRIAXIAL], [taxel(4, 3)]]) + bytes([10]))
    write("fuzz_parameter_file", "taxels", msgpack.packb([1, [], [taxel(0, 0), taxel(1, 1, [1, 2, 3]), taxel(30, 2)]]) + bytes([8]))
    write("fuzz_parameter_file", "two-triaxials", msgpack.packb([2, [TRIAXIAL, TRIAXIAL], None]) + bytes([3]))
    write("fuzz_parameter_file", "floats", msgpack.packb([0, [dict(TRIAXIAL, lower=[0.5] * 4)], [dict(taxel(2, 5), offset=1.5)]]) + bytes([40]))
    write("fuzz_parameter_file", "nil-record", msgpack.packb([0, [None], []]))
    write("fuzz_parameter_file", "huge-output-position", msgpack.packb([0, [], [taxel(0, 2000000000)]]) + bytes([4]))


if __name__ == "__main__":
    main()
