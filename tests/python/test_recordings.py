"""Recordings that other tools open: MCAP read back by the ``mcap`` and
``rosbags`` libraries, a crash and ``recover``, ``convert`` between the
formats, ``load`` of every format and of files of the previous release."""

from __future__ import annotations

import os
import re
import signal
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from conftest import Cli, StreamingSensor, cli_env, run_cli, start_cli

import nervlane
from nervlane.recording import RecordingWarning

nc = pytest.importorskip("nervlane_comm_py")
mcap_reader = pytest.importorskip("mcap.reader")
DATA = Path(__file__).parent / "data"


def plain(v: Any) -> Any:
    """A decoded message as lists and dicts, whichever library decoded it."""
    if isinstance(v, (list, tuple, np.ndarray)):
        return [plain(x) for x in (v.tolist() if isinstance(v, np.ndarray) else v)]
    if isinstance(v, (str, int, float)):
        return v
    fields = getattr(v, "__dataclass_fields__", None) or type(v).__slots__
    return {k: plain(getattr(v, k)) for k in fields if not k.startswith("__") and not k.isupper()}


def recorded(done: Any) -> int:
    assert done.returncode == 0, done.stderr
    return int(re.search(r"recorded (\d+) frames", done.stdout).group(1))  # type: ignore[union-attr]


def test_the_mcap_and_rosbags_libraries_read_every_message_alike(
    cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
) -> None:
    from mcap_ros2.decoder import DecoderFactory
    from rosbags.typesys import Stores, get_types_from_msg, get_typestore

    sensor = streaming_sensor("binary", rate_hz=1000.0)
    out = tmp_path / "r.mcap"
    frames = recorded(cli("record", sensor.port, sensor.params, "-o", str(out), "--seconds", "2", "--name", "hand"))
    typestore = get_typestore(Stores.EMPTY)
    seen: dict[str, list[Any]] = {}
    with out.open("rb") as f:
        reader = mcap_reader.make_reader(f, decoder_factories=[DecoderFactory()])
        assert reader.get_header().profile == "ros2"
        for schema, channel, message, decoded in reader.iter_decoded_messages(log_time_order=False):
            assert (schema.encoding, channel.message_encoding) == ("ros2msg", "cdr")
            if schema.name not in typestore.types:
                typestore.register(get_types_from_msg(schema.data.decode(), schema.name))
            peer = typestore.deserialize_cdr(message.data, schema.name)
            assert plain(decoded) == plain(peer), channel.topic
            assert message.log_time == message.publish_time
            seen.setdefault(channel.topic, []).append(decoded)
        (attachment,) = reader.iter_attachments()
        (meta,) = reader.iter_metadata()
    assert sorted(seen) == ["/diagnostics", "/nervlane/hand/frames", "/nervlane/hand/info"]
    sequence = [m.sequence for m in seen["/nervlane/hand/frames"]]
    assert sequence == list(range(sequence[0], sequence[0] + frames)) and frames > 1500
    frame = seen["/nervlane/hand/frames"][-1]
    assert frame.header.frame_id == "hand" and len(frame.raw) == 13 and len(frame.values) == 12
    assert tuple(frame.raw) in {f.readings for f in list(sensor.device.sent)}
    (info,) = seen["/nervlane/hand/info"]
    assert (info.port, info.format, info.output_names[0]) == (sensor.port, "binary", "tri0_x")
    assert attachment.name == os.path.basename(sensor.params) and attachment.media_type == "application/msgpack"
    assert attachment.data == Path(sensor.params).read_bytes()
    status = seen["/diagnostics"][-1].status[0]
    assert status.name == "nervlane: hand" and {v.key: v.value for v in status.values}["frames_recorded"] == str(frames)
    assert meta.name == "nervlane" and meta.metadata["frames"] == str(frames)
    rec = nervlane.load(out)
    assert rec.sequence.tolist() == sequence and rec.params == attachment.data
    stamps = [m.header.stamp.sec * 10**9 + m.header.stamp.nanosec for m in seen["/nervlane/hand/frames"]]
    assert np.array_equal(rec.utc, np.array(stamps) / 1e9) and rec.time[-1] == frame.time
    done = cli("params", "check", str(out))
    assert done.returncode == 0 and f"the parameter file in {out}: valid (12 calibrated outputs)" in done.stdout
    # Cut back to its data and finished by recover, it has the summary the mcap library wrote.
    from nervlane.recording.mcap_scan import scan

    with out.open("rb") as f:
        details = [e for e in scan(f)[0] if e.opcode == 0x0C][-1]
    (tmp_path / "cut.mcap").write_bytes(out.read_bytes()[: details.offset])
    assert cli("recover", str(tmp_path / "cut.mcap")).returncode == 0
    summaries = []
    for path in (out, tmp_path / "cut.mcap"):
        with path.open("rb") as f:
            summaries.append(mcap_reader.make_reader(f).get_summary())
    written, finished = summaries
    assert written is not None and finished is not None
    for group in ("statistics", "chunk_indexes", "attachment_indexes", "schemas", "channels"):
        assert getattr(finished, group) == getattr(written, group), group


