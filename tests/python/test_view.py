"""``nervlane view``: the server against a virtual sensor on a pseudo-terminal,
and the page in a real headless chromium (tests marked ``browser``)."""

from __future__ import annotations

import asyncio
import csv
import json
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from conftest import PYTHON_SOURCE, run_cli, start_cli

from nervlane.recording import Rows
from nervlane.view.feed import FrameFeed
from nervlane.virtual import NOMINAL_ZERO, Layout, PtyDevice, write_params

pytest.importorskip("nervlane_comm_py")

BUILD = PYTHON_SOURCE.parent / "build"
LAYOUT = Layout(taxels=9, triaxials=1)
PRESSED = 5  # the taxel the tests press
PRESS_COUNTS = 4000  # about 4.0 once calibrated


class Sensor:
    """A virtual sensor whose readings the test sets, at 200 frames/s."""

    def __init__(self, folder: Path) -> None:
        self.params = str(folder / "sensor.msgpack")
        write_params(self.params, LAYOUT, "binary")
        self.readings = [NOMINAL_ZERO] * LAYOUT.frame_size
        self.device = PtyDevice()
        self.stream()

    def stream(self) -> None:
        self.device.stream_readings("binary", lambda _i: list(self.readings), 200.0)

    def press(self, counts: int) -> None:
        self.readings[LAYOUT.taxel_channel(PRESSED)] = NOMINAL_ZERO + counts


@pytest.fixture
def sensor(tmp_path: Path) -> Iterator[Sensor]:
    s = Sensor(tmp_path)
    yield s
    s.device.close()


@pytest.fixture
def view(sensor: Sensor, tmp_path: Path) -> Iterator[Callable[..., tuple[subprocess.Popen[str], str]]]:
    """Starts ``nervlane view`` on the sensor (127.0.0.1, any free port);
    returns the process and the URL it printed first."""
    pytest.importorskip("aiohttp")
    procs: list[subprocess.Popen[str]] = []

    def start(*extra: str, port: str | None = None) -> tuple[subprocess.Popen[str], str]:
        args = ["view", port or sensor.device.port, sensor.params, "--http", "127.0.0.1:0", "--no-browser"]
        proc = start_cli(*args, "--record-dir", str(tmp_path), *extra)
        procs.append(proc)
        assert proc.stdout is not None
        url = proc.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:"), (url, proc.stderr.read() if proc.poll() is not None else "")
        return proc, url

    yield start
    for proc in procs:
        proc.terminate()
        proc.communicate(timeout=30)


