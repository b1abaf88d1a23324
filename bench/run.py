"""nervlane_comm_py against what its users would otherwise write.

    .venv/bin/python bench/run.py [--seconds 5] [--markdown FILE] [--json FILE]

A device process writes stamped frames (sequence number and send time in the
readings) into a pseudo-terminal; one consumer at a time reads them:

  module    nervlane_comm_py.read_raw in a loop (the library's reader thread
            decodes);
  pyserial  a pyserial reader thread with struct.unpack / readline+float and
            a condition variable, consumed the way read_raw is;
  C floor   one C thread: termios raw, poll, large reads, frames found in
            its buffer (compiled here with cc).

Two scenarios: "line rate" paces frames as a 115200-baud line would carry
them; "unpaced" writes as fast as the pty takes them. The device blocks
while the port is not drained, so the pty itself loses nothing: every frame
missing at the consumer was either overwritten (decoded, but a newer frame
replaced it before the consumer came back) or lost by the reader.
"""

from __future__ import annotations

import argparse
import array
import json
import os
import platform
import select
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from frames import BAUD, FORMATS, FrameMaker  # noqa: E402

CONSUMERS = ("module", "pyserial", "c")
CONSUMER_NAMES = {"module": "nervlane_comm_py", "pyserial": "pyserial + thread", "c": "C floor"}
SCENARIOS = ("line", "unpaced")
SCENARIO_NAMES = {"line": "line rate", "unpaced": "unpaced"}

# A frame that a consumer already waiting for data never saw, although the
# next frame came this much later, was lost by the reader, not overwritten.
LOST_GAP_NS = 2_000_000


class BenchError(Exception):
    pass


@dataclass
class Result:
    scenario: str
    fmt: str
    consumer: str
    seconds: float = 0.0
    sent: int = 0
    delivered: int = 0
    reader_decoded: int = 0
    reader_inferred: bool = False
    lost: int = 0
    overwritten: int = 0
    corrupt: int = 0
    cpu_us_per_frame: float = 0.0
    switches_per_frame: float = 0.0
    p50_us: float = 0.0
    p99_us: float = 0.0
    max_us: float = 0.0
    notes: list[str] = field(default_factory=list)

    @property
    def sent_fps(self) -> float:
        return self.sent / self.seconds if self.seconds else 0.0

    @property
    def delivered_fps(self) -> float:
        return self.delivered / self.seconds if self.seconds else 0.0

    @property
    def decoded_fps(self) -> float:
        return self.reader_decoded / self.seconds if self.seconds else 0.0


# --------------------------------------------------------------------------
# Running one consumer against one device


def read_line(proc: subprocess.Popen[str], timeout: float, what: str) -> str:
    assert proc.stdout is not None
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        raise BenchError(f"{what}: no answer within {timeout:g} s")
    line = proc.stdout.readline()
    if not line:
        raise BenchError(f"{what}: the process ended (exit code {proc.wait()})")
    return line.strip()


def send(proc: subprocess.Popen[str], text: str) -> None:
    assert proc.stdin is not None
    try:
        proc.stdin.write(text + "\n")
        proc.stdin.flush()
    except BrokenPipeError:
        pass


def stop(proc: subprocess.Popen[str] | None) -> None:
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait()


