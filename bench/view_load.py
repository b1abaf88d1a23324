"""The browser view under load: a virtual sensor sends 1000 frames/s of 64
readings, `nervlane view`'s server shows them to one page open in headless
chromium, and this prints the server's CPU time per sensor frame and the
page's redraws per second as the browser counts them.

    .venv/bin/python bench/view_load.py [--seconds 10] [--rate 1000] [--readings 64]

Linux (needs Debian's chromium and chromium-driver, and selenium, as
scripts/setup.sh installs them). Three processes: the virtual sensor
(`nervlane simulate`), the view's server (this script with --serve: the
module's reader thread, the view's reader thread and the web server, the
same objects `nervlane view` runs), and chromium. The server's CPU is its
process time (all its threads) over the measured window, divided by the
frames it took off the queue in that window. Everything binds to 127.0.0.1.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, os.pardir, "python")
sys.path.insert(0, SOURCE)
WARM_UP_S = 3.0


def serve(port: str, params: str, record_dir: str) -> int:
    """The view's server on ``port``; prints its URL, then on "go" and
    "stop" lines from stdin measures CPU and frames in between, prints
    them as JSON and stops."""
    from nervlane.options import PageOptions
    from nervlane.sensor import open_sensor
    from nervlane.view.launch import prepare
    from nervlane.view.layout import grid_cells
    from nervlane.view.server import ViewServer

    prepared = prepare(PageOptions(http="127.0.0.1:0", open_browser=False, record_dir=record_dir))
    source = open_sensor(port, params)
    names = source.output_names
    server = ViewServer(source, grid_cells(names), "grid", prepared.listener, None, record_dir)
    print(server.url, flush=True)
    server.feed.start()

    async def main() -> None:
        task = asyncio.create_task(server.serve(None))
        loop = asyncio.get_running_loop()

        def measure() -> None:
            sys.stdin.readline()  # go
            cpu0, frames0, t0 = time.process_time(), server.feed.frames, time.monotonic()
            sys.stdin.readline()  # stop
            cpu, frames, t = time.process_time() - cpu0, server.feed.frames - frames0, time.monotonic() - t0
            figures = {"frames": frames, "seconds": t, "cpu_s": cpu, "lost": server.feed.lost}
            print(json.dumps(figures), flush=True)
            loop.call_soon_threadsafe(task.cancel)

        threading.Thread(target=measure, daemon=True).start()
        try:
            await task
        except asyncio.CancelledError:
            pass

    try:
        asyncio.run(main())
    finally:
        server.feed.stop()
        source.comms.close()
    return 0


def browser() -> object:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def run(seconds: float, rate: float, readings: int) -> int:
    env = {**os.environ, "PYTHONPATH": SOURCE}
    with tempfile.TemporaryDirectory(prefix="nervlane-view-bench-") as tmp:
        params = os.path.join(tmp, "sensor.msgpack")
        simulate = [sys.executable, "-m", "nervlane.cli", "simulate", "--rate", str(rate)]
        simulate += ["--taxels", str(readings), "--triaxials", "0", "--params", params]
        device = subprocess.Popen(simulate, stdout=subprocess.PIPE, text=True, env=env)
        assert device.stdout is not None
        port = device.stdout.readline().strip()
        view = subprocess.Popen(
            [sys.executable, __file__, "--serve", port, params, tmp],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        assert view.stdin is not None and view.stdout is not None
        driver = browser()
        try:
            driver.get(view.stdout.readline().strip())  # type: ignore[attr-defined]
            time.sleep(WARM_UP_S)
            view.stdin.write("go\n")
            view.stdin.flush()
            redraws = []
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                time.sleep(1.0)
                shown = driver.find_element("id", "redraws").text  # type: ignore[attr-defined]
                if shown.isdigit():
                    redraws.append(int(shown))
            view.stdin.write("stop\n")
            view.stdin.flush()
            figures = json.loads(view.stdout.readline())
            title = driver.find_element("id", "chart-title").text  # type: ignore[attr-defined]
        finally:
            driver.quit()  # type: ignore[attr-defined]
            view.wait(timeout=30)
            device.terminate()
            device.wait(timeout=30)
    frames = figures["frames"]
    print(f"sensor: {rate:g} frames/s x {readings} readings; one page open; {figures['seconds']:.1f} s measured")
    print(f"server: {frames} frames taken ({frames / figures['seconds']:.0f}/s), {figures['lost']} lost")
    print(f"server CPU: {figures['cpu_s']:.2f} s, {figures['cpu_s'] / max(frames, 1) * 1e6:.1f} us per sensor frame")
    if redraws:
        low, high = min(redraws), max(redraws)
        print(f"page: {statistics.mean(redraws):.1f} redraws/s (min {low}, max {high}); chart: {title}")
    return 0


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        return serve(*sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="measured window (default 10)")
    parser.add_argument("--rate", type=float, default=1000.0, help="sensor frames/s (default 1000)")
    parser.add_argument("--readings", type=int, default=64, help="taxels per frame (default 64)")
    args = parser.parse_args()
    return run(args.seconds, args.rate, args.readings)


if __name__ == "__main__":
    sys.exit(main())
