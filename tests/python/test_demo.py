"""``nervlane demo``: the whole chain with no hardware."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest
from conftest import Cli, cli_env

nc = pytest.importorskip("nervlane_comm_py")


class TestDemo:
    def test_demo_runs_without_a_terminal_and_says_once_that_realtime_was_refused(self, cli: Cli) -> None:
        done = cli("demo", "--seconds", "1", "--format", "encrypted")
        assert done.returncode == 0, done.stderr
        assert "zeroed all sensors" in done.stdout
        assert "read " in done.stdout and "the sensor sent" in done.stdout
        if not (sys.platform.startswith("linux") and os.geteuid() == 0 and shutil.which("setpriv")):
            return  # root without CAP_SYS_NICE stands for a user without the permission
        drop = ["setpriv", "--inh-caps=-sys_nice", "--ambient-caps=-sys_nice", "--bounding-set=-sys_nice"]
        command = [*drop, sys.executable, "-m", "nervlane.cli", "demo", "--seconds", "1", "--realtime"]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=cli_env())
        assert done.returncode == 0 and done.stdout.count("note: the reader runs at normal priority") == 1, done
        assert "ulimit -r" in done.stdout and "the sensor sent" in done.stdout
