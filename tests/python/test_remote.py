"""``nervlane serve`` and ``nervlane.remote.RemoteSensor``: real Zenoh
sessions on 127.0.0.1 only (scouting off), a pty as the device."""

from __future__ import annotations

import asyncio
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from collections.abc import Callable, Iterator
from functools import partial
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from conftest import PYTHON_SOURCE, run_cli, start_cli

from nervlane import parameters
from nervlane.extras import install_hint
from nervlane.recording import RecordingCsv
from nervlane.terminal_view import FrameReader, summary
from nervlane.virtual import NOMINAL_ZERO, Layout, PtyDevice, SignalModel, encode_frame, write_params

zenoh = pytest.importorskip("zenoh")
nc = pytest.importorskip("nervlane_comm_py")
from nervlane.remote import RemoteSensor  # noqa: E402
from nervlane.remote.payload import encode_batch, encode_json  # noqa: E402
from nervlane.remote.server import next_due  # noqa: E402
from nervlane.sensor.served import open_served  # noqa: E402

RATE = 2000.0
LAYOUT = Layout(9, 1)
DOCS = Path(__file__).resolve().parents[2] / "docs" / "wire-formats.md"

# A second subscriber in a process of its own: takes frames until none come
# for 1.5 s, then saves them.
CHILD = """
import sys, numpy as np
from nervlane.remote import RemoteSensor
with RemoteSensor(sys.argv[1], sys.argv[2]) as r:
    print("ready", flush=True)
    got = []
    while not got or len(b):
        b = r.take_frames(1500 if got else 20000)
        got.append(b)
    keys = ("sequence", "raw", "values")
    np.savez(sys.argv[3], **{k: np.concatenate([getattr(b, k) for b in got[:-1]]) for k in keys})
    print(r.stats()["frames_missed"], flush=True)
"""


def free_endpoint() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def peer(listen: list[str], connect: list[str]) -> object:
    """A bare Zenoh session, on loopback only."""
    config = zenoh.Config()
    for k, v in [("mode", "peer"), ("scouting/multicast/enabled", False), ("scouting/gossip/enabled", False)]:
        config.insert_json5(k, json.dumps(v))
    config.insert_json5("listen/endpoints", json.dumps(listen))
    config.insert_json5("connect/endpoints", json.dumps(connect))
    return zenoh.open(config)


def readline(proc: subprocess.Popen[str], timeout: float = 30.0) -> str:
    assert proc.stdout is not None
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    assert ready, "no line from the process in time"
    return proc.stdout.readline()


@pytest.fixture
def device(tmp_path: Path) -> Iterator[tuple[PtyDevice, str]]:
    params = str(tmp_path / "sensor.msgpack")
    write_params(params, LAYOUT, "binary")
    with PtyDevice(sent_maxlen=100_000) as dev:
        yield dev, params


@pytest.fixture
def serve(device: tuple[PtyDevice, str]) -> Iterator[object]:
    """Starts ``nervlane serve`` on the device; killed after the test."""
    procs: list[subprocess.Popen[str]] = []

    def start(name: str, endpoint: str, *extra: str, wait: bool = True) -> subprocess.Popen[str]:
        dev, params = device
        proc = start_cli("serve", dev.stable_port(), params, "--name", name, "--listen", endpoint, *extra)
        procs.append(proc)
        if wait:
            line = readline(proc)
            assert line.startswith(f"serving {dev.stable_port()} as {name} on {endpoint}"), (
                line,
                proc.poll() is not None and proc.communicate(),
            )
        return proc

    yield start
    for p in procs:
        p.kill()
        p.communicate()


def until(ready: Callable[[], object], seconds: float = 10.0) -> None:
    deadline = time.monotonic() + seconds
    while not ready() and time.monotonic() < deadline:
        time.sleep(0.01)


