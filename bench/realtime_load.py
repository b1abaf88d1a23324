"""The real-time reader under load: 8 devices x 1000 frames/s read through the
frame queue (8 comms objects in one process, one `take_frames` thread each),
the device process at real-time priority as hardware effectively is, two
CPU-bound processes beside it, once with `realtime` off and once on.

    .venv/bin/python bench/realtime_load.py [--seconds 10] [--devices 8] [--rate 1000] [--readings 22]
                                            [--burners 2] [--device-priority 20] [--modes off,on]
                                            [--kernel-workers 30]

Linux, as root (or with CAP_SYS_NICE / an rtprio limit of at least 20), so
that the device process can run under SCHED_FIFO and `realtime=True` is
granted; without the permission it says so and measures all the same.

The device process owns one pseudo-terminal per device and writes binary
frames stamped with their sequence number and send time (bench/frames.py's
stamp) at `--rate` a second. Like a real sensor it never waits for its
reader: a frame that finds the port full is not sent, so it is lost at the
port. Per mode it prints:
  - lost at the port: frames the device stamped that no reader decoded
    (stamped sequence numbers missing from what `take_frames` handed over),
    with the device's own count of writes that found the port full;
  - latency from the device's write to `take_frames` handing the frame over
    (CLOCK_MONOTONIC in both processes), p50/p99/max, and the reader's part
    of it, from the write to the frame's decode time (its `time`), p50/p99;
  - whether the readers were granted real-time scheduling, frames dropped by
    the queue or refused by the decoder, the consumer's CPU time per frame
    and the load average.
Targets with realtime on: 0 lost, p99 <= 5 ms.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from frames import FrameMaker, add_load_arguments, stream_to_ptys, take_until_quiet  # noqa: E402  (puts the tree's nervlane on the path)

BURNER = "while True: pass"
QUEUE_FRAMES = 1 << 16
QUIET_MS = 300
"""A reader stops once the devices have stopped and this long passed without a frame."""


def run_devices(count: int, rate: float, readings: int, priority: int) -> int:
    """The device process: ``count`` pseudo-terminals sent ``rate`` stamped
    frames a second each, from "go" to "stop" on stdin; then it prints what
    it did as JSON. A frame that finds its port full is not sent; when this
    process falls behind it skips the ticks it missed rather than bursting."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
        policy = f"SCHED_FIFO {priority}"
    except OSError as error:
        policy = f"normal (SCHED_FIFO refused: {error.strerror})"
    maker = FrameMaker("binary", readings)
    fds, counts = stream_to_ptys(count, rate, lambda tick: maker.make(tick, time.monotonic_ns()))
    print(json.dumps({**counts, "policy": policy}), flush=True)
    sys.stdin.readline()  # the readers have let go: hang up
    for fd in fds:
        os.close(fd)
    return 0


@dataclass
class Figures:
    mode: str
    granted: int
    devices: int
    stamped: int
    received: int
    unsent: int
    behind: int
    dropped: int
    rejected: int
    p50_ms: float
    p99_ms: float
    max_ms: float
    decode_p50_ms: float
    decode_p99_ms: float
    cpu_us: float
    policy: str
    load: str

    def row(self) -> str:
        lost = self.stamped - self.received
        return (
            f"| {self.mode} | {self.granted}/{self.devices} | {self.stamped:,} | {self.received:,} | {lost:,} | "
            f"{self.unsent:,} | {self.p50_ms:.2f} | {self.p99_ms:.2f} | {self.max_ms:.1f} | "
            f"{self.decode_p50_ms:.2f} | {self.decode_p99_ms:.2f} | {self.dropped} | "
            f"{self.rejected} | {self.behind:,} | {self.cpu_us:.1f} | {self.load} |"
        )


def take_all(comms: list[Any], stop: threading.Event) -> tuple[list[Any], Any, Any]:
    """One thread per comms object takes frames until ``stop`` and a quiet
    spell; returns each object's stamped sequence numbers, and every frame's
    latency in ms to its take and to its decode."""
    import numpy as np

    seqs: list[list[Any]] = [[] for _ in comms]
    latencies: list[Any] = []
    decodes: list[Any] = []
    lock = threading.Lock()

    def reader(k: int, c: Any) -> None:
        mine, decoded = [], []
        for batch, now in take_until_quiet(c, stop, QUIET_MS):
            words = batch.raw[:, :6].astype(np.int64)
            seqs[k].append(words[:, 0] | (words[:, 1] << 16))
            sent = words[:, 2] | (words[:, 3] << 16) | (words[:, 4] << 32) | (words[:, 5] << 48)
            mine.append((now - sent) / 1e6)
            decoded.append(batch.time * 1e3 - sent / 1e6)
        with lock:
            latencies.extend(mine)
            decodes.extend(decoded)

    threads = [threading.Thread(target=reader, args=(k, c)) for k, c in enumerate(comms)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    def joined(parts: list[Any]) -> Any:
        return np.concatenate(parts) if parts else np.zeros(1)

    return seqs, joined(latencies), joined(decodes)


class KernelWorkers:
    """Holds the kernel's unbound workqueue threads (kworker/u*) at SCHED_FIFO
    ``priority`` while it runs. A pty's or a USB adapter's bytes reach the
    reader through them (the tty layer's flip-buffer push), and at normal
    priority they queue behind CPU-bound work however high the reader is.
    Workers come and go, so the setting is applied again every 0.25 s; those
    still alive are put back to normal at the end."""

    def __init__(self, priority: int) -> None:
        self.priority = priority
        self.touched: set[int] = set()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._hold, daemon=True)

    def _workers(self) -> list[int]:
        found = []
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/comm") as f:
                    if f.read().startswith("kworker/u"):
                        found.append(int(entry))
            except (OSError, ValueError):
                continue
        return found

    def _hold(self) -> None:
        while not self.stop.is_set():
            for pid in self._workers():
                try:
                    os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(self.priority))
                    self.touched.add(pid)
                except OSError:
                    pass
            self.stop.wait(0.25)

    def __enter__(self) -> KernelWorkers:
        if self.priority > 0:
            self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.priority > 0:
            self.stop.set()
            self.thread.join()
        for pid in self.touched:
            try:
                os.sched_setscheduler(pid, os.SCHED_OTHER, os.sched_param(0))
            except OSError:
                pass