def _request(url: str, body: Any = None, headers: dict[str, str] | None = None) -> tuple[int, str]:
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data, {"Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def _recorded_press(base: str, folder: Path, headers: dict[str, str]) -> float:
    """Records half a second through the page's API; the pressed taxel's mean."""
    status, answer = _request(base + "api/record", {"action": "start"}, headers)
    assert status == 200, answer
    time.sleep(0.5)
    status, answer = _request(base + "api/record", {"action": "stop"}, headers)
    assert status == 200 and json.loads(answer)["frames"] > 0, answer
    with open(folder / Path(json.loads(answer)["file"]).name, newline="") as f:
        rows = list(csv.DictReader(f))
    return float(np.mean([float(r[f"taxel_{LAYOUT.taxel_output(PRESSED)}"]) for r in rows]))


def test_a_request_without_the_token_gets_403_and_changes_nothing(
    view: Callable[..., tuple[subprocess.Popen[str], str]], sensor: Sensor, tmp_path: Path
) -> None:
    sensor.press(PRESS_COUNTS)
    _, url = view("--require-token")
    base, _, token = url.partition("?token=")
    assert len(token) >= 32
    cookie_name = "nervlane_view_" + base.rstrip("/").rsplit(":", 1)[1]
    wrong = token[:-1] + ("A" if token[-1] != "A" else "B")
    upgrade = {"Connection": "Upgrade", "Upgrade": "websocket", "Sec-WebSocket-Version": "13"}
    upgrade["Sec-WebSocket-Key"] = "dGhlIHNhbXBsZSBub25jZQ=="
    refused = [
        _request(base),
        _request(base + "?token=" + wrong),
        _request(base + "static/view.js"),
        _request(base + "ws", headers=upgrade),
        _request(base + "api/zero", {"outputs": []}),
        _request(base + "api/record", {"action": "start"}),
        _request(base + "api/zero", {"outputs": []}, {"Cookie": f"{cookie_name}={wrong}"}),
    ]
    assert [status for status, _ in refused] == [403] * len(refused), refused
    assert not any(tmp_path.glob("nervlane-*")), "a refused Record wrote a file"

    # The page hands the token on in a cookie; a request from another site is refused even with it.
    request = urllib.request.Request(url)
    with urllib.request.urlopen(request, timeout=30) as response:
        assert response.status == 200
        cookie = response.headers["Set-Cookie"].split(";")[0]
    with_token = {"Cookie": cookie}
    assert _request(base + "static/view.js", headers=with_token)[0] == 200
    foreign = {**with_token, "Origin": "http://example.invalid"}
    assert _request(base + "api/zero", {"outputs": []}, foreign)[0] == 403
    assert _recorded_press(base, tmp_path, with_token) > 2.0, "a refused Zero zeroed the sensor"
    assert _request(base + "api/zero", {"outputs": []}, with_token)[0] == 200
    assert abs(_recorded_press(base, tmp_path, with_token)) < 0.1


@pytest.mark.parametrize(
    ("layout", "extra", "code", "message"),
    [
        ("{", (), 1, "not JSON: Expecting property name enclosed in double quotes at line 1, column 2"),
        ('{"taxel_4": [1, "a"]}', (), 1, 'taxel_4: needs [x, y], two numbers in mm, found [1, "a"]'),
        ('{"taxel_99": [0, 0]}', (), 1, "taxel_99: no such output; this sensor's outputs are tri0_x, tri0_y"),
        ('{"tri0_x": [0, 0], "taxel_3": [0, 0]}', (), 1, "no position for taxel_4"),
        (None, ("--http", "127.0.0.1"), 2, "--http 127.0.0.1: give HOST:PORT"),
        (None, ("--record-dir", "missing"), 2, "--record-dir missing: no such folder"),
    ],
)
def test_bad_options_get_a_clear_error(
    sensor: Sensor, tmp_path: Path, layout: str | None, extra: tuple[str, ...], code: int, message: str
) -> None:
    pytest.importorskip("aiohttp")
    args = ["view", sensor.device.port, sensor.params, "--no-browser", "--http", "127.0.0.1:0", *extra]
    if layout is not None:
        (tmp_path / "layout.json").write_text(layout)
        args += ["--layout", str(tmp_path / "layout.json")]
    result = run_cli(*args)
    assert (result.returncode, result.stdout) == (code, ""), result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr


def test_without_the_extra_view_names_the_pip_command(sensor: Sensor) -> None:
    block = "import sys; sys.modules['aiohttp'] = None; from nervlane.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run(
        [sys.executable, "-c", block, "view", sensor.device.port, sensor.params],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=PYTHON_SOURCE,  # this tree's nervlane
    )
    assert result.returncode == 5, result.stderr
    assert 'pip install "nervlane-comm[view]"' in result.stderr


def test_a_view_waits_for_an_unplugged_device_and_its_recording_notes_the_outage(
    view: Callable[..., tuple[subprocess.Popen[str], str]], sensor: Sensor
) -> None:
    aiohttp = pytest.importorskip("aiohttp")
    proc, url = view(port=sensor.device.stable_port())

    async def next_state(connection: str) -> dict[str, Any]:
        async with aiohttp.ClientSession() as session, session.ws_connect(url + "ws") as ws:
            async for message in ws:
                state = json.loads(message.data) if message.type == aiohttp.WSMsgType.TEXT else {}
                if state.get("type") == "state" and state["connection"] == connection:
                    return state
        raise AssertionError("the view closed its socket")

    def page_shows(connection: str) -> dict[str, Any]:
        return asyncio.run(asyncio.wait_for(next_state(connection), 20))

    page_shows("connected")
    assert _request(url + "api/record", {"action": "start"})[0] == 200
    time.sleep(0.5)
    sensor.device.hang_up()
    # Whether poll sees the hang-up or read sees end of file first is the kernel's timing.
    assert " disconnected (" in page_shows("reconnecting")["last_error"]
    sensor.device.plug_in()
    sensor.stream()
    page_shows("connected")
    time.sleep(0.5)
    status, answer = _request(url + "api/record", {"action": "stop"})
    assert status == 200, answer
    recorded = json.loads(answer)["file"]
    outages = json.loads(Path(recorded + ".json").read_text())["outages"]
    assert len(outages) == 1 and outages[0]["ended"], outages
    with open(recorded, newline="") as f:
        sequence = [int(row["sequence"]) for row in csv.DictReader(f)]
    assert sequence == list(range(sequence[0], sequence[0] + len(sequence))) and len(sequence) > 100
    proc.terminate()
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err


