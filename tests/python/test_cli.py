"""The ``nervlane`` command, run as a user runs it: in a subprocess, against
a virtual sensor on a pseudo-terminal."""

from __future__ import annotations

import csv
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from datetime import datetime
from importlib.metadata import version
from pathlib import Path
from types import SimpleNamespace

import msgpack
import pytest
from conftest import PYTHON_SOURCE, StreamingSensor, _cli_env, start_cli

from nervlane import parameters
from nervlane.virtual import PtyDevice, SignalModel

nc = pytest.importorskip("nervlane_comm_py")

Cli = Callable[..., subprocess.CompletedProcess[str]]

EDITED_JSON = """[
  2,
  [
    {
      "SensorParameters": {
        "sensor_type": 0,
        "input_map": {"0": 0, "1": 1, "2": 2, "3": 3},
        "output_map": {"0": 0, "1": 1, "2": 2}
      },
      "lower": [0, 0.5, 0, 0],
      "upper": [1, 1, 1, 1],
      "offset": [10.0, 10, 10, 10],
      "coefs_x": [0.0, 1.0],
      "coefs_y": [0, 1],
      "coefs_z": [1e-300, 1.5, -2]
    }
  ],
  [
    {
      "SensorParameters": {
        "sensor_type": 1,
        "input_map": {"4": 0},
        "output_map": {"0": 3}
      },
      "lower": 0,
      "upper": 65535.0,
      "offset": 1000.0,
      "coefs": [0.0, 0.001],
      "note": "edited by hand"
    }
  ]
]
"""


