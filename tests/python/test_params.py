"""``nervlane params``: show, check and convert parameter files, run as a
user runs it."""

from __future__ import annotations

import json
import os
from pathlib import Path

import msgpack
import pytest
from conftest import Cli

from nervlane import parameters

nc = pytest.importorskip("nervlane_comm_py")


EDITED_JSON = """[
  2,
  [
    {
      "SensorParameters": {
        "sensor_type": 0,
        "input_map": {"0": 0, "1": 1, "2": 2, "3": 3},
        "output_map": {"0": 0, "1": 1, "2": 2}
      },
      "lower": [0, 0.5, 0, 0],
      "upper": [1, 1, 1, 1],
      "offset": [10.0, 10, 10, 10],
      "coefs_x": [0.0, 1.0],
      "coefs_y": [0, 1],
      "coefs_z": [1e-300, 1.5, -2]
    }
  ],
  [
    {
      "SensorParameters": {
        "sensor_type": 1,
        "input_map": {"4": 0},
        "output_map": {"0": 3}
      },
      "lower": 0,
      "upper": 65535.0,
      "offset": 1000.0,
      "coefs": [0.0, 0.001],
      "note": "edited by hand"
    }
  ]
]
"""


class TestParams:
    def test_json_round_trips_through_msgpack_unchanged(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text(EDITED_JSON)
        done = cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(tmp_path / "p.msgpack"))
        assert done.returncode == 0, done.stderr
        done = cli("params", "to-json", str(tmp_path / "p.msgpack"))
        assert done.returncode == 0, done.stderr
        assert done.stdout == EDITED_JSON

    def test_msgpack_keeps_integer_keys_ints_and_floats_apart(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text(EDITED_JSON)
        cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(tmp_path / "p.msgpack"))
        selector, (tri,), (tax,) = msgpack.unpackb((tmp_path / "p.msgpack").read_bytes(), strict_map_key=False)
        assert type(selector) is int
        assert tri["SensorParameters"]["input_map"] == {0: 0, 1: 1, 2: 2, 3: 3}
        assert [type(v) for v in tri["lower"]] == [int, float, int, int]
        assert type(tax["lower"]) is int and type(tax["offset"]) is float
        check = cli("params", "check", str(tmp_path / "p.msgpack"))
        assert check.returncode == 0, check.stderr
        assert "4 calibrated outputs" in check.stdout

    def test_check_reports_the_module_message_for_a_bad_file(self, cli: Cli, tmp_path: Path) -> None:
        bad = tmp_path / "bad.msgpack"
        parameters.write(bad, parameters.make("binary", [], [parameters.taxel_record(4, 3, output_map={0: 3, 1: 4})]))
        with pytest.raises(RuntimeError) as expected:
            nc.NervlaneComms().init(str(bad))
        done = cli("params", "check", str(bad))
        assert done.returncode == 1
        assert str(expected.value) in done.stderr and str(expected.value)
        assert "taxel record 0, output_map: 2 entries" in done.stderr
        shown = cli("params", "show", str(bad))  # what can be shown is, then the same verdict
        assert (shown.returncode, shown.stderr) == (1, done.stderr) and "Taxels" in shown.stdout

        (tmp_path / "cut.msgpack").write_bytes(bad.read_bytes()[:20])
        done = cli("params", "check", str(tmp_path / "cut.msgpack"))
        assert done.returncode == 1 and "the file ends after 20 bytes" in done.stderr

        (tmp_path / "notes.txt").write_text("version: 1\n")
        done = cli("params", "check", str(tmp_path / "notes.txt"))
        assert done.returncode == 1 and "not a MessagePack parameter file: it holds the integer 118" in done.stderr
        assert done.stderr.endswith('the file begins with the text "version: 1\\n"\n')  # no "(bad cast)"
        shown = cli("params", "show", str(tmp_path / "notes.txt"))  # nothing shown, the same verdict
        assert (shown.returncode, shown.stdout, shown.stderr) == (1, "", done.stderr)

        for nowhere, why in ((tmp_path, "a folder"), (tmp_path / "missing.msgpack", "No such file")):
            done = cli("params", "check", str(nowhere))
            assert (shown := cli("params", "show", str(nowhere))).returncode == 1 and shown.stderr == done.stderr
            assert done.returncode == 1 and str(nowhere) in done.stderr and why in done.stderr
            assert "Cannot find sensor parameter file" in done.stderr and "Traceback" not in done.stderr

        parameters.write(tmp_path / "seven.msgpack", [7, [], [parameters.taxel_record(0, 0)]])
        done = cli("params", "check", str(tmp_path / "seven.msgpack"))
        assert done.returncode == 0 and "selector 7 names no frame format" in done.stderr

    def test_bad_json_is_reported_with_its_place_and_nothing_is_written(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text('[1, [], [\n  {"lower": 1,}\n]]')
        out = tmp_path / "p.msgpack"
        out.write_bytes(b"old")
        done = cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(out))
        assert done.returncode == 1 and "line 2 column" in done.stderr
        assert out.read_bytes() == b"old"
        assert sorted(os.listdir(tmp_path)) == ["in.json", "p.msgpack"]

        # Good JSON, but a file the module would refuse: checked as `check` does.
        edited = json.loads(EDITED_JSON)
        edited[2][0]["coefs"] = "oops"
        (tmp_path / "in.json").write_text(json.dumps(edited))
        done = cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(out))
        assert done.returncode == 1
        assert done.stderr.endswith('taxel record 0, coefs: needs an array of numbers, found the string "oops"\n')
        assert out.read_bytes() == b"old"

    def test_non_msgpack_input_and_untranslatable_values_are_refused(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "text.msgpack").write_bytes(b"\xc1 not msgpack")
        done = cli("params", "to-json", str(tmp_path / "text.msgpack"))
        assert done.returncode == 1 and "not a MessagePack file" in done.stderr
        (tmp_path / "bin.msgpack").write_bytes(msgpack.packb([0, [], [{"coefs": b"\x00"}]]))
        done = cli("params", "to-json", str(tmp_path / "bin.msgpack"))
        assert done.returncode == 1 and "binary data" in done.stderr

    def test_show_lays_out_every_sensor(self, cli: Cli, tmp_path: Path) -> None:
        (tmp_path / "in.json").write_text(EDITED_JSON)
        cli("params", "from-json", str(tmp_path / "in.json"), "-o", str(tmp_path / "p.msgpack"))
        done = cli("params", "show", str(tmp_path / "p.msgpack"))
        assert done.returncode == 0, done.stderr
        assert "protocol 2 (encrypted), 1 triaxial, 1 taxel sensors" in done.stdout
        assert "Taxels" in done.stdout and "1000" in done.stdout

    @pytest.mark.parametrize(
        "command",
        [
            ("params", "check", "FIFO"),
            ("params", "show", "FIFO"),
            ("monitor", "PORT", "FIFO", "--seconds", "1"),
            ("params", "check", "/dev/zero"),
            ("record", "PORT", "/dev/zero", "-o", "OUT", "--seconds", "1"),
        ],
    )
    def test_a_fifo_or_a_device_as_the_parameter_file_is_refused_at_once(
        self, cli: Cli, tmp_path: Path, command: tuple[str, ...]
    ) -> None:
        os.mkfifo(tmp_path / "p.fifo")
        names = {"FIFO": str(tmp_path / "p.fifo"), "PORT": str(tmp_path / "ttyNOPE"), "OUT": str(tmp_path / "x.csv")}
        done = cli(*(names.get(a, a) for a in command), timeout=20)
        assert done.returncode == 1 and ", not a regular file" in done.stderr, done.stderr
        assert "Traceback" not in done.stderr and os.listdir(tmp_path) == ["p.fifo"]
