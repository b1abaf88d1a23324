"""The extension module end to end: a pseudo-terminal plays the sensor."""

from __future__ import annotations

import importlib.metadata
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import msgpack
import numpy as np
import pytest

import nervlane_comm_py as nc
from nervlane.formats import Format
from nervlane.parameters import taxel_record, triaxial_record
from nervlane.remote.payload import MODULE_COUNTERS
from nervlane.virtual import PtyDevice, binary_frame

WARNING_LINE = b"\x1b[1;32m[Nervlane]:\x1b[0m \x1b[35m[Sensor]\x1b[0m \x1b[33mconfigured but not plugged in\x1b[0m\n"


def taxel(
    raw: int,
    out: int,
    *,
    lower: float = -1.0,
    offset: float = 0.0,
    coefs: Sequence[float] = (0.0, 1.0),
    outputs: dict[int, int] | None = None,
) -> dict[str, Any]:
    return taxel_record(raw, out, lower=lower, offset=offset, coefs=coefs, output_map=outputs)


triaxial = triaxial_record


@pytest.fixture
def params(tmp_path: Path) -> Callable[..., str]:
    counter = iter(range(1_000_000))
    # Every test's files lie in a folder whose name is not ASCII.
    folder = tmp_path / "café 传感器"
    folder.mkdir()

    def write(document: Any = None, *, raw_bytes: bytes | None = None) -> str:
        path = folder / f"params{next(counter)}.msgpack"
        path.write_bytes(raw_bytes if raw_bytes is not None else msgpack.packb(document))
        return str(path)

    return write


@pytest.fixture
def device() -> Iterator[PtyDevice]:
    with PtyDevice() as dev:
        yield dev


def eventually(predicate: Callable[[], bool], seconds: float = 3.0) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def run_python(code: str, timeout: float = 30.0) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, timeout=timeout)


class TestBindingSurface:
    def test_versions_and_docstrings(self) -> None:
        assert nc.__version__ == "0.2.0"
        assert nc.__version__ == importlib.metadata.version("nervlane-comm")
        assert nc.NervlaneComms.version == "dev"
        comms = nc.NervlaneComms()
        assert comms.version == "dev"
        with pytest.raises(TypeError):
            comms.version()  # type: ignore[operator]
        assert nc.NervlaneComms.__doc__ == "NervlaneComms wrapper"
        docs = {
            "__init__": "Constructs NervlaneComms object",
            "init": "Initialise sensor comms",
            "connect": "Connects to the sensor",
            "read": "Reads and returns data",
            "read_raw": "Reads and returns raw data",
            "is_connected": "Is sensor connected?",
            "zero": "Zeroes the sensor",
        }
        for name, text in docs.items():
            doc = getattr(nc.NervlaneComms, name).__doc__
            assert doc is not None and text in doc, name
        assert "file_name: str" in (nc.NervlaneComms.init.__doc__ or "")
        assert "port: str" in (nc.NervlaneComms.connect.__doc__ or "")
        assert "timeout" in (nc.NervlaneComms.read.__doc__ or "") and "500" in (nc.NervlaneComms.read.__doc__ or "")
        members = [n for n in vars(nc.NervlaneComms) if n in docs or n == "version"]
        assert members == [*docs, "version"]

    def test_instances_take_no_new_attributes(self) -> None:
        comms = nc.NervlaneComms()
        with pytest.raises(AttributeError):
            comms.anything = 1  # type: ignore[attr-defined]
        with pytest.raises(AttributeError):
            comms.version = "other"  # type: ignore[misc]
        assert not hasattr(comms, "__dict__")

    def test_arguments_that_do_not_convert_raise_type_error_at_once(self) -> None:
        comms = nc.NervlaneComms()
        started = time.monotonic()
        for call in (
            lambda: comms.read(2**31),
            lambda: comms.read_raw("5"),  # type: ignore[arg-type]
            lambda: comms.zero([0.5]),
            lambda: comms.zero("ab"),  # type: ignore[list-item]
            lambda: comms.init(3),
            lambda: comms.connect(None),
        ):  # type: ignore[arg-type]
            with pytest.raises(TypeError):
                call()
        assert time.monotonic() - started < 0.4  # nothing waited

    def test_read_time_outs(self) -> None:
        comms = nc.NervlaneComms()
        started = time.monotonic()
        assert comms.read(timeout=0) == []
        assert comms.read_raw(-5) == []
        assert time.monotonic() - started < 0.1
        started = time.monotonic()
        assert comms.read() == []
        assert 0.45 <= time.monotonic() - started < 2.0

    def test_zero_takes_any_sequence_of_ints(self) -> None:
        comms = nc.NervlaneComms()
        started = time.monotonic()
        # Accepted (a tuple), and then refused by the unconnected object.
        with pytest.raises(RuntimeError, match="^Could not zero the sensor$"):
            comms.zero((0, 2))
        assert 0.5 <= time.monotonic() - started < 3.0

    def test_connect_errors_carry_the_serial_library_message(self, tmp_path: Path) -> None:
        comms = nc.NervlaneComms()
        missing = str(tmp_path / "ttyNOPE")
        with pytest.raises(RuntimeError, match=f"^IO Exception: Specified port, {missing}, does not exist., file "):
            comms.connect(missing)
        with pytest.raises(nc.PortError) as error:
            comms.connect(missing)
        assert error.value.reason == "not_found"
        assert str(error.value).startswith(f"IO Exception: Specified port, {missing}, does not exist.")
        assert error.value.description == f"Specified port, {missing}, does not exist."
        with pytest.raises(ValueError, match="^Empty port is invalid.$"):
            comms.connect("")
        assert not comms.is_connected()


