"""Sharing sensors over Zenoh under load: 8 devices x 1000 frames/s, one
`nervlane serve` per device, and 2 subscribing processes that each read all
8 through `nervlane.remote.RemoteSensor`; then the same devices read by a
local `take_frames` reader, for comparison.

    .venv/bin/python bench/serve_load.py [--seconds 10] [--devices 8] [--rate 1000] [--readings 22]
                                         [--subscribers 2] [--burners 0]

Linux (CPU times come from /proc). Loopback only: every serve listens on
tcp/127.0.0.1 at a free port, scouting off. The devices run in a process of
their own (bench/record_load.py's, binary frames). Per run it prints the
frames the devices sent and each reader received, the frames lost, the CPU
time per frame (of the serves, and of each reader process), and the latency
from a frame's decode time (the module's `time`, on the serving machine's
monotonic clock, which here is the reader's too) to the moment `take_frames`
handed it to the reader, p50/p99/max. Targets: 0 lost; p99 <= 15 ms remote
(frames leave in batches at most every 10 ms).
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = os.path.join(HERE, os.pardir, "python")
sys.path.insert(0, PYTHON)
sys.path.insert(0, HERE)

from frames import add_load_arguments, take_until_quiet  # noqa: E402

BURNER = "while True: pass"
QUIET_MS = 300
"""A reader stops after the devices have stopped and this long passed without a frame."""


def cpu_seconds(pid: int) -> float:
    """User + system CPU time of a process so far (Linux)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def free_endpoint() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def read_all(sources: list[Any], ready: Any, stop: threading.Event) -> dict[str, Any]:
    """One thread per source takes frames until ``stop`` and a quiet spell;
    returns frames, gaps, CPU and latency figures of this process."""
    import numpy as np

    latencies: list[Any] = []
    counts = [0] * len(sources)
    lasts = [0] * len(sources)
    lock = threading.Lock()

    def reader(k: int, source: Any) -> None:
        mine = []
        for batch, now in take_until_quiet(source, stop, QUIET_MS):
            mine.append(now / 1e9 - batch.time)
            lasts[k] = int(batch.sequence[-1])
            counts[k] += len(batch)
        with lock:
            latencies.extend(mine)

    threads = [threading.Thread(target=reader, args=(k, s)) for k, s in enumerate(sources)]
    cpu = time.process_time()
    for t in threads:
        t.start()
    ready()
    for t in threads:
        t.join()
    cpu = time.process_time() - cpu
    lat = np.concatenate(latencies) * 1000 if latencies else np.zeros(1)
    return {
        "frames": sum(counts),
        # Readers start before the first frame, numbered 1: what they lack up to the last is a gap.
        "gaps": sum(lasts) - sum(counts),
        "cpu_s": cpu,
        "p50_ms": float(np.percentile(lat, 50)),
        "p99_ms": float(np.percentile(lat, 99)),
        "max_ms": float(lat.max()),
    }


def subscribe(targets: list[str]) -> int:
    """A subscribing process: NAME@ENDPOINT each; prints "ready" once every
    server is seen, reads until "stop" on stdin, prints its figures."""
    from nervlane.remote import RemoteSensor

    sensors = [RemoteSensor(*t.split("@")) for t in targets]
    deadline = time.monotonic() + 20
    while not all(s.is_alive() for s in sensors) and time.monotonic() < deadline:
        time.sleep(0.05)
    stop = threading.Event()

    def ready() -> None:
        print("ready", flush=True)
        sys.stdin.readline()
        stop.set()

    figures = read_all(sensors, ready, stop)
    stats = [s.stats() for s in sensors]
    figures["missed"] = sum(s["frames_missed"] for s in stats)
    for s in sensors:
        s.close()
    print(json.dumps(figures), flush=True)
    return 0


def start_devices(devices: int, rate: float, readings: int) -> tuple[subprocess.Popen[str], list[str]]:
    device = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "record_load.py"), "--serve", str(devices), str(rate), str(readings)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert device.stdout is not None
    return device, device.stdout.readline().split()


def tell(proc: subprocess.Popen[str], line: str) -> None:
    assert proc.stdin is not None
    proc.stdin.write(line + "\n")
    proc.stdin.flush()