def test_a_killed_mcap_recording_keeps_every_whole_chunk_and_recover_finishes_it(
    cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
) -> None:
    from mcap.stream_reader import StreamReader
    from mcap_ros2.decoder import DecoderFactory

    sensor = streaming_sensor("binary", rate_hz=1000.0, taxels=16, triaxials=0)
    out = tmp_path / "r.mcap"
    proc = start_cli("record", sensor.port, sensor.params, "-o", str(out))
    try:
        time.sleep(3.2)
        proc.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        proc.communicate(timeout=20)
    finally:
        proc.kill()
        proc.wait()
    decode = DecoderFactory().decoder_for("cdr", _frame_schema(out))
    assert decode is not None
    streamed = []
    with out.open("rb") as f, pytest.raises(Exception):  # noqa: B017 - the torn end, whichever error it makes
        for record in StreamReader(f).records:
            if type(record).__name__ == "Message" and record.channel_id == 1:
                streamed.append(decode(record.data))  # none torn: each decodes whole
    sequence = [m.sequence for m in streamed]
    assert len(sequence) > 1500 and sequence == list(range(sequence[0], sequence[0] + len(sequence)))
    assert killed - streamed[-1].time < 1.0, "more than the last second is missing"
    with pytest.warns(RecordingWarning, match="is unfinished"):
        assert nervlane.load(out).sequence.tolist() == sequence
    done = cli("recover", str(out))
    assert done.returncode == 0 and f"recovered {len(sequence)} frames in {out}" in done.stdout, done.stderr
    with out.open("rb") as f:
        reader = mcap_reader.make_reader(f)
        summary = reader.get_summary()
        assert summary is not None and summary.statistics.channel_message_counts[1] == len(sequence)
        assert sum(channel.id == 1 for _, channel, _ in reader.iter_messages()) == len(sequence)
    rec = nervlane.load(out)
    assert rec.meta["stopped_by"] == "the run ending unfinished" and rec.meta["frames"] == len(sequence)
    assert rec.params == Path(sensor.params).read_bytes()
    done = cli("recover", str(out))
    assert done.returncode == 2 and "finished already" in done.stderr


def _frame_schema(path: Path) -> Any:
    from mcap.stream_reader import StreamReader

    with path.open("rb") as f:
        return next(r for r in StreamReader(f).records if type(r).__name__ == "Schema")


def test_convert_csv_npz_mcap_csv_gives_the_same_arrays_and_the_same_file(
    cli: Cli, streaming_sensor: Callable[..., StreamingSensor], tmp_path: Path
) -> None:
    sensor = streaming_sensor("text", rate_hz=500.0, taxels=4, triaxials=1)
    recorded(cli("record", sensor.port, sensor.params, "-o", str(tmp_path / "a.csv"), "--seconds", "1"))
    for src, dst in (("a.csv", "b.npz"), ("b.npz", "c.mcap"), ("c.mcap", "d.csv")):
        done = cli("convert", str(tmp_path / src), str(tmp_path / dst))
        assert done.returncode == 0 and done.stderr == "", done.stderr
    loaded = [nervlane.load(tmp_path / name) for name in ("a.csv", "b.npz", "c.mcap", "d.csv")]
    for rec in loaded[1:]:
        for key in ("sequence", "time", "utc", "raw", "values"):
            assert np.array_equal(getattr(rec, key), getattr(loaded[0], key)), key
        assert (rec.names, rec.params, rec.outages) == (loaded[0].names, loaded[0].params, loaded[0].outages)
        assert rec.meta == loaded[0].meta
    assert (tmp_path / "d.csv").read_bytes() == (tmp_path / "a.csv").read_bytes()
    assert loaded[0].params == Path(sensor.params).read_bytes()
    done = cli("convert", str(tmp_path / "a.csv"), str(tmp_path / "b.npz"))
    assert done.returncode == 2 and "already exist" in done.stderr


def test_load_reads_the_previous_release_files_with_a_warning() -> None:
    with pytest.warns(RecordingWarning, match="made before recordings carried their clock"):
        csv = nervlane.load(DATA / "old.csv")
    with pytest.warns(RecordingWarning, match="made before recordings carried their clock"):
        npz = nervlane.load(DATA / "old.npz")
    for rec, frames in ((csv, 32), (npz, 31)):
        assert rec.names == ["tri0_x", "tri0_y", "tri0_z", "taxel_3", "taxel_4", "taxel_5", "taxel_6"]
        assert rec.raw.shape == (frames, 8) and rec.values.shape == (frames, 7) and rec.params is None
        assert np.all(np.diff(rec.sequence.astype(np.int64)) == 1) and rec.outages == []
        assert rec.meta["stopped_by"] == "--seconds 0.15" and 1.7e9 < rec.utc[0] < 1.9e9
    assert csv.time[0] == 0.0236 and csv.values[0, 0] == -0.5700000000000001


def test_without_the_mcap_extra_an_mcap_recording_is_refused_with_the_pip_command(tmp_path: Path) -> None:
    (tmp_path / "mcap.py").write_text("raise ImportError('No module named mcap')\n")
    env = cli_env()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), env["PYTHONPATH"]])
    done = run_cli("record", str(tmp_path / "ttyNOPE"), "p.msgpack", "-o", str(tmp_path / "r.mcap"), env=env)
    assert done.returncode == 5 and 'needs the mcap extra: pip install "' in done.stderr, done.stderr
    assert '[mcap]"' in done.stderr
    assert not (tmp_path / "r.mcap").exists()
