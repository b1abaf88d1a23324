"""Shared fixtures for the Python suites."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

PYTHON_SOURCE = Path(__file__).resolve().parents[2] / "python"

# The command-line tests run the package from this tree, not whatever copy
# an earlier install left in site-packages.
if str(PYTHON_SOURCE) not in sys.path:
    sys.path.insert(0, str(PYTHON_SOURCE))

from nervlane.virtual import Layout, PtyDevice, SignalModel, write_params  # noqa: E402

Cli = Callable[..., subprocess.CompletedProcess[str]]
"""What the ``cli`` fixture is: ``nervlane ARGS`` run in a subprocess."""


def cli_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PYTHON_SOURCE), env.get("PYTHONPATH")]))
    env["PYTHONWARNINGS"] = "error"
    env["COLUMNS"] = "200"
    return env


def run_cli(
    *args: str, timeout: float = 60.0, cwd: Path | None = None, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    """``nervlane ARGS`` in a subprocess without a terminal (``env``: default ``cli_env()``)."""
    return subprocess.run(
        [sys.executable, "-m", "nervlane.cli", *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=cli_env() if env is None else env,
        stdin=subprocess.DEVNULL,
        cwd=cwd,
    )


def start_cli(*args: str) -> subprocess.Popen[str]:
    """``nervlane ARGS`` started in the background without a terminal, its
    output on pipes."""
    return subprocess.Popen(
        [sys.executable, "-m", "nervlane.cli", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
        text=True,
        env=cli_env(),
    )


@dataclass
class StreamingSensor:
    device: PtyDevice
    params: str
    layout: Layout
    rate_hz: float

    @property
    def port(self) -> str:
        """The device's stable name, a link the test made: the tools
        reconnect by default, and a bare /dev/pts/N freed by a hang-up may
        be given to another process's pty, which they would then read."""
        return self.device.stable_port()


@pytest.fixture
def streaming_sensor(tmp_path: Path) -> Iterator[Callable[..., StreamingSensor]]:
    """Starts a virtual sensor streaming believable frames, with its
    parameter file; stopped and hung up after the test."""
    devices: list[PtyDevice] = []

    def start(
        fmt: str = "binary", rate_hz: float = 100.0, taxels: int = 9, triaxials: int = 1, seed: int = 7
    ) -> StreamingSensor:
        layout = Layout(taxels, triaxials)
        params = str(tmp_path / f"sensor-{fmt}-{len(devices)}.msgpack")
        write_params(params, layout, fmt)
        dev = PtyDevice()
        devices.append(dev)
        dev.stream_readings(fmt, SignalModel(layout, seed, rate_hz), rate_hz)
        return StreamingSensor(dev, params, layout, rate_hz)

    yield start
    for dev in devices:
        dev.close()


@pytest.fixture
def tmpfs(tmp_path: Path) -> Iterator[Callable[..., Path]]:
    """Mounts a small tmpfs (``tmpfs(size="256k", read_only=False)``) under
    the test's folder: a disk that fills, or one that takes no files.
    Skips the test where mounting is not allowed (not root, a container
    without the capability)."""
    mounts: list[Path] = []

    def mount(size: str = "256k", read_only: bool = False) -> Path:
        if shutil.which("mount") is None:
            pytest.skip("no mount command here")
        where = tmp_path / f"tmpfs{len(mounts)}"
        where.mkdir()
        options = f"size={size}" + (",ro" if read_only else "")
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)], capture_output=True)
        if done.returncode != 0:
            pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip() or done.returncode}")
        mounts.append(where)
        return where

    yield mount
    for where in mounts:
        subprocess.run(["umount", "-l", str(where)], check=False)


@pytest.fixture
def cli() -> Callable[..., subprocess.CompletedProcess[str]]:
    """Runs ``nervlane ARGS`` in a subprocess (see ``run_cli``)."""
    return run_cli
