"""The Python consumers the benchmark measures, one per process:

  module    nervlane_comm_py: the library's reader thread decodes, the
            consumer loops on read_raw.
  pyserial  what a Python user writes without the library: a pyserial
            reader thread that decodes each frame and keeps the newest
            under a condition variable, and a consumer thread that waits on
            it the way read_raw waits.

Talks to run.py over stdin/stdout: prints "ready" once the port is open,
then consumes until told "stop N" (N frames were sent) and it has seen frame
N-1, or two seconds after the stop. It then writes what it saw to
PREFIX.seq / .sent / .recv / .call (uint32 and int64 arrays, one entry per
frame returned to the consumer) and PREFIX.json (CPU time of this process
over the run, and what the reader thread counted where it can tell).
"""

from __future__ import annotations

import argparse
import array
import json
import os
import resource
import struct
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from frames import read_stamp  # noqa: E402  (puts the tree's nervlane on the path)

from nervlane.formats import BLOCK_SIZE, HEADER, KEY, MAX_COUNT  # noqa: E402

HEADER_BYTE = HEADER[:1]  # a header is this byte twice

GRACE_NS = 2_000_000_000


class Stopper:
    """Reads "stop N" from stdin on a thread of its own (blocked in read, so
    it costs nothing while the run goes on)."""

    def __init__(self) -> None:
        self.last_seq = 1 << 62
        self.deadline = 1 << 62
        threading.Thread(target=self._watch, daemon=True).start()

    def _watch(self) -> None:
        for line in sys.stdin:
            parts = line.split()
            if parts and parts[0] == "stop":
                self.deadline = time.monotonic_ns() + GRACE_NS
                self.last_seq = int(parts[1]) - 1
                return
        self.deadline = 0  # run.py went away: stop at once


class Record:
    def __init__(self) -> None:
        self.seq = array.array("I")
        self.sent = array.array("q")
        self.recv = array.array("q")
        self.call = array.array("q")

    def save(self, prefix: str, summary: dict[str, Any]) -> None:
        for name in ("seq", "sent", "recv", "call"):
            with open(f"{prefix}.{name}", "wb") as f:
                getattr(self, name).tofile(f)
        with open(f"{prefix}.json", "w") as f:
            json.dump(summary, f)


def cpu_now() -> resource.struct_rusage:
    return resource.getrusage(resource.RUSAGE_SELF)


def cpu_summary(r0: resource.struct_rusage, r1: resource.struct_rusage) -> dict[str, Any]:
    return {
        "cpu_user_s": r1.ru_utime - r0.ru_utime,
        "cpu_sys_s": r1.ru_stime - r0.ru_stime,
        "vol_switches": r1.ru_nvcsw - r0.ru_nvcsw,
        "invol_switches": r1.ru_nivcsw - r0.ru_nivcsw,
    }


def consume(take: Callable[[], Any], stopper: Stopper, rec: Record) -> None:
    """The consumer loop both kinds share: take the newest frame (waiting up
    to 100 ms), note its stamp and when it came."""
    monotonic_ns = time.monotonic_ns
    seq_a, sent_a, recv_a, call_a = rec.seq.append, rec.sent.append, rec.recv.append, rec.call.append
    while True:
        t_call = monotonic_ns()
        values = take()
        t = monotonic_ns()
        if values:
            seq, sent = read_stamp(values)
            seq_a(seq)
            sent_a(sent)
            recv_a(t)
            call_a(t_call)
            if seq >= stopper.last_seq:
                return
        elif t > stopper.deadline:
            return


def run_module(port: str, fmt: str, readings: int, params: str, prefix: str) -> None:
    import nervlane_comm_py

    comms = nervlane_comm_py.NervlaneComms()
    comms.init(params)
    comms.connect(port)
    stopper = Stopper()
    rec = Record()
    read_raw = comms.read_raw
    r0 = cpu_now()
    print("ready", flush=True)
    consume(lambda: read_raw(100), stopper, rec)
    r1 = cpu_now()
    summary = cpu_summary(r0, r1)
    if hasattr(comms, "stats"):  # a build that counts its reader's frames
        summary["reader_decoded"] = comms.stats()["frames_decoded"]
    del comms  # joins the reader before the files are written
    rec.save(prefix, summary)


class PyserialReader:
    """The reader thread a Python user writes around pyserial."""

    def __init__(self, port: str, fmt: str) -> None:
        import serial

        self.ser = serial.Serial(port, 115200, timeout=0.1)
        self.ser.reset_input_buffer()
        self.cond = threading.Condition()
        self.latest: Any = None
        self.new = False
        self.decoded = 0
        self.running = True
        decode = {"binary": self._binary, "text": self._text, "encrypted": self._encrypted}[fmt]
        self.thread = threading.Thread(target=self._run, args=(decode,), daemon=True)

    def _publish(self, values: Any) -> None:
        with self.cond:
            self.latest = values
            self.new = True
            self.decoded += 1
            self.cond.notify_all()

    def _run(self, decode: Callable[[], Any]) -> None:
        while self.running:
            values = decode()
            if values:
                self._publish(values)

    def _head(self) -> int | None:
        """The word after a header: a binary frame's reading count or an
        encrypted frame's byte length; None if either is missing or out of
        range."""
        read = self.ser.read
        if read(1) != HEADER_BYTE or read(1) != HEADER_BYTE:
            return None
        head = read(2)
        if len(head) < 2:
            return None
        (n,) = struct.unpack("<H", head)
        return n if 1 <= n <= MAX_COUNT else None

    def _binary(self) -> Any:
        n = self._head()
        if n is None:
            return None
        payload = self.ser.read(2 * n)
        if len(payload) < 2 * n:
            return None
        return struct.unpack(f"<{n}H", payload)

    def _text(self) -> Any:
        line = self.ser.readline()
        if not line.endswith(b"\n"):
            return None
        try:
            return [float(x) for x in line.split(b",")]
        except ValueError:
            return None

    def _encrypted(self) -> Any:
        if not hasattr(self, "_decryptor"):
            from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

            self._decryptor = Cipher(algorithms.AES(KEY), modes.ECB()).decryptor()
        length = self._head()
        if length is None:
            return None
        size = BLOCK_SIZE * (length // BLOCK_SIZE + 1)
        blocks = self.ser.read(size)
        if len(blocks) < size:
            return None
        plain = self._decryptor.update(blocks)
        n = length // 2
        return struct.unpack_from(f"<{n}H", plain)

    def take(self) -> Any:
        with self.cond:
            if self.cond.wait_for(lambda: self.new, timeout=0.1):
                self.new = False
                return self.latest
        return None


def run_pyserial(port: str, fmt: str, prefix: str) -> None:
    reader = PyserialReader(port, fmt)
    stopper = Stopper()
    rec = Record()
    r0 = cpu_now()
    reader.thread.start()
    print("ready", flush=True)
    consume(reader.take, stopper, rec)
    r1 = cpu_now()
    reader.running = False
    reader.thread.join()
    reader.ser.close()
    summary = cpu_summary(r0, r1)
    summary["reader_decoded"] = reader.decoded
    rec.save(prefix, summary)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=("module", "pyserial"))
    ap.add_argument("--port", required=True)
    ap.add_argument("--format", required=True)
    ap.add_argument("--readings", type=int, default=64)
    ap.add_argument("--params", help="parameter file (module)")
    ap.add_argument("--out", required=True, help="prefix of the result files")
    args = ap.parse_args()
    if args.kind == "module":
        run_module(args.port, args.format, args.readings, args.params, args.out)
    else:
        run_pyserial(args.port, args.format, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
