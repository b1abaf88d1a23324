#!/usr/bin/env python3
"""Soak run: hours of use pressed into minutes, watching for leaks and hangs.

A simulated device (a pseudo-terminal, POSIX only) streams frames as fast as
the port takes them while two Python threads read calibrated and raw frames;
the main thread zeroes now and then, reconnects every minute and twice pulls
the device and plugs in a new one. Every 30 seconds it prints frames, errors
and the process's resident memory. It fails (exit 1) when memory at the end
has grown by more than --rss-tolerance-mib since the end of the first minute,
when frames stop flowing, or when a step hangs.

With --unplug the device is pulled every 5 to 30 s instead (the pauses drawn
from --seed) and plugged in again 0.2 to 2 s later as a new pseudo-terminal
behind the same name (a symbolic link, as /dev/serial/by-id gives a USB
adapter), while the module reconnects by itself (`reconnect=True`). The
device paces --rate frames a second, each stamped with the device's own
sequence number, cut at every pull in the middle of a frame; a thread takes
every frame from the module's queue. The run fails also when a frame sent
while the port was connected is missing or taken twice, when a cut frame is
published, or when the module does not reconnect after a plug-in.

    .venv/bin/python scripts/soak.py              # 10 minutes
    .venv/bin/python scripts/soak.py --minutes 2 --format text
    .venv/bin/python scripts/soak.py --unplug --seed 7
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import threading
import time
from collections.abc import Callable

import numpy as np

import nervlane_comm_py
from nervlane import virtual

PULL_EVERY_S = (5.0, 30.0)
OUTAGE_S = (0.2, 2.0)
# Frames sent this shortly before a pull may still wait in the pty, which
# drops them when the device side closes (as a pulled cable loses what is on
# the line): they count apart, as lost at the pull.
GUARD_S = 0.1
RECONNECT_LIMIT_S = 5.0
# The queue's slots are filled on first use: small enough to have gone round
# once before the memory baseline (8 s at 1000 frames/s), large enough for a
# taker held up for seconds.
QUEUE_FRAMES = 8192


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


def start_device(frames: list[bytes]) -> virtual.PtyDevice:
    device = virtual.PtyDevice(sent_maxlen=16)
    # Far above what a pty carries: the device writes whenever the port has room.
    device.stream(lambda i: frames[i % len(frames)], rate_hz=1_000_000.0)
    return device


class StampedDevice:
    """The device of the unplug mode: a pseudo-terminal behind a stable name,
    streaming paced frames whose first two readings carry the device's own
    sequence number (low and high 16 bits). Like a sensor it never waits for
    its reader: a frame that finds the port full is not sent (`unsent`).
    Records which sequence numbers it sent while plugged in (`periods`, each
    [first, end)) and which frame each pull cut (`pulls`)."""

    def __init__(self, link: str, fmt: str, readings: int, rate: float) -> None:
        self.link = link
        self.fmt = fmt
        self.tail = [virtual.NOMINAL_ZERO + (k * 37) % 400 for k in range(readings - 2)]
        self.rate = rate
        self.seq = 0
        self.periods: list[list[int]] = []
        self.pulls: list[int] = []
        self.unsent = 0
        self._fd: int | None = None
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self.plug_in()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def frame(self, seq: int) -> bytes:
        return virtual.encode_frame(self.fmt, [seq & 0xFFFF, seq >> 16, *self.tail])

    def plug_in(self) -> None:
        master, name = virtual.open_raw_pty()
        fresh = self.link + ".new"
        if os.path.lexists(fresh):
            os.unlink(fresh)
        os.symlink(name, fresh)
        os.replace(fresh, self.link)  # whoever opens the name finds the old device or the new one
        with self._lock:
            self._fd = master
            self.periods.append([self.seq, self.seq])

    def pull(self) -> None:
        """The cable is pulled in the middle of a frame: all of the next
        frame but its last byte goes out, and 20 ms later (time for the
        reader to take those bytes) the name goes, as udev removes a
        /dev/serial/by-id link, and the device side closes. (Left in place,
        the link would name a pty number that another program may be given
        next.)"""
        with self._lock:
            fd, self._fd = self._fd, None
            if fd is None:
                return
            try:
                os.write(fd, self.frame(self.seq)[:-1])
            except OSError:
                pass
            time.sleep(0.02)
            self.pulls.append(self.seq)
            self.seq += 1
            os.unlink(self.link)
            os.close(fd)

    def _run(self) -> None:
        period = 1.0 / self.rate
        due = time.monotonic()
        while not self._stop.is_set():
            late = time.monotonic() - due
            if late < 0:
                time.sleep(-late)
                continue
            due = due + period if late < 0.05 else time.monotonic() + period  # behind: no burst
            with self._lock:
                if self._fd is None:
                    continue
                if not virtual.send_frame(self._fd, self.frame(self.seq)):
                    self.unsent += 1
                self.seq += 1
                self.periods[-1][1] = self.seq

    def stop(self) -> None:
        """No more frames; the device stays plugged in."""
        self._stop.set()
        self._thread.join(5.0)

    def close(self) -> None:
        self.stop()
        with self._lock:
            if self._fd is not None:
                os.unlink(self.link)
                os.close(self._fd)
                self._fd = None


def wait_until(condition, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def taker(
    comms: nervlane_comm_py.NervlaneComms, received: np.ndarray, counters: Counters, stop: threading.Event
) -> None:
    """Takes every queued frame and counts it against its device sequence
    number in `received`; the module's own sequence numbers must rise."""
    last = 0
    while not stop.is_set():
        try:
            batch = comms.take_frames(100)
        except RuntimeError as exc:
            counters.error("take_frames", exc)
            time.sleep(0.01)
            continue
        if not len(batch):
            continue
        words = batch.raw[:, :2].astype(np.int64)
        seqs = np.minimum(words[:, 0] | (words[:, 1] << 16), len(received) - 1)
        np.add.at(received, seqs, 1)
        if batch.sequence[0] <= last or np.any(np.diff(batch.sequence.astype(np.int64)) <= 0):
            counters.error("take_frames", RuntimeError("the module's sequence numbers went back or repeated"))
        last = int(batch.sequence[-1])
        with counters.lock:
            counters.frames["take_frames"] = counters.frames.get("take_frames", 0) + len(batch)


