"""The benchmark's device: a process of its own that owns a pseudo-terminal
and writes stamped frames into it, so that its CPU time is not charged to
the consumer being measured.

Talks to run.py over stdin/stdout, one line each way:
  -> prints the port name, then waits for "go";
  -> streams for --seconds (paced as a 115200-baud line with --paced, else
     as fast as the pty takes the bytes), then prints "sent N ELAPSED_S" and writes the
     send time of every frame (int64 ns, frame order) to --log;
  -> waits for "quit" (or end of input) before hanging up, so the consumer
     can drain the port first.
"""

from __future__ import annotations

import argparse
import array
import os
import sys
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from frames import BAUD, FrameMaker  # noqa: E402


def write_all(fd: int, data: bytes | bytearray) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--format", required=True)
    ap.add_argument("--readings", type=int, default=64)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--paced", action="store_true", help="pace frames as 115200 baud allows")
    ap.add_argument("--log", required=True)
    args = ap.parse_args()

    maker = FrameMaker(args.format, args.readings)
    master, slave = os.openpty()
    tty.setraw(slave)
    port = os.ttyname(slave)
    os.close(slave)  # the consumer must be the only holder of the port
    print(port, flush=True)

    if sys.stdin.readline().strip() != "go":
        return 1

    if args.format == "text":
        # A sensor is already streaming when a reader connects, so a reader
        # drops the line it joined halfway; this lone line feed plays that
        # line, and frame 0 is then the first whole one.
        write_all(master, b"\n")

    sent_ns = array.array("q")
    monotonic_ns = time.monotonic_ns
    make = maker.make
    seq = 0
    start = monotonic_ns()
    end = start + int(args.seconds * 1e9)
    if args.paced:
        due = start
        now = start
        while now < end:
            if due > now:
                time.sleep((due - now) / 1e9)
            now = monotonic_ns()
            frame = make(seq, now)
            write_all(master, frame)
            sent_ns.append(now)
            seq += 1
            # The wire time of this frame: 10 bits a byte (start, 8 data, stop).
            due += len(frame) * 10 * 1_000_000_000 // BAUD
            if now - due > 1_000_000_000:
                due = now  # a stalled reader: don't burst to catch up
    else:
        # Frames go out in batches of about 4 KiB (the pty's own chunk), all
        # stamped with the moment of the write: one write per frame would
        # make the device, not the reader, the bottleneck.
        batch = max(1, 4096 // maker.size())
        now = start
        while now < end:
            chunk = bytearray()
            for _ in range(batch):
                chunk += make(seq, now)
                sent_ns.append(now)
                seq += 1
            write_all(master, chunk)
            now = monotonic_ns()
    elapsed = (monotonic_ns() - start) / 1e9

    with open(args.log, "wb") as f:
        sent_ns.tofile(f)
    print(f"sent {seq} {elapsed:.6f}", flush=True)
    sys.stdin.readline()  # "quit"
    os.close(master)
    return 0


if __name__ == "__main__":
    sys.exit(main())
