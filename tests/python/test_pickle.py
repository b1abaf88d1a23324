"""Frames and batches leave the process they were read in: pickled, copied,
or through a multiprocessing queue."""

from __future__ import annotations

import copy
import multiprocessing
import pickle
from collections.abc import Callable

import numpy as np
import pytest
from conftest import StreamingSensor

nc = pytest.importorskip("nervlane_comm_py")


def test_frames_and_batches_pickle_copy_and_cross_a_process_queue(
    streaming_sensor: Callable[..., StreamingSensor],
) -> None:
    sensor = streaming_sensor("binary", rate_hz=500.0, taxels=4, triaxials=1)
    with nc.NervlaneComms() as comms:
        comms.init(sensor.params)
        comms.connect(sensor.port)
        comms.queue_frames(100)
        frame = comms.read_frame(2000)
        batch = comms.take_frames(2000)
    assert frame is not None and len(batch) > 0
    queue = multiprocessing.get_context("spawn").Queue()
    for through in (lambda x: pickle.loads(pickle.dumps(x)), copy.copy, copy.deepcopy, queue.put):
        frame_again = through(frame) or queue.get(timeout=10)
        batch_again = through(batch) or queue.get(timeout=10)
        assert type(frame_again) is nc.Frame and type(batch_again) is nc.FrameBatch
        assert (frame_again.sequence, frame_again.time) == (frame.sequence, frame.time)
        assert (frame_again.raw, frame_again.values) == (frame.raw, frame.values)
        for name in ("sequence", "time", "raw", "values"):
            assert np.array_equal(getattr(batch_again, name), getattr(batch, name))
        assert batch_again.sequence.dtype == np.uint64 and len(batch_again) == len(batch)
    queue.close()
    for item, name in ((frame, "raw"), (batch, "values")):
        with pytest.raises(AttributeError, match=f"'{name}'"):
            setattr(item, name, [])
    with pytest.raises(ValueError, match="four arrays"):
        nc.FrameBatch.__new__(nc.FrameBatch).__setstate__((batch.sequence,))
