"""``nervlane simulate``: a virtual sensor on a pseudo-terminal for a person to use."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import PYTHON_SOURCE, Cli

nc = pytest.importorskip("nervlane_comm_py")


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
