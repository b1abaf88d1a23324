"""``nervlane plot``: a picture of a recording, run as a user runs it."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import pytest
from conftest import Cli, StreamingSensor

nc = pytest.importorskip("nervlane_comm_py")


class TestPlot:
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
