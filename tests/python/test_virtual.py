"""The virtual sensor: its frames, its signal, its parameter files, and the
pseudo-terminal it plays the device on."""

from __future__ import annotations

import math
import os
import select
import statistics
import struct
import time
from collections.abc import Iterator
from pathlib import Path

import msgpack
import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from nervlane import virtual
from nervlane.virtual import KEY, Layout, PtyDevice, SignalModel


def decrypt(blocks: bytes, key: bytes = KEY) -> bytes:
    d = Cipher(algorithms.AES(key), modes.ECB()).decryptor()
    return d.update(blocks) + d.finalize()


def read_port(fd: int, size: int, seconds: float = 5.0) -> bytes:
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < size and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            chunk = os.read(fd, size - len(data))
            if not chunk:
                break
            data += chunk
    return data


@pytest.fixture
def port_reader() -> Iterator[list[int]]:
    fds: list[int] = []
    yield fds
    for fd in fds:
        os.close(fd)


def open_port(path: str, fds: list[int]) -> int:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    fds.append(fd)
    return fd


class TestFrames:
    def test_binary_frame_is_header_count_and_little_endian_readings(self) -> None:
        assert virtual.binary_frame([1, 2, 65535]) == bytes.fromhex("ffff 0300 0100 0200 ffff")
        assert len(virtual.binary_frame(range(511))) == 4 + 2 * 511

    @pytest.mark.parametrize("bad", [[], list(range(512)), [65536], [-1], [1.0], [True]])
    def test_binary_frame_refuses_what_the_decoder_would_refuse(self, bad: list[int]) -> None:
        with pytest.raises(ValueError):
            virtual.binary_frame(bad)

    def test_text_frame_writes_ints_as_ints_and_floats_so_they_read_back_exactly(self) -> None:
        values = [0.1, 1e-300, 2.0**53 + 2, -0.0, 1 / 3, 65535]
        line = virtual.text_frame(values)
        assert line.endswith(b"\n") and line.count(b"\n") == 1
        fields = line[:-1].split(b",")
        assert fields[-1] == b"65535"
        assert [float(f) for f in fields] == values
        assert math.copysign(1.0, float(fields[3])) == -1.0

    @pytest.mark.parametrize("bad", [[], ["1"], [None], [False]])
    def test_text_frame_refuses_empty_frames_and_non_numbers(self, bad: list[float]) -> None:
        with pytest.raises(ValueError):
            virtual.text_frame(bad)

    @pytest.mark.parametrize(("count", "blocks"), [(1, 1), (7, 1), (8, 2), (100, 13), (255, 32)])
    def test_encrypted_frame_carries_byte_length_and_one_block_more_than_it_fills(
        self, count: int, blocks: int
    ) -> None:
        readings = [(i * 2654435761) % 65536 for i in range(count)]
        frame = virtual.encrypted_frame(readings)
        header, length = struct.unpack_from("<HH", frame)
        assert (header, length) == (0xFFFF, 2 * count)
        assert len(frame) == 4 + 16 * blocks
        plain = decrypt(frame[4:])
        assert list(struct.unpack_from(f"<{count}H", plain)) == readings
        assert plain[2 * count :] == bytes(16 * blocks - 2 * count)

    def test_encrypted_frame_blocks_are_independent(self) -> None:
        frame = virtual.encrypted_frame([7] * 8 + [7] * 8 + [1])
        assert frame[4:20] == frame[20:36]

    def test_encrypted_frame_refuses_too_many_readings_or_a_bad_key(self) -> None:
        with pytest.raises(ValueError, match="1 to 255"):
            virtual.encrypted_frame([0] * 256)
        with pytest.raises(ValueError, match="16 bytes"):
            virtual.encrypted_frame([1], key=b"short")

    def test_encode_frame_dispatches_by_format_name(self) -> None:
        assert virtual.encode_frame("text", [3, 4]) == b"3,4\n"
        assert virtual.encode_frame("binary", [3]) == virtual.binary_frame([3])
        assert decrypt(virtual.encode_frame("encrypted", [3])[4:])[:2] == b"\x03\x00"
        with pytest.raises(ValueError, match="unknown frame format"):
            virtual.encode_frame("json", [1])