def take_all(r: RemoteSensor, quiet_ms: int = 1500) -> list[object]:
    """Every batch until none comes for ``quiet_ms``."""
    got = [r.take_frames(20_000)]
    while len(got[-1]):
        got.append(r.take_frames(quiet_ms))
    return got


def joined(batches: list[object], key: str) -> np.ndarray:
    return np.concatenate([getattr(b, key) for b in batches if len(b)])


def local_values(params: str, raw: np.ndarray) -> np.ndarray:
    """The calibrated values the module gives for these raw frames, here."""
    with PtyDevice() as dev, nc.NervlaneComms() as comms:
        comms.init(params)
        comms.connect(dev.port)
        comms.queue_frames(len(raw))
        for row in raw:
            dev.write(encode_frame("binary", [int(v) for v in row]))
        got: list[object] = []
        while sum(map(len, got)) < len(raw):
            got.append(comms.take_frames(5000))
            assert len(got[-1])
    return joined(got, "values")


def test_every_frame_reaches_each_subscriber_once_and_a_slow_one_holds_nobody_up(device, serve, tmp_path):
    dev, params = device
    endpoint = free_endpoint()
    dev.stream_readings("binary", SignalModel(LAYOUT, 11, RATE), RATE)
    server = serve("hand", endpoint)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, "hand", endpoint, str(tmp_path / "child.npz")],
        stdout=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONPATH": str(PYTHON_SOURCE)},
    )
    try:
        assert readline(child) == "ready\n"
        with RemoteSensor("hand", endpoint) as fast, RemoteSensor("hand", endpoint, capacity=500) as slow:
            batches: list[object] = []
            reader = threading.Thread(target=lambda: batches.extend(take_all(fast)))
            reader.start()
            first = slow.take_frames(10_000, max_frames=1).sequence
            time.sleep(2.0)  # the slow subscriber reads nothing
            slow_batches = []
            until = time.monotonic() + 1.0
            while time.monotonic() < until:
                slow_batches.append(slow.take_frames(100))
            dev.stop()
            reader.join(timeout=30)
            slow_batches += take_all(slow)
            slow_stats, fast_stats = slow.stats(), fast.stats()
        missed_by_child = int(readline(child))
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.communicate()

    # Each gets every frame once, in order, from its first to the device's last ...
    mine = {k: joined(batches, k) for k in ("sequence", "raw", "values")}
    theirs = np.load(tmp_path / "child.npz")
    for got in (mine, theirs):
        assert (np.diff(got["sequence"]) == 1).all()
    assert fast_stats["frames_missed"] == missed_by_child == 0
    _, i, j = np.intersect1d(mine["sequence"], theirs["sequence"], return_indices=True)
    assert len(i) > 0.8 * 3 * RATE
    for k in ("raw", "values"):
        np.testing.assert_array_equal(mine[k][i], theirs[k][j])
    # ... with the device's frames, calibrated as the module does here.
    sent = np.array([f.readings for f in dev.sent])
    start = int(np.flatnonzero((sent == mine["raw"][0]).all(axis=1))[0])
    assert start + len(mine["raw"]) == len(sent)
    np.testing.assert_array_equal(mine["raw"], sent[start:])
    np.testing.assert_array_equal(mine["values"][:300], local_values(params, mine["raw"][:300]))

    # The slow one lost the oldest frames it had no room for, and knows it;
    # nobody else lost any, and the server's queue never overflowed.
    slow_seq = np.concatenate([first, joined(slow_batches, "sequence")])
    assert slow_stats["buffer_dropped"] == slow_stats["frames_missed"] > 0.8 * 2 * RATE - 500
    assert slow_stats["frames_not_received"] == 0  # all it lost, its buffer dropped
    assert (np.diff(slow_seq) > 0).all()
    assert len(slow_seq) + slow_stats["frames_missed"] == slow_seq[-1] - slow_seq[0] + 1
    assert slow_stats["frames_received"] == len(slow_seq) + slow_stats["buffer_dropped"]
    assert fast_stats["frames_dropped"] == 0 and fast_stats["server_alive"]
    server.send_signal(signal.SIGTERM)
    assert server.wait(timeout=30) == 0
    # At most a batch every 10 ms: about 20 frames each at 2000 frames/s.
    served = re.search(r"served (\d+) frame\(s\) in (\d+) batch", server.communicate()[1])
    assert served is not None and int(served[1]) / int(served[2]) > 12


