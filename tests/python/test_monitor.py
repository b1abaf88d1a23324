"""``nervlane monitor``, run as a user runs it: in a subprocess, against a
virtual sensor on a pseudo-terminal."""

from __future__ import annotations

import time
from collections.abc import Callable
from pathlib import Path

import msgpack
import pytest
from conftest import Cli, StreamingSensor, start_cli

from nervlane import parameters
from nervlane.virtual import SignalModel

nc = pytest.importorskip("nervlane_comm_py")


class TestMonitor:
    def test_monitor_runs_for_a_second_and_exits_cleanly(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor]
    ) -> None:
        sensor = streaming_sensor("binary", rate_hz=100.0)
        done = cli("monitor", sensor.port, sensor.params, "--seconds", "1", "--zero", "--rate", "100", "--unit", "N")
        assert done.returncode == 0, done.stderr
        assert "read " in done.stdout and " frames in " in done.stdout
        frames = int(done.stdout.rsplit("read ", 1)[1].split()[0])
        assert frames >= 40 and "overwritten" in done.stdout and "rejected 0" in done.stdout
        assert "values in N" in done.stdout and "triaxial 0 x" in done.stdout and "taxel 8" in done.stdout
        assert "tri0_x" not in done.stdout and "taxel_" not in done.stdout  # the names files keep

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
        assert done.returncode == 1 and done.stderr.endswith("not a MessagePack parameter file: the file is empty\n")
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
