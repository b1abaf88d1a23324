"""``nervlane plot``: a picture of a recording, run as a user runs it."""

from __future__ import annotations

import json
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest
from conftest import PYTHON_SOURCE, Cli, StreamingSensor

from nervlane.commands.plot import figure
from nervlane.options import PlotOptions
from nervlane.recording import RecordingWriter, Rows, check_output
from nervlane.sensor import Sensor

nc = pytest.importorskip("nervlane_comm_py")
BUILD = PYTHON_SOURCE.parent / "build"
NAMES = [*(f"tri{t}_{a}" for t in range(2) for a in "xyz"), *(f"taxel_{p}" for p in range(6, 22))]


class Comms:
    def stats(self) -> dict[str, int]:
        return {"frames_rejected": 0, "bytes_discarded": 0}


def runs_with_two_outages_and_a_gap(path: Path) -> list[np.ndarray]:
    """A recording of 22 outputs at 100 frames/s, written by the recording
    writer: four runs of frames, an outage between the first two and
    between the last two (each noted a little off, as the tools see them),
    and 20 numbers missing between the middle two. Returns each run's
    times, counted from the first frame."""
    writer = RecordingWriter(check_output(str(path)), Sensor(Comms(), "COM9", "COM9", "/p", "binary", NAMES), unit="N")
    t0, number, runs = time.monotonic(), 1, []
    for first_s, skipped in ((0.01, 0), (1.55, 0), (2.75, 20), (4.6, 0)):
        times = first_s + 0.01 * np.arange(100)
        sequence = np.arange(number + skipped, number + skipped + 100, dtype=np.uint64)
        values = (1 + np.arange(22)) * (1.5 + np.sin(times[:, None] + np.arange(22)))
        writer.add(Rows(sequence, t0 + times, values * 10, values))
        number += skipped + 100
        runs.append(times - 0.01)
    writer.note_outage(t0 + 1.02, 0.58)  # ends after the next run's first frame
    writer.note_outage(t0 + 3.70, 0.8)  # starts before the last frame ahead of it
    assert writer.finish("test").failure is None
    return runs


class TestPlot:
    @pytest.mark.parametrize("suffix", ["csv", "npz"])
    def test_lines_break_at_every_outage_and_gap_and_outages_are_shaded(self, tmp_path: Path, suffix: str) -> None:
        pytest.importorskip("matplotlib")
        runs = runs_with_two_outages_and_a_gap(tmp_path / f"r.{suffix}")
        picture = figure(PlotOptions(str(tmp_path / f"r.{suffix}"), "-"))
        BUILD.mkdir(exist_ok=True)
        picture.savefig(BUILD / f"plot-two-outages-{suffix}.png", dpi=110)
        lines = picture.axes[0]
        assert len(lines.get_lines()) == 22 + 1  # and the strongest press's mark
        for line in lines.get_lines()[:22]:
            x = np.asarray(line.get_xdata(), dtype=float)
            drawn = [run[~np.isnan(run)] for run in np.split(x, np.flatnonzero(np.isnan(x)))]
            drawn = [run for run in drawn if len(run)]
            assert len(drawn) == len(runs) and all(np.allclose(a, b) for a, b in zip(drawn, runs, strict=True))
        shaded = sorted((p.get_x(), p.get_x() + p.get_width()) for p in lines.patches)
        assert np.allclose(shaded, [(1.01, 1.59), (3.69, 4.49)], atol=1e-6), shaded
        assert "2 outages, 1.4 s away; 1 gap in the numbers, 20 frames missing" in lines.get_title()
        legend = [t.get_text() for t in lines.get_legend().get_texts()]
        assert legend == [*(f"taxel {j}" for j in range(15, 4, -1)), "and 11 more"], legend
        assert lines.get_ylabel() == "value (N)" and lines.get_xlabel() == "time (s)"

    def test_plot_writes_a_png_in_the_unit_named_with_the_cells_where_the_layout_puts_them(
        self, cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
    ) -> None:
        pytest.importorskip("matplotlib")
        sensor = streaming_sensor("encrypted", rate_hz=100.0)
        for name, unit in (("r.csv", ("--unit", "N")), ("r.npz", ())):
            done = cli("record", sensor.port, sensor.params, "-o", str(tmp_path / name), "--seconds", "0.5", *unit)
            assert done.returncode == 0, done.stderr
            done = cli("plot", str(tmp_path / name), "-o", str(tmp_path / f"{name}.png"))
            assert done.returncode == 0, done.stderr
            assert (tmp_path / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        layout = {"unit": "mN", "tri0": [0, 13.5], **{f"taxel {j}": [4.5 * (j % 3), 4.5 * (j // 3)] for j in range(9)}}
        (tmp_path / "layout.json").write_text(json.dumps(layout))
        for name, option, layout_file, shown in [
            ("r.csv", None, None, "N"),  # the recording's
            ("r.csv", "kPa", None, "kPa"),  # --unit's
            ("r.npz", None, "layout.json", "mN"),  # the layout file's, as the recording names none
            ("r.npz", None, None, "calibrated units"),
        ]:
            path = None if layout_file is None else str(tmp_path / layout_file)
            picture = figure(PlotOptions(str(tmp_path / name), "-", option, path))
            lines, cells = picture.axes[:2]
            assert lines.get_ylabel() == f"value ({shown})" and cells.get_xlabel() == (
                "x (mm)" if path else "cells in output order"
            )
        names = {t.get_text() for t in cells.texts}
        assert {"triaxial 0", *(f"taxel {j}" for j in range(9))} <= names
        picture = figure(PlotOptions(str(tmp_path / "r.npz"), "-", layout=str(tmp_path / "layout.json")))
        BUILD.mkdir(exist_ok=True)
        picture.savefig(BUILD / "plot-layout.png", dpi=110)
        cells = picture.axes[1]
        at = {t.get_text(): t.get_position() for t in cells.texts}
        assert (
            at["taxel 4"][0] == 4.5 and at["taxel 4"][1] > 4.5 and at["triaxial 0"][1] > 9
        )  # y up, label above centre

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
