"""``nervlane record`` and ``nervlane recover``: run as a user runs them, in
a subprocess against a virtual sensor on a pseudo-terminal; and the
recording writer that other tools share with the command's own steps, run
in this process."""

from __future__ import annotations

import csv
import dataclasses
import json
import os
import re
import signal
import subprocess
import threading
import time
from collections.abc import Callable
from datetime import datetime
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from conftest import Cli, StreamingSensor, start_cli

from nervlane import parameters
from nervlane.commands.record import record_sensor
from nervlane.console import ToolConsole
from nervlane.options import PortSource, RecordOptions
from nervlane.recording import RecordingFailed, RecordingWriter, Rows, check_output, load
from nervlane.sensor import Sensor, open_sensor
from nervlane.virtual import PtyDevice, SignalModel

nc = pytest.importorskip("nervlane_comm_py")


def batch(first: int, n: int, width: int) -> Rows:
    sequence = np.arange(first, first + n, dtype=np.uint64)
    raw = np.repeat(sequence[:, None].astype(float), width, axis=1)
    return Rows(sequence, time.monotonic() + sequence / 1000.0, raw, raw[:, :1] / 2)


class Comms:
    def stats(self) -> dict[str, int]:
        return {"frames_rejected": 0, "bytes_discarded": 0}


def test_two_recordings_to_one_name_the_second_leaves_the_first_alone(tmp_path: Path) -> None:
    outputs = check_output(str(tmp_path / "r.csv"))
    sensor = Sensor(Comms(), "COM9", "COM9", "/p.msgpack", "binary", ["taxel_0"])
    first, second = RecordingWriter(outputs, sensor), RecordingWriter(outputs, sensor)
    first.add(batch(1, 10, 3))
    first.flush()
    sidecar = (tmp_path / "r.csv.json").read_bytes()
    with pytest.raises(RecordingFailed) as failed:
        second.add(batch(1, 10, 3))
    assert failed.value.code == 2 and "appeared meanwhile" in str(failed.value)
    assert (tmp_path / "r.csv.json").read_bytes() == sidecar
    assert second.finish("test").failure is failed.value
    summary = first.finish("test", {"frames_rejected": 3, "bytes_discarded": 7})
    assert summary.frames == 10 and summary.lines()[1].startswith("frames lost: 3 (")
    assert (tmp_path / "r.csv").read_text().count("\n") == 11


def test_an_mcap_cut_short_while_the_sensor_is_away_reads_back_its_outage_as_unended(tmp_path: Path) -> None:
    writer = RecordingWriter(check_output(str(tmp_path / "r.mcap")), Sensor(Comms(), "COM9", "COM9", "/p", "", []))
    writer.add(batch(1, 10, 3))
    writer.note_outage_start(time.monotonic(), "unplugged")
    writer.flush()  # and never finished
    with pytest.warns(UserWarning, match="is unfinished"):
        assert [o["ended"] for o in load(tmp_path / "r.mcap").outages] == [False]


def test_record_times_from_before_the_queue_and_a_failing_close_costs_nothing(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    streaming_sensor: Callable[..., StreamingSensor],
) -> None:
    device = streaming_sensor("binary", rate_hz=1000.0, taxels=4, triaxials=0)

    class SlowQueueBadClose:
        def __init__(self, comms: Any) -> None:
            self._comms = comms

        def __getattr__(self, name: str) -> Any:
            return getattr(self._comms, name)

        def queue_frames(self, capacity: int) -> None:
            self._comms.queue_frames(capacity)
            time.sleep(0.05 if capacity else 0)  # frames are decoded before this returns

        def close(self) -> None:
            self._comms.close()
            raise nc.PortError("IO Exception: the port failed as it closed")

    sensor = open_sensor(device.port, device.params)
    sensor = dataclasses.replace(sensor, comms=SlowQueueBadClose(sensor.comms))
    options = RecordOptions(PortSource(device.port, device.params), str(tmp_path / "r.npz"), seconds=0.5)
    record_sensor(sensor, check_output(options.output), options, ToolConsole(stderr=True))
    told = capsys.readouterr()
    assert f"closing {device.port} failed" in told.err and "recorded " in told.out
    with np.load(tmp_path / "r.npz") as data:
        assert len(data["time_s"]) >= 100 and data["time_s"].min() >= 0
        assert data["time_s"][0] > 0  # from the time read before the queue, not from the first frame