def test_serve_keeps_its_batches_on_schedule_however_late_each_pass():
    # 100 frames/s; each pass takes its frames 2 ms after it meant to (or
    # after the next frame, when none waits): still a frame a batch, none
    # behind a newer one, which a client's read_frame would count overwritten.
    times, sizes, now, due = [k / 100 for k in range(1, 301)], [], 0.0, float("-inf")
    while times:
        now = max(now, due, times[0]) + 0.002
        batch = [t for t in times if t <= now]
        times, due = times[len(batch) :], next_due(due, batch[0], now)
        sizes.append(len(batch))
    assert sizes == [1] * 300


def test_remote_zero_and_a_device_that_goes(device, serve):
    dev, params = device
    endpoint = free_endpoint()
    loaded = [NOMINAL_ZERO + 5000] * LAYOUT.frame_size
    dev.stream_readings("binary", lambda i: loaded, 500)
    server = serve("zeroed", endpoint, "--no-reconnect")
    taxels = [LAYOUT.taxel_output(j) for j in range(LAYOUT.taxels)]
    sensor = open_served("zeroed", endpoint)  # as the tools' --from does
    r = sensor.comms
    assert (sensor.format, sensor.params, r.info()["port"]) == ("binary", params, dev.stable_port())
    with r:
        r.queue_frames(10_000)  # as the tools, it buffers nothing before
        assert (r.take_frames(10_000).values[:, taxels] > 1).all()
        # The server found at once, as the module's first connect: no outage, no reconnect.
        assert (r.stats()["port_errors"], r.stats()["reconnects"]) == (0, 0)
        last = LAYOUT.output_size - 1
        for bad in (2**70, last + 1):  # too large for any integer type; one past the last output
            with pytest.raises(RuntimeError, match=rf"^indices: a list of output positions 0\.\.{last}$"):
                r.zero([bad])
        with peer([], [endpoint]) as other:  # a request no client of ours sends is answered too
            for request, says in ((b"[" * 100_000, "nested too deeply"), (encode_json({"indices": [0.5]}), "numbers")):
                answer = next(iter(other.get("nervlane/zeroed/zero", payload=request, timeout=10)))
                assert says in json.loads(answer.ok.payload.to_bytes())["error"]
        r.zero([])
        time.sleep(0.2)
        r.take_frames(0)  # what was on its way before the zero
        assert np.abs(r.take_frames(5000).values[:, taxels]).max() < 1e-6
        with pytest.raises(TypeError):
            r.zero(["all"])
        dev.stop()
        with pytest.raises(RuntimeError, match=r"^Could not zero the sensor$"):
            r.zero([])
        dev.hang_up()  # without reconnecting, serve stops as record does
        assert server.wait(timeout=30) == 4
        assert "went away" in server.communicate()[1]
        assert not r.is_connected() and r.stats()["last_error"]