def measure(mode: str, args: argparse.Namespace, params: str) -> Figures:
    import numpy as np

    import nervlane_comm_py as nc

    realtime = mode == "on"
    burners = [subprocess.Popen([sys.executable, "-c", BURNER]) for _ in range(args.burners)]
    device = subprocess.Popen(
        [sys.executable, __file__, "--device"]
        + [str(args.devices), str(args.rate), str(args.readings), str(args.device_priority)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert device.stdin is not None and device.stdout is not None
    try:
        comms = []
        for port in device.stdout.readline().split():
            c = nc.NervlaneComms()
            c.init(params)
            c.connect(port, realtime=realtime)
            c.queue_frames(QUEUE_FRAMES)
            comms.append(c)
        granted = sum(c.stats()["realtime"] for c in comms)
        stop = threading.Event()
        result: list[Any] = []
        taker = threading.Thread(target=lambda: result.extend(take_all(comms, stop)))
        cpu = time.process_time()
        taker.start()
        device.stdin.write("go\n")
        device.stdin.flush()
        time.sleep(args.seconds)
        device.stdin.write("stop\n")
        device.stdin.flush()
        sent = json.loads(device.stdout.readline())
        stop.set()
        taker.join()
        cpu = time.process_time() - cpu
        load = "/".join(f"{x:.1f}" for x in os.getloadavg())
        stats = [c.stats() for c in comms]
        for c in comms:
            c.close()
        device.stdin.write("quit\n")
        device.stdin.flush()
        device.wait(timeout=30)
    finally:
        for p in [*burners, device]:
            p.kill()
            p.wait()
    seqs, latency, decode = result
    # Distinct stamps: a frame is counted once however it was handed over.
    received = sum(len(np.unique(np.concatenate(s))) if s else 0 for s in seqs)
    return Figures(
        mode=mode,
        granted=granted,
        devices=args.devices,
        stamped=sum(sent["stamped"]),
        received=received,
        unsent=sum(sent["unsent"]),
        behind=sent["behind"],
        dropped=sum(s["frames_dropped"] for s in stats),
        rejected=sum(s["frames_rejected"] for s in stats),
        p50_ms=float(np.percentile(latency, 50)),
        p99_ms=float(np.percentile(latency, 99)),
        max_ms=float(latency.max()),
        decode_p50_ms=float(np.percentile(decode, 50)),
        decode_p99_ms=float(np.percentile(decode, 99)),
        cpu_us=cpu / received * 1e6 if received else float("nan"),
        policy=sent["policy"],
        load=load,
    )


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_load_arguments(ap, burners=2)
    ap.add_argument("--device-priority", type=int, default=20, help="SCHED_FIFO priority of the device process")
    ap.add_argument(
        "--kernel-workers",
        type=int,
        default=0,
        metavar="PRIORITY",
        help="hold the kernel's kworker/u* threads at this SCHED_FIFO priority during the run (0: leave them)",
    )
    ap.add_argument("--modes", default="off,on", help="realtime off, on, or both (comma-separated)")
    ap.add_argument("--device", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.device:
        count, rate, readings, priority = args.device
        return run_devices(int(count), float(rate), int(readings), int(priority))

    from nervlane import parameters

    modes = args.modes.split(",")
    if not set(modes) <= {"off", "on"}:
        ap.error("--modes takes off, on or off,on")
    print(
        f"{args.devices} devices x {args.rate:g} frames/s, binary frames of {args.readings} readings, "
        f"{args.seconds:g} s a mode, {args.burners} CPU-bound processes beside; {os.cpu_count()} CPUs; "
        f"load average before: {'/'.join(f'{x:.1f}' for x in os.getloadavg())}"
    )
    rows = []
    policy = ""
    with tempfile.TemporaryDirectory(prefix="nervlane-realtime-load-") as folder:
        params = os.path.join(folder, "p.msgpack")
        taxels = [parameters.taxel_record(j, j) for j in range(args.readings)]
        parameters.write(params, parameters.make("binary", [], taxels))
        for mode in modes:
            with KernelWorkers(args.kernel_workers):
                figures = measure(mode, args, params)
            policy = figures.policy
            rows.append(figures.row())
    workers = f"SCHED_FIFO {args.kernel_workers}" if args.kernel_workers > 0 else "left at normal priority"
    print(f"device process: {policy}; kernel kworker/u* threads: {workers}")
    print(
        "| realtime | readers granted | stamped | taken | lost at the port | port full (device) | p50 ms | p99 ms "
        "| max ms | to decode p50 ms | to decode p99 ms | queue dropped | rejected | device behind (not sent) "
        "| CPU µs/frame | load average 1/5/15 |"
    )
    print("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|")
    for row in rows:
        print(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
