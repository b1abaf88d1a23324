"""The ``nervlane`` command, run as a user runs it: in a subprocess, against
a virtual sensor on a pseudo-terminal."""

from __future__ import annotations

import csv
import json
import os
import subprocess
import sys
import time
from collections.abc import Callable
from importlib.metadata import version
from pathlib import Path

import msgpack
import pytest

from conftest import PYTHON_SOURCE, StreamingSensor, start_cli
from nervlane import document

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
        document.write(bad, document.make("binary", [], [document.taxel_record(4, 3, output_map={0: 3, 1: 4})]))
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

        document.write(tmp_path / "seven.msgpack", [7, [], [document.taxel_record(0, 0)]])
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


def read_csv(path: Path) -> tuple[list[str], list[list[str]]]:
    with path.open(newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


class TestRecordAndPlot:
    def test_one_second_holds_about_a_second_of_frames(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0, taxels=9, triaxials=1)
        out = tmp_path / "rec.csv"
        done = cli("record", sensor.port, sensor.params, "-o", str(out), "--seconds", "1")
        assert done.returncode == 0, done.stderr
        header, rows = read_csv(out)
        assert header[0] == "time_s" and header[1:14] == [f"raw_{i}" for i in range(13)]
        assert header[14:] == ["tri0_x", "tri0_y", "tri0_z", *(f"taxel_{p}" for p in range(3, 12))]
        assert 60 <= len(rows) <= 130
        assert all(len(r) == len(header) for r in rows)
        times = [float(r[0]) for r in rows]
        assert times == sorted(times) and times[-1] < 1.5
        sent = {f.readings for f in list(sensor.device.sent)}
        assert sum(tuple(float(v) for v in r[1:14]) in sent for r in rows[-20:]) >= 15
        assert f"recorded {len(rows)} frames" in done.stdout and "gaps" in done.stdout

    def test_raw_only_and_npz(self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path) -> None:
        np = pytest.importorskip("numpy")
        sensor = streaming_sensor("text", rate_hz=50.0, taxels=4, triaxials=0)
        done = cli("record", sensor.port, sensor.params, "-o", str(tmp_path / "r.npz"), "--seconds", "0.6", "--raw-only")
        assert done.returncode == 0, done.stderr
        header, rows = read_csv(tmp_path / "r.csv")
        assert header == ["time_s", "raw_0", "raw_1", "raw_2", "raw_3"]
        with np.load(tmp_path / "r.npz") as data:
            assert data["raw"].shape == (len(rows), 4) and data["calibrated"].shape == (len(rows), 0)
            assert data["raw"][0].tolist() == [float(v) for v in rows[0][1:]]

    def test_plot_writes_a_png(self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path) -> None:
        pytest.importorskip("matplotlib")
        sensor = streaming_sensor("encrypted", rate_hz=100.0)
        cli("record", sensor.port, sensor.params, "-o", str(tmp_path / "r.csv"), "--seconds", "0.5")
        done = cli("plot", str(tmp_path / "r.csv"), "-o", str(tmp_path / "r.png"))
        assert done.returncode == 0, done.stderr
        assert (tmp_path / "r.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_plot_refuses_a_file_that_is_no_recording(self, cli: Cli, tmp_path: Path) -> None:
        pytest.importorskip("matplotlib")
        (tmp_path / "x.csv").write_text("a,b\n1,2\n")
        done = cli("plot", str(tmp_path / "x.csv"), "-o", str(tmp_path / "x.png"))
        assert done.returncode == 1 and "not a recording" in done.stderr
        assert not (tmp_path / "x.png").exists()


class TestMonitorAndDemo:
    def test_monitor_runs_for_a_second_and_exits_cleanly(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0)
        done = cli("monitor", sensor.port, sensor.params, "--seconds", "1", "--zero", "--rate", "100")
        assert done.returncode == 0, done.stderr
        assert "read " in done.stdout and " frames in " in done.stdout
        frames = int(done.stdout.rsplit("read ", 1)[1].split()[0])
        assert frames >= 40
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
        assert "no such port" in done.stderr and "does not exist" in done.stderr
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
        del holder
        assert done.returncode == 3
        assert "busy" in done.stderr and sensor.port in done.stderr

    def test_monitor_with_a_bad_parameter_file_names_it(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "p.msgpack").write_bytes(b"")
        done = cli("monitor", str(tmp_path / "tty"), str(tmp_path / "p.msgpack"), "--seconds", "1")
        assert done.returncode == 1 and "insufficient bytes" in done.stderr
        done = cli("monitor", str(tmp_path / "tty"), str(tmp_path), "--seconds", "1")
        assert done.returncode == 1 and "folder" in done.stderr and "Traceback" not in done.stderr
        # A fresh object given this file has no decoder: it would wait for frames for ever.
        document.write(tmp_path / "seven.msgpack", [7, [], [document.taxel_record(0, 0)]])
        done = cli("monitor", str(tmp_path / "tty"), str(tmp_path / "seven.msgpack"), "--seconds", "1")
        assert done.returncode == 1 and "names no frame format" in done.stderr

    def test_monitor_exits_non_zero_when_the_device_goes_away(
        self, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0)
        proc = start_cli("monitor", sensor.port, sensor.params, "--seconds", "30")
        try:
            deadline = time.monotonic() + 20
            while sensor.device.frames_sent < 150 and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.5)
            sensor.device.hang_up()
            _, err = proc.communicate(timeout=20)
        finally:
            proc.kill()
            proc.wait()
        assert proc.returncode == 4
        assert "went away" in err

    def test_demo_runs_without_a_terminal(self, cli: Cli) -> None:
        done = cli("demo", "--seconds", "1", "--format", "encrypted")
        assert done.returncode == 0, done.stderr
        assert "zeroed all sensors" in done.stdout
        assert "read " in done.stdout and "the sensor sent" in done.stdout


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
        document.write(tmp_path / "p.msgpack", document.make("binary"))
        for command in ("monitor", "record"):
            done = cli(command, "auto", str(tmp_path / "p.msgpack"), "--seconds", "1", *(
                ("-o", str(tmp_path / "r.csv")) if command == "record" else ()))
            assert done.returncode == 3, done.stderr
            assert "USB serial port" in done.stderr and "Traceback" not in done.stderr

        done = cli("--version")
        assert (done.returncode, done.stdout) == (0, f"nervlane {version('nervlane-comm')}\n")


class TestSimulateCommand:
    def test_prints_the_port_first_and_ends_cleanly_on_terminate(self, tmp_path: Path) -> None:
        params = tmp_path / "p.msgpack"
        env = dict(os.environ, PYTHONPATH=str(PYTHON_SOURCE))
        proc = subprocess.Popen(
            [sys.executable, "-m", "nervlane.cli", "simulate", "--format", "text", "--params", str(params),
             "--taxels", "4", "--triaxials", "0", "--seed", "1"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
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