@pytest.mark.parametrize("fmt", ["text", "binary", "encrypted"])
def test_end_to_end(fmt: str, params: Callable[..., str], device: PtyDevice) -> None:
    comms = nc.NervlaneComms()
    # Frame: [sequence, 100, 200, 300, 400, 500, level]; a triaxial on raw 1..4
    # to outputs 0..2, taxels on raw 5 (offset 50) and raw 6 to outputs 3, 4.
    comms.init(params([Format.named(fmt).selector, [triaxial(1, 0)], [taxel(5, 3, offset=50.0), taxel(6, 4)]]))
    assert comms.read(0) == [0.0] * 5
    comms.connect(device.port)
    assert comms.is_connected()
    level = [1000]
    device.stream_readings(fmt, lambda i: [i % 60000, 100, 200, 300, 400, 500, level[0]], 250.0)

    raw = comms.read_raw(2000)
    assert raw[1:] == [100.0, 200.0, 300.0, 400.0, 500.0, 1000.0]
    assert all(isinstance(v, float) for v in raw)
    assert comms.read(2000) == [400.0, 200.0, 1000.0, 450.0, 1000.0]
    # What arrives is exactly a frame the device meant to send.
    frame = tuple(comms.read_raw(2000))
    assert eventually(lambda: frame in {sent.readings for sent in list(device.sent)})

    comms.zero([4])
    assert comms.read(2000) == [400.0, 200.0, 1000.0, 450.0, 0.0]
    level[0] = 1010
    assert eventually(lambda: comms.read(500)[4:] == [10.0])

    # Reconnecting keeps the configuration and the new zero level, after a
    # close as well as straight away.
    comms.close()
    assert not comms.is_connected()
    comms.connect(device.port)
    comms.connect(device.port)
    assert comms.is_connected()
    assert comms.read(2000) == [400.0, 200.0, 1000.0, 450.0, 10.0]

    # The cable is pulled mid-stream.
    device.hang_up()
    assert eventually(lambda: not comms.is_connected(), 2.0)
    assert comms.read(200) == []
    assert comms.read_raw(200) == []
    stats = comms.stats()
    assert stats["connects"] == 3 and stats["port_errors"] == 1 and stats["last_reconnect_time"] is None
    assert isinstance(stats["last_error"], str) and "disconnected" in stats["last_error"]


def test_a_new_device_after_a_pulled_one(params: Callable[..., str]) -> None:
    comms = nc.NervlaneComms()
    comms.init(params([1, [], [taxel(1, 0, offset=10.0)]]))
    with PtyDevice() as first:
        comms.connect(first.port)
        first.stream_readings("binary", lambda i: [i % 60000, 500], 100.0)
        assert comms.read(2000) == [490.0]
        first.hang_up()
        assert eventually(lambda: not comms.is_connected(), 2.0)
    with PtyDevice() as second:
        comms.connect(second.port)
        second.stream_readings("binary", lambda i: [i % 60000, 700], 100.0)
        assert comms.read(2000) == [690.0]

        # close and a with block let go of the port at once, although `comms`
        # and `held` are still referenced: the next object can open it.
        comms.close()
        with pytest.raises(LookupError), nc.NervlaneComms() as held:
            held.init(Path(params([1, [], [taxel(1, 0)]])))
            held.connect(second.port)
            assert held.read(2000) == [700.0]
            raise LookupError("the with block's own error")
        assert not held.is_connected()
        comms.connect(second.port)
        assert comms.read(2000) == [690.0]