def test_the_feed_keeps_peaks_and_thins_the_strip_chart_evenly() -> None:
    class Comms:
        def queue_frames(self, _n: int) -> None: ...

    feed = FrameFeed(Comms(), ["a", "b"])
    sequence, now = 0, 0.0
    for rate in (1000, 2000):
        n = rate // 100
        for _ in range(150):  # batches of 10 ms
            seq = np.arange(sequence, sequence + n)
            values = np.stack([seq % 7, -(seq % 3)], axis=1).astype(float)
            feed.absorb(Rows(seq.astype(np.uint64), now + np.arange(n) / rate, np.zeros((n, 4)), values))
            sequence, now = sequence + n, now + n / rate
        update = feed.take_update()
        assert update is not None
        every = rate // 1000
        assert update.every == every
        assert np.allclose(np.diff(update.times[-500:]), every / rate), f"{rate}/s: strip rows unevenly spaced"
        assert update.latest.tolist() == [(sequence - 1) % 7, -((sequence - 1) % 3)]
        assert update.peak.tolist() == [6.0, 0.0]
    feed.absorb(Rows(np.array([sequence + 5], dtype=np.uint64), np.array([now]), np.zeros((1, 4)), np.ones((1, 3))))
    assert feed.lost == 5
    assert feed.take_update().values.shape == (1, 2)  # type: ignore[union-attr]


# --------------------------------------------------------------------------
# In a real browser


@pytest.fixture
def browser() -> Iterator[Any]:
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    if not (Path("/usr/bin/chromium").exists() and Path("/usr/bin/chromedriver").exists()):
        pytest.skip("needs Debian's chromium and chromium-driver (scripts/setup.sh installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def _until(check: Callable[[], Any], seconds: float, what: str) -> Any:
    deadline = time.monotonic() + seconds
    while not (result := check()):
        assert time.monotonic() < deadline, f"no {what} within {seconds} s"
        time.sleep(0.01)
    return result


@pytest.mark.browser
def test_the_page_shows_the_sensor_and_follows_it(
    view: Callable[..., tuple[subprocess.Popen[str], str]], sensor: Sensor, browser: Any, tmp_path: Path
) -> None:
    proc, url = view("--no-reconnect")  # gone for good when unplugged
    browser.get(url)
    text = browser.execute_script
    cells = _until(
        lambda: text("return [...document.querySelectorAll('.cell .name')].map(c => c.textContent)"), 20, "cells"
    )
    assert cells == ["tri0"] + [f"taxel_{LAYOUT.taxel_output(j)}" for j in range(LAYOUT.taxels)]
    pressed = f".cell[data-name='taxel_{LAYOUT.taxel_output(PRESSED)}'] .value"

    def shown() -> float:
        value = text(f'return document.querySelector("{pressed}").textContent')
        return float(value) if value not in ("", "–") else float("nan")

    _until(lambda: shown() == 0.0, 20, "unpressed value")
    for channel, counts in zip(LAYOUT.triaxial_channels(0), (3000, 1500, 0, 300), strict=True):
        sensor.readings[channel] = NOMINAL_ZERO + counts  # a push with shear, for the screenshot
    start = time.monotonic()
    sensor.press(PRESS_COUNTS)
    _until(lambda: shown() > 2.0, 20, "pressed value")
    assert time.monotonic() - start < 0.5, "a press took more than 500 ms to show"

    browser.find_element("css selector", pressed.removesuffix(" .value")).click()  # charted from now on
    charted = "return Chart.getChart('chart').data.datasets.map(d => d.label)"
    assert _until(lambda: text(charted), 5, "chart")[-1] == f"taxel_{LAYOUT.taxel_output(PRESSED)}"
    BUILD.mkdir(exist_ok=True)
    _until(lambda: text("return document.getElementById('redraws').textContent") not in ("–", "0"), 5, "redraws")
    assert browser.save_screenshot(str(BUILD / "view-screenshot.png"))
    base = url.rstrip("/")
    outside = text("return performance.getEntriesByType('resource').map(e => e.name)")
    assert outside and all(u.startswith(base) for u in outside), outside

    def click(button: str) -> None:
        browser.find_element("id", button).click()

    click("zero-all")  # the press becomes the new zero
    _until(lambda: abs(shown()) < 0.05, 10, "zeroed value")
    click("record")
    _until(lambda: "frames" in browser.find_element("id", "record-status").text, 10, "recording")
    time.sleep(0.5)
    click("record")
    status = _until(lambda: "saved" in (t := browser.find_element("id", "record-status").text) and t, 10, "saved")
    files = list(tmp_path.glob("nervlane-*.csv"))
    with open(files[0], newline="") as f:
        frames = sum(1 for _ in csv.reader(f)) - 1
    assert len(files) == 1 and frames > 50 and f"{files[0].name}: {frames} frames" in status

    sensor.device.hang_up()
    _until(lambda: browser.find_element("id", "connection").text == "disconnected", 10, "disconnected")
    assert " disconnected (" in browser.find_element("id", "last-error").text
    proc.terminate()
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 4 and "went away" in err, err
