"""``nervlane ports`` and ``auto``: the serial ports present and their stable names."""

from __future__ import annotations

from pathlib import Path
from types import SimpleNamespace

import pytest
from conftest import Cli

from nervlane import parameters
from nervlane.errors import ToolError

nc = pytest.importorskip("nervlane_comm_py")


class TestPorts:
    def test_ports_prints_a_table_and_auto_without_one_usb_port_says_what_it_found(
        self, cli: Cli, tmp_path: Path
    ) -> None:
        from serial.tools import list_ports

        done = cli("ports")
        assert done.returncode == 0, done.stderr
        assert "device" in done.stdout and "USB VID:PID" in done.stdout

        usb = [p for p in list_ports.comports() if p.vid is not None]
        if len(usb) == 1:
            pytest.skip("this machine has exactly one USB serial port: auto would open it")
        parameters.write(tmp_path / "p.msgpack", parameters.make("binary"))
        for command in ("monitor", "record"):
            done = cli(
                command,
                "auto",
                str(tmp_path / "p.msgpack"),
                "--seconds",
                "1",
                *(("-o", str(tmp_path / "r.csv")) if command == "record" else ()),
            )
            assert done.returncode == 3, done.stderr
            assert "USB serial port" in done.stderr and "Traceback" not in done.stderr

    def test_a_usb_port_is_shown_and_chosen_by_its_stable_name(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
    ) -> None:
        from nervlane.commands import ports as ports_command
        from nervlane.sensor import ports

        (tmp_path / "ttyUSB7").touch()
        (tmp_path / "by-id").mkdir()
        stable = tmp_path / "by-id" / "usb-Nervlane_Skin_42-if00-port0"
        stable.symlink_to(tmp_path / "ttyUSB7")
        (tmp_path / "by-id" / "usb-Nervlane_Skin_42-if00-port0-other").symlink_to(tmp_path / "ttyUSB7")
        usb = SimpleNamespace(
            device=str(tmp_path / "ttyUSB7"), description="Skin", vid=0x0403, pid=1, serial_number="42", manufacturer=""
        )
        monkeypatch.setattr(ports, "BY_ID", str(stable.parent))
        found = [usb]
        monkeypatch.setattr(ports, "serial_ports", lambda: found)
        monkeypatch.setenv("COLUMNS", "300")
        assert ports.auto_port() == str(stable)  # the first link by name, of two
        ports_command.run()
        assert str(stable) in capsys.readouterr().out
        # Of two USB ports, auto chooses neither.
        found.append(SimpleNamespace(**{**vars(usb), "device": "/dev/ttyUSB8", "serial_number": "43"}))
        with pytest.raises(ToolError, match=r"2 USB serial ports found, .*ttyUSB7.*, /dev/ttyUSB8.*name the one"):
            ports.auto_port()