def test_reconnect_follows_a_stable_name_to_the_device_plugged_in_again(params: Callable[..., str]) -> None:
    comms = nc.NervlaneComms()
    comms.init(params([1, [], [taxel(1, 0, offset=10.0)]]))
    # The device's link stands in for /dev/serial/by-id/usb-...: gone while it
    # is unplugged, as udev removes it, and pointing at the new pty once it is
    # back. A bare /dev/pts/N freed by the unplug may go to any process's pty.
    with PtyDevice() as device:
        comms.connect(device.stable_port(), reconnect=True)
        device.stream_readings("binary", lambda i: [i % 60000, 500], 100.0)
        before = comms.read_frame(2000)
        assert before is not None and before.values == [490.0]
        device.hang_up()
        assert eventually(lambda: not comms.is_connected(), 2.0)
        device.plug_in()
        device.stream_readings("binary", lambda i: [i % 60000, 500], 100.0)
        after = comms.read_frame(2000)
        assert after is not None and after.values == [490.0] and after.sequence > before.sequence
        stats = comms.stats()
        assert (stats["connects"], stats["reconnects"], stats["port_errors"]) == (1, 1, 1)
        comms.close()


def test_a_text_line_the_device_pauses_in_is_one_whole_frame(params: Callable[..., str], device: PtyDevice) -> None:
    comms = nc.NervlaneComms()
    comms.init(params([0, [], [taxel(0, 0)]]))
    comms.connect(device.port)
    device.write(b"0\n1\n")  # the first line after connecting is dropped as cut
    assert comms.read_raw(2000) == [1.0]
    values = [float(v) for v in range(100, 118)]
    line = ",".join(f"{v:g}" for v in values).encode() + b"\n"
    cut = line.index(b"107") + 2  # in the middle of the eighth number: "10" and "7"
    device.write(line[:cut])
    time.sleep(0.3)  # three of the port's read time-outs
    device.write(line[cut:])
    assert comms.read_raw(2000) == values
    assert comms.read_raw(300) == []
    stats = comms.stats()
    assert (stats["frames_decoded"], stats["frames_rejected"]) == (2, 0)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="SCHED_FIFO and setpriv are Linux's")
@pytest.mark.parametrize("permitted", [True, False])
def test_realtime_reader_without_permission_streams_at_normal_priority(
    permitted: bool, params: Callable[..., str], device: PtyDevice
) -> None:
    if permitted and os.geteuid() != 0:
        pytest.skip("the permitted case runs as root")
    code = f"""
        import os
        import nervlane_comm_py
        comms = nervlane_comm_py.NervlaneComms()
        comms.init({params([1, [], [taxel(1, 0)]])!r})
        comms.connect({device.port!r}, realtime=True)
        fifo = sum(os.sched_getscheduler(int(t)) == os.SCHED_FIFO for t in os.listdir("/proc/self/task"))
        print(comms.stats()["realtime"], fifo, len(comms.read_raw(2000)))
    """
    # Root without CAP_SYS_NICE; another user has no permission to lose.
    drop = ["setpriv", "--inh-caps=-sys_nice", "--ambient-caps=-sys_nice", "--bounding-set=-sys_nice"]
    command = [sys.executable, "-c", textwrap.dedent(code)]
    device.stream_readings("binary", lambda i: [i % 60000, 5], 100.0)
    done = subprocess.run(
        command if permitted or os.geteuid() != 0 else drop + command, capture_output=True, timeout=30
    )
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.decode().split() == (["True", "1", "2"] if permitted else ["False", "0", "2"])


