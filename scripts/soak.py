#!/usr/bin/env python3
"""Soak run: hours of use pressed into minutes, watching for leaks and hangs.

A simulated device (a pseudo-terminal, POSIX only) streams frames as fast as
the port takes them while two Python threads read calibrated and raw frames;
the main thread zeroes now and then, reconnects every minute and twice pulls
the device and plugs in a new one. Every 30 seconds it prints frames, errors
and the process's resident memory. It fails (exit 1) when memory at the end
has grown by more than --rss-tolerance-mib since the end of the first minute,
when frames stop flowing, or when a step hangs.

    .venv/bin/python scripts/soak.py              # 10 minutes
    .venv/bin/python scripts/soak.py --minutes 2 --format text
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time

import nervlane_comm_py
from nervlane import sim


def rss_mib() -> float:
    """Resident memory of this process (VmRSS), in MiB."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    raise RuntimeError("no VmRSS line in /proc/self/status")


class Counters:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.frames = {"read": 0, "read_raw": 0}
        self.errors: dict[str, int] = {}
        self.last_error = ""
        self.zeros = 0
        self.reconnects = 0
        self.replacements = 0

    def error(self, where: str, exc: BaseException) -> None:
        with self.lock:
            self.errors[where] = self.errors.get(where, 0) + 1
            self.last_error = f"{where}: {type(exc).__name__}: {exc}"

    def total_frames(self) -> int:
        with self.lock:
            return sum(self.frames.values())


def reader(comms: nervlane_comm_py.NervlaneComms, raw: bool, counters: Counters, stop: threading.Event) -> None:
    name = "read_raw" if raw else "read"
    call = comms.read_raw if raw else comms.read
    while not stop.is_set():
        try:
            values = call(100)
        except RuntimeError as exc:
            # The port went away between the reconnect steps: expected while
            # a device is pulled, and counted so a storm of them shows.
            counters.error(name, exc)
            time.sleep(0.01)
            continue
        if values:
            with counters.lock:
                counters.frames[name] += 1


def start_device(frames: list[bytes]) -> sim.PtyDevice:
    device = sim.PtyDevice(sent_maxlen=16)
    # Far above what a pty carries: the device writes whenever the port has room.
    device.stream(lambda i: frames[i % len(frames)], rate_hz=1_000_000.0)
    return device


def wait_until(condition, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0, help="length of the run (default 10)")
    parser.add_argument("--format", choices=sim.FORMATS, default="binary", help="frame format (default binary)")
    parser.add_argument("--taxels", type=int, default=16)
    parser.add_argument("--triaxials", type=int, default=2)
    parser.add_argument("--report-seconds", type=float, default=30.0, help="time between reports (default 30)")
    parser.add_argument("--zero-seconds", type=float, default=20.0, help="time between zero calls (default 20)")
    parser.add_argument(
        "--rss-tolerance-mib",
        type=float,
        default=4.0,
        help="allowed memory growth after the first minute (default 4 MiB)",
    )
    args = parser.parse_args()
    if args.minutes <= 0:
        parser.error("--minutes must be positive")

    total = args.minutes * 60.0
    # The baseline is taken after a minute (or a sixth of a shorter run):
    # allocator pools and caches settle in that time.
    baseline_at = min(60.0, total / 6.0)
    pulls = [total / 3.0, 2.0 * total / 3.0]

    layout = sim.Layout(taxels=args.taxels, triaxials=args.triaxials)
    frames = [
        sim.encode_frame(args.format, [sim.NOMINAL_ZERO + (i * 37 + k * 11) % 400 for k in range(layout.frame_size)])
        for i in range(64)
    ]

    counters = Counters()
    stop = threading.Event()
    failures: list[str] = []

    with tempfile.TemporaryDirectory(prefix="nervlane-soak-") as tmp:
        params = os.path.join(tmp, "sensor.msgpack")
        sim.write_params(params, layout, args.format)
        comms = nervlane_comm_py.NervlaneComms()
        comms.init(params)
        device = start_device(frames)
        comms.connect(device.port)

        threads = [
            threading.Thread(target=reader, args=(comms, raw, counters, stop), daemon=True) for raw in (False, True)
        ]
        for t in threads:
            t.start()

        start = time.monotonic()
        next_report = args.report_seconds
        next_zero = args.zero_seconds
        next_reconnect = 60.0
        baseline: float | None = None
        frames_at_report = 0
        print(
            f"soak: {args.minutes:g} min, {args.format} frames of {layout.frame_size} readings, "
            f"RSS {rss_mib():.1f} MiB at start",
            flush=True,
        )
        try:
            while True:
                now = time.monotonic() - start
                if now >= total:
                    break
                if pulls and now >= pulls[0]:
                    pulls.pop(0)
                    device.close()  # the cable is pulled
                    if not wait_until(lambda: not comms.is_connected(), 5.0):
                        failures.append(f"{now:.0f} s: is_connected() still true 5 s after the hang-up")
                    device = start_device(frames)
                    comms.connect(device.port)
                    counters.replacements += 1
                if now >= next_reconnect:
                    next_reconnect += 60.0
                    comms.connect(device.port)
                    counters.reconnects += 1
                if now >= next_zero:
                    next_zero += args.zero_seconds
                    try:
                        comms.zero([])
                        counters.zeros += 1
                    except RuntimeError as exc:
                        counters.error("zero", exc)
                if baseline is None and now >= baseline_at:
                    baseline = rss_mib()
                    print(f"soak: baseline RSS {baseline:.1f} MiB at {now:.0f} s", flush=True)
                if now >= next_report:
                    next_report += args.report_seconds
                    frames_now = counters.total_frames()
                    with counters.lock:
                        print(
                            f"soak: {now:5.0f} s  read {counters.frames['read']:9d}  "
                            f"read_raw {counters.frames['read_raw']:9d}  "
                            f"({(frames_now - frames_at_report) / args.report_seconds:7.0f}/s)  "
                            f"device sent {device.frames_sent:9d}  zeros {counters.zeros:3d}  "
                            f"reconnects {counters.reconnects:2d}  replaced {counters.replacements}  "
                            f"errors {dict(counters.errors)}  RSS {rss_mib():.1f} MiB",
                            flush=True,
                        )
                    if frames_now == frames_at_report:
                        failures.append(f"{now:.0f} s: no frame in the last {args.report_seconds:g} s")
                    frames_at_report = frames_now
                time.sleep(0.05)
        finally:
            stop.set()
            for t in threads:
                t.join(5.0)
                if t.is_alive():
                    failures.append("a reader thread did not stop within 5 s")
            device.close()

        end = rss_mib()
        comms.close()

    with counters.lock:
        print(
            f"soak: done: read {counters.frames['read']}, read_raw {counters.frames['read_raw']}, "
            f"zeros {counters.zeros}, reconnects {counters.reconnects}, replaced {counters.replacements}, "
            f"errors {dict(counters.errors)}",
            flush=True,
        )
        if counters.last_error:
            print(f"soak: last error: {counters.last_error}")
    if baseline is None:
        baseline = end
    growth = end - baseline
    print(
        f"soak: RSS {baseline:.1f} MiB after the first minute, {end:.1f} MiB at the end "
        f"({growth:+.1f} MiB, tolerance {args.rss_tolerance_mib:g})"
    )
    if growth > args.rss_tolerance_mib:
        failures.append(f"memory grew by {growth:.1f} MiB")
    for failure in failures:
        print(f"soak: FAILED: {failure}")
    if not failures:
        print("soak: passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