def losses(device: StampedDevice, received: np.ndarray) -> dict[str, int]:
    """Where the device's frames went. An outage runs from GUARD_S before a
    pull to the first frame taken after it (the port reopened, and for text
    the first line after it dropped as cut), and the run starts with one
    until the first frame taken; a frame sent outside every outage and not
    taken exactly once is a loss."""
    size = len(received)
    sent = np.zeros(size, dtype=bool)
    for first, end in device.periods:
        sent[first:end] = True
    outage = np.zeros(size, dtype=bool)
    guard = int(GUARD_S * device.rate)
    at_pulls = before_back = 0
    for cut in [-1, *device.pulls]:
        after = np.flatnonzero(received[cut + 1 :])
        back = cut + 1 + int(after[0]) if len(after) else size
        outage[max(0, cut - guard) : back] = True
        before_back += int(np.count_nonzero(sent[cut + 1 : back]))
        if cut >= 0:
            lead = slice(max(0, cut - guard), cut)
            at_pulls += int(np.count_nonzero(sent[lead] & (received[lead] == 0)))
    return {
        "sent": int(np.count_nonzero(sent)),
        "taken": int(np.count_nonzero(received)),
        "lost outside outages": int(np.count_nonzero(sent & ~outage & (received == 0))),
        "taken twice": int(np.count_nonzero(received > 1)),
        "cut frames published": int(sum(int(received[cut]) for cut in device.pulls)),
        "lost at a pull": at_pulls,
        "sent before the port was (back) open": before_back,
    }


