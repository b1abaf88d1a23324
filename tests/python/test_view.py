"""``nervlane view``: the server against a virtual sensor on a pseudo-terminal,
and the page in a real headless chromium (tests marked ``browser``)."""

from __future__ import annotations

import asyncio
import csv
import json
import math
import re
import socket
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

from nervlane.extras import install_hint
from nervlane.options import PageOptions
from nervlane.recording import Rows
from nervlane.sensor import open_sensor
from nervlane.view.feed import FrameFeed
from nervlane.virtual import DEAD_BAND_COUNTS, NOMINAL_ZERO, TAXEL_COEFS, Layout, PtyDevice, write_params

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

    def start(*extra: str, port: str | None = None, http: str = "127.0.0.1:0") -> tuple[subprocess.Popen[str], str]:
        args = ["view", port or sensor.device.stable_port(), sensor.params, "--http", http, "--no-browser"]
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
    data = body if body is None or isinstance(body, bytes) else json.dumps(body).encode()
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


@pytest.mark.parametrize("port", [0, 80])
def test_a_loopback_view_answers_to_its_own_names_and_zeroes_only_outputs_that_exist(
    view: Callable[..., tuple[subprocess.Popen[str], str]], port: int
) -> None:
    if port == 80:  # browsers leave the default port out of Host
        try:
            socket.create_server(("127.0.0.1", port)).close()
        except OSError as e:
            pytest.skip(f"cannot listen on 127.0.0.1:80 here: {e.strerror}")
    _, url = view(http=f"127.0.0.1:{port}")
    bound = url.rstrip("/").rsplit(":", 1)[1]
    hosts = {f"127.0.0.1:{bound}": 200, f"localhost:{bound}": 200, f"rebind.example:{bound}": 403}
    hosts |= {"127.0.0.1": 200, "localhost": 200} if port == 80 else {"127.0.0.1": 403}
    assert {host: _request(url, headers={"Host": host})[0] for host in hosts} == hosts

    outputs = LAYOUT.output_size
    for bad in ([outputs], [-1], [2**64], [10**30], [True], [1.0], 3):
        status, answer = _request(url + "api/zero", {"outputs": bad})
        assert (status, json.loads(answer)) == (400, {"error": f"outputs: a list of output positions 0..{outputs - 1}"})
    status, answer = _request(url + "api/zero", b"[" * 100_000)
    assert (status, answer) == (400, "send a JSON object; this one is nested too deeply\n")
    assert _request(url + "api/zero", {"outputs": [outputs - 1]}) == (200, '{"zeroed": ["taxel_11"]}')


