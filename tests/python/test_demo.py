"""``nervlane demo``: the whole chain with no hardware."""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest
from conftest import cli_env

nc = pytest.importorskip("nervlane_comm_py")


# The demo's lines, each whole: a line that starts otherwise is the rest of one broken in two.
_LINES = re.compile(
    r"virtual sensor on \S+ \(a link to /dev/\S+\): .* frames at 100/s|zeroed all sensors|\s*\d+\.\d s  .* missing \d+"
    r"|nervlane demo  values in .* missing \d+|(\s*\w+( \d+)?( [xyz])?\s+-?\d+\.\d{3})+\s*"
    r"|read \d+ frames in .* missing \d+|the virtual sensor sent \d+ frames: \d+ while .* and \d+ as it closed"
)


class TestDemo:
    def test_demo_runs_without_a_terminal_and_says_once_that_realtime_was_refused(self) -> None:
        # Piped as a person pipes it, at the width a pipe gets when nothing says otherwise.
        env = {k: v for k, v in cli_env().items() if k != "COLUMNS"}
        command = f"{shlex.quote(sys.executable)} -m nervlane.cli demo --seconds 1 --format encrypted | cat"
        done = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=60, env=env)
        assert done.returncode == 0, done.stderr
        broken = [line for line in done.stdout.splitlines() if not _LINES.fullmatch(line)]
        assert not broken and "zeroed all sensors" in done.stdout, done.stdout
        # What the sensor sent adds up: the view's frames, those before it (zeroing takes 20), those as it closed.
        decoded = int(re.findall(r"; decoded (\d+) ", done.stdout)[0])
        sent = re.findall(r"sent (\d+) frames: (\d+) while the view ran, (\d+) before it .* and (\d+) as", done.stdout)
        total, during, before, after = map(int, sent[0])
        assert total == during + before + after and abs(during - decoded) <= 10 and before >= 20, done.stdout
        if not (sys.platform.startswith("linux") and os.geteuid() == 0 and shutil.which("setpriv")):
            return  # root without CAP_SYS_NICE stands for a user without the permission
        drop = ["setpriv", "--inh-caps=-sys_nice", "--ambient-caps=-sys_nice", "--bounding-set=-sys_nice"]
        command = [*drop, sys.executable, "-m", "nervlane.cli", "demo", "--seconds", "1", "--realtime"]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=cli_env())
        assert done.returncode == 0 and done.stdout.count("note: the reader runs at normal priority") == 1, done
        assert "ulimit -r" in done.stdout and "the virtual sensor sent" in done.stdout
