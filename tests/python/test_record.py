"""The recording writer that ``nervlane record`` and other tools share, and
the record command's own steps, run in this process."""

from __future__ import annotations

import dataclasses
import json
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from conftest import StreamingSensor

from nervlane.commands.record import record_sensor
from nervlane.console import ToolConsole
from nervlane.options import PortSource, RecordOptions
from nervlane.recording import RecordingFailed, RecordingWriter, Rows, check_output
from nervlane.sensor import Sensor, open_sensor
from nervlane.sensor.outages import Outage, OutageWatch

nc = pytest.importorskip("nervlane_comm_py")


def batch(first: int, n: int, width: int) -> Rows:
    sequence = np.arange(first, first + n, dtype=np.uint64)
    raw = np.repeat(sequence[:, None].astype(float), width, axis=1)
    return Rows(sequence, time.monotonic() + sequence / 1000.0, raw, raw[:, :1] / 2)


class Comms:
    def stats(self) -> dict[str, int]:
        return {"frames_rejected": 0, "bytes_discarded": 0}


def test_two_recordings_to_one_name_the_second_leaves_the_first_alone(tmp_path: Path) -> None:
    outputs = check_output(str(tmp_path / "r.csv"))
    sensor = Sensor(Comms(), "COM9", "COM9", "/p.msgpack", "binary", ["taxel_0"])
    first, second = RecordingWriter(outputs, sensor), RecordingWriter(outputs, sensor)
    first.add(batch(1, 10, 3))
    first.flush()
    sidecar = (tmp_path / "r.csv.json").read_bytes()
    with pytest.raises(RecordingFailed) as failed:
        second.add(batch(1, 10, 3))
    assert failed.value.code == 2 and "appeared meanwhile" in str(failed.value)
    assert (tmp_path / "r.csv.json").read_bytes() == sidecar
    assert second.finish("test").failure is failed.value
    assert first.finish("test").frames == 10
    assert (tmp_path / "r.csv").read_text().count("\n") == 11


def test_record_times_from_before_the_queue_and_a_failing_close_costs_nothing(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    streaming_sensor: Callable[..., StreamingSensor],
) -> None:
    device = streaming_sensor("binary", rate_hz=1000.0, taxels=4, triaxials=0)

    class SlowQueueBadClose:
        def __init__(self, comms: Any) -> None:
            self._comms = comms

        def __getattr__(self, name: str) -> Any:
            return getattr(self._comms, name)

        def queue_frames(self, capacity: int) -> None:
            self._comms.queue_frames(capacity)
            time.sleep(0.05 if capacity else 0)  # frames are decoded before this returns

        def close(self) -> None:
            self._comms.close()
            raise nc.PortError("IO Exception: the port failed as it closed")

    sensor = open_sensor(device.port, device.params)
    sensor = dataclasses.replace(sensor, comms=SlowQueueBadClose(sensor.comms))
    options = RecordOptions(PortSource(device.port, device.params), str(tmp_path / "r.npz"), seconds=0.5)
    record_sensor(sensor, check_output(options.output), options, ToolConsole(stderr=True))
    told = capsys.readouterr()
    assert f"closing {device.port} failed" in told.err and "recorded " in told.out
    with np.load(tmp_path / "r.npz") as data:
        assert len(data["time_s"]) >= 100 and data["time_s"].min() >= 0


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


def test_a_recording_that_stops_while_the_device_is_away_notes_the_outage_as_unended(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    streaming_sensor: Callable[..., StreamingSensor],
) -> None:
    device = streaming_sensor("binary", rate_hz=1000.0, taxels=4, triaxials=0)
    options = RecordOptions(PortSource(device.port, device.params), str(tmp_path / "r.csv"), seconds=1.5)
    sensor = open_sensor(device.port, device.params, reconnect=True)
    pull = threading.Timer(0.5, device.device.hang_up)
    pull.start()
    record_sensor(sensor, check_output(options.output), options, ToolConsole(stderr=True))
    pull.join()
    (outage,) = json.loads((tmp_path / "r.csv.json").read_text())["outages"]
    assert not outage["ended"] and 0.3 < outage["seconds"] < 1.3 and 0.3 < outage["start_s"] < 1.0, outage
    assert "still away at the stop" in capsys.readouterr().out