def run_unplug(args: argparse.Namespace) -> int:
    total = args.minutes * 60.0
    baseline_at = min(60.0, total / 6.0)
    rng = random.Random(args.seed)
    layout = virtual.Layout(taxels=args.taxels, triaxials=args.triaxials)
    counters = Counters()
    stop = threading.Event()
    failures: list[str] = []
    resumes: list[float] = []
    # One count per device sequence number, written all over before the
    # baseline so that filling it in costs no resident memory later.
    received = np.ones(int(args.rate * total * 1.2) + 10_000, dtype=np.uint8)
    received.fill(0)

    with tempfile.TemporaryDirectory(prefix="nervlane-soak-") as tmp:
        params = os.path.join(tmp, "sensor.msgpack")
        virtual.write_params(params, layout, args.format)
        comms = nervlane_comm_py.NervlaneComms()
        comms.init(params)
        comms.queue_frames(QUEUE_FRAMES)
        device = StampedDevice(os.path.join(tmp, "by-id-sensor"), args.format, layout.frame_size, args.rate)
        comms.connect(device.link, reconnect=True)
        threads = [
            threading.Thread(target=taker, args=(comms, received, counters, stop), daemon=True),
            threading.Thread(target=reader, args=(comms, False, counters, stop), daemon=True),
        ]
        for t in threads:
            t.start()

        start = time.monotonic()
        next_pull = rng.uniform(*PULL_EVERY_S)
        chores = Chores(args.zero_seconds, baseline_at, args.report_seconds)
        print(
            f"soak: {args.minutes:g} min with unplugs (seed {args.seed}), {args.format} frames of "
            f"{layout.frame_size} readings at {args.rate:g}/s, module {nervlane_comm_py.__file__}, "
            f"RSS {rss_mib():.1f} MiB at start",
            flush=True,
        )
        try:
            while (now := time.monotonic() - start) < total:
                # The last pull leaves time for the device to come back before the end.
                if now >= next_pull and now < total - OUTAGE_S[1] - RECONNECT_LIMIT_S:
                    device.pull()
                    if not wait_until(lambda: not comms.is_connected(), RECONNECT_LIMIT_S):
                        failures.append(f"{now:.0f} s: is_connected() still true {RECONNECT_LIMIT_S:g} s after a pull")
                    time.sleep(rng.uniform(*OUTAGE_S))
                    device.plug_in()
                    plugged = time.monotonic()
                    if wait_until(lambda: comms.stats()["reconnects"] >= len(device.pulls), RECONNECT_LIMIT_S):
                        resumes.append(time.monotonic() - plugged)
                    else:
                        failures.append(f"{now:.0f} s: not reconnected {RECONNECT_LIMIT_S:g} s after a plug-in")
                    next_pull = time.monotonic() - start + rng.uniform(*PULL_EVERY_S)
                chores.run(now, comms, counters)
                chores.report(
                    now,
                    counters,
                    failures,
                    lambda rate: (
                        f"taken {counters.frames.get('take_frames', 0):9d}  ({rate:6.0f} frames/s read)  "
                        f"device sent {device.seq:9d}  pulls {len(device.pulls):3d}  "
                        f"reconnects {comms.stats()['reconnects']:3d}  zeros {counters.zeros:3d}"
                    ),
                )
                time.sleep(0.05)
        finally:
            device.stop()
            time.sleep(0.5)  # the last frames through the reader and the queue
            stop.set()
            for t in threads:
                t.join(5.0)
                if t.is_alive():
                    failures.append("a reader thread did not stop within 5 s")
            end = rss_mib()
            stats = comms.stats()
            comms.close()
            device.close()

    found = losses(device, received)
    print(
        f"soak: done: pulls {len(device.pulls)}, reconnects {stats['reconnects']}, "
        f"back within {max(resumes, default=0.0) * 1000:.0f} ms of a plug-in at most, zeros {counters.zeros}, "
        f"errors {dict(counters.errors)}, bytes discarded {stats['bytes_discarded']}, "
        f"frames rejected {stats['frames_rejected']}, port full (unsent) {device.unsent}",
        flush=True,
    )
    print("soak: frames: " + ", ".join(f"{name} {count}" for name, count in found.items()))
    if counters.last_error:
        print(f"soak: last error: {counters.last_error}")
    for name in ("lost outside outages", "taken twice", "cut frames published"):
        if found[name]:
            failures.append(f"frames {name}: {found[name]}")
    if stats["reconnects"] != len(device.pulls):
        failures.append(f"{stats['reconnects']} reconnects for {len(device.pulls)} pulls")
    if any(where == "take_frames" for where in counters.errors):
        failures.append(f"take_frames failed: {counters.last_error}")
    return finish(chores.baseline, end, args.rss_tolerance_mib, failures)