class TestLayoutAndParameters:
    def test_triaxials_come_first_in_the_frame_and_the_output(self) -> None:
        layout = Layout(taxels=5, triaxials=2)
        assert (layout.frame_size, layout.output_size) == (13, 11)
        assert list(layout.triaxial_channels(1)) == [4, 5, 6, 7]
        assert list(layout.triaxial_outputs(1)) == [3, 4, 5]
        assert (layout.taxel_channel(0), layout.taxel_output(4)) == (8, 10)
        assert layout.grid == (2, 3)

    def test_empty_or_negative_layouts_are_refused(self) -> None:
        for taxels, triaxials in ((0, 0), (-1, 2)):
            with pytest.raises(ValueError):
                Layout(taxels, triaxials)

    def test_parameter_document_maps_every_channel_once_and_fills_the_output(self) -> None:
        layout = Layout(taxels=4, triaxials=2)
        selector, triaxials, taxels = virtual.parameter_document(layout, "encrypted")
        assert selector == 2 and len(triaxials) == 2 and len(taxels) == 4
        inputs: list[int] = []
        outputs: list[int] = []
        for rec in triaxials:
            base = rec["SensorParameters"]
            assert base["sensor_type"] == 0 and sorted(base["input_map"].values()) == [0, 1, 2, 3]
            assert sorted(base["output_map"]) == [0, 1, 2]
            assert len(rec["offset"]) == len(rec["lower"]) == 4
            inputs += base["input_map"]
            outputs += base["output_map"].values()
        for rec in taxels:
            base = rec["SensorParameters"]
            assert base["sensor_type"] == 1 and len(base["output_map"]) == 1
            assert rec["offset"] == float(virtual.NOMINAL_ZERO)
            inputs += base["input_map"]
            outputs += base["output_map"].values()
        assert sorted(inputs) == list(range(layout.frame_size))
        assert sorted(outputs) == list(range(layout.output_size))

    def test_write_params_writes_the_document_as_msgpack(self, tmp_path: Path) -> None:
        path = tmp_path / "p.msgpack"
        virtual.write_params(path, Layout(2), "text")
        document = msgpack.unpackb(path.read_bytes(), strict_map_key=False)
        assert document == virtual.parameter_document(Layout(2), 0)
        assert os.listdir(tmp_path) == ["p.msgpack"]

    def test_unknown_protocols_are_refused_before_anything_is_written(self, tmp_path: Path) -> None:
        for protocol in ("morse", 3):
            with pytest.raises(ValueError):
                virtual.write_params(tmp_path / "p.msgpack", Layout(1), protocol)
        assert os.listdir(tmp_path) == []


class TestSignalModel:
    def test_a_seed_repeats_the_signal(self) -> None:
        a, b = SignalModel(Layout(9, 1), seed=3), SignalModel(Layout(9, 1), seed=3)
        assert [a() for _ in range(200)] == [b() for _ in range(200)]

    def test_readings_rest_near_the_zero_level_and_presses_rise_well_above_it(self) -> None:
        layout = Layout(taxels=16, triaxials=2)
        model = SignalModel(layout, seed=11, rate_hz=100.0)
        frames = [model() for _ in range(2000)]  # 20 s of signal
        assert all(len(f) == layout.frame_size and all(0 <= v <= 65535 for v in f) for f in frames)
        for channel in range(layout.frame_size):
            column = [f[channel] for f in frames]
            resting = statistics.quantiles(column, n=4)[0]
            assert abs(resting - virtual.NOMINAL_ZERO) < 40
            assert max(column) > virtual.NOMINAL_ZERO + 500, f"channel {channel} was never pressed"

    def test_a_press_spreads_over_neighbouring_taxels(self) -> None:
        layout = Layout(taxels=25)
        model = SignalModel(layout, seed=5)
        frames = [model() for _ in range(1500)]
        peak = max(frames, key=sum)
        loaded = sum(1 for v in peak if v > virtual.NOMINAL_ZERO + 200)
        assert 2 <= loaded < 25