def row(kind: str, sent: int, figures: dict[str, Any], cpu_frames: int, serve_cpu: float | None) -> str:
    per_frame = f"{serve_cpu / cpu_frames * 1e6:.1f}" if serve_cpu is not None and cpu_frames else "-"
    return (
        f"| {kind} | {sent:,} | {figures['frames']:,} | {sent - figures['frames']} | {figures['gaps']} | "
        f"{per_frame} | {figures['cpu_s'] / max(figures['frames'], 1) * 1e6:.1f} | "
        f"{figures['p50_ms']:.2f} | {figures['p99_ms']:.2f} | {figures['max_ms']:.1f} |"
    )


def remote_run(args: argparse.Namespace, params: str) -> list[str]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [PYTHON, os.environ.get("PYTHONPATH")]))}
    device, ports = start_devices(args.devices, args.rate, args.readings)
    procs: list[subprocess.Popen[str]] = [device]
    try:
        targets = []
        for k, port in enumerate(ports):
            endpoint = free_endpoint()
            serve = subprocess.Popen(
                [sys.executable, "-m", "nervlane.cli", "serve", port, params, "--name", f"s{k}", "--listen", endpoint]
                + ["--no-reconnect"],
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
                text=True,
                env=env,
            )
            procs.append(serve)
            assert serve.stdout is not None and serve.stdout.readline().startswith("serving")
            targets.append(f"s{k}@{endpoint}")
        serves = procs[1:]
        subscribers = []
        for _ in range(args.subscribers):
            sub = subprocess.Popen(
                [sys.executable, __file__, "--subscribe", *targets],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
            )
            procs.append(sub)
            subscribers.append(sub)
        for sub in subscribers:
            assert sub.stdout is not None and sub.stdout.readline().strip() == "ready"
        burners = [subprocess.Popen([sys.executable, "-c", BURNER]) for _ in range(args.burners)]
        procs += burners
        cpu = [cpu_seconds(s.pid) for s in serves]
        tell(device, "go")
        time.sleep(args.seconds)
        tell(device, "stop")
        assert device.stdout is not None
        sent = json.loads(device.stdout.readline())
        time.sleep(0.5)  # the last batches through
        serve_cpu = sum(cpu_seconds(s.pid) - c for s, c in zip(serves, cpu, strict=True))
        rows = []
        for k, sub in enumerate(subscribers):
            tell(sub, "stop")
            assert sub.stdout is not None
            figures = json.loads(sub.stdout.readline())
            rows.append(row(f"remote, subscriber {k + 1}", sent["sent"], figures, sent["sent"], serve_cpu))
        tell(device, "quit")
        return rows
    finally:
        for p in procs:
            p.kill()
            p.communicate()


def local_run(args: argparse.Namespace, params: str) -> str:
    from record_load import open_queued

    device, ports = start_devices(args.devices, args.rate, args.readings)
    burners = [subprocess.Popen([sys.executable, "-c", BURNER]) for _ in range(args.burners)]
    try:
        comms = [s.comms for s in open_queued(ports, params)]
        stop = threading.Event()
        sent: dict[str, Any] = {}

        def run_devices() -> None:
            tell(device, "go")
            time.sleep(args.seconds)
            tell(device, "stop")
            assert device.stdout is not None
            sent.update(json.loads(device.stdout.readline()))
            time.sleep(0.5)
            stop.set()

        figures = read_all(comms, run_devices, stop)
        for c in comms:
            c.close()
        tell(device, "quit")
        return row("local take_frames", sent["sent"], figures, 0, None)
    finally:
        for p in [device, *burners]:
            p.kill()
            p.communicate()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_load_arguments(ap, burners=0)
    ap.add_argument("--subscribers", type=int, default=2)
    ap.add_argument("--subscribe", nargs="+", metavar="NAME@ENDPOINT", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.subscribe:
        return subscribe(args.subscribe)

    from nervlane import parameters

    print(
        f"{args.devices} devices x {args.rate:g} frames/s, {args.readings} readings a frame, binary, "
        f"{args.seconds:g} s a run, {args.burners} CPU-bound processes beside; {os.cpu_count()} CPUs; "
        f"load average before: {os.getloadavg()[0]:.2f}"
    )
    print(
        "| reader | frames sent | received | lost | gaps seen | serve CPU µs/frame | reader CPU µs/frame "
        "| latency p50 ms | p99 ms | max ms |"
    )
    print("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    with tempfile.TemporaryDirectory(prefix="nervlane-serve-load-") as folder:
        params = os.path.join(folder, "p.msgpack")
        parameters.write(
            params, parameters.make("binary", [], [parameters.taxel_record(j, j) for j in range(args.readings)])
        )
        for line in remote_run(args, params):
            print(line, flush=True)
        print(local_run(args, params), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
