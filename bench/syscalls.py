"""System calls per frame of a process that reads frames through the module.

The device (device.py, a process of its own) paces frames as a 115200-baud
line allows; a consumer process, traced with `strace -f`, loops on read_raw
as an application does. The table counts the consumer's calls (its reader
thread included) per frame it received, from the return of the first frame
to the return of the last, so Python's own start-up and shutdown and the idle
second after the last frame (the reader's 100 ms time-outs, the binding's
50 ms waiting slices) are left out.

  python bench/syscalls.py [--seconds 5] [--format binary]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from run import write_parameter_files  # noqa: E402  (puts the tree's nervlane on the path)

# The consumer marks the start of the span it measures with a call that
# nothing else makes (getppid), and reports when its last frame came back, on
# the clock of strace's -ttt time stamps (time.time() makes no system call).
CONSUMER = """
import os, sys, time, nervlane_comm_py
comms = nervlane_comm_py.NervlaneComms()
comms.init(sys.argv[2])
comms.connect(sys.argv[1])
print("ready", flush=True)
while not comms.read_raw(2000):
    pass
os.getppid()
frames = 1
last = time.time()
while comms.read_raw(1000):
    frames += 1
    last = time.time()
comms.close()
print(frames, repr(last), flush=True)
"""


def counts_in_span(trace: str, end: float) -> dict[str, int]:
    """Calls by name in a `strace -f -ttt` log from the getppid mark to `end`."""
    calls: dict[str, int] = {}
    inside = False
    for line in open(trace, encoding="utf-8", errors="replace"):
        match = re.match(r"^(?:\[pid\s+\d+\]\s+|\d+\s+)?(\d+\.\d+)\s+(\w+)\(", line)
        if not match:
            continue  # "<... NAME resumed>": the second half of a call already counted
        started, name = float(match.group(1)), match.group(2)
        if name == "getppid":
            inside = True
        elif inside and started <= end:
            calls[name] = calls.get(name, 0) + 1
    return calls


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--format", default="binary", choices=("binary", "text", "encrypted"))
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        write_parameter_files(tmp, 64, [args.format])
        device = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "device.py"), "--format", args.format, "--paced"]
            + ["--seconds", str(args.seconds), "--log", os.path.join(tmp, "sent")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        port = device.stdout.readline().strip()
        trace = os.path.join(tmp, "trace")
        consumer = subprocess.Popen(
            ["strace", "-f", "-ttt", "-o", trace, sys.executable, "-c", CONSUMER, port]
            + [os.path.join(tmp, f"{args.format}.msgpack")],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert consumer.stdout.readline().strip() == "ready"
        device.stdin.write("go\n")
        device.stdin.flush()
        sent = device.stdout.readline().split()
        received_text, last_text = consumer.stdout.readline().split()
        received = int(received_text)
        consumer.wait()
        device.stdin.write("quit\n")
        device.stdin.close()
        device.wait()
        calls = counts_in_span(trace, float(last_text))

    print(f"{args.format} frames at line rate: sent {sent[1]}, received {received}")
    # The span holds the work of every frame after the first.
    spanned = max(received - 1, 1)
    total = sum(calls.values())
    for name, count in sorted(calls.items(), key=lambda item: -item[1]):
        print(f"  {name:12} {count:7d}  {count / spanned:6.2f} per frame")
    print(f"  {'all':12} {total:7d}  {total / spanned:6.2f} per frame")
    return 0


if __name__ == "__main__":
    sys.exit(main())