def test_a_recording_that_stops_while_the_device_is_away_notes_the_outage_as_unended(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    streaming_sensor: Callable[..., StreamingSensor],
) -> None:
    device = streaming_sensor("binary", rate_hz=1000.0, taxels=4, triaxials=0)
    options = RecordOptions(PortSource(device.port, device.params), str(tmp_path / "r.csv"), seconds=1.5)
    sensor = open_sensor(device.port, device.params, reconnect=True)
    pull = threading.Timer(0.5, device.device.hang_up)
    pull.start()
    record_sensor(sensor, check_output(options.output), options, ToolConsole(stderr=True))
    pull.join()
    (outage,) = json.loads((tmp_path / "r.csv.json").read_text())["outages"]
    assert not outage["ended"] and 0.3 < outage["seconds"] < 1.3 and 0.3 < outage["start_s"] < 1.0, outage
    assert "still away at the stop" in capsys.readouterr().out


def read_csv(path: Path) -> tuple[list[str], list[list[str]]]:
    with path.open(newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def wait_for_rows(path: Path, rows: int, timeout: float = 20.0) -> None:
    """Until the file on disk holds ``rows`` rows below its header."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.read_bytes().count(b"\n") > rows:
            return
        time.sleep(0.1)
    raise AssertionError(f"{path} did not reach {rows} rows")


def frame_id_readings(i: int) -> list[int]:
    """22 readings from which the frame's index can be read back."""
    return [i & 0xFFFF, i >> 16, *((i + 1000 * j) & 0xFFFF for j in range(2, 22))]


class TestRecord:
    def test_one_second_holds_about_a_second_of_frames(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0, taxels=9, triaxials=1)
        out = tmp_path / "rec.csv"
        done = cli("record", sensor.port, sensor.params, "-o", str(out), "--seconds", "1", "--unit", "kPa")
        assert done.returncode == 0, done.stderr
        header, rows = read_csv(out)
        assert header[:2] == ["sequence", "time_s"] and header[2:15] == [f"raw_{i}" for i in range(13)]
        assert header[15:] == ["tri0_x", "tri0_y", "tri0_z", *(f"taxel_{p}" for p in range(3, 12))]
        assert 60 <= len(rows) <= 130
        assert all(len(r) == len(header) for r in rows)
        times = [float(r[1]) for r in rows]
        assert times == sorted(times) and times[-1] < 1.5
        sent = {f.readings for f in list(sensor.device.sent)}
        assert sum(tuple(float(v) for v in r[2:15]) in sent for r in rows[-20:]) >= 15
        assert f"recorded {len(rows)} frames" in done.stdout and "frames lost: 0" in done.stdout
        meta = json.loads((tmp_path / "rec.csv.json").read_text())
        assert (meta["port"], meta["format"], meta["frames"], meta["unit"]) == (sensor.port, "binary", len(rows), "kPa")
        assert meta["params"] == os.path.abspath(sensor.params) and meta["stopped_by"] == "--seconds 1"
        assert datetime.fromisoformat(meta["start_time"]).tzinfo is not None

    def test_every_frame_at_2000_per_second_once_with_its_own_calibrated_values(self, cli: Cli, tmp_path: Path) -> None:
        # Calibrated value = 0.5 + 2 * raw, exactly: a row whose values came
        # from another frame than its readings shows.
        params = tmp_path / "p.msgpack"
        parameters.write(
            params,
            parameters.make(
                "binary", [], [parameters.taxel_record(j, j, lower=-1.0, coefs=(0.5, 2.0)) for j in range(22)]
            ),
        )
        with PtyDevice() as device:
            device.stream_readings("binary", frame_id_readings, 2000.0)
            done = cli("record", device.stable_port(), str(params), "-o", str(tmp_path / "r.csv"), "--seconds", "3")
            dropped_by_device = device.frames_dropped
        assert done.returncode == 0, done.stderr
        header, rows = read_csv(tmp_path / "r.csv")
        assert len(header) == 2 + 22 + 22 and len(rows) >= 2000
        sequence = [int(r[0]) for r in rows]
        assert sequence == list(range(sequence[0], sequence[0] + len(rows)))
        ids = []
        for r in rows:
            raw = [int(v) for v in r[2:24]]
            ids.append(raw[0] + (raw[1] << 16))
            assert raw == frame_id_readings(ids[-1])
            assert [float(v) for v in r[24:]] == [0.5 + 2.0 * v for v in raw]
        assert ids == sorted(set(ids)) and ids[-1] - ids[0] + 1 - len(ids) <= dropped_by_device
        assert "frames lost: 0 " in done.stdout

    def test_raw_only_and_npz(self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path) -> None:
        np = pytest.importorskip("numpy")
        sensor = streaming_sensor("text", rate_hz=50.0, taxels=4, triaxials=0)
        (tmp_path / "r.csv").write_text("a recording of its own\n")
        done = cli(
            "record", sensor.port, sensor.params, "-o", str(tmp_path / "r.npz"), "--seconds", "0.6", "--raw-only"
        )
        assert done.returncode == 0, done.stderr
        assert (tmp_path / "r.csv").read_text() == "a recording of its own\n"
        assert sorted(os.listdir(tmp_path)) == sorted(["r.csv", "r.npz", os.path.basename(sensor.params)])
        sent = {f.readings for f in list(sensor.device.sent)}
        with np.load(tmp_path / "r.npz") as data:
            n = len(data["sequence"])
            assert n >= 15 and data["raw"].shape == (n, 4) and data["calibrated"].shape == (n, 0)
            assert np.all(np.diff(data["sequence"]) == 1) and np.all(np.diff(data["time_s"]) > 0)
            assert tuple(data["raw"][-1]) in sent
            assert (str(data["format"]), str(data["port"]), str(data["unit"])) == (
                "text",
                sensor.port,
                "calibrated units",
            )

    def test_frames_that_change_length_keep_one_meaning_per_column(self, cli: Cli, tmp_path: Path) -> None:
        np = pytest.importorskip("numpy")

        def width(i: int) -> int:  # grows every 50 frames, whenever the recording starts; every 7th is short
            return 2 if i % 7 == 0 else 3 + i // 50

        params = tmp_path / "p.msgpack"
        parameters.write(
            params, parameters.make("binary", [], [parameters.taxel_record(j, j, lower=-1.0) for j in range(3)])
        )
        with PtyDevice() as device:
            device.stream_readings("binary", lambda i: [i] * width(i), 200.0)
            for name in ("r.csv", "r.npz"):
                done = cli("record", device.stable_port(), str(params), "-o", str(tmp_path / name), "--seconds", "1")
                assert done.returncode == 0 and "frames of different lengths" in done.stdout, done.stderr
        header, rows = read_csv(tmp_path / "r.csv")
        widest = len(header) - 2 - 3
        assert widest >= max(width(int(r[2])) for r in rows) and len({width(int(r[2])) for r in rows}) >= 3
        for r in rows:
            i = int(r[2])
            assert r[2:] == [str(i)] * width(i) + [""] * (widest - width(i)) + [str(i)] * min(3, width(i)) + (
                ["0"] * (3 - width(i))
            )
        with np.load(tmp_path / "r.npz") as data:
            raw = data["raw"]
            for row in raw:
                w = width(int(row[0]))
                assert row[:w].tolist() == [row[0]] * w and np.isnan(row[w:]).all()

    def test_an_existing_file_or_a_folder_is_refused_before_recording(self, cli: Cli, tmp_path: Path) -> None:
        # No such port: a check made only after connecting would fail on that instead (exit 3).
        params = tmp_path / "p.msgpack"
        parameters.write(params, parameters.make("binary", [], [parameters.taxel_record(0, 0)]))
        nowhere = str(tmp_path / "ttyNOPE")
        (tmp_path / "old.csv").write_text("kept\n")
        for out, says in (
            (tmp_path / "old.csv", "old.csv already exists"),
            (tmp_path, "is a folder"),
            (tmp_path / "no" / "r.csv", "does not exist"),
        ):
            done = cli("record", nowhere, str(params), "-o", str(out), "--seconds", "1")
            assert done.returncode == 2 and says in done.stderr, done.stderr
        assert (tmp_path / "old.csv").read_text() == "kept\n"
        done = cli("record", nowhere, str(params), "-o", str(tmp_path / "old.csv"), "--force")
        assert done.returncode == 3

    def test_an_output_that_cannot_be_written_is_refused_before_the_port_opens(
        self, cli: Cli, tmp_path: Path, tmpfs: Callable[..., Path]
    ) -> None:
        params = tmp_path / "p.msgpack"
        parameters.write(params, parameters.make("binary", [], [parameters.taxel_record(0, 0)]))
        nowhere = str(tmp_path / "ttyNOPE")
        for out, says in (
            ("", "cannot record to '': the name is empty"),
            ("run.csv/", "run.csv/: that names a folder"),
            ("run.parquet", "run.parquet: the name says no format this tool writes; name a .csv, .npz or .mcap file"),
        ):
            done = cli("record", nowhere, str(params), "-o", out, "--seconds", "1", cwd=tmp_path)
            assert done.returncode == 2 and says in done.stderr, done.stderr
        assert os.listdir(tmp_path) == ["p.msgpack"]
        read_only = tmpfs("64k", read_only=True)
        done = cli("record", nowhere, str(params), "-o", str(read_only / "r.csv"), "--seconds", "1")
        assert done.returncode == 2 and f"cannot record to {read_only / 'r.csv'}: folder" in done.stderr
        assert "Read-only file system" in done.stderr and ".tmp" not in done.stderr

    @pytest.mark.parametrize("name", ["r.csv", "r.npz", "r.mcap"])
    def test_a_full_disk_stops_the_recording_with_whole_rows_and_names_the_stop(
        self, cli: Cli, tmp_path: Path, tmpfs: Callable[..., Path], name: str
    ) -> None:
        disk = tmpfs("256k")
        params = tmp_path / "p.msgpack"
        parameters.write(params, parameters.make("binary", [], [parameters.taxel_record(j, j) for j in range(22)]))
        with PtyDevice() as device:
            device.stream_readings("binary", frame_id_readings, 2000.0)
            done = cli("record", device.stable_port(), str(params), "-o", str(disk / name), "--seconds", "20")
        rows_file = disk / (f"{name}.journal.csv" if name.endswith(".npz") else name)
        assert done.returncode == 1 and "; stopped by disk full" in done.stdout, done.stderr
        assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
        assert "No space left on device" in done.stderr
        if name.endswith(".mcap"):
            assert f"once there is room, 'nervlane recover {disk / name}' finishes it" in done.stderr
            subprocess.run(["mount", "-o", "remount,size=2m", str(disk)], check=True)
            assert cli("recover", str(disk / name)).returncode == 0
            rec = load(disk / name)
            assert f"recorded {len(rec.sequence)} frames" in done.stdout and len(rec.sequence) > 500
            assert rec.meta["stopped_by"] == "disk full" and np.all(np.diff(rec.sequence.astype(int)) == 1)
            return
        assert rows_file.read_bytes().endswith(b"\n")
        header, rows = read_csv(rows_file)
        assert len(rows) > 500 and all(len(r) == len(header) for r in rows)
        assert f"recorded {len(rows)} frames" in done.stdout
        assert json.loads((disk / f"{rows_file.name}.json").read_text())["stopped_by"] == "disk full"
        if name.endswith(".npz"):
            assert (
                f"the recording is in {rows_file}" in done.stderr and f"nervlane recover {disk / name}" in done.stderr
            )

    @pytest.mark.parametrize(("reconnect", "name"), [(True, "r.csv"), (False, "r.csv"), (True, "r.mcap")])
    def test_record_across_two_outages_writes_every_frame_sent_while_connected_once(
        self, reconnect: bool, name: str, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=200.0, taxels=4, triaxials=0)
        device, out = sensor.device, tmp_path / name
        device.stop()
        device.sent.clear()
        flags = () if reconnect else ("--no-reconnect",)
        proc = start_cli("record", device.stable_port(), sensor.params, "-o", str(out), *flags)
        real = []  # each outage's shortest and longest possible length, on this clock
        gone = hung = plugged = 0.0
        try:
            for phase in range(3 if reconnect else 1):
                # The device sends only while the port is open (and, the first time, recording).
                assert device.wait_port_open(20)
                if phase:
                    real.append((plugged - hung, time.monotonic() - gone))
                time.sleep(1.0)
                device.stream_readings("binary", SignalModel(sensor.layout, phase, 200.0), 200.0)
                time.sleep(1.0)
                device.stop()
                time.sleep(0.5)  # all it sent has been read when the cable is pulled
                if phase < 2:
                    gone = time.monotonic()
                    device.hang_up()
                    hung = time.monotonic()
                if reconnect and phase < 2:
                    time.sleep(0.5)
                    device.plug_in()
                    plugged = time.monotonic()
            if reconnect:
                proc.send_signal(signal.SIGTERM)
            summary, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
            proc.wait()
        assert proc.returncode == (0 if reconnect else 4), err
        rec = load(out)
        assert [tuple(r) for r in rec.raw.tolist()] == [f.readings for f in device.sent]
        sequence = rec.sequence.tolist()
        assert sequence == list(range(sequence[0], sequence[0] + len(sequence)))
        assert len(sequence) > (500 if reconnect else 150)
        outages = rec.outages
        assert len(outages) == (2 if reconnect else 0)
        if name.endswith(".mcap"):  # a run cut short has them from its /diagnostics
            from mcap.reader import make_reader

            from nervlane.recording.mcap_scan import scan

            with out.open("rb") as f:
                metadata = next(e for e in scan(f)[0] if e.opcode == 0x0C)
                f.seek(0)
                said = [m.data for *_, m in make_reader(f).iter_messages(topics=["/diagnostics"])]
            (tmp_path / "cut.mcap").write_bytes(out.read_bytes()[: metadata.offset])
            assert load(tmp_path / "cut.mcap", [].append).outages == outages
            # Each outage is told as it starts once, though it ends at a later look.
            assert sum(b"went away" in m for m in said) == 2
        assert all(o["ended"] and o["start_s"] > 1 for o in outages), outages
        # Dated when the port failed and when it opened again, not when the tool looked.
        assert all(low - 0.03 < o["seconds"] < high + 0.03 for o, (low, high) in zip(outages, real, strict=True)), (
            outages,
            real,
        )
        assert summary.count("  outage ") == len(outages) and err.count("is back after") == len(outages)
        assert err.count("went away") == (2 if reconnect else 1) and err.count("last error: Device") == err.count(
            "went away"
        )
        told = [line for line in err.splitlines() if "come back" in line or "is back after" in line]
        assert len(told) == 2 * len(outages) and all(re.match(r"\d\d:\d\d:\d\d the sensor on /", t) for t in told), err

    def test_a_longer_frame_adds_cells_without_rewriting_the_file_while_recording(self, tmp_path: Path) -> None:
        params = tmp_path / "p.msgpack"
        parameters.write(
            params, parameters.make("binary", [], [parameters.taxel_record(j, j, lower=-1.0) for j in range(3)])
        )
        out = tmp_path / "r.csv"
        longer = threading.Event()
        with PtyDevice() as device:
            device.stream_readings("binary", lambda i: [i % 60000] * (5 if longer.is_set() else 3), 200.0)
            proc = start_cli("record", device.stable_port(), str(params), "-o", str(out))
            try:
                wait_for_rows(out, 20)
                inode = out.stat().st_ino
                longer.set()
                deadline = time.monotonic() + 20
                while (mid := out.read_text()).count(",", mid.rfind("\n", 0, -1)) != 10 and time.monotonic() < deadline:
                    time.sleep(0.05)
                assert out.stat().st_ino == inode
                proc.send_signal(signal.SIGTERM)
                proc.communicate(timeout=20)
            finally:
                proc.kill()
                proc.wait()
        lines = mid.splitlines()
        assert lines[0] == "sequence,time_s,raw_0,raw_1,raw_2,taxel_0,taxel_1,taxel_2"
        i = lines[-1].split(",")[2]
        assert lines[-1].split(",")[2:] == [i] * 8  # three raw, three calibrated, then the two readings more
        header, rows = read_csv(out)
        assert header[2:7] == [f"raw_{k}" for k in range(5)] and all(len(r) == len(header) for r in rows)
        assert rows[0][2:] == [rows[0][2]] * 3 + ["", ""] + [rows[0][2]] * 3 and rows[-1][2:] == [rows[-1][2]] * 8

    def test_an_unrecovered_journal_is_never_replaced_and_recover_makes_the_npz(self, cli: Cli, tmp_path: Path) -> None:
        np = pytest.importorskip("numpy")
        params = tmp_path / "p.msgpack"
        parameters.write(params, parameters.make("binary", [], [parameters.taxel_record(0, 0)]))
        # A short frame, a long one (its third reading after the calibrated value) and a torn row.
        journal = "sequence,time_s,raw_0,raw_1,taxel_0\n7,0.0,5,6,0.5\n8,0.01,7,,0.7\n10,0.02,1,2,0.1,3\n11,0.0"
        (tmp_path / "r.npz.journal.csv").write_text(journal)
        (tmp_path / "r.npz.journal.csv.json").write_text(json.dumps({"port": "COM3"}))
        for force in ((), ("--force",)):
            done = cli("record", str(tmp_path / "ttyNOPE"), str(params), "-o", str(tmp_path / "r.npz"), *force)
            assert done.returncode == 2 and "r.npz.journal.csv is an unrecovered recording" in done.stderr
            assert f"'nervlane recover {tmp_path / 'r.npz'}'" in done.stderr
        done = cli("recover", str(tmp_path / "r.npz"))
        assert done.returncode == 0 and "recovered 3 frames" in done.stdout and "torn" in done.stdout, done.stderr
        assert sorted(os.listdir(tmp_path)) == ["p.msgpack", "r.npz"]
        with np.load(tmp_path / "r.npz") as data:
            assert data["sequence"].tolist() == [7, 8, 10] and data["calibrated"].tolist() == [[0.5], [0.7], [0.1]]
            assert np.array_equal(data["raw"], [[5, 6, np.nan], [7, np.nan, np.nan], [1, 2, 3]], equal_nan=True)
            assert (str(data["port"]), int(data["frames_lost_by_tool"])) == ("COM3", 1)
            assert list(data["calibrated_names"]) == ["taxel_0"]
            assert (str(data["outages"]), int(data["frames_rejected"]), int(data["bytes_discarded"])) == ("[]", 0, 0)

    def test_a_stopped_run_is_written_whole_and_a_killed_one_leaves_its_rows(
        self, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        np = pytest.importorskip("numpy")
        sensor = streaming_sensor("binary", rate_hz=500.0, taxels=4, triaxials=0)
        for name, stop in (("stopped.npz", signal.SIGTERM), ("killed.npz", signal.SIGKILL)):
            proc = start_cli("record", sensor.port, sensor.params, "-o", str(tmp_path / name))
            try:
                wait_for_rows(tmp_path / f"{name}.journal.csv", 400)
                proc.send_signal(stop)
                out, err = proc.communicate(timeout=20)
            finally:
                proc.kill()
                proc.wait()
            if stop == signal.SIGTERM:
                assert proc.returncode == 0 and "stopped by SIGTERM" in out, err
                assert not (tmp_path / f"{name}.journal.csv").exists()
                with np.load(tmp_path / name) as data:
                    assert len(data["sequence"]) >= 400 and str(data["stopped_by"]) == "SIGTERM"
        journal = (tmp_path / "killed.npz.journal.csv").read_text()
        assert journal.endswith("\n") and not (tmp_path / "killed.npz").exists()
        header, rows = read_csv(tmp_path / "killed.npz.journal.csv")
        assert header == ["sequence", "time_s", *(f"raw_{i}" for i in range(4)), *(f"taxel_{i}" for i in range(4))]
        assert len(rows) >= 400 and all(len(r) == len(header) for r in rows)
        assert [int(r[0]) for r in rows] == list(range(int(rows[0][0]), int(rows[0][0]) + len(rows)))
        assert json.loads((tmp_path / "killed.npz.journal.csv.json").read_text())["port"] == sensor.port

    def test_a_format_that_does_not_fit_gets_a_hint_and_no_recording(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        sensor = streaming_sensor("text", rate_hz=200.0, taxels=4, triaxials=0)
        binary = tmp_path / "binary.msgpack"
        parameters.write(binary, parameters.make("binary", [], [parameters.taxel_record(0, 0)]))
        done = cli("record", sensor.port, str(binary), "-o", str(tmp_path / "r.csv"), "--seconds", "2.5")
        assert done.returncode == 1
        assert "no frame recorded" in done.stderr and "format (binary) match the device?" in done.stderr
        assert not list(tmp_path.glob("r.*"))
        done = cli("monitor", sensor.port, str(binary), "--seconds", "2.5")
        assert done.returncode == 0 and "nothing decoded in 2" in done.stdout