class TestParams:
    def test_json_round_trips_through_msgpack_unchanged(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text(EDITED_JSON)
        done = cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(tmp_path / "p.msgpack"))
        assert done.returncode == 0, done.stderr
        done = cli("params", "to-json", str(tmp_path / "p.msgpack"))
        assert done.returncode == 0, done.stderr
        assert done.stdout == EDITED_JSON

    def test_msgpack_keeps_integer_keys_ints_and_floats_apart(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text(EDITED_JSON)
        cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(tmp_path / "p.msgpack"))
        selector, (tri,), (tax,) = msgpack.unpackb((tmp_path / "p.msgpack").read_bytes(), strict_map_key=False)
        assert type(selector) is int
        assert tri["SensorParameters"]["input_map"] == {0: 0, 1: 1, 2: 2, 3: 3}
        assert [type(v) for v in tri["lower"]] == [int, float, int, int]
        assert type(tax["lower"]) is int and type(tax["offset"]) is float
        check = cli("params", "check", str(tmp_path / "p.msgpack"))
        assert check.returncode == 0, check.stderr
        assert "4 calibrated outputs" in check.stdout

    def test_check_reports_the_module_message_for_a_bad_file(self, cli: Cli, tmp_path: Path) -> None:
        bad = tmp_path / "bad.msgpack"
        parameters.write(bad, parameters.make("binary", [], [parameters.taxel_record(4, 3, output_map={0: 3, 1: 4})]))
        with pytest.raises(RuntimeError) as expected:
            nc.NervlaneComms().init(str(bad))
        done = cli("params", "check", str(bad))
        assert done.returncode == 1
        assert str(expected.value) in done.stderr and str(expected.value)
        assert "taxel record 0" in done.stderr  # the module's message does not say which

        (tmp_path / "cut.msgpack").write_bytes(bad.read_bytes()[:20])
        done = cli("params", "check", str(tmp_path / "cut.msgpack"))
        assert done.returncode == 1 and "insufficient bytes" in done.stderr

        for nowhere in (tmp_path, tmp_path / "missing.msgpack"):
            done = cli("params", "check", str(nowhere))
            assert done.returncode == 1 and str(nowhere) in done.stderr and "Traceback" not in done.stderr

        parameters.write(tmp_path / "seven.msgpack", [7, [], [parameters.taxel_record(0, 0)]])
        done = cli("params", "check", str(tmp_path / "seven.msgpack"))
        assert done.returncode == 0 and "selector 7 names no frame format" in done.stderr

    def test_bad_json_is_reported_with_its_place_and_nothing_is_written(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text('[1, [], [\n  {"lower": 1,}\n]]')
        out = tmp_path / "p.msgpack"
        out.write_bytes(b"old")
        done = cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(out))
        assert done.returncode == 1 and "line 2 column" in done.stderr
        assert out.read_bytes() == b"old"
        assert sorted(os.listdir(tmp_path)) == ["in.json", "p.msgpack"]

        # Good JSON, but a file the module would refuse: checked as `check` does.
        edited = json.loads(EDITED_JSON)
        edited[2][0]["coefs"] = "oops"
        (tmp_path / "in.json").write_text(json.dumps(edited))
        done = cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(out))
        assert done.returncode == 1
        assert 'bad cast: taxel record 0, field "coefs": needs an array of numbers' in done.stderr
        assert out.read_bytes() == b"old"

    def test_non_msgpack_input_and_untranslatable_values_are_refused(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "text.msgpack").write_bytes(b"\xc1 not msgpack")
        done = cli("params", "to-json", str(tmp_path / "text.msgpack"))
        assert done.returncode == 1 and "not a MessagePack file" in done.stderr
        (tmp_path / "bin.msgpack").write_bytes(msgpack.packb([0, [], [{"coefs": b"\x00"}]]))
        done = cli("params", "to-json", str(tmp_path / "bin.msgpack"))
        assert done.returncode == 1 and "binary data" in done.stderr

    def test_show_lays_out_every_sensor(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text(EDITED_JSON)
        cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(tmp_path / "p.msgpack"))
        done = cli("params", "show", str(tmp_path / "p.msgpack"))
        assert done.returncode == 0, done.stderr
        assert "protocol 2 (encrypted), 1 triaxial, 1 taxel sensors" in done.stdout
        assert "Taxels" in done.stdout and "1000" in done.stdout

    @pytest.mark.parametrize(
        "command",
        [
            ("params", "check", "FIFO"),
            ("params", "show", "FIFO"),
            ("monitor", "PORT", "FIFO", "--seconds", "1"),
            ("params", "check", "/dev/zero"),
            ("record", "PORT", "/dev/zero", "-o", "OUT", "--seconds", "1"),
        ],
    )
    def test_a_fifo_or_a_device_as_the_parameter_file_is_refused_at_once(
        self, cli: Cli, tmp_path: Path, command: tuple[str, ...]
    ) -> None:
        os.mkfifo(tmp_path / "p.fifo")
        names = {"FIFO": str(tmp_path / "p.fifo"), "PORT": str(tmp_path / "ttyNOPE"), "OUT": str(tmp_path / "x.csv")}
        done = cli(*(names.get(a, a) for a in command), timeout=20)
        assert done.returncode == 1 and "Cannot find sensor parameter file (a " in done.stderr, done.stderr
        assert "Traceback" not in done.stderr and os.listdir(tmp_path) == ["p.fifo"]


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


