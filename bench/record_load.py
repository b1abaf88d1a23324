"""Lossless recording under load: what `nervlane record` does, at 1 device x
2000 frames/s and at 8 devices x 1000 frames/s (8 comms objects in one
process, each queuing its frames), with two CPU-bound processes beside it.

    .venv/bin/python bench/record_load.py [--seconds 10] [--readings 22] [--runs 1x2000,8x1000]
                                          [--format csv,npz,mcap]

Linux and macOS. The devices run in a process of their own (one pseudo-
terminal and one streaming thread each, binary frames); this process takes
the frames in batches and writes them through record's own writer, one
file per device, as `nervlane record -o FILE.csv` (or .npz, .mcap) does. Per
run it prints the frames the devices sent and this process recorded, the
frames lost, the CPU time of this process (the module's reader threads
included) per frame, and the file's bytes per frame.
Lost frames are split by where they went: gaps in the sequence numbers
(dropped by the recorder's queue), frames the decoder rejected, and frames
the device could not send because nobody drained the port. Target: 0.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "python"))
sys.path.insert(0, HERE)

BURNER = "while True: pass"


def serve(count: int, rate: float, readings: int) -> int:
    """The device process: ``count`` pseudo-terminals, each sent ``rate``
    frames a second that carry their index (see ``stream_to_ptys``); then
    it prints what it sent."""
    from frames import stream_to_ptys

    from nervlane.formats import binary_frame

    filler = [1000] * (readings - 2)
    fds, counts = stream_to_ptys(count, rate, lambda tick: binary_frame([tick & 0xFFFF, tick >> 16, *filler]))
    unsent = sum(counts["unsent"])
    sent = sum(counts["stamped"]) - unsent
    behind = counts["behind"]
    print(json.dumps({"sent": sent, "unsent": unsent, "behind": behind}), flush=True)
    sys.stdin.readline()  # the recorder has disconnected: hang up
    for fd in fds:
        os.close(fd)
    return 0


def open_queued(ports: list[str], params: str) -> list[Any]:
    """A sensor on each port, opened as the tools open one (``Sensor``s),
    each keeping every frame in its frame queue as `nervlane record` does."""
    from nervlane.commands.record import QUEUE_FRAMES
    from nervlane.sensor import open_sensor

    sensors = [open_sensor(port, params) for port in ports]
    for sensor in sensors:
        sensor.comms.queue_frames(QUEUE_FRAMES)
    return sensors


@dataclass
class Figures:
    devices: int
    rate: float
    seconds: float
    sent: int
    recorded: int
    gaps: int
    rejected: int
    discarded: int
    unsent: int
    behind: int
    cpu_s: float
    fmt: str
    file_bytes: int

    def row(self) -> str:
        lost = self.gaps + self.rejected + self.unsent
        per_frame = self.cpu_s / self.recorded * 1e6 if self.recorded else float("nan")
        size = self.file_bytes / self.recorded if self.recorded else float("nan")
        return (
            f"| {self.fmt} | {self.devices} x {self.rate:g}/s | {self.sent:,} | {self.recorded:,} | {lost} | "
            f"{self.gaps} | {self.rejected} ({self.discarded} B) | {self.unsent} | {self.behind} | {per_frame:.1f} | "
            f"{self.cpu_s / self.seconds * 100:.0f}% | {size:.0f} |"
        )


def record_run(devices: int, rate: float, seconds: float, readings: int, folder: str, fmt: str) -> Figures:
    from nervlane import parameters
    from nervlane.commands.record import PACE_S, WRITE_EVERY_S
    from nervlane.recording import Outputs, RecordingWriter

    params = os.path.join(folder, "p.msgpack")
    parameters.write(params, parameters.make("binary", [], [parameters.taxel_record(j, j) for j in range(readings)]))
    burners = [subprocess.Popen([sys.executable, "-c", BURNER]) for _ in range(2)]
    device = subprocess.Popen(
        [sys.executable, __file__, "--serve", str(devices), str(rate), str(readings)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert device.stdin is not None and device.stdout is not None
    try:
        sensors = open_queued(device.stdout.readline().split(), params)
        comms = [s.comms for s in sensors]
        base = [c.stats() for c in comms]
        start = time.monotonic()
        recordings = [
            RecordingWriter(Outputs(os.path.join(folder, f"run{k}.{fmt}")), s, replace=True, start=start)
            for k, s in enumerate(sensors)
        ]
        cpu = time.process_time()
        device.stdin.write("go\n")
        device.stdin.flush()
        last_write = start
        while (now := time.monotonic()) - start < seconds:
            for c, r in zip(comms, recordings, strict=False):
                r.add(c.take_frames(0))
            if now - last_write >= WRITE_EVERY_S:
                for r in recordings:
                    r.flush()
                last_write = now
            time.sleep(max(0.0, PACE_S - (time.monotonic() - now)))
        device.stdin.write("stop\n")
        device.stdin.flush()
        sent = json.loads(device.stdout.readline())
        time.sleep(0.2)  # the last frames through the readers
        for c, r in zip(comms, recordings, strict=False):
            while len(batch := c.take_frames(0)):
                r.add(batch)
            r.finish("the run's end")
        cpu = time.process_time() - cpu
        stats = [c.stats() for c in comms]
        for c in comms:
            c.close()  # the ports let go before the device hangs up
        device.stdin.write("quit\n")
        device.stdin.flush()
        device.wait(timeout=30)
    finally:
        procs: list[subprocess.Popen[Any]] = [*burners, device]
        for p in procs:
            p.kill()
            p.wait()
    return Figures(
        devices,
        rate,
        seconds,
        sent=sent["sent"],
        recorded=sum(r.tally.frames for r in recordings),
        gaps=sum(r.tally.gaps for r in recordings),
        rejected=sum(s["frames_rejected"] - b["frames_rejected"] for s, b in zip(stats, base, strict=False)),
        discarded=sum(s["bytes_discarded"] - b["bytes_discarded"] for s, b in zip(stats, base, strict=False)),
        unsent=sent["unsent"],
        behind=sent["behind"],
        cpu_s=cpu,
        fmt=fmt,
        file_bytes=sum(os.path.getsize(r.outputs.target) for r in recordings),
    )


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--readings", type=int, default=22)
    ap.add_argument("--runs", default="1x2000,8x1000", help="DEVICESxRATE, comma-separated")
    ap.add_argument("--format", default="csv", help="csv, npz or mcap (the mcap extra), comma-separated")
    ap.add_argument("--serve", nargs=3, metavar=("DEVICES", "RATE", "READINGS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve(int(args.serve[0]), float(args.serve[1]), int(args.serve[2]))

    print(
        f"{args.readings} readings a frame, binary, {args.seconds:g} s a run, two CPU-bound processes beside; "
        f"{os.cpu_count()} CPUs"
    )
    print(
        "| format | devices x rate | sent | recorded | lost | queue gaps | decoder rejected | unsent (port full) "
        "| device behind (not lost) | CPU µs/frame | CPU of one core | file bytes/frame |"
    )
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    for fmt in args.format.split(","):
        for run in args.runs.split(","):
            devices, rate = run.split("x")
            with tempfile.TemporaryDirectory(prefix="nervlane-record-load-") as folder:
                figures = record_run(int(devices), float(rate), args.seconds, args.readings, folder, fmt)
            print(figures.row(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
