"""The ``nervlane`` command line as a whole: its version, its help, that
neither loads what a command needs, and that the help says what each
command and argument is."""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import pytest
from conftest import cli_env

from nervlane.cli import build_parser, main
from nervlane.extras import install_hint
from nervlane.options import DemoOptions


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


def _commands() -> dict[str, argparse.ArgumentParser]:
    parser = build_parser()
    return next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices


@pytest.mark.parametrize("command", ["", *_commands()])
def test_every_command_and_argument_says_what_it_is(command: str, capsys: pytest.CaptureFixture[str]) -> None:
    parser = _commands()[command] if command else build_parser()
    with pytest.raises(SystemExit) as done:
        main([*filter(None, [command]), "--help"])
    shown = " ".join(capsys.readouterr().out.split())
    assert done.value.code == 0 and parser.description, f"nervlane {command} has no description"
    assert " ".join(parser.description.split()[:6]) in shown
    for action in parser._actions:
        name = "/".join(action.option_strings) or action.dest
        assert action.help and action.help != argparse.SUPPRESS, f"nervlane {command} {name} has no description"
        if action.nargs != 0:  # it takes a value, shown by its metavariable
            assert re.fullmatch(r"[A-Z][A-Z:]*(\.[a-z]+)?", str(action.metavar)), f"{name}: {action.metavar}"
        if isinstance(action, argparse._SubParsersAction):
            assert all(a.help for a in action._choices_actions), "a command without a line in the list"


@pytest.mark.parametrize(
    ("args", "says"),
    [
        (["view", "P", "Q", "--unit", "N\x1b[2J"], "give a short unit such as N or kPa"),
        (["view", "P", "Q", "--scale", "5:5"], "LOW below HIGH"),
        (["record", "P", "Q", "-o", "r.mcap", "--name", "left__hand"], "cannot name a sensor in ROS 2 topics"),
    ],
)
def test_a_bad_value_is_refused_before_any_work(args: list[str], says: str, capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as done:
        main(args)
    assert done.value.code == 2 and says in capsys.readouterr().err


def test_the_demo_runs_5_s_in_the_terminal_and_until_ctrl_c_in_a_browser(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[DemoOptions] = []
    monkeypatch.setattr("nervlane.commands.demo.run", seen.append)
    assert main(["demo"]) == main(["demo", "--view", "--no-browser"]) == 0
    assert [(o.seconds, o.page and o.page.seconds) for o in seen] == [(5.0, None), (None, None)]


@pytest.mark.parametrize(
    ("origin", "hint"),
    [
        ({"url": "file:///opt/nervlane", "dir_info": {"editable": True}}, 'pip install ".[plot]" in /opt/nervlane,'),
        ({"url": "file:///tmp/nervlane_comm-0.1.1.tar.gz", "archive_info": {}}, 'pip install "nervlane-comm[plot]"'),
        (None, 'pip install "nervlane-comm[plot]" (from a checkout: pip install ".[plot]" in its folder)'),
    ],
)
def test_the_missing_extra_hint_follows_how_the_package_was_installed(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, origin: dict[str, object] | None, hint: str
) -> None:
    installed = tmp_path / "nervlane_comm-0.1.1.dist-info"  # found before the real install on the path
    installed.mkdir()
    (installed / "METADATA").write_text("Metadata-Version: 2.1\nName: nervlane-comm\nVersion: 0.1.1\n")
    if origin is not None:
        (installed / "direct_url.json").write_text(json.dumps(origin))
    monkeypatch.syspath_prepend(str(tmp_path))
    assert install_hint("plot").startswith(hint)