class TestRecordAndPlot:
    def test_one_second_holds_about_a_second_of_frames(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0, taxels=9, triaxials=1)
        out = tmp_path / "rec.csv"
        done = cli("record", sensor.port, sensor.params, "-o", str(out), "--seconds", "1")
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
        assert (meta["port"], meta["format"], meta["frames"]) == (sensor.port, "binary", len(rows))
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
            done = cli("record", device.port, str(params), "-o", str(tmp_path / "r.csv"), "--seconds", "3")
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
            assert (str(data["format"]), str(data["port"])) == ("text", sensor.port)

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
                done = cli("record", device.port, str(params), "-o", str(tmp_path / name), "--seconds", "1")
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
        ):
            done = cli("record", nowhere, str(params), "-o", out, "--seconds", "1", cwd=tmp_path)
            assert done.returncode == 2 and says in done.stderr, done.stderr
        assert os.listdir(tmp_path) == ["p.msgpack"]
        read_only = tmpfs("64k", read_only=True)
        done = cli("record", nowhere, str(params), "-o", str(read_only / "r.csv"), "--seconds", "1")
        assert done.returncode == 2 and f"cannot record to {read_only / 'r.csv'}: folder" in done.stderr
        assert "Read-only file system" in done.stderr and ".tmp" not in done.stderr

    @pytest.mark.parametrize("name", ["r.csv", "r.npz"])
    def test_a_full_disk_stops_the_recording_with_whole_rows_and_names_the_stop(
        self, cli: Cli, tmp_path: Path, tmpfs: Callable[..., Path], name: str
    ) -> None:
        disk = tmpfs("256k")
        params = tmp_path / "p.msgpack"
        parameters.write(params, parameters.make("binary", [], [parameters.taxel_record(j, j) for j in range(22)]))
        with PtyDevice() as device:
            device.stream_readings("binary", frame_id_readings, 2000.0)
            done = cli("record", device.port, str(params), "-o", str(disk / name), "--seconds", "20")
        rows_file = disk / (f"{name}.journal.csv" if name.endswith(".npz") else name)
        assert done.returncode == 1 and "; stopped by disk full" in done.stdout, done.stderr
        assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
        assert "No space left on device" in done.stderr
        assert rows_file.read_bytes().endswith(b"\n")
        header, rows = read_csv(rows_file)
        assert len(rows) > 500 and all(len(r) == len(header) for r in rows)
        assert f"recorded {len(rows)} frames" in done.stdout
        assert json.loads((disk / f"{rows_file.name}.json").read_text())["stopped_by"] == "disk full"
        if name.endswith(".npz"):
            assert (
                f"the recording is in {rows_file}" in done.stderr and f"nervlane recover {disk / name}" in done.stderr
            )

    @pytest.mark.parametrize("reconnect", [True, False])
    def test_record_across_two_outages_writes_every_frame_sent_while_connected_once(
        self, reconnect: bool, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=200.0, taxels=4, triaxials=0)
        device, out = sensor.device, tmp_path / "r.csv"
        device.stop()
        device.sent.clear()
        flags = () if reconnect else ("--no-reconnect",)
        proc = start_cli("record", device.stable_port(), sensor.params, "-o", str(out), *flags)
        try:
            for phase in range(3 if reconnect else 1):
                # The device sends only while the port is open (and, the first time, recording).
                assert device.wait_port_open(20)
                time.sleep(1.0)
                device.stream_readings("binary", SignalModel(sensor.layout, phase, 200.0), 200.0)
                time.sleep(1.0)
                device.stop()
                time.sleep(0.5)  # all it sent has been read when the cable is pulled
                if phase < 2:
                    device.hang_up()
                if reconnect and phase < 2:
                    time.sleep(0.5)
                    device.plug_in()
            if reconnect:
                proc.send_signal(signal.SIGTERM)
            summary, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
            proc.wait()
        assert proc.returncode == (0 if reconnect else 4), err
        _, rows = read_csv(out)
        width = sensor.layout.frame_size
        assert [tuple(map(float, r[2 : 2 + width])) for r in rows] == [f.readings for f in device.sent]
        sequence = [int(r[0]) for r in rows]
        assert sequence == list(range(sequence[0], sequence[0] + len(rows))) and len(rows) > (500 if reconnect else 150)
        outages = json.loads((tmp_path / "r.csv.json").read_text())["outages"]
        assert len(outages) == (2 if reconnect else 0)
        assert all(o["ended"] and 0.3 < o["seconds"] < 10 and o["start_s"] > 1 for o in outages), outages
        assert summary.count("  outage ") == len(outages) and err.count("is back after") == len(outages)
        assert err.count("went away") == (2 if reconnect else 1) and err.count("last error: Device") == err.count(
            "went away"
        )

    def test_a_longer_frame_adds_cells_without_rewriting_the_file_while_recording(self, tmp_path: Path) -> None:
        params = tmp_path / "p.msgpack"
        parameters.write(
            params, parameters.make("binary", [], [parameters.taxel_record(j, j, lower=-1.0) for j in range(3)])
        )
        out = tmp_path / "r.csv"
        longer = threading.Event()
        with PtyDevice() as device:
            device.stream_readings("binary", lambda i: [i % 60000] * (5 if longer.is_set() else 3), 200.0)
            proc = start_cli("record", device.port, str(params), "-o", str(out))
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

    def test_plot_writes_a_png(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        pytest.importorskip("matplotlib")
        sensor = streaming_sensor("encrypted", rate_hz=100.0)
        for name in ("r.csv", "r.npz"):
            done = cli("record", sensor.port, sensor.params, "-o", str(tmp_path / name), "--seconds", "0.5")
            assert done.returncode == 0, done.stderr
            done = cli("plot", str(tmp_path / name), "-o", str(tmp_path / f"{name}.png"))
            assert done.returncode == 0, done.stderr
            assert (tmp_path / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_plot_refuses_a_file_that_is_no_recording(self, cli: Cli, tmp_path: Path) -> None:
        pytest.importorskip("matplotlib")
        (tmp_path / "x.csv").write_text("a,b\n1,2\n")
        done = cli("plot", str(tmp_path / "x.csv"), "-o", str(tmp_path / "x.png"))
        assert done.returncode == 1 and "not a recording" in done.stderr
        assert not (tmp_path / "x.png").exists()

    def test_plot_reads_a_recording_whose_last_row_is_torn(self, cli: Cli, tmp_path: Path) -> None:
        pytest.importorskip("matplotlib")
        (tmp_path / "r.csv").write_text("sequence,time_s,raw_0,taxel_0\n1,0.0,5,0.5\n2,0.01,7,0.7,8\n3,0.0")
        done = cli("plot", str(tmp_path / "r.csv"), "-o", str(tmp_path / "r.png"))
        assert done.returncode == 0 and "the last row is torn (5 bytes" in done.stderr, done.stderr
        assert (tmp_path / "r.png").read_bytes()[:4] == b"\x89PNG"


class TestMonitorAndDemo:
    def test_monitor_runs_for_a_second_and_exits_cleanly(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0)
        done = cli("monitor", sensor.port, sensor.params, "--seconds", "1", "--zero", "--rate", "100")
        assert done.returncode == 0, done.stderr
        assert "read " in done.stdout and " frames in " in done.stdout
        frames = int(done.stdout.rsplit("read ", 1)[1].split()[0])
        assert frames >= 40 and "overwritten" in done.stdout and "rejected 0" in done.stdout
        assert "tri0_x" in done.stdout and "taxel_3" in done.stdout  # the names record gives the columns

    def test_monitor_into_a_pipe_that_closes_ends_quietly(
        self, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0)
        proc = start_cli("monitor", sensor.port, sensor.params, "--seconds", "20")
        try:
            assert proc.stdout is not None
            proc.stdout.readline()  # as `| head -1` does
            proc.stdout.close()
            err = proc.communicate(timeout=20)[1]
        finally:
            proc.kill()
            proc.wait()
        assert (proc.returncode, err) == (0, "")

    def test_monitor_on_a_missing_port_says_so(self, cli: Cli, tmp_path: Path) -> None:
        params = tmp_path / "p.msgpack"
        params.write_bytes(msgpack.packb([1, [], []]))
        done = cli("monitor", str(tmp_path / "ttyNOPE"), str(params), "--seconds", "1")
        assert done.returncode == 3
        assert "no such port" in done.stderr and "check the cable" in done.stderr and ", line " not in done.stderr
        done = cli("--verbose", "monitor", str(tmp_path / "ttyNOPE"), str(params), "--seconds", "1")
        assert done.returncode == 3 and "does not exist., file " in done.stderr and ", line " in done.stderr
        done = cli("monitor", "", str(params), "--seconds", "1")
        assert done.returncode == 2 and "port name is empty" in done.stderr

    def test_monitor_on_a_port_held_elsewhere_says_it_is_busy(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=50.0)
        holder = nc.NervlaneComms()
        holder.init(sensor.params)
        holder.connect(sensor.port)
        done = cli("monitor", sensor.port, sensor.params, "--seconds", "1")
        verbose = cli("--verbose", "monitor", sensor.port, sensor.params, "--seconds", "1")
        del holder
        assert done.returncode == 3
        assert "busy" in done.stderr and "Close it" in done.stderr and sensor.port in done.stderr
        assert "flock" not in done.stderr and ", line " not in done.stderr
        assert verbose.returncode == 3 and "flock" in verbose.stderr and ", line " in verbose.stderr

    def test_monitor_with_a_bad_parameter_file_names_it(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "p.msgpack").write_bytes(b"")
        done = cli("monitor", str(tmp_path / "tty"), str(tmp_path / "p.msgpack"), "--seconds", "1")
        assert done.returncode == 1 and "insufficient bytes" in done.stderr
        done = cli("monitor", str(tmp_path / "tty"), str(tmp_path), "--seconds", "1")
        assert done.returncode == 1 and "folder" in done.stderr and "Traceback" not in done.stderr
        # A fresh object given this file has no decoder: it would wait for frames for ever.
        parameters.write(tmp_path / "seven.msgpack", [7, [], [parameters.taxel_record(0, 0)]])
        done = cli("monitor", str(tmp_path / "tty"), str(tmp_path / "seven.msgpack"), "--seconds", "1")
        assert done.returncode == 1 and "names no frame format" in done.stderr

    @pytest.mark.parametrize("reconnect", [True, False])
    def test_monitor_waits_for_an_unplugged_device_or_with_no_reconnect_exits_4(
        self, reconnect: bool, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0)
        device, link = sensor.device, sensor.device.stable_port()
        proc = start_cli("monitor", link, sensor.params, "--seconds", "30", *(() if reconnect else ("--no-reconnect",)))
        try:
            deadline = time.monotonic() + 20
            while device.frames_sent < 150 and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.5)
            device.hang_up()
            if reconnect:
                time.sleep(1.0)
                device.plug_in()
                assert device.wait_port_open(10)
                device.stream_readings("binary", SignalModel(sensor.layout, 1, 100.0), 100.0)
                time.sleep(1.5)
                assert proc.poll() is None, "monitor ended during the outage"
                proc.terminate()
            out, err = proc.communicate(timeout=20)
        finally:
            proc.kill()
            proc.wait()
        if reconnect:
            assert proc.returncode == 0, err
            assert f"reconnecting to {link} (last error: Device" in out and f"{link} is back after " in out
            assert "outages 1" in out.rsplit("read ", 1)[1]  # the closing line counts it
        else:
            assert proc.returncode == 4
            assert "went away" in err and "last error: Device" in err and ", line " not in err

    def test_demo_runs_without_a_terminal_and_says_once_that_realtime_was_refused(self, cli: Cli) -> None:
        done = cli("demo", "--seconds", "1", "--format", "encrypted")
        assert done.returncode == 0, done.stderr
        assert "zeroed all sensors" in done.stdout
        assert "read " in done.stdout and "the sensor sent" in done.stdout
        if not (sys.platform.startswith("linux") and os.geteuid() == 0 and shutil.which("setpriv")):
            return  # root without CAP_SYS_NICE stands for a user without the permission
        drop = ["setpriv", "--inh-caps=-sys_nice", "--ambient-caps=-sys_nice", "--bounding-set=-sys_nice"]
        command = [*drop, sys.executable, "-m", "nervlane.cli", "demo", "--seconds", "1", "--realtime"]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=_cli_env())
        assert done.returncode == 0 and done.stdout.count("note: the reader runs at normal priority") == 1, done
        assert "ulimit -r" in done.stdout and "the sensor sent" in done.stdout