@pytest.mark.parametrize(
    ("layout", "extra", "code", "message"),
    [
        ("{", (), 1, "not JSON: Expecting property name enclosed in double quotes at line 1, column 2"),
        ('{"taxel_4": [1, "a"]}', (), 1, 'taxel_4: needs [x, y], two numbers in mm, found [1, "a"]'),
        ('{"taxel_99": [0, 0]}', (), 1, "taxel_99: no such cell; this sensor's cells are triaxial 0, taxel 0,"),
        ('{"tri0_x": [0, 0], "taxel_3": [0, 0]}', (), 1, "no position for taxel 1, taxel 2,"),
        ('{"tri0": [0, 0], "triaxial 0 y": [1, 0]}', (), 1, "triaxial 0 is given different positions"),
        ('{"unit": 5, "tri0": [0, 0]}', (), 1, '"unit" needs a short text such as "N" or "kPa", found 5'),
        (None, ("--http", "127.0.0.1"), 2, "--http 127.0.0.1: give HOST:PORT"),
        (None, ("--http", "127.0.0.1:\u00b2"), 2, "--http 127.0.0.1:\u00b2: give HOST:PORT"),  # superscript two
        (None, ("--http", "127.0.0.1:\u0663"), 2, "--http 127.0.0.1:\u0663: give HOST:PORT"),  # Arabic-Indic three
        (None, ("--http", "127.0.0.1:65536"), 2, "--http 127.0.0.1:65536: give HOST:PORT"),
        (None, ("--http", f"{'a' * 64}:0"), 2, f"cannot serve on {'a' * 64}:0: {'a' * 64} is no host name"),
        (None, ("--record-dir", "missing"), 2, "--record-dir missing: no such folder"),
        (None, ("--scale", "20:5"), 2, "'20:5': LOW:HIGH needs two numbers, LOW below HIGH, such as 0:20"),
        (None, ("--unit", " "), 2, "' ': give a short unit such as N or kPa"),
        (None, ("--record-dir", "/sys"), 2, "--record-dir /sys: the folder takes no new files (Permission denied)"),
    ],
)
def test_bad_options_get_a_clear_error(
    sensor: Sensor, tmp_path: Path, layout: str | None, extra: tuple[str, ...], code: int, message: str
) -> None:
    pytest.importorskip("aiohttp")
    args = ["view", sensor.device.stable_port(), sensor.params, "--no-browser", "--http", "127.0.0.1:0", *extra]
    if layout is not None:
        (tmp_path / "layout.json").write_text(layout)
        args += ["--layout", str(tmp_path / "layout.json")]
    result = run_cli(*args)
    assert (result.returncode, result.stdout) == (code, ""), result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr


def test_a_view_open_to_the_network_warns_that_its_traffic_is_plain_http(
    sensor: Sensor, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    pytest.importorskip("aiohttp")
    from nervlane.view.launch import OPEN_NETWORK_WARNING, prepare, serve

    prepared = prepare(PageOptions("127.0.0.1:0", False, record_dir=str(tmp_path), seconds=0.3))
    prepared.listener.loopback = False  # as off loopback; a test listens on loopback only
    serve(prepared, open_sensor(sensor.device.port, sensor.params))
    out, err = capsys.readouterr()
    assert "?token=" in out.splitlines()[0] and re.fullmatch(
        rf"\d\d:\d\d:\d\d {re.escape(OPEN_NETWORK_WARNING)}\n", err
    ), err


def test_without_the_extra_view_names_the_pip_command(sensor: Sensor) -> None:
    block = "import sys; sys.modules['aiohttp'] = None; from nervlane.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run(
        [sys.executable, "-c", block, "view", sensor.device.stable_port(), sensor.params],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=PYTHON_SOURCE,  # this tree's nervlane
    )
    assert result.returncode == 5, result.stderr
    assert install_hint("view") in result.stderr