class TestPtyDevice:
    def test_written_bytes_arrive_on_the_port_in_raw_mode(self, port_reader: list[int]) -> None:
        with PtyDevice() as dev:
            fd = open_port(dev.port, port_reader)
            data = bytes(range(256)) * 4  # every byte value, CR, LF, XON/XOFF included
            dev.write(data)
            assert read_port(fd, len(data)) == data

    def test_hang_up_ends_the_port_and_later_writes_fail(self, port_reader: list[int]) -> None:
        with PtyDevice() as dev:
            fd = open_port(dev.port, port_reader)
            dev.hang_up()
            ready, _, _ = select.select([fd], [], [], 2.0)
            assert ready and os.read(fd, 10) == b""
            with pytest.raises(OSError):
                dev.write(b"x")
            with pytest.raises(OSError):
                dev.stream(lambda i: b"x", 10.0)

    def test_a_counted_stream_sends_every_frame_paced_and_keeps_them_for_inspection(
        self, port_reader: list[int]
    ) -> None:
        with PtyDevice(sent_maxlen=5) as dev:
            fd = open_port(dev.port, port_reader)
            seen: list[int] = []
            dev.on_frame = lambda frame: seen.append(frame.index)
            started = time.monotonic()
            dev.stream_readings("binary", lambda i: [i, 2 * i], rate_hz=100.0, count=20)
            assert dev.wait(10.0)
            assert time.monotonic() - started >= 0.15  # 19 periods of 10 ms, generously
            dev.stop()
            assert dev.frames_sent == 20 and seen == list(range(20))
            assert [f.readings for f in dev.sent] == [(float(i), 2.0 * i) for i in range(15, 20)]
            expected = b"".join(virtual.binary_frame([i, 2 * i]) for i in range(20))
            assert read_port(fd, len(expected)) == expected

    def test_an_undrained_port_drops_frames_instead_of_hanging(self) -> None:
        with PtyDevice() as dev:
            frame = virtual.binary_frame([1] * 500)  # ~1 KB: the pty buffer holds a few dozen
            dev.stream(lambda i: frame, rate_hz=2000.0, count=200)
            assert dev.wait(20.0)
            dev.stop()
            assert dev.frames_dropped > 0
            assert dev.frames_sent + dev.frames_dropped == 200

    def test_stop_reports_an_error_raised_by_the_frame_source(self) -> None:
        def source(i: int) -> bytes:
            if i == 3:
                raise ValueError("source broke")
            return b"x"

        with PtyDevice() as dev:
            dev.stream(source, rate_hz=200.0)
            assert dev.wait(5.0)
            with pytest.raises(ValueError, match="source broke"):
                dev.stop()
            dev.stop()  # reported once

    def test_streaming_twice_at_once_is_refused(self) -> None:
        with PtyDevice() as dev:
            dev.stream(lambda i: b"x", rate_hz=10.0)
            with pytest.raises(RuntimeError, match="already streaming"):
                dev.stream(lambda i: b"y", rate_hz=10.0)
            with pytest.raises(ValueError):
                dev.stream_readings("morse", lambda i: [1], rate_hz=10.0)

    def test_close_stops_an_endless_stream_promptly(self) -> None:
        dev = PtyDevice()
        dev.stream(lambda i: b"x", rate_hz=1.0)
        started = time.monotonic()
        dev.close()
        dev.close()
        assert time.monotonic() - started < 2.0
        assert not dev.streaming


def reference_calibration(document: list, raw: list[float]) -> list[float]:
    """What the module should make of ``raw`` under ``document``, worked
    out independently."""
    _, triaxials, taxels = document
    size = 1 + max(p for rec in triaxials + taxels for p in rec["SensorParameters"]["output_map"].values())
    out = [0.0] * size
    for rec in triaxials:
        base = rec["SensorParameters"]
        ch = [0.0] * 4
        for pos, c in base["input_map"].items():
            d = raw[pos] - rec["offset"][c]
            ch[c] = 0.0 if rec["lower"][c] > d else d - rec["lower"][c]
        axes = [ch[2] + ch[3] - ch[1] - ch[0], ch[3] + ch[1] - ch[2] - ch[0], sum(ch)]
        for a, q in base["output_map"].items():
            coefs = rec[("coefs_x", "coefs_y", "coefs_z")[a]]
            out[q] = sum(c * axes[a] ** i for i, c in enumerate(coefs))
    for rec in taxels:
        base = rec["SensorParameters"]
        b = raw[min(base["input_map"])] - rec["offset"]
        v = sum(c * b**i for i, c in enumerate(rec["coefs"])) if b > rec["lower"] else 0.0
        out[next(iter(base["output_map"].values()))] += max(v, 0.0)
    return out


@pytest.mark.parametrize("fmt", virtual.FORMATS)
def test_frames_decode_through_the_module_to_what_the_simulator_sent(fmt: str, tmp_path: Path) -> None:
    nc = pytest.importorskip("nervlane_comm_py")
    layout = Layout(taxels=9, triaxials=2)
    params = tmp_path / "p.msgpack"
    virtual.write_params(params, layout, fmt)
    document = virtual.parameter_document(layout, fmt)
    comms = nc.NervlaneComms()
    comms.init(str(params))
    with PtyDevice() as dev:
        comms.connect(dev.port)
        dev.stream_readings(fmt, SignalModel(layout, seed=1, rate_hz=20.0), rate_hz=20.0)
        matched = 0
        for _ in range(10):
            raw = comms.read_raw(2000)
            calibrated = comms.read(0)  # frames come 50 ms apart: the same frame
            assert raw, "no frame within 2 s"
            sent = {f.readings for f in list(dev.sent)}
            assert tuple(raw) in sent
            assert calibrated == pytest.approx(reference_calibration(document, raw), rel=1e-9, abs=1e-12)
            matched += 1
        assert matched == 10
        del comms
