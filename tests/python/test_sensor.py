"""Where a tool's sensor comes from (a port and its parameter file, or a
served name) and the outages seen while the module reopens its port."""

from __future__ import annotations

import importlib.util
import os
from pathlib import Path
from typing import Any

import pytest
from conftest import Cli

from nervlane.extras import install_hint
from nervlane.sensor.outages import Outage, OutageWatch
from nervlane.sensor.watch import DecodeWatch

nc = pytest.importorskip("nervlane_comm_py")


class TestSource:
    @pytest.mark.parametrize(
        ("args", "code", "says"),
        [
            (("--from", "skin", "PORT", "PARAMS"), 2, "not both"),
            (("--connect", "tcp/127.0.0.1:7447", "PORT", "PARAMS"), 2, "--connect goes with --from"),
            (("PORT",), 2, "give the sensor's PORT and PARAMS file, or --from NAME"),
            (("--from", "skin", "--realtime"), 2, "give it to nervlane serve"),
            (("--from", "skin", "--connect", "127.0.0.1:7447"), 2, "give one like tcp/127.0.0.1:7447"),
            (
                ("--from", "skin"),
                None,
                "cannot reach skin" if importlib.util.find_spec("zenoh") else "cannot read skin",
            ),
        ],
    )
    def test_a_source_is_a_port_and_its_parameter_file_or_a_served_name(
        self, cli: Cli, tmp_path: Path, args: tuple[str, ...], code: int | None, says: str
    ) -> None:
        names = {"PORT": str(tmp_path / "ttyNOPE"), "PARAMS": str(tmp_path / "p.msgpack")}
        for command in (("monitor", "--seconds", "1"), ("record", "-o", str(tmp_path / "r.csv"))):
            done = cli(*command, *(names.get(a, a) for a in args))
            zenoh = importlib.util.find_spec("zenoh") is not None
            expected = code if code is not None else (3 if zenoh else 5)
            assert done.returncode == expected and says in done.stderr, done.stderr
            assert zenoh or code is not None or install_hint("remote") in done.stderr
        assert os.listdir(tmp_path) == []


def test_outages_are_seen_in_the_counters_even_between_two_looks() -> None:
    def stats(errors: int, returns: int) -> dict[str, Any]:
        return {"port_errors": errors, "reconnects": returns, "last_error": f"error {errors}"}

    watch = OutageWatch(stats(0, 0), 0.0)
    assert watch.look(stats(1, 0), 1.0) == ([], Outage(1.0, "error 1"))
    # The first comes back and a second comes and goes before the next look:
    # never seen, its reason is unknown.
    assert watch.look(stats(2, 2), 3.0) == ([Outage(1.0, "error 1", 2.0), Outage(1.0, None, 2.0)], None)
    # One comes and goes, and a third starts: the last error is the third's alone.
    ended, started = watch.look(stats(4, 3), 4.0)
    assert (ended, started) == ([Outage(3.0, None, 1.0)], Outage(4.0, "error 4"))
    assert (ended[0].reason, started.reason) == ("reason unknown", "last error: error 4")
    assert (watch.count, watch.current) == (4, Outage(4.0, "error 4"))
    # The fourth ends and a fifth starts between two looks: no outage in between.
    assert watch.look(stats(5, 4), 6.0) == ([Outage(4.0, "error 4", 2.0)], Outage(6.0, "error 5"))
    assert watch.count == 5
    # While it lasts, the reason may change: a different device under the name.
    assert watch.look({**stats(5, 4), "last_error": "a different device"}, 7.0) == ([], None)
    assert (watch.reason_changed, watch.current) == (True, Outage(6.0, "a different device"))
    watch.look({**stats(5, 4), "last_error": "a different device"}, 8.0)
    assert not watch.reason_changed
    # The module's own times date an outage as it happened, however late the look.
    timed = OutageWatch(stats(0, 0), 0.0)
    assert timed.look({**stats(1, 0), "last_error_time": 0.25}, 1.0) == ([], Outage(0.25, "error 1"))
    times = {"last_error_time": 0.25, "last_reconnect_time": 1.5}
    assert timed.look({**stats(1, 1), **times}, 2.0) == ([Outage(0.25, "error 1", 1.25)], None)
    times = {"last_error_time": 2.25, "last_reconnect_time": 2.5}
    assert timed.look({**stats(2, 2), **times}, 3.0) == ([Outage(2.25, "error 2", 0.25)], None)
    # Two returns between looks: the newest is the short outage's, so the one under way ends at the look.
    assert timed.look({**stats(3, 2), "last_error_time": 3.25}, 4.0) == ([], Outage(3.25, "error 3"))
    times = {"last_error_time": 4.25, "last_reconnect_time": 4.5}
    assert timed.look({**stats(4, 4), **times}, 5.0) == ([Outage(3.25, "error 3", 1.75), Outage(4.0, None, 1.0)], None)
    # A time outside the two looks (another clock's) dates nothing.
    assert timed.look({**stats(5, 4), "last_error_time": 99.0}, 6.0) == ([], Outage(6.0, "error 5"))
    assert timed.look({**stats(5, 5), "last_reconnect_time": 6.5}, 7.0) == ([Outage(6.0, "error 5", 0.5)], None)
    # One comes and goes and another starts: the newest error is the second's alone.
    times = {"last_error_time": 7.75, "last_reconnect_time": 7.5}
    assert timed.look({**stats(7, 6), **times}, 8.0) == ([Outage(7.0, None, 1.0)], Outage(7.75, "error 7"))
    # Nor does one from before the last look.
    times = {"last_error_time": 1.0, "last_reconnect_time": 1.0}
    assert timed.look({**stats(8, 7), **times}, 9.0) == ([Outage(7.75, "error 7", 1.25)], Outage(9.0, "error 8"))


def test_the_format_hint_allows_what_a_decoder_skips_before_the_first_frame() -> None:
    watch = DecodeWatch(dict.fromkeys(("frames_decoded", "frames_rejected", "bytes_discarded"), 0), "binary", 0.0)
    looks = [(1.9, 0, 0), (2.0, 0, 0), (2.0, 10, 1024 + 40), (2.0, 10, 1024 + 41), (2.0, 1000, 5000)]
    hints = [watch.hint({"frames_decoded": n, "frames_rejected": 0, "bytes_discarded": b}, t) for t, n, b in looks]
    assert [h is not None for h in hints] == [False, True, False, True, False]