def test_client_before_serve_a_killed_serve_and_the_documented_reader(device, serve):
    dev, _ = device
    endpoint = free_endpoint()
    dev.stream_readings("binary", SignalModel(LAYOUT, 5, 500), 500)
    with RemoteSensor("early", endpoint) as r:
        assert len(r.take_frames(300)) == 0 and not r.is_alive()
        # A bare Zenoh subscriber captures payloads, for the reader in the docs.
        payloads: list[bytes] = []
        with peer([], [endpoint]) as session:
            capture = session.declare_subscriber(
                "nervlane/early/frames", lambda s: payloads.append(s.payload.to_bytes())
            )
            server = serve("early", endpoint)
            seen = [r.take_frames(10_000)]
            enough = len(payloads) + 3  # and so some sent after the client's first
            assert len(seen[0]) and r.is_connected() and r.info()["output_count"] == LAYOUT.output_size
            deadline = time.monotonic() + 10
            while len(payloads) < enough and time.monotonic() < deadline:
                time.sleep(0.05)
            payload = payloads[-1]
            time.sleep(0.3)
            seen.append(r.take_frames(0))

            code = re.search(r"## Served payloads.*?```python\n(.*?)```", DOCS.read_text(), re.S)
            assert code is not None
            namespace: dict[str, object] = {}
            exec(code.group(1), namespace)  # the docs' own reader, not a copy
            decoded = namespace["read_batch"](payload)  # type: ignore[operator]
            both = np.isin(joined(seen, "sequence"), decoded["sequence"])
            assert both.sum() == len(decoded["sequence"]) > 0
            for k in ("raw", "values"):
                np.testing.assert_array_equal(decoded[k], joined(seen, k)[both])
            assert abs(decoded["utc"][-1] - time.time()) < 5

            # The device going is told at once, not with the next second's stats.
            heard: list[dict[str, object]] = []
            session.declare_subscriber("nervlane/early/stats", lambda s: heard.append(json.loads(s.payload.to_bytes())))
            until(lambda: heard)
            dev.hang_up()
            until(lambda: any(m["connected"] is False for m in heard))
            gone = next(m for m in heard if m["connected"] is False)
            assert gone["time"] - heard[0]["time"] < 0.6  # type: ignore[operator]

            capture.undeclare()
            server.kill()
            killed = time.monotonic()
            while r.is_alive() and time.monotonic() - killed < 10:
                time.sleep(0.01)
            assert time.monotonic() - killed < 2.0
        stats = r.stats()
        assert not stats["server_alive"] and not r.is_connected()
        for _ in range(3):  # time-outs go on, quietly
            r.take_frames(50)
        assert r.read_frame(50) is not None and r.read_frame(50) is None