def test_read_frame_holds_one_frame_with_its_sequence_and_time(params: Callable[..., str], device: PtyDevice) -> None:
    comms = nc.NervlaneComms()
    assert comms.read_frame(timeout=0) is None
    # Raw 1 and 2 carry the frame's index, so the calibrated values name their frame.
    comms.init(params([1, [], [taxel(1, 0), taxel(2, 1, coefs=(0.0, 2.0))]]))
    comms.connect(device.port)
    device.stream_readings("binary", lambda i: [i % 60000, i % 60000, 1 + i % 30000], 1000.0)
    last_sequence = 0
    frames = 0
    ends = time.monotonic() + 1.0
    while time.monotonic() < ends:
        frame = comms.read_frame(500)
        returned = time.monotonic()
        assert frame is not None
        assert frame.values == [frame.raw[1], 2 * frame.raw[2]]
        assert frame.sequence > last_sequence
        last_sequence = frame.sequence
        sent = {f.readings: f.time for f in list(device.sent)}
        assert sent[tuple(frame.raw)] <= frame.time <= returned
        frames += 1
    assert frames > 100
    # A frame read_frame took is not offered again.
    device.stop()
    while (left := comms.read_frame(100)) is not None:
        last_sequence = left.sequence
    device.write(binary_frame([1, 2, 3]))
    frame = comms.read_frame(2000)
    assert frame is not None and frame.raw == [1.0, 2.0, 3.0] and frame.sequence == last_sequence + 1
    assert comms.read(150) == []


def test_queue_hands_over_every_frame_once_and_in_order_at_2000_per_second(params: Callable[..., str]) -> None:
    comms = nc.NervlaneComms()
    comms.init(params([1, [], [taxel(1, 0)]]))
    with PtyDevice(sent_maxlen=10_000) as dev:
        comms.connect(dev.port)
        comms.queue_frames(10_000)
        dev.stream_readings("binary", lambda i: [i % 60000, 3 * (i % 20000)], 2000.0, count=6000)
        batches = []
        while True:
            time.sleep(0.2)
            batch = comms.take_frames(timeout=0)
            batches.append(batch)
            if not dev.streaming and len(batch) == 0:
                break
        sent = [f.readings[0] for f in dev.sent]
    assert len(sent) > 5000
    assert all(b.sequence.dtype == np.uint64 and b.time.dtype == np.float64 for b in batches)
    sequence = np.concatenate([b.sequence for b in batches])
    raw = np.concatenate([b.raw for b in batches if len(b)])
    values = np.concatenate([b.values for b in batches if len(b)])
    times = np.concatenate([b.time for b in batches])
    assert raw[:, 0].tolist() == sent
    assert values[:, 0].tolist() == (3 * raw[:, 0]).tolist()
    assert np.all(np.diff(sequence) == 1)
    assert np.all(np.diff(times) >= 0) and times[-1] <= time.monotonic()
    stats = comms.stats()
    assert stats["frames_dropped"] == 0 and stats["frames_decoded"] == len(sent)


def test_frame_batches_hold_frames_of_one_shape(params: Callable[..., str], device: PtyDevice) -> None:
    comms = nc.NervlaneComms()
    stats = comms.stats()
    # The module counts what a server shares, under the same names.
    assert set(stats) == {*MODULE_COUNTERS, "last_error", "realtime", "last_error_time", "last_reconnect_time"}
    assert stats["last_error"] is None and not any(v for k, v in stats.items() if k != "last_error")
    with pytest.raises(RuntimeError, match="queue_frames"):
        comms.take_frames()
    with pytest.raises(ValueError):
        comms.queue_frames(-1)
    with pytest.raises(ValueError):
        comms.take_frames(max_frames=-1)
    comms.init(params([1, [], [taxel(1, 0)]]))
    comms.connect(device.port)
    comms.queue_frames(100)
    device.write(b"\x01\x02\x03")  # garbage before the first frame
    for readings in ([0, 10], [1, 11], [2, 12], [3, 13, 23], [4, 14, 24]):
        device.write(binary_frame(readings))
    device.write(b"\xff\xff\x00\x00")  # a frame refused for its count
    assert eventually(lambda: comms.stats()["frames_rejected"] == 1)
    stats = comms.stats()
    assert stats["frames_decoded"] == 5 and stats["bytes_discarded"] == 3
    first = comms.take_frames(max_frames=2)
    assert len(first) == 2 and first.raw.shape == (2, 2) and first.values.shape == (2, 1)
    assert first.sequence.tolist() == [1, 2] and first.raw.tolist() == [[0, 10], [1, 11]]
    assert comms.take_frames().raw.tolist() == [[2, 12]]
    second = comms.take_frames()
    assert second.raw.shape == (2, 3) and second.values.tolist() == [[13], [14]]
    comms.queue_frames(0)
    with pytest.raises(RuntimeError, match="queue_frames"):
        comms.take_frames()


