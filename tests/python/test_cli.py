"""The ``nervlane`` command line as a whole: its version, its help, and that
neither loads what a command needs."""

from __future__ import annotations

import subprocess
import sys
from importlib.metadata import version

import pytest
from conftest import cli_env


@pytest.mark.parametrize("args", [["--version"], ["--help"], ["serve", "--help"], ["record", "--help"]])
def test_version_and_help_import_no_command(args: list[str]) -> None:
    done = subprocess.run(
        [sys.executable, "-X", "importtime", "-m", "nervlane.cli", *args],
        capture_output=True,
        text=True,
        timeout=60,
        env=cli_env(),
    )
    assert done.returncode == 0, done.stderr
    imported = {line.rsplit("|", 1)[1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    heavy = {"msgpack", "serial", "numpy", "nervlane_comm_py", "zenoh", "rich", "aiohttp"}
    assert not heavy & imported and "nervlane.options" in imported, heavy & imported
    if args == ["--version"]:
        assert done.stdout == f"nervlane {version('nervlane-comm')}\n"