def test_a_view_waits_for_an_unplugged_device_and_its_recording_notes_the_outage(
    view: Callable[..., tuple[subprocess.Popen[str], str]], sensor: Sensor
) -> None:
    aiohttp = pytest.importorskip("aiohttp")
    proc, url = view("--unit", "N", "--scale", "0:30", port=sensor.device.stable_port())
    hello: dict[str, Any] = {}

    async def next_state(connection: str) -> dict[str, Any]:
        async with aiohttp.ClientSession() as session, session.ws_connect(url + "ws") as ws:
            async for message in ws:
                state = json.loads(message.data) if message.type == aiohttp.WSMsgType.TEXT else {}
                if state.get("type") == "hello":
                    hello.update(state)
                if state.get("type") == "state" and state["connection"] == connection:
                    return state
        raise AssertionError("the view closed its socket")

    def page_shows(connection: str) -> dict[str, Any]:
        return asyncio.run(asyncio.wait_for(next_state(connection), 20))

    page_shows("connected")
    assert (hello["unit"], hello["scale"]["auto"], hello["scale"]["low"], hello["scale"]["high"]) == ("N", False, 0, 30)
    assert _request(url + "api/record", {"action": "start"})[0] == 200
    time.sleep(0.5)
    sensor.device.hang_up()
    # Whether poll sees the hang-up or read sees end of file first is the kernel's timing.
    why = page_shows("reconnecting")["last_error"]
    assert " disconnected (" in why
    for action, body in (("zero", {"outputs": []}), ("record", {"action": "start"})):
        status, answer = _request(url + f"api/{action}", body)
        assert status == 409 and json.loads(answer)["error"].endswith(f"): {action} when it is back"), answer
        assert json.loads(answer)["error"].startswith("the sensor is away (Device "), answer
    sensor.device.plug_in()
    sensor.stream()
    page_shows("connected")
    time.sleep(0.5)
    status, answer = _request(url + "api/record", {"action": "stop"})
    assert status == 200, answer
    recorded = json.loads(answer)["file"]
    details = json.loads(Path(recorded + ".json").read_text())
    outages = details["outages"]
    assert len(outages) == 1 and outages[0]["ended"] and details["unit"] == "N", details
    with open(recorded, newline="") as f:
        sequence = [int(row["sequence"]) for row in csv.DictReader(f)]
    assert sequence == list(range(sequence[0], sequence[0] + len(sequence))) and len(sequence) > 100

    # Stopped while the device is away, as MCAP: its diagnostics say it went and was not back at the stop.
    mcap_reader = pytest.importorskip("mcap.reader")
    from mcap_ros2.decoder import DecoderFactory

    assert hello["record_formats"] == ["csv", "npz", "mcap"]
    assert _request(url + "api/record", {"action": "start", "format": "mcap"})[0] == 200
    time.sleep(0.3)
    sensor.device.hang_up()
    page_shows("reconnecting")
    status, answer = _request(url + "api/record", {"action": "stop"})
    assert status == 200 and json.loads(answer)["file"].endswith(".mcap"), answer
    with open(json.loads(answer)["file"], "rb") as f:
        reader = mcap_reader.make_reader(f, decoder_factories=[DecoderFactory()])
        said = [d.status[0].message for *_, d in reader.iter_decoded_messages(topics=["/diagnostics"])]
    assert any(m.startswith("the sensor went away (last error: Device") for m in said), said
    assert "stopped with the sensor away" in said and not any("is back" in m for m in said), said
    proc.terminate()
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    # The terminal is told too: each line with the time, one when the sensor goes and one when it is back.
    told = re.findall(r"^\d\d:\d\d:\d\d the sensor on \S+ (went away \(last error: Device|is back after)", out, re.M)
    assert told == ["went away (last error: Device", "is back after", "went away (last error: Device"], out


def test_the_feed_keeps_peaks_and_thins_the_strip_chart_evenly() -> None:
    class Comms:
        def queue_frames(self, _n: int) -> None: ...

    feed = FrameFeed(Comms(), ["a", "b"])
    sequence, now = 0, 0.0
    for rate in (1000, 2000):
        for i in range(150):  # batches of 10 ms on average, of odd and even lengths
            n = rate // 100 + (-1) ** i
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
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1366,768"):
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
    assert cells == ["triaxial 0"] + [f"taxel {j}" for j in range(LAYOUT.taxels)]
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
    assert _until(lambda: text(charted), 5, "chart")[-1] == f"taxel {PRESSED}"
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

    # Silent, then gone: the page shows nothing old as if it were new, and offers nothing that cannot work.
    sensor.device.stop()
    _until(lambda: "no frames for" in browser.find_element("id", "stale-note").text, 5, "stale mark")
    sensor.device.hang_up()
    _until(lambda: browser.find_element("id", "connection").text == "disconnected", 10, "disconnected")
    assert " disconnected (" in browser.find_element("id", "last-error").text
    look = """return {
        stale: document.body.classList.contains('stale'),
        values: [...document.querySelectorAll('.cell .value')].map(v => v.textContent).join(''),
        cells: [...new Set([...document.querySelectorAll('.cell')].map(c => getComputedStyle(c).backgroundImage))],
        chart: getComputedStyle(document.getElementById('chart')).filter,
        off: [...document.querySelectorAll('button')].filter(b => b.disabled).map(b => b.id),
        note: document.getElementById('controls-note').textContent,
        fits: [...document.querySelectorAll('.cell')].every(
            (c) => c.getBoundingClientRect().bottom <= $('legend').getBoundingClientRect().top)}"""
    gone = _until(lambda: (shown := text(look))["off"] == ["zero-all", "zero-selected", "record"] and shown, 5, "off")
    assert gone["stale"] and gone["values"] == "" and gone["chart"].startswith("grayscale(1)"), gone
    assert len(gone["cells"]) == 1 and "linear-gradient" in gone["cells"][0], gone  # every cell greyed
    assert gone["note"] == "Zero and Record are off while the sensor is away.", gone
    assert gone["fits"], "the map spills over its legend once the last error takes a line"
    assert browser.save_screenshot(str(BUILD / "view-stale.png"))
    proc.terminate()
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 4 and "went away" in err, err
    _until(lambda: browser.find_element("id", "connection").text == "view stopped", 10, "view stopped")
    stopped = text(look)
    assert stopped["off"] == ["zero-all", "zero-selected", "record", "pause"], stopped
    assert stopped["note"].startswith("The view has stopped: every control is off."), stopped
    tried = "post('/api/record', {action: 'start'}, 'Record').then(() => arguments[0]($('message').textContent))"
    assert browser.execute_async_script(tried) == "Record: the view does not answer; is nervlane view still running?"