class TestPorts:
    def test_ports_prints_a_table_and_auto_without_one_usb_port_says_what_it_found(
        self, cli: Cli, tmp_path: Path
    ) -> None:
        from serial.tools import list_ports

        done = cli("ports")
        assert done.returncode == 0, done.stderr
        assert "device" in done.stdout and "USB VID:PID" in done.stdout

        usb = [p for p in list_ports.comports() if p.vid is not None]
        if len(usb) == 1:
            pytest.skip("this machine has exactly one USB serial port: auto would open it")
        parameters.write(tmp_path / "p.msgpack", parameters.make("binary"))
        for command in ("monitor", "record"):
            done = cli(
                command,
                "auto",
                str(tmp_path / "p.msgpack"),
                "--seconds",
                "1",
                *(("-o", str(tmp_path / "r.csv")) if command == "record" else ()),
            )
            assert done.returncode == 3, done.stderr
            assert "USB serial port" in done.stderr and "Traceback" not in done.stderr

        done = cli("--version")
        assert (done.returncode, done.stdout) == (0, f"nervlane {version('nervlane-comm')}\n")

    def test_a_usb_port_is_shown_and_chosen_by_its_stable_name(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
    ) -> None:
        from nervlane.commands import ports as ports_command
        from nervlane.sensor import ports

        (tmp_path / "ttyUSB7").touch()
        (tmp_path / "by-id").mkdir()
        stable = tmp_path / "by-id" / "usb-Nervlane_Skin_42-if00-port0"
        stable.symlink_to(tmp_path / "ttyUSB7")
        usb = SimpleNamespace(
            device=str(tmp_path / "ttyUSB7"), description="Skin", vid=0x0403, pid=1, serial_number="42", manufacturer=""
        )
        monkeypatch.setattr(ports, "BY_ID", str(stable.parent))
        monkeypatch.setattr(ports, "serial_ports", lambda: [usb])
        monkeypatch.setenv("COLUMNS", "300")
        assert ports.auto_port() == str(stable)
        ports_command.run()
        assert str(stable) in capsys.readouterr().out

    @pytest.mark.parametrize(
        ("args", "code", "says"),
        [
            (("--from", "skin", "PORT", "PARAMS"), 2, "not both"),
            (("--connect", "tcp/127.0.0.1:7447", "PORT", "PARAMS"), 2, "--connect goes with --from"),
            (("PORT",), 2, "give the sensor's PORT and PARAMS file, or --from NAME"),
            (("--from", "skin", "--realtime"), 2, "give it to nervlane serve"),
            (
                ("--from", "skin"),
                None,
                "cannot reach skin" if importlib.util.find_spec("zenoh") else "cannot read skin",
            ),
        ],
    )
    def test_a_source_is_a_port_and_its_parameter_file_or_a_served_name(
        self, cli: Cli, tmp_path: Path, args: tuple[str, ...], code: int | None, says: str
    ) -> None:
        names = {"PORT": str(tmp_path / "ttyNOPE"), "PARAMS": str(tmp_path / "p.msgpack")}
        for command in (("monitor", "--seconds", "1"), ("record", "-o", str(tmp_path / "r.csv"))):
            done = cli(*command, *(names.get(a, a) for a in args))
            zenoh = importlib.util.find_spec("zenoh") is not None
            expected = code if code is not None else (3 if zenoh else 5)
            assert done.returncode == expected and says in done.stderr, done.stderr
            assert zenoh or code is not None or 'pip install "nervlane-comm[remote]"' in done.stderr
        assert os.listdir(tmp_path) == []