def test_a_frame_without_values_withdraws_the_unread_frame(params: Callable[..., str], device: PtyDevice) -> None:
    comms = nc.NervlaneComms()
    comms.init(params([1, [], [taxel(0, 0)]]))
    comms.connect(device.port)
    device.write(binary_frame([42]))
    assert eventually(lambda: comms.read_raw(0) == [42.0])
    device.write(b"\xff\xff\x00\x00")  # a frame announcing no readings
    assert eventually(lambda: comms.read_raw(0) == [])
    started = time.monotonic()
    assert comms.read(200) == []
    assert comms.read_frame(200) is None
    assert time.monotonic() - started >= 0.38
    assert comms.read(0) == [42.0]


def test_init_errors_are_runtime_errors_and_change_nothing(params: Callable[..., str], tmp_path: Path) -> None:
    comms = nc.NervlaneComms()
    comms.init(params([1, [], [taxel(0, 2)]]))
    assert comms.read(0) == [0.0, 0.0, 0.0]
    wrong_kind = triaxial(0, 0)
    wrong_kind["SensorParameters"]["sensor_type"] = 1
    cases: list[tuple[str | Path, str]] = [
        (str(tmp_path / "missing.msgpack"), "^Cannot find sensor parameter file$"),
        (tmp_path / "missing.msgpack", "^Cannot find sensor parameter file$"),
        # Only regular files are read: a directory reports a size it does not hold.
        (tmp_path, "^Cannot find sensor parameter file$"),
        ("/dev/null", "^Cannot find sensor parameter file$"),
        (str(tmp_path / "bad\0name"), "^Cannot find sensor parameter file$"),
        (params(raw_bytes=b""), r"^not a MessagePack parameter file: the file is empty \(insufficient bytes\)$"),
        (params(raw_bytes=b"\x93\x01\x90"), r"^the file ends after 3 bytes, .* \(insufficient bytes\)$"),
        (params(raw_bytes=b"\xc1"), r"^not a MessagePack parameter file: .* 0xc1, .* \(parse error\)$"),
        (params({"protocol": 1}), r"^not a MessagePack parameter file: it holds a map where .* \(bad cast\)$"),
        (
            params([1, [], [{"SensorParameters": {"sensor_type": 1.0}}]]),
            r"^taxel record 0, sensor_type: needs an integer .*, found the float 1\.0 \(bad cast\)$",
        ),
        (
            params([1, [], [taxel(0, 0, outputs={0: 1, 1: 2})]]),
            r"^taxel record 0, output_map: 2 entries.* \(Invalid output map for the sensor type\)$",
        ),
        (params([1, [], [taxel(0, 0), taxel(0, -1)]]), "^taxel record 1, output_map: .*-1"),
        (params([1, [wrong_kind], []]), r"^triaxial record 0, sensor_type: .*\(Invalid sensor type\)$"),
    ]
    for path, message in cases:
        with pytest.raises(RuntimeError, match=message):
            comms.init(path)

    # Opening a FIFO waits for a writer. If init ever did, one comes after 5 s,
    # so the test fails rather than the suite hanging.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Timer(5.0, lambda: os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)))
    writer.start()
    started = time.monotonic()
    try:
        with pytest.raises(RuntimeError, match="^Cannot find sensor parameter file$"):
            comms.init(fifo)
    finally:
        writer.cancel()
    assert time.monotonic() - started < 2.0
    assert comms.read(0) == [0.0, 0.0, 0.0]


# The calls that wait; each takes the time-out as its first argument.
WAITS = ["read", "read_frame", "take_frames"]


@pytest.mark.parametrize("wait", WAITS)
def test_other_threads_run_while_a_call_waits(wait: str) -> None:
    comms = nc.NervlaneComms()
    comms.queue_frames(10)
    count = 0
    stop = threading.Event()

    def spin() -> None:
        nonlocal count
        while not stop.is_set():
            count += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.05)
    # The spinner's pace while this thread sleeps: what it keeps during a wait
    # that lets the interpreter lock go.
    before, started = count, time.monotonic()
    time.sleep(0.25)
    pace = (count - before) / (time.monotonic() - started)
    before, started = count, time.monotonic()
    result = getattr(comms, wait)(1000)
    waited = time.monotonic() - started
    during = count - before
    stop.set()
    spinner.join()
    assert not result
    assert 0.95 <= waited < 3.0
    # Holding the lock for the whole wait would leave the spinner a switch
    # interval or two (5 ms each) of its pace; released, it keeps most of it.
    assert during > 0.3 * pace * waited