def _counts(value: float) -> int:
    """Counts above zero that the virtual sensor's taxel calibration turns into ``value``."""
    a, b = TAXEL_COEFS[1], TAXEL_COEFS[2]
    return round((math.sqrt(a * a + 4 * b * value) - a) / (2 * b))


def _contrast(first: str, second: str) -> float:
    """WCAG's contrast ratio of two CSS colours ``rgb(r, g, b)``."""

    def luminance(css: str) -> float:
        channels = [int(v) / 255 for v in re.findall(r"\d+", css)[:3]]
        r, g, b = (c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in channels)
        return 0.2126 * r + 0.7152 * g + 0.0722 * b

    high, low = sorted((luminance(first), luminance(second)), reverse=True)
    return (high + 0.05) / (low + 0.05)


PITCH_MM = 4.5
MM_LAYOUT = {  # cell names, output names and per-kind names all place cells
    "unit": "N",
    "tri0": [3 * PITCH_MM, 0],
    **{f"taxel {j}": [PITCH_MM * (j % 3), PITCH_MM * (j // 3)] for j in range(LAYOUT.taxels - 1)},
    f"taxel_{LAYOUT.taxel_output(LAYOUT.taxels - 1)}": [2 * PITCH_MM, 2 * PITCH_MM],
}


@pytest.mark.browser
@pytest.mark.parametrize("layout", ["grid", "mm"])
def test_the_page_reads_at_a_glance_on_one_screen(
    view: Callable[..., tuple[subprocess.Popen[str], str]], sensor: Sensor, browser: Any, tmp_path: Path, layout: str
) -> None:
    top = 4.95  # the auto colour scale then tops at 5
    for j in range(LAYOUT.taxels):  # every level from zero to full scale, a ninth apart
        sensor.readings[LAYOUT.taxel_channel(j)] = NOMINAL_ZERO + _counts(top * j / (LAYOUT.taxels - 1))
    # A push of half the scale with a shear of a tenth of it along x, and y a hair below zero.
    band = round(DEAD_BAND_COUNTS)
    for channel, counts in zip(LAYOUT.triaxial_channels(0), (0, 1000 + band, 1252 + band, 248 + band), strict=True):
        sensor.readings[channel] = NOMINAL_ZERO + counts
    extra: tuple[str, ...] = ()
    if layout == "mm":
        (tmp_path / "layout.json").write_text(json.dumps(MM_LAYOUT))
        extra = ("--layout", str(tmp_path / "layout.json"))
    unit = "N" if layout == "mm" else "calibrated units"
    _, url = view(*extra)
    browser.get(url)
    look = browser.execute_script
    shown = "return [$('tick-high').textContent, $('peak').textContent, document.body.classList.contains('stale')]"
    _until(lambda: look(shown) == [f"≥ 5 {unit}", "4.95", False], 20, "the pressed sensor")
    page = look("""
        const box = (el) => { const r = el.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; };
        const arrow = document.querySelector('.cell.triaxial .arrow'), m = arrow.getScreenCTM();
        const start = new DOMPoint(0, 0).matrixTransform(m);
        const tip = document.querySelector('.cell.triaxial .head').points.getItem(0).matrixTransform(m);
        return {
            cells: [...document.querySelectorAll('.cell')].map((c) => ({
                name: c.dataset.name, text: c.innerText, box: box(c),
                ink: getComputedStyle(c).color, background: getComputedStyle(c).backgroundColor})),
            chart: box($('chart')),
            window: [innerWidth, innerHeight, document.documentElement.scrollHeight],
            arrow: Math.hypot(tip.x - start.x, tip.y - start.y),
            state: ['peak-where', 'total', 'contact'].map((id) => $(id).textContent),
            scale: $('mm-scale').hidden ? null : [$('mm-bar').getBoundingClientRect().width, $('mm-text').textContent],
            axis: Chart.getChart('chart').options.scales.y.title.text};""")
    BUILD.mkdir(exist_ok=True)
    assert browser.save_screenshot(str(BUILD / f"view-glance-{layout}.png"))
    cells = {c["name"]: c for c in page["cells"]}
    low, full = cells[f"taxel_{LAYOUT.taxel_output(0)}"], cells[f"taxel_{LAYOUT.taxel_output(LAYOUT.taxels - 1)}"]
    ends = [[int(v) for v in re.findall(r"\d+", c["background"])] for c in (low, full)]
    assert np.abs(np.array(ends) - [[68, 1, 84], [253, 231, 37]]).max() <= 8, ends  # viridis' two ends
    assert len({c["background"] for c in page["cells"]}) == len(cells), "levels that look alike"
    contrast = {c["name"]: round(_contrast(c["ink"], c["background"]), 2) for c in page["cells"]}
    assert min(contrast.values()) >= 4.5, contrast
    text = " ".join(c["text"] for c in page["cells"])
    assert "y 0.00" in text and not re.search(r"-0\.0+(?!\d*[1-9])", text), text

    width, height, scrolled = page["window"]
    assert width == 1366 and height <= 768 and scrolled <= height, page["window"]
    for left, upper, right, lower in [c["box"] for c in page["cells"]] + [page["chart"]]:
        assert 0 <= left < right <= width and 0 <= upper < lower <= height, page
    assert page["chart"][3] - page["chart"][1] >= 150, "a chart too flat to read"
    assert page["arrow"] >= 20, f"a shear of a tenth of the scale drew {page['arrow']:.1f} px"

    where, total, contact = page["state"]
    assert where == f"at taxel {LAYOUT.taxels - 1}" and contact == f"{LAYOUT.taxels} of {len(cells)} cells"
    assert abs(float(total) - (top * LAYOUT.taxels / 2 + 2.5125)) < 0.05, total  # the taxels and the push's z
    assert page["axis"] == unit
    if layout == "grid":
        assert page["scale"] is None
        return
    bar, label = page["scale"]
    mm = float(label.split(" mm")[0])
    px_per_mm = (cells[f"taxel_{LAYOUT.taxel_output(1)}"]["box"][0] - low["box"][0]) / PITCH_MM
    assert label.endswith("mm (x right, y up)") and abs(bar - mm * px_per_mm) < 1, (page["scale"], px_per_mm)
    assert low["box"][1] > cells[f"taxel_{LAYOUT.taxel_output(3)}"]["box"][1], "y grows downwards"