def test_record_and_monitor_from_a_served_sensor_as_from_a_port(device, serve, tmp_path):
    dev, params = device
    endpoint = free_endpoint()
    rate = RATE / 2  # the tools' path; the full rate is the first test's
    dev.stream_readings("binary", SignalModel(LAYOUT, 3, rate), rate)
    server = serve("tools", endpoint)
    dev.write(b"\x00" * 64)  # the server skips these before the tools start: they count none
    source = ("--from", "tools", "--connect", endpoint)
    done = run_cli("record", *source, "-o", str(tmp_path / "r.csv"), "--seconds", "2")
    assert done.returncode == 0 and "frames lost: 0 " in done.stdout, done.stderr
    names = parameters.output_names(parameters.load(params)[0], LAYOUT.output_size)
    with RecordingCsv(str(tmp_path / "r.csv")) as recording:
        header, rows = recording.header, np.concatenate(list(recording.chunks()))
    assert header == ["sequence", "time_s", *parameters.raw_names(LAYOUT.frame_size), *names]
    raw, values = rows[:, 2 : 2 + LAYOUT.frame_size], rows[:, 2 + LAYOUT.frame_size :]
    # Every frame once, in order, as the device sent it and the module calibrates it ...
    assert (np.diff(rows[:, 0]) == 1).all() and len(rows) > 0.8 * 2 * rate
    sent = np.array([f.readings for f in dev.sent])
    start = int(np.flatnonzero((sent == raw[0]).all(axis=1))[0])
    np.testing.assert_array_equal(raw, sent[start : start + len(raw)])
    np.testing.assert_allclose(values[:300], local_values(params, raw[:300]), rtol=1e-12)
    # ... at its decode time, from the recording's start on this machine's clock.
    assert 0 <= rows[0, 1] < 0.5 and 1.5 < rows[-1, 1] < 2.5 and (np.diff(rows[:, 1]) >= 0).all()
    meta = json.loads((tmp_path / "r.csv.json").read_text())
    assert (meta["port"], meta["params"], meta["format"]) == (f"tools on {socket.gethostname()}", params, "binary")
    assert meta["frames"] == len(rows) and meta["stopped_by"] == "--seconds 2" and meta["bytes_discarded"] == 0

    done = run_cli("monitor", *source, "--seconds", "2")
    assert done.returncode == 0 and "taxel 3" in done.stdout, done.stderr
    # Each frame that came was shown or replaced by a newer one, as the module counts.
    counts = re.search(r"read (\d+) frames .* decoded (\d+)\s+overwritten (\d+)", done.stdout)
    assert counts is not None, done.stdout
    shown, decoded, replaced = map(int, counts.groups())
    assert decoded > rate and abs(decoded - shown - replaced) < 50 and shown <= decoded

    # The server restarts under a recording: one outage, and the numbers go on.
    path = tmp_path / "again.csv"
    recording = start_cli("record", *source, "-o", str(path))

    def rows_after(n: int) -> int:
        deadline = time.monotonic() + 30
        while not (path.exists() and path.read_bytes().count(b"\n") > n + 1) and time.monotonic() < deadline:
            time.sleep(0.1)
        return path.read_bytes().count(b"\n") - 1

    before = rows_after(100)
    server.send_signal(signal.SIGTERM)
    assert server.wait(timeout=30) == 0
    serve("tools", endpoint)
    rows_after(before + 200)
    recording.send_signal(signal.SIGTERM)
    summary, errors = recording.communicate(timeout=30)
    assert recording.returncode == 0 and "nervlane serve stopped" in errors and "is back after" in errors, errors
    assert re.search(r"^\d\d:\d\d:\d\d the sensor tools on \S+ went away \(last error: ", errors, re.M), errors
    with RecordingCsv(str(path)) as again:
        rows = np.concatenate(list(again.chunks()))
    assert (np.diff(rows[:, 0]) > 0).all() and (np.diff(rows[:, 1]) >= 0).all()
    meta = json.loads((tmp_path / "again.csv.json").read_text())
    assert len(meta["outages"]) == 1
    # The frames the restart cost never reached this machine: the tool dropped none.
    gaps = int((np.diff(rows[:, 0]) - 1).sum())
    lost = f"frames lost: {gaps} (before they reached this machine: {gaps}; overwritten/dropped by this tool: 0;"
    assert lost in summary and (meta["frames_not_received"], meta["frames_lost_by_tool"]) == (gaps, 0), summary


def test_view_from_a_served_sensor(device, serve):
    aiohttp = pytest.importorskip("aiohttp")
    dev, _ = device
    endpoint = free_endpoint()
    dev.stream_readings("binary", SignalModel(LAYOUT, 3, 500), 500)
    serve("page", endpoint)
    view = start_cli("view", "--from", "page", "--connect", endpoint, "--no-browser", "--http", "127.0.0.1:0")
    try:
        url = readline(view).strip()
        with urllib.request.urlopen(url, timeout=30) as page:
            assert page.status == 200 and b"<html" in page.read().lower()

        async def first_messages() -> list[dict[str, object]]:
            async with aiohttp.ClientSession() as session, session.ws_connect(url + "ws") as ws:
                got = []
                while not any(m.get("type") == "frames" for m in got):
                    message = await ws.receive(timeout=30)
                    if message.type == aiohttp.WSMsgType.TEXT:
                        got.append(json.loads(message.data))
                return got

        hello, state, *_ = asyncio.run(first_messages())
        assert hello["names"][:4] == ["tri0_x", "tri0_y", "tri0_z", "taxel_3"]
        assert hello["port"] == f"page on {socket.gethostname()}" and state["connection"] == "connected"
    finally:
        view.send_signal(signal.SIGTERM)
        _, errors = view.communicate(timeout=30)
    assert view.returncode == 0 and "Traceback" not in errors, errors