class TestSimulateCommand:
    def test_prints_the_port_first_and_ends_cleanly_on_terminate(self, tmp_path: Path) -> None:
        params = tmp_path / "p.msgpack"
        env = dict(os.environ, PYTHONPATH=str(PYTHON_SOURCE))
        proc = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "nervlane.cli",
                "simulate",
                "--format",
                "text",
                "--params",
                str(params),
                "--taxels",
                "4",
                "--triaxials",
                "0",
                "--seed",
                "1",
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        try:
            assert proc.stdout is not None
            port = proc.stdout.readline().strip()
            comms = nc.NervlaneComms()
            comms.init(str(params))
            comms.connect(port)
            values = comms.read_raw(2000)
            assert len(values) == 4 and all(500 < v < 65536 for v in values)
            del comms
            proc.terminate()
            _, err = proc.communicate(timeout=20)
        finally:
            proc.kill()
            proc.wait()
        assert proc.returncode == 0, err
        assert "sent " in err

    def test_a_counted_run_ends_by_itself(self, cli: Cli) -> None:
        done = cli("simulate", "--frames", "5", "--rate", "200")
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("/dev/")
        assert "sent 5 frames" in done.stderr

    def test_a_layout_too_big_for_the_format_is_refused(self, cli: Cli, tmp_path: Path) -> None:
        done = cli("simulate", "--format", "encrypted", "--taxels", "300", "--params", str(tmp_path / "p"))
        assert done.returncode == 2 and "at most 255 readings" in done.stderr
        assert not (tmp_path / "p").exists()