def run_one(
    scenario: str, fmt: str, consumer: str, seconds: float, readings: int, tmp: str, c_floor: str | None
) -> Result:
    tag = f"{scenario}-{fmt}-{consumer}"
    log = os.path.join(tmp, f"{tag}.sent-log")
    prefix = os.path.join(tmp, tag)
    py = sys.executable
    device_cmd = [
        py,
        os.path.join(HERE, "device.py"),
        "--format",
        fmt,
        "--readings",
        str(readings),
        "--seconds",
        str(seconds),
        "--log",
        log,
    ]
    if scenario == "line":
        device_cmd.append("--paced")
    dev = cons = None
    try:
        dev = subprocess.Popen(device_cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        port = read_line(dev, 20, "device")
        if consumer == "c":
            assert c_floor is not None
            cmd = [c_floor, fmt, port, prefix]
        elif consumer == "module":
            params = os.path.join(tmp, f"{fmt}.msgpack")
            cmd = [
                py,
                os.path.join(HERE, "consumers.py"),
                "module",
                "--port",
                port,
                "--format",
                fmt,
                "--readings",
                str(readings),
                "--params",
                params,
                "--out",
                prefix,
            ]
        else:
            cmd = [py, os.path.join(HERE, "consumers.py"), "pyserial", "--port", port, "--format", fmt, "--out", prefix]
        cons = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if read_line(cons, 30, CONSUMER_NAMES[consumer]) != "ready":
            raise BenchError(f"{CONSUMER_NAMES[consumer]} did not get ready")
        time.sleep(0.2)  # let the reader settle into its wait
        send(dev, "go")
        done = read_line(dev, seconds + 60, "device").split()
        if len(done) != 3 or done[0] != "sent":
            raise BenchError(f"device: unexpected answer {' '.join(done)!r}")
        sent, elapsed = int(done[1]), float(done[2])
        send(cons, f"stop {sent}")
        try:
            code = cons.wait(timeout=60)
        except subprocess.TimeoutExpired:
            raise BenchError(f"{CONSUMER_NAMES[consumer]} did not finish within 60 s of the stop") from None
        if code != 0:
            raise BenchError(f"{CONSUMER_NAMES[consumer]} failed with exit code {code}")
        send(dev, "quit")
        dev.wait(timeout=20)
    finally:
        stop(cons)
        stop(dev)
    return analyse(scenario, fmt, consumer, sent, elapsed, log, prefix)


def load(path: str, typecode: str) -> array.array[int]:
    a = array.array(typecode)
    with open(path, "rb") as f:
        a.frombytes(f.read())
    return a


def percentile(sorted_values: list[int], q: float) -> float:
    if not sorted_values:
        return float("nan")
    k = min(len(sorted_values) - 1, max(0, round(q * (len(sorted_values) - 1))))
    return float(sorted_values[k])


def analyse(scenario: str, fmt: str, consumer: str, sent: int, elapsed: float, log: str, prefix: str) -> Result:
    sent_ns = load(log, "q")
    seqs, stamps, recv, call = (
        load(f"{prefix}.{n}", t) for n, t in (("seq", "I"), ("sent", "q"), ("recv", "q"), ("call", "q"))
    )
    with open(f"{prefix}.json") as f:
        summary: dict[str, Any] = json.load(f)
    r = Result(scenario, fmt, consumer, seconds=elapsed, sent=sent)

    seen: dict[int, int] = {}  # seq -> index of its first delivery
    latencies: list[int] = []
    for k, seq in enumerate(seqs):
        if seq >= sent or stamps[k] != sent_ns[seq]:
            r.corrupt += 1  # a frame the device never sent in that form
            continue
        if seq in seen:
            continue  # read_raw returns each frame once; a repeat would be a fault
        seen[seq] = k
        latencies.append(recv[k] - sent_ns[seq])
    duplicates = len(seqs) - r.corrupt - len(seen)
    if duplicates:
        r.notes.append(f"{duplicates} frames returned twice")
    if r.corrupt:
        r.notes.append(f"{r.corrupt} frames with wrong contents")
    r.delivered = len(seen)

    if "reader_decoded" in summary:
        r.reader_decoded = min(int(summary["reader_decoded"]), sent)
    elif scenario == "unpaced":
        # The device could only write as fast as the reader drained the pty,
        # and the consumer waited for the last frame, so the reader read every
        # byte; a frame it failed to decode cannot be told from one that was
        # overwritten, so none is put down as lost.
        r.reader_inferred = True
        r.reader_decoded = sent
    else:
        # The module's reader counts nothing we can see: a missing frame is
        # put down to the reader when the consumer was already waiting when it
        # was sent, nothing newer came for LOST_GAP_NS, and the next frame the
        # consumer got reached it promptly (within LOST_GAP_NS). A waiting,
        # responsive consumer takes a published frame within microseconds, so
        # only the reader can have lost it; a stall of the whole process (the
        # machine busy with other work) fails the last test and counts as an
        # overwrite instead.
        r.reader_inferred = True
        delivered_order = sorted(seen)
        lost = 0
        nxt = 0
        for j in range(sent):
            if j in seen:
                continue
            while nxt < len(delivered_order) and delivered_order[nxt] < j:
                nxt += 1
            if nxt == len(delivered_order):
                lost += 1  # never superseded: nothing can have overwritten it
                continue
            k = seen[delivered_order[nxt]]
            gap = sent_ns[j + 1] - sent_ns[j] if j + 1 < sent else LOST_GAP_NS
            prompt = recv[k] - stamps[k] < LOST_GAP_NS
            if call[k] <= sent_ns[j] and gap >= LOST_GAP_NS and prompt:
                lost += 1
        r.reader_decoded = sent - lost
    r.lost = sent - r.reader_decoded
    r.overwritten = max(0, r.reader_decoded - r.delivered)

    cpu = float(summary["cpu_user_s"]) + float(summary["cpu_sys_s"])
    r.cpu_us_per_frame = cpu * 1e6 / sent if sent else float("nan")
    r.switches_per_frame = (summary["vol_switches"] + summary["invol_switches"]) / sent if sent else float("nan")
    latencies.sort()
    r.p50_us = percentile(latencies, 0.50) / 1e3
    r.p99_us = percentile(latencies, 0.99) / 1e3
    r.max_us = (latencies[-1] if latencies else float("nan")) / 1e3
    return r


# --------------------------------------------------------------------------
# Tables


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (
        f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, Python {platform.python_version()}"
    )


def fmt_num(x: float, digits: int = 0) -> str:
    if x != x:  # nan
        return "–"
    if digits == 0:
        return f"{x:,.0f}"
    return f"{x:,.{digits}f}"


def results_table(results: list[Result]) -> list[str]:
    out = [
        "| scenario | format | consumer | sent/s | delivered/s | reader decoded/s | lost by reader | overwritten "
        "| CPU µs/frame | switches/frame | latency p50 µs | p99 µs | max µs |",
        "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for r in results:
        decoded = fmt_num(r.decoded_fps) + (" ⁱ" if r.reader_inferred else "")
        lost = f"{r.lost}" + (" ⁱ" if r.reader_inferred else "")
        note = f" ({'; '.join(r.notes)})" if r.notes else ""
        out.append(
            f"| {SCENARIO_NAMES[r.scenario]} | {r.fmt} | {CONSUMER_NAMES[r.consumer]}{note} | {fmt_num(r.sent_fps)} "
            f"| {fmt_num(r.delivered_fps)} | {decoded} | {lost} | {r.overwritten} "
            f"| {fmt_num(r.cpu_us_per_frame, 1)} | {fmt_num(r.switches_per_frame, 2)} "
            f"| {fmt_num(r.p50_us)} | {fmt_num(r.p99_us)} | {fmt_num(r.max_us)} |"
        )
    return out


def ratio(a: float, b: float) -> float:
    return a / b if b else float("nan")


def ratio_rows(results: list[Result]) -> tuple[list[str], list[str]]:
    """The module's figures as ratios to the baselines of the same run, and
    the targets checked against them."""
    by = {(r.scenario, r.fmt, r.consumer): r for r in results}
    rows = [
        "| scenario | format | vs | delivered/s | reader decoded/s | CPU/frame | latency p50 | p99 |",
        "|---|---|---|--:|--:|--:|--:|--:|",
    ]
    checks: list[str] = []
    for scenario in SCENARIOS:
        for fmt in FORMATS:
            m = by.get((scenario, fmt, "module"))
            if m is None:
                continue
            for base in ("c", "pyserial"):
                b = by.get((scenario, fmt, base))
                if b is None:
                    continue
                rows.append(
                    f"| {SCENARIO_NAMES[scenario]} | {fmt} | {CONSUMER_NAMES[base]} "
                    f"| {ratio(m.delivered_fps, b.delivered_fps):.2f}× | {ratio(m.decoded_fps, b.decoded_fps):.2f}× "
                    f"| {ratio(m.cpu_us_per_frame, b.cpu_us_per_frame):.2f}× "
                    f"| {ratio(m.p50_us, b.p50_us):.2f}× | {ratio(m.p99_us, b.p99_us):.2f}× |"
                )

    def check(ok: bool, text: str) -> None:
        checks.append(f"- {'met' if ok else 'MISSED'}: {text}")

    for fmt in FORMATS:
        m, p, c = (by.get(("line", fmt, k)) for k in CONSUMERS)
        if m and c and fmt == "binary":
            check(
                m.p50_us <= 1.3 * c.p50_us,
                f"line rate, binary: latency p50 at most 1.3× the C floor's ({ratio(m.p50_us, c.p50_us):.2f}×)",
            )
        if m and p:
            check(
                m.p50_us < p.p50_us and m.p99_us < p.p99_us,
                f"line rate, {fmt}: latency p50/p99 below pyserial's "
                f"({m.p50_us:.0f}/{m.p99_us:.0f} µs vs {p.p50_us:.0f}/{p.p99_us:.0f} µs)",
            )
        if m and c and fmt == "binary":
            check(
                m.cpu_us_per_frame <= 2 * c.cpu_us_per_frame,
                f"line rate, binary: CPU per frame at most 2× the C floor's "
                f"({ratio(m.cpu_us_per_frame, c.cpu_us_per_frame):.2f}×)",
            )
        if m and p and fmt == "text":
            check(
                m.cpu_us_per_frame <= 0.1 * p.cpu_us_per_frame,
                f"line rate, text: CPU per frame at most a tenth of pyserial's "
                f"({ratio(m.cpu_us_per_frame, p.cpu_us_per_frame):.3f}×)",
            )
        if m:
            check(m.lost == 0, f"line rate, {fmt}: nothing lost by the reader ({m.lost} lost)")
    m, p, c = (by.get(("unpaced", "binary", k)) for k in CONSUMERS)
    if m and p:
        check(
            m.decoded_fps >= 10 * p.decoded_fps,
            f"unpaced, binary: decoding at least 10× pyserial's ({ratio(m.decoded_fps, p.decoded_fps):.1f}×)",
        )
    if m and c:
        check(
            m.decoded_fps >= c.decoded_fps / 2,
            f"unpaced, binary: decoding at least half the C floor's ({ratio(m.decoded_fps, c.decoded_fps):.2f}×)",
        )
    return rows, checks


def report(results: list[Result], readings: int, seconds: float) -> str:
    sizes = {fmt: FrameMaker(fmt, readings).size() for fmt in FORMATS}
    rates = ", ".join(f"{fmt} {sizes[fmt]} B → {BAUD / 10 / sizes[fmt]:.0f}/s" for fmt in FORMATS)
    lines = [
        f"Machine: {machine()}.",
        f"Frames of {readings} readings, {seconds:g} s per run; line rate at 115200 baud: {rates}.",
        "",
        *results_table(results),
        "",
        "ⁱ inferred from sequence gaps (a build of the library without `stats()` does not count its reader's frames).",
        "",
        "The library's figures as ratios to the baselines measured in the same run "
        "(below 1× is better for CPU and latency, above 1× for rates):",
        "",
    ]
    rows, checks = ratio_rows(results)
    lines += rows
    if checks:
        lines += ["", "Targets:", "", *checks]
    return "\n".join(lines) + "\n"


# --------------------------------------------------------------------------


def build_c_floor(tmp: str) -> str | None:
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        print("no C compiler (cc): the C floor is left out", file=sys.stderr)
        return None
    exe = os.path.join(tmp, "c_floor")
    subprocess.run([cc, "-O2", "-std=c11", "-Wall", "-o", exe, os.path.join(HERE, "c_floor.c")], check=True)
    return exe


def write_parameter_files(tmp: str, readings: int, formats: list[str]) -> None:
    from nervlane.virtual import Layout, write_params  # the tree's own: frames put it on the path

    for fmt in formats:
        # One taxel per reading: the reader calibrates every frame, as it
        # does for a real sensor.
        write_params(os.path.join(tmp, f"{fmt}.msgpack"), Layout(taxels=readings), fmt)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--seconds", type=float, default=5.0, help="length of each run (default 5)")
    ap.add_argument("--readings", type=int, default=64, help="readings per frame (default 64)")
    ap.add_argument("--scenarios", default=",".join(SCENARIOS), help="line,unpaced")
    ap.add_argument("--formats", default=",".join(FORMATS), help="binary,text,encrypted")
    ap.add_argument("--consumers", default=",".join(CONSUMERS), help="module,pyserial,c")
    ap.add_argument("--markdown", help="also write the report to this file")
    ap.add_argument("--json", help="write every figure to this file")
    args = ap.parse_args(argv)

    def pick(text: str, allowed: tuple[str, ...], what: str) -> list[str]:
        chosen = [x.strip() for x in text.split(",") if x.strip()]
        bad = [x for x in chosen if x not in allowed]
        if bad or not chosen:
            ap.error(f"--{what}: choose from {', '.join(allowed)}")
        return chosen

    scenarios = pick(args.scenarios, SCENARIOS, "scenarios")
    formats = pick(args.formats, FORMATS, "formats")
    consumers = pick(args.consumers, CONSUMERS, "consumers")
    if args.seconds <= 0:
        ap.error("--seconds must be positive")
    if not 6 <= args.readings <= 255:
        ap.error("--readings must be 6 to 255 (six carry the stamp; an encrypted frame holds 255)")
    if os.name != "posix":
        print("The benchmark needs POSIX pseudo-terminals (Linux or macOS).", file=sys.stderr)
        return 2
    try:
        import nervlane_comm_py  # noqa: F401
        import serial  # noqa: F401
    except ImportError as e:
        print(
            f"{e}: run it with the project's Python (.venv/bin/python), which has nervlane_comm_py and pyserial",
            file=sys.stderr,
        )
        return 2

    results: list[Result] = []
    with tempfile.TemporaryDirectory(prefix="nervlane-bench-") as tmp:
        c_floor = build_c_floor(tmp) if "c" in consumers else None
        write_parameter_files(tmp, args.readings, formats)
        for scenario in scenarios:
            for fmt in formats:
                for consumer in consumers:
                    if consumer == "c" and (c_floor is None or fmt == "encrypted"):
                        continue  # the floor has no AES of its own
                    label = f"{SCENARIO_NAMES[scenario]}, {fmt}, {CONSUMER_NAMES[consumer]}"
                    print(f"running {label} ...", file=sys.stderr, flush=True)
                    try:
                        results.append(run_one(scenario, fmt, consumer, args.seconds, args.readings, tmp, c_floor))
                    except BenchError as e:
                        print(f"  {label} failed: {e}", file=sys.stderr)
    text = report(results, args.readings, args.seconds)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                [
                    asdict(r) | {"sent_fps": r.sent_fps, "delivered_fps": r.delivered_fps, "decoded_fps": r.decoded_fps}
                    for r in results
                ],
                f,
                indent=1,
            )
    return (
        0
        if len(results)
        == sum(
            1
            for s in scenarios
            for f in formats
            for c in consumers
            if not (c == "c" and (c_floor is None or f == "encrypted"))
        )
        else 1
    )


if __name__ == "__main__":
    sys.exit(main())