@pytest.mark.parametrize("wait", WAITS)
def test_ctrl_c_ends_a_long_wait_quickly(wait: str) -> None:
    # Python's own Ctrl-C handler, which a program started in the background
    # (SIGINT ignored) does not get.
    code = f"""
        import signal
        import nervlane_comm_py
        signal.signal(signal.SIGINT, signal.default_int_handler)
        comms = nervlane_comm_py.NervlaneComms()
        comms.queue_frames(10)
        print("waiting", flush=True)
        comms.{wait}(10000)
    """
    args = [sys.executable, "-c", textwrap.dedent(code)]
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        try:
            assert proc.stdout is not None and proc.stdout.readline() == b"waiting\n"
            time.sleep(0.3)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=5)
            ended = time.monotonic() - sent
        finally:
            proc.kill()
    assert proc.returncode != 0
    assert b"KeyboardInterrupt" in err
    assert ended < 1.5


def test_the_not_plugged_in_warning_is_written_once(params: Callable[..., str]) -> None:
    # Two taxels beyond the 3-value frames, on two objects: one line in all.
    path = params([1, [], [taxel(10, 0), taxel(11, 1)]])
    code = f"""
        import nervlane_comm_py
        from nervlane.virtual import PtyDevice
        objects = [nervlane_comm_py.NervlaneComms() for _ in range(2)]
        with PtyDevice() as a, PtyDevice() as b:
            for comms, dev in zip(objects, (a, b)):
                comms.init({path!r})
                comms.connect(dev.port)
                dev.stream_readings("binary", lambda i: [1, 2, 3], 100.0)
            for _ in range(5):
                for comms in objects:
                    assert comms.read(2000) == [0.0, 0.0]
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == WARNING_LINE


def test_type_stub_matches_and_checks_under_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    good = tmp_path / "good.py"
    good.write_text(
        textwrap.dedent("""
        from pathlib import Path

        import nervlane_comm_py

        def once(port: str, params: Path) -> bool:
            with nervlane_comm_py.NervlaneComms() as comms:
                comms.init(params)
                comms.connect(port)
                comms.close()
                return comms.is_connected()

        def loop(port: str, params: str) -> list[float]:
            comms = nervlane_comm_py.NervlaneComms()
            comms.init(file_name=params)
            comms.connect(port=port)
            comms.connect(port, reconnect=True, realtime=False)
            comms.zero([0, 2])
            comms.zero((1,))
            version: str = nervlane_comm_py.NervlaneComms.version + comms.version
            raw: list[float] = comms.read_raw(timeout=0)
            try:
                comms.connect(port)
            except nervlane_comm_py.PortError as error:
                if error.reason == "busy" and error.description:
                    raise
            if comms.is_connected() and version and raw:
                return comms.read(500)
            return comms.read()

        def capture(comms: nervlane_comm_py.NervlaneComms) -> float:
            comms.queue_frames(capacity=1000)
            batch = comms.take_frames(timeout=100, max_frames=10)
            total: float = float(batch.raw.sum() + batch.values.sum() + batch.time.sum()) + len(batch)
            frame = comms.read_frame(timeout=100)
            if frame is not None:
                total += frame.time + frame.sequence + sum(frame.raw) + sum(frame.values)
            stats = comms.stats()
            error: str | None = stats["last_error"]
            realtime: bool = stats["realtime"]
            return total + stats["frames_dropped"] + stats["reconnects"] + len(error or "") + realtime
        """)
    )
    bad = tmp_path / "bad.py"
    bad.write_text(
        textwrap.dedent("""
        import nervlane_comm_py
        comms = nervlane_comm_py.NervlaneComms()
        comms.read("soon")
        comms.zero("ab")
        name: int = nervlane_comm_py.__version__
        frame: nervlane_comm_py.Frame = comms.read_frame()
        """)
    )
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / ".mypy_cache")}
    ok = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(good)], capture_output=True, env=env)
    assert ok.returncode == 0, ok.stdout.decode()
    refused = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(bad)], capture_output=True, env=env)
    assert refused.returncode == 1
    assert refused.stdout.decode().count("error:") >= 4
