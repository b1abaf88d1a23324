"""The README's examples run as written, against the virtual sensor it names."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import PYTHON_SOURCE, cli_env, run_cli

from nervlane import parameters
from nervlane.parameters import output_names
from nervlane.view.layout import placed_cells, read_layout
from nervlane.virtual import Layout

pytest.importorskip("nervlane_comm_py")

README = (PYTHON_SOURCE.parent / "README.md").read_text(encoding="utf-8")


def _section(title: str) -> str:
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def _block(section: str, language: str) -> str:
    found = re.search(rf"```{language}\n(.*?)```", _section(section), re.DOTALL)
    assert found is not None, f"no {language} block under {section}"
    return found[1]


def test_the_readmes_python_snippet_and_layout_run_as_written(tmp_path: Path) -> None:
    layout = _section("A layout for the page")
    simulate = re.search(r"`nervlane\s+(simulate [^`]+)`", layout)
    assert simulate is not None
    with subprocess.Popen(
        [sys.executable, "-m", "nervlane.cli", *simulate[1].split()],
        stdout=subprocess.PIPE,
        text=True,
        env=cli_env(),
        cwd=tmp_path,
    ) as sensor:
        try:
            assert sensor.stdout is not None
            port = sensor.stdout.readline().strip()
            (tmp_path / "first.py").write_text(_block("From Python", "python"))
            done = subprocess.run(
                [sys.executable, "first.py", port], capture_output=True, text=True, timeout=60, cwd=tmp_path
            )
            counts = dict(re.findall(r"--(taxels|triaxials) (\d+)", simulate[1]))
            virtual = Layout(int(counts["taxels"]), int(counts["triaxials"]))
            names = output_names(parameters.load(str(tmp_path / "sensor.msgpack"))[0], virtual.output_size)
            rows = [line.split() for line in done.stdout.splitlines()]
            assert done.returncode == 0 and len(rows) == 100 and {len(r) for r in rows} == {len(names)}, done.stderr

            (tmp_path / "layout.json").write_text(_block("A layout for the page", "json"))
            args = ("--layout", "layout.json", "--no-browser", "--http", "127.0.0.1:0", "--seconds", "1")
            shown = run_cli("view", port, "sensor.msgpack", *args, cwd=tmp_path)
            assert shown.returncode == 0 and "Traceback" not in shown.stderr, shown.stderr
        finally:
            sensor.terminate()
    # As the README says: taxels 0 and 1 above 2 and 3 (y up), the triaxial sensor to their right.
    placed = read_layout(str(tmp_path / "layout.json"))
    cells = {c.label: c for c in placed_cells(names, placed.positions, "layout.json")}
    assert placed.unit == "N" and cells["taxel 0"].y < cells["taxel 2"].y and cells["taxel 1"].x > cells["taxel 0"].x
    assert cells["triaxial 0"].x > max(c.x for c in cells.values() if c is not cells["triaxial 0"])
