"""Takes the README's picture of the browser view: docs/view-screenshot.png.

A virtual sensor (16 taxels on a 4.5 mm grid, 2 triaxials) streams behind a
link named like a real sensor's, ``/tmp/nervlane/left-hand``, with its
parameter file beside it, so that the page's header reads as it would for
a person's own sensor. ``nervlane view`` serves it on 127.0.0.1 with a
layout in millimetres, and Debian's headless chromium takes the picture
once a press and a push with shear show. Needs the test setup's .venv (selenium) and chromium:

    .venv/bin/python scripts/view-screenshot.py [--out docs/view-screenshot.png] [--folder /tmp/nervlane]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

from nervlane.virtual import Layout, PtyDevice, SignalModel, write_params  # noqa: E402

LAYOUT = Layout(taxels=16, triaxials=2)
PITCH_MM = 4.5


def layout_file() -> dict[str, object]:
    """The taxels on a 4 x 4 grid, row 0 at the top, and the triaxials beside them."""
    cells: dict[str, object] = {"unit": "N"}  # the virtual sensor's calibration gives newtons
    for j in range(LAYOUT.taxels):
        row, col = divmod(j, 4)
        cells[f"taxel {j}"] = [col * PITCH_MM, (3 - row) * PITCH_MM]
    for t in range(LAYOUT.triaxials):
        cells[f"tri{t}"] = [5 * PITCH_MM, (2.5 - 2 * t) * PITCH_MM]
    return cells


def pressed(browser: Any) -> bool:
    """A triaxial pushed with shear, and a press on the taxels: a picture with something in it."""
    look = """return [[...document.querySelectorAll('.cell.triaxial')].map((c) => c.innerText),
                      [...document.querySelectorAll('.cell:not(.triaxial) .value')].map((v) => v.textContent)]"""
    triaxials, taxels = browser.execute_script(look)
    pushes = [re.findall(r"[xyz] (-?[\d.]+)", text) for text in triaxials]
    pushed = any(len(p) == 3 and float(p[2]) > 4 and abs(float(p[0])) + abs(float(p[1])) > 1 for p in pushes)
    return pushed and max((float(v) for v in taxels if re.fullmatch(r"-?[\d.]+", v)), default=0) > 4


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default=str(ROOT / "docs" / "view-screenshot.png"), help="the PNG to write")
    parser.add_argument("--folder", default="/tmp/nervlane", help="where the sensor's link and files go")
    parser.add_argument("--seconds", type=float, default=6.0, help="the least the page runs before the picture")
    args = parser.parse_args()

    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    folder = Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    params, link, layout = folder / "left-hand.msgpack", folder / "left-hand", folder / "left-hand-layout.json"
    write_params(params, LAYOUT, "binary")
    layout.write_text(json.dumps(layout_file(), indent=1))
    with PtyDevice() as device:
        link.unlink(missing_ok=True)
        link.symlink_to(device.port)
        device.stream_readings("binary", SignalModel(LAYOUT, 11, 100.0), 100.0)
        env = {**os.environ, "PYTHONPATH": str(ROOT / "python")}
        view = subprocess.Popen(
            [sys.executable, "-m", "nervlane.cli", "view", str(link), str(params), "--layout", str(layout)]
            + ["--no-browser", "--http", "127.0.0.1:0", "--record-dir", str(folder)],
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1366,768"):
            options.add_argument(arg)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            assert view.stdout is not None
            browser.get(view.stdout.readline().strip())
            time.sleep(args.seconds)  # the chart fills
            deadline = time.monotonic() + 60
            while not pressed(browser) and time.monotonic() < deadline:
                time.sleep(0.05)
            browser.save_screenshot(args.out)
        finally:
            browser.quit()
            view.terminate()
            view.wait(timeout=30)
            link.unlink(missing_ok=True)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