class Chores:
    """What both soaks do on the way: zero every ``zero_every`` seconds,
    take the memory baseline once, at ``baseline_at``, and report every
    ``report_every`` seconds, failing a report that saw no frame."""

    def __init__(self, zero_every: float, baseline_at: float, report_every: float) -> None:
        self.zero_every = zero_every
        self.next_zero = zero_every
        self.baseline_at = baseline_at
        self.baseline: float | None = None
        self.report_every = report_every
        self.next_report = report_every
        self.frames_at_report = 0

    def run(self, now: float, comms: nervlane_comm_py.NervlaneComms, counters: Counters) -> None:
        if now >= self.next_zero:
            self.next_zero += self.zero_every
            try:
                comms.zero([])
                counters.zeros += 1
            except RuntimeError as exc:
                counters.error("zero", exc)
        if self.baseline is None and now >= self.baseline_at:
            self.baseline = rss_mib()
            print(f"soak: baseline RSS {self.baseline:.1f} MiB at {now:.0f} s", flush=True)

    def report(self, now: float, counters: Counters, failures: list[str], describe: Callable[[float], str]) -> None:
        if now < self.next_report:
            return
        self.next_report += self.report_every
        frames_now = counters.total_frames()
        rate = (frames_now - self.frames_at_report) / self.report_every
        with counters.lock:
            print(
                f"soak: {now:5.0f} s  {describe(rate)}  errors {dict(counters.errors)}  RSS {rss_mib():.1f} MiB",
                flush=True,
            )
        if frames_now == self.frames_at_report:
            failures.append(f"{now:.0f} s: no frame in the last {self.report_every:g} s")
        self.frames_at_report = frames_now


def finish(baseline: float | None, end: float, tolerance: float, failures: list[str]) -> int:
    """Checks memory growth, prints the verdict and returns the exit code."""
    if baseline is None:
        baseline = end
    growth = end - baseline
    print(
        f"soak: RSS {baseline:.1f} MiB after the first minute, {end:.1f} MiB at the end "
        f"({growth:+.1f} MiB, tolerance {tolerance:g})"
    )
    if growth > tolerance:
        failures.append(f"memory grew by {growth:.1f} MiB")
    for failure in failures:
        print(f"soak: FAILED: {failure}")
    if not failures:
        print("soak: passed")
    return 1 if failures else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0, help="length of the run (default 10)")
    parser.add_argument("--format", choices=virtual.FORMATS, default="binary", help="frame format (default binary)")
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
    parser.add_argument("--unplug", action="store_true", help="pull the device every 5 to 30 s; reconnect on")
    parser.add_argument("--seed", type=int, default=1, help="seed of the unplug times (default 1)")
    parser.add_argument("--rate", type=float, default=1000.0, help="frames a second with --unplug (default 1000)")
    args = parser.parse_args()
    if args.minutes <= 0:
        parser.error("--minutes must be positive")
    if args.rate <= 0:
        parser.error("--rate must be positive")
    if args.unplug:
        return run_unplug(args)

    total = args.minutes * 60.0
    # The baseline is taken after a minute (or a sixth of a shorter run):
    # allocator pools and caches settle in that time.
    baseline_at = min(60.0, total / 6.0)
    pulls = [total / 3.0, 2.0 * total / 3.0]

    layout = virtual.Layout(taxels=args.taxels, triaxials=args.triaxials)
    frames = [
        virtual.encode_frame(
            args.format, [virtual.NOMINAL_ZERO + (i * 37 + k * 11) % 400 for k in range(layout.frame_size)]
        )
        for i in range(64)
    ]

    counters = Counters()
    stop = threading.Event()
    failures: list[str] = []

    with tempfile.TemporaryDirectory(prefix="nervlane-soak-") as tmp:
        params = os.path.join(tmp, "sensor.msgpack")
        virtual.write_params(params, layout, args.format)
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
        chores = Chores(args.zero_seconds, baseline_at, args.report_seconds)
        next_reconnect = 60.0
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
                chores.run(now, comms, counters)
                chores.report(
                    now,
                    counters,
                    failures,
                    lambda rate, device=device: (
                        f"read {counters.frames['read']:9d}  read_raw {counters.frames['read_raw']:9d}  "
                        f"({rate:7.0f}/s)  device sent {device.frames_sent:9d}  zeros {counters.zeros:3d}  "
                        f"reconnects {counters.reconnects:2d}  replaced {counters.replacements}"
                    ),
                )
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
    return finish(chores.baseline, end, args.rss_tolerance_mib, failures)


if __name__ == "__main__":
    sys.exit(main())