def test_client_counts_gaps_restarts_and_junk_and_puts_times_on_its_clock():
    # A server whose monotonic clock reads 1000 s less than this machine's.
    anchor = time.time() - time.monotonic() + 1000.0

    def batch(stream: int, sequence: list[int], when: float = 0.5, at: float = anchor) -> bytes:
        n, values = len(sequence), np.array(sequence, float)[:, None]  # each frame's values: its number
        return encode_batch(stream, 1, at, sequence, [when] * n, np.hstack([values, values]), values)

    endpoint = free_endpoint()
    with (
        peer([endpoint], []) as session,
        RemoteSensor("fake", endpoint) as r,
        RemoteSensor("fake", endpoint, as_module=True, capacity=0) as here,  # as --from opens it
    ):
        # Each payload below is counted by what it does: none may be dropped on a busy machine.
        server = SimpleNamespace(put=partial(session.put, congestion_control=zenoh.CongestionControl.BLOCK))
        deadline = time.monotonic() + 10
        while min(c.stats()["frames_received"] for c in (r, here)) == 0 and time.monotonic() < deadline:
            server.put("nervlane/fake/frames", batch(1, [1]))  # until the client has connected
            time.sleep(0.1)
        time.sleep(1.0)  # for any frame sent twice
        r.take_frames(0)
        primed = [c.stats()["payloads_rejected"] for c in (r, here)]  # the priming frame again, if it came twice
        # Messages no server sends are refused whole and counted; what comes after is taken.
        odd = dict(frames_decoded="lots", clock_anchor="x", stream=0, connects=True, reconnects=-1)
        odd.update(connected=1, last_error=5)
        bad_stats = [
            b'{"version": 1, "stream": 8, "clock_anchor": 1e400}',
            b'{"version": 1, "stream": 8, "note": NaN}',
            *(encode_json({"stream": 7, k: v}) for k, v in odd.items()),  # one field amiss in each
            encode_json({"stream": 7}).decode().encode("utf-16"),
            b'{"version": true, "stream": 8}',
            b'{"version": 2, "stream": 8}',
            b"[" * 100_000,
        ]
        bad_frames = [
            b"NLFB\x00\x00" + batch(8, [4])[6:],
            batch(8, [100, 4]),
            batch(8, [4]) + bytes(8),  # more than its header says it holds
            batch(8, [4, 4]),
            batch(0, [4]),
            batch(8, [3]),
            batch(8, [4], at=float("nan")),
            batch(8, [4], when=float("nan")),
            b"NLFB\x02\x00",
        ]
        for stream, sequence in ((7, [1, 2, 3]), (7, [6, 7]), (8, [2, 3])):
            if stream == 8:  # run 7 ends in an outage of its port: run 8's connect ends it
                # Stats have come before the frames put ahead of them on a busy machine.
                until(lambda: [c.stats()["frames_received"] for c in (r, here)] == [6, 6])
                for junk in bad_stats:
                    server.put("nervlane/fake/stats", junk)
                stats = {"stream": 7, "port_errors": 1, "reconnects": 0, "frames_decoded": 9}
                stats.update(last_error_time=5.0, last_reconnect_time=4.0)  # on the server's clock
                server.put("nervlane/fake/stats", encode_json(stats))
                until(lambda: here.stats()["frames_decoded"] == 1 + 9 and r.stats()["frames_decoded"] == 9)
                assert not {"last_error_time", "last_reconnect_time"} & set(here.stats())  # it has outages of its own
                # A view that starts now takes frame 7, which its server counted before the view
                # began, as it did 8 and 9, which never come: 3 decoded, 1 of them read.
                view = FrameReader(r, raw=False, expected_rate=None, reconnect=True)
                view.start()
                until(lambda started=view: started.frames == 1)
                view.stop()
                assert summary(view.snapshot(), view.base, 1.0).startswith("read 1 frames in 1.0 s (1.0/s); decoded 3 ")
            server.put("nervlane/fake/frames", batch(stream, sequence))
        for junk in bad_frames:
            server.put("nervlane/fake/frames", junk)

        def rejected() -> list[int]:
            return [c.stats()["payloads_rejected"] - n for c, n in zip((r, here), primed, strict=True)]

        until(lambda: rejected() == [len(bad_stats + bad_frames)] * 2)
        # 4 and 5 never came; a new stream starts again and is handed over apart.
        assert r.take_frames(0, max_frames=4).sequence.tolist() == [1, 2, 3, 6]
        assert [r.take_frames(0).sequence.tolist() for _ in range(3)] == [[7], [2, 3], []]
        stats = r.stats()
        assert rejected() == [len(bad_stats + bad_frames)] * 2
        assert stats["frames_missed"] == stats["frames_not_received"] == 2
        # As the module: frames numbered on across the three server runs (1, 9 and
        # 3 frames decoded, by their numbers), at the same instants on this machine's
        # clock, with UTC what it was; the frames that never came are counted, 8 and 9
        # of run 7 and 1 of run 8 among them.
        unread = here.stats()["frames_overwritten"]
        theirs, mine = r.read_frame(0), here.read_frame(0)
        assert theirs is not None and mine is not None
        assert (theirs.sequence, theirs.time, theirs.raw, mine.values) == (3, 0.5, [3, 3], [3])
        assert mine.sequence == here.stats()["frames_decoded"] == 1 + 9 + 3
        # All but the newest, before it was read as after.
        assert unread == here.stats()["frames_overwritten"] == here.stats()["frames_received"] - 1
        assert (here.stats()["port_errors"], here.stats()["reconnects"]) == (1, 1)
        assert (here.stats()["frames_not_received"], here.stats()["buffer_dropped"]) == (2 + 2 + 1, 0)
        assert abs(mine.time - 1000.5) < 0.01 and abs(mine.time + mine.anchor - (0.5 + anchor)) < 1e-6
        # A run that claims more frames than the numbers hold: the next run's
        # frames are refused rather than numbered on past 2^64.
        server.put("nervlane/fake/stats", encode_json({"stream": 9, "frames_decoded": 2**64 - 2}))
        until(lambda: here.stats()["frames_decoded"] > 2**64)
        server.put("nervlane/fake/frames", batch(10, [1]))
        until(lambda: rejected()[1] > rejected()[0])
        assert r.take_frames(0).sequence.tolist() == [1] and rejected()[1] == rejected()[0] + 1


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["--name", "a/b"], 2, "may hold only letters"),
        (["--name", "x", "--zenoh-config", "missing.json5"], 2, "no such file"),
        (["--name", "x", "--listen", "BUSY"], 1, "--listen tcp/127.0.0.1:PORT"),
        (["--name", "x", "--listen", "NOZENOH"], 5, install_hint("remote")),
        (["--name", "x", "--listen", "127.0.0.1:7447"], 2, "(no protocol): give one like tcp/127.0.0.1:7447"),
        (["--name", "x", "--listen", "tcp/127.0.0.1:99999"], 2, "(the port must be a number from 1 to 65535)"),
    ],
)
def test_serve_refuses_what_it_cannot_do(device, tmp_path, monkeypatch, args, code, message):
    dev, params = device
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        endpoint = f"tcp/127.0.0.1:{busy.getsockname()[1]}"
        if "NOZENOH" in args:
            (tmp_path / "zenoh.py").write_text("raise ImportError('No module named zenoh')\n")
            monkeypatch.setenv("PYTHONPATH", str(tmp_path))
        args = [endpoint if a in ("BUSY", "NOZENOH") else a for a in args]
        result = run_cli("serve", dev.stable_port(), params, *args)
    assert result.returncode == code, result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr
