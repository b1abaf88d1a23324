// The page of `nervlane view`: a heat map of the taxels, triaxial forces as
// arrows and bars, the numbers a person wants (peak, total load, contact),
// a strip chart (Chart.js) and the controls. The server sends up to 30
// updates a second over one WebSocket; this page redraws at most 30 times a
// second, however fast the sensor is.
"use strict";

const REDRAW_MS = 1000 / 30;
const START_SELECTION = 3; // cells charted from the start
const STALE_MS = 500; // no frame for this long: the picture is old
const AUTO_WINDOW_MS = 5000; // the auto scale follows the peak of the last seconds
const NICE_STEPS = [1, 1.5, 2, 3, 4, 5, 6, 8, 10]; // the auto scale's tops, times a power of ten
const CONTACT_SHARE = 0.05; // a cell is in contact from this share of the scale up
const SHEAR_FULL_SHARE = 0.5; // an arrow is full length at this share of the scale
const MAX_CELL_PX = 150;
const VIRIDIS = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
const NO_VALUE = [136, 136, 136];
const LINES = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"];
const SVG = "http://www.w3.org/2000/svg";

const $ = (id) => document.getElementById(id);

const page = {
  hello: null,
  cells: [], // {cell, el, value, arrow, head, fill}
  selected: new Set(), // cell names
  latest: null,
  peak: null,
  header: null, // the frames header waiting for its rows
  ring: null,
  every: 1,
  framesPerS: 0,
  lost: null,
  paused: false,
  dirty: false,
  chart: null,
  series: new Map(), // output position -> [{x, y}]
  lastDraw: 0,
  redraws: 0,
  socket: "connecting", // "open", "closed"
  connection: null, // as the server's state says
  recording: false,
  lastFrameAt: -1, // performance.now() of the newest update
  recentPeaks: [], // [time, highest normal value of an update]
  autoTop: 1,
  stale: "waiting for the first frame", // why the picture is old, or null
  staleCheckedAt: 0,
};

// ---------------------------------------------------------------- numbers

// Fixed digits, and never "-0.00": a value that rounds to zero has no sign.
function fmt(v, digits) {
  if (v === null || v === undefined) return "–";
  const s = v.toFixed(digits);
  return /^-0\.?0*$/.test(s) ? s.slice(1) : s;
}

const short = (v) => String(Number(v.toPrecision(3)));

function digitsFor(low, high) {
  const span = Math.abs(high - low);
  return span >= 100 ? 0 : span >= 10 ? 1 : 2;
}

// The value that means "pressed" for a cell: a taxel's, or a triaxial's z.
const normalOutput = (cell) => (cell.triaxial ? cell.outputs[2] : cell.outputs[0]);
const at = (values, i) => (values && i >= 0 ? values[i] : null);

// ---------------------------------------------------------------- colour

function niceTop(v) {
  const power = 10 ** Math.floor(Math.log10(v));
  return power * NICE_STEPS.find((n) => n * power >= v * (1 - 1e-9));
}

function followPeak(now) {
  let high = -Infinity;
  for (const { cell } of page.cells) {
    const v = at(page.peak, normalOutput(cell));
    if (v !== null && v > high) high = v;
  }
  const peaks = page.recentPeaks;
  peaks.push([now, high]);
  while (peaks[0][0] < now - AUTO_WINDOW_MS) peaks.shift();
  const floor = page.hello ? page.hello.scale.floor : 1;
  const top = niceTop(Math.max(floor, ...peaks.map((p) => p[1])));
  if (top !== page.autoTop) {
    page.autoTop = top;
    drawLegend();
  }
}

function scale() {
  if ($("scale-mode").value === "auto") return [0, page.autoTop];
  const low = Number($("scale-low").value);
  const high = Number($("scale-high").value);
  return high > low ? [low, high] : [low, low + 1];
}

function colour(v) {
  if (v === null || v === undefined) return NO_VALUE;
  const [low, high] = scale();
  const u = Math.min(1, Math.max(0, (v - low) / (high - low))) * (VIRIDIS.length - 1);
  const i = Math.min(VIRIDIS.length - 2, Math.floor(u));
  const f = u - i;
  return VIRIDIS[i].map((a, k) => Math.round(a + (VIRIDIS[i + 1][k] - a) * f));
}

// Black or white, whichever contrasts more with the background (WCAG's
// relative luminance): one of them always reaches 4.5:1.
function ink(rgb) {
  const linear = (c) => (c / 255 <= 0.04045 ? c / 255 / 12.92 : ((c / 255 + 0.055) / 1.055) ** 2.4);
  const l = 0.2126 * linear(rgb[0]) + 0.7152 * linear(rgb[1]) + 0.0722 * linear(rgb[2]);
  return (l + 0.05) / 0.05 >= 1.05 / (l + 0.05) ? "#000" : "#fff";
}

function drawLegend() {
  const [low, high] = scale();
  const stops = VIRIDIS.map((c) => `rgb(${c.join(",")})`).join(",");
  $("legend-bar").style.background = `linear-gradient(to right, ${stops})`;
  const unit = page.hello ? page.hello.unit : "calibrated units";
  $("tick-low").textContent = `≤ ${short(low)}`;
  $("tick-mid").textContent = short((low + high) / 2);
  $("tick-high").textContent = `≥ ${short(high)} ${unit}`;
  if ($("scale-mode").value === "auto") {
    $("scale-low").value = short(low);
    $("scale-high").value = short(high);
  }
  page.dirty = true;
}

// ------------------------------------------------------------- the map

function drawScaleBar(hello, px) {
  const box = $("mm-scale");
  if (box.hidden) return;
  let mm = 0.001; // the longest 1-2-5 length that stays under 160 px
  for (let e = -3; e <= 6; e++) for (const n of [1, 2, 5]) if (n * 10 ** e * px <= 160) mm = n * 10 ** e;
  $("mm-bar").style.width = `${mm * px}px`;
  $("mm-text").textContent = `${short(mm)} mm (x right, y up)`;
}

function svgElement(kind, attributes) {
  const el = document.createElementNS(SVG, kind);
  for (const [k, v] of Object.entries(attributes)) el.setAttribute(k, v);
  return el;
}

function buildMap(hello) {
  const map = $("map");
  map.replaceChildren();
  page.cells = [];
  $("mm-scale").hidden = hello.units !== "mm";
  const xs = hello.cells.map((c) => c.x);
  const ys = hello.cells.map((c) => c.y);
  // A cell is as wide as the closest two cells are apart.
  let step = Infinity;
  hello.cells.forEach((a, i) => hello.cells.slice(i + 1).forEach((b) => {
    step = Math.min(step, Math.max(Math.abs(a.x - b.x), Math.abs(a.y - b.y)));
  }));
  if (!Number.isFinite(step) || step <= 0) step = 1;
  const x0 = Math.min(...xs), y0 = Math.min(...ys);
  const spanX = Math.max(...xs) - x0 + step, spanY = Math.max(...ys) - y0 + step;
  const box = $("map-box");
  const px = Math.min(box.clientWidth / spanX, box.clientHeight / spanY, MAX_CELL_PX / step);
  Object.assign(map.style, { width: `${spanX * px}px`, height: `${spanY * px}px` });
  $("mm-scale").style.marginLeft = `${Math.max(0, (box.clientWidth - spanX * px) / 2)}px`; // under the map's edge
  drawScaleBar(hello, px);
  for (const cell of hello.cells) {
    const el = document.createElement("div");
    el.className = cell.triaxial ? "cell triaxial" : "cell";
    el.dataset.name = cell.name;
    const outputs = cell.labels.filter((n) => n);
    el.title = `${cell.label} (${outputs.join(", ")})`;
    Object.assign(el.style, {
      left: `${(cell.x - x0) * px}px`, top: `${(cell.y - y0) * px}px`,
      width: `${step * px}px`, height: `${step * px}px`,
    });
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = cell.label;
    const value = document.createElement("span");
    value.className = "value";
    const entry = { cell, el, value };
    if (cell.triaxial) {
      // The force along the surface, from the cell's centre; z is the bar.
      const svg = svgElement("svg", { viewBox: "-1 -1 2 2", "aria-hidden": "true" });
      entry.arrow = svgElement("line", { class: "arrow", x1: 0, y1: 0, x2: 0, y2: 0 });
      entry.head = svgElement("polygon", { class: "head", points: "0,0 0,0 0,0" });
      svg.append(entry.arrow, entry.head);
      const bar = document.createElement("div");
      bar.className = "bar";
      entry.fill = document.createElement("div");
      entry.fill.className = "fill";
      bar.append(entry.fill);
      el.append(svg, bar);
    }
    el.append(name, value);
    el.addEventListener("click", () => toggle(cell.name));
    map.append(el);
    page.cells.push(entry);
  }
}

function drawArrow(arrow, head, x, y, span) {
  const force = Math.hypot(x || 0, y || 0);
  const share = Math.min(1, force / (SHEAR_FULL_SHARE * span));
  const shown = share >= 0.01;
  arrow.style.display = head.style.display = shown ? "" : "none";
  if (!shown) return;
  // Square root: a shear of a tenth of the scale already draws a clear arrow.
  const length = 0.92 * Math.sqrt(share);
  const dx = x / force, dy = -y / force; // y up on the sensor, down on the screen
  const tipX = dx * length, tipY = dy * length;
  const h = Math.min(0.24, length * 0.6), w = h * 0.6;
  arrow.setAttribute("x2", tipX - dx * h * 0.5);
  arrow.setAttribute("y2", tipY - dy * h * 0.5);
  const bx = tipX - dx * h, by = tipY - dy * h;
  head.setAttribute("points", `${tipX},${tipY} ${bx - dy * w},${by + dx * w} ${bx + dy * w},${by - dx * w}`);
}

function drawMap() {
  const [low, high] = scale();
  const digits = digitsFor(low, high);
  const stale = page.stale !== null;
  for (const { cell, el, value, arrow, head, fill } of page.cells) {
    const rgb = colour(at(page.peak, normalOutput(cell)));
    el.style.background = `rgb(${rgb.join(",")})`;
    el.style.color = ink(rgb);
    if (stale) {
      value.textContent = "";
      continue;
    }
    if (!cell.triaxial) {
      value.textContent = fmt(at(page.latest, cell.outputs[0]), digits);
      continue;
    }
    const [x, y, z] = cell.outputs.map((i) => at(page.latest, i));
    const shear = document.createElement("span");
    shear.className = "shear";
    shear.textContent = `x ${fmt(x, digits)}  y ${fmt(y, digits)}`;
    value.replaceChildren(shear, `\nz ${fmt(z, digits)}`);
    drawArrow(arrow, head, x, y, high - low);
    fill.style.height = `${Math.min(100, Math.max(0, ((z || 0) - low) / (high - low) * 100))}%`;
  }
}

// Peak and where, total load and contact area: from the newest update.
function drawState() {
  const [low, high] = scale();
  const digits = digitsFor(low, high);
  if (page.stale !== null || !page.latest) {
    for (const id of ["peak", "total", "contact"]) $(id).textContent = "–";
    $("peak-where").textContent = "";
    return;
  }
  const contactFrom = Math.max(0, low) + CONTACT_SHARE * (high - low);
  let best = null, total = 0, contact = 0;
  for (const { cell } of page.cells) {
    const i = normalOutput(cell);
    const peak = at(page.peak, i), now = at(page.latest, i);
    if (peak !== null && (best === null || peak > best.value)) best = { value: peak, where: cell.label };
    if (now !== null && now > 0) total += now;
    if (now !== null && now >= contactFrom) contact++;
  }
  $("peak").textContent = best === null ? "–" : fmt(best.value, digits);
  $("peak-where").textContent = best !== null && best.value >= contactFrom ? `at ${best.where}` : "";
  $("total").textContent = fmt(total, digits);
  $("contact").textContent = `${contact} of ${page.cells.length} cells`;
}

function markSelection() {
  for (const { cell, el } of page.cells) el.classList.toggle("selected", page.selected.has(cell.name));
  updateControls();
}

function toggle(name) {
  if (page.selected.has(name)) page.selected.delete(name);
  else page.selected.add(name);
  markSelection();
  rebuildSeries();
}

function selectedOutputs() {
  return page.cells.filter((c) => page.selected.has(c.cell.name)).flatMap((c) => c.cell.outputs.filter((i) => i >= 0));
}

// ------------------------------------------------------------ staleness

function staleReason(now) {
  if (page.socket !== "open") return page.socket === "closed" ? "the view has stopped" : "connecting to the view";
  if (page.connection === "reconnecting") return "the sensor is away: reconnecting";
  if (page.connection === "disconnected") return "the sensor is away";
  if (page.lastFrameAt < 0) return "waiting for the first frame";
  const quiet = now - page.lastFrameAt;
  return quiet > STALE_MS ? `no frames for ${(quiet / 1000).toFixed(1)} s` : null;
}

function checkStale(now) {
  if (now - page.staleCheckedAt < 100) return;
  page.staleCheckedAt = now;
  const reason = staleReason(now);
  const since = page.lastFrameAt < 0 || (reason || "").startsWith("no frames") ? ""
    : `; last frame ${((now - page.lastFrameAt) / 1000).toFixed(1)} s ago`;
  const note = reason === null ? "" : `${reason}${since}`;
  if (note === $("stale-note").textContent && (reason !== null) === document.body.classList.contains("stale")) return;
  $("stale-note").textContent = note;
  $("chart-stale").textContent = note && `stale: ${note}`;
  if ((reason !== null) !== (page.stale !== null)) page.dirty = true;
  page.stale = reason;
  document.body.classList.toggle("stale", reason !== null);
}

// ----------------------------------------------------------- controls

function setOff(id, reason) {
  const el = $(id);
  el.disabled = Boolean(reason);
  el.title = reason ? `off: ${reason}` : "";
}

// What cannot work now is off, and the page says why.
function updateControls() {
  const viewGone = page.socket !== "open" ? (page.socket === "closed" ? "the view has stopped" : "connecting") : null;
  const away = viewGone === null && page.connection !== null && page.connection !== "connected"
    ? "the sensor is away" : null;
  const reason = viewGone || away;
  setOff("zero-all", reason);
  setOff("zero-selected", reason || (page.selected.size === 0 ? "click cells to select them" : null));
  setOff("record", viewGone || (page.recording ? null : away));
  setOff("record-format", viewGone || (page.recording ? "recording" : away));
  setOff("pause", viewGone);
  let note = "";
  if (page.socket === "closed") {
    note = "The view has stopped: every control is off. This page reconnects when nervlane view runs again.";
  } else if (away) note = `${page.recording ? "Zero is" : "Zero and Record are"} off while the sensor is away.`;
  $("controls-note").textContent = note;
}

// ------------------------------------------------------- the strip chart

// The last strip_seconds of every output, so that a cell clicked now is
// charted with its past.
class Ring {
  constructor(rows, width) {
    this.width = width;
    this.times = new Float64Array(rows);
    this.values = new Float32Array(rows * width);
    this.head = 0;
    this.count = 0;
  }
  push(times, values) {
    const n = this.times.length;
    for (let r = 0; r < times.length; r++) {
      this.times[this.head] = times[r];
      this.values.set(values.subarray(r * this.width, (r + 1) * this.width), this.head * this.width);
      this.head = (this.head + 1) % n;
      this.count = Math.min(n, this.count + 1);
    }
  }
  *rows() {
    const n = this.times.length;
    for (let k = 0; k < this.count; k++) yield (this.head - this.count + k + n) % n;
  }
}

function makeChart() {
  page.chart = new Chart($("chart"), {
    type: "line",
    data: { datasets: [] },
    options: {
      animation: false,
      parsing: false,
      normalized: true,
      spanGaps: true,
      maintainAspectRatio: false,
      elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
      scales: {
        x: {
          type: "linear",
          // A tick a second, read as seconds before the newest frame (`this` is the axis).
          afterBuildTicks: (axis) => {
            axis.ticks = Array.from({ length: page.hello.strip_seconds + 1 }, (_, k) => ({ value: axis.max - k }));
          },
          ticks: { callback(v) { return `${Math.round(v - this.max)} s`; } },
        },
        y: { title: { display: true, text: page.hello.unit } },
      },
      plugins: {
        decimation: { enabled: true, algorithm: "min-max" },
        legend: { position: "top", labels: { boxWidth: 12, boxHeight: 2 } },
      },
    },
  });
}

function rebuildSeries() {
  if (!page.hello || !page.chart) return;
  const ring = page.ring;
  page.series = new Map(selectedOutputs().map((i) => [i, []]));
  for (const r of ring.rows()) {
    for (const [i, points] of page.series) {
      points.push({ x: ring.times[r], y: ring.values[r * ring.width + i] });
    }
  }
  page.chart.data.datasets = [...page.series.keys()].map((i, k) => ({
    label: page.hello.labels[i], output: i, data: page.series.get(i), borderColor: LINES[k % LINES.length],
    backgroundColor: LINES[k % LINES.length], indexAxis: "x",
  }));
  page.dirty = true;
}

function addRows(times, values) {
  page.ring.push(times, values);
  const width = page.ring.width;
  for (const [i, points] of page.series) {
    for (let r = 0; r < times.length; r++) points.push({ x: times[r], y: values[r * width + i] });
  }
}

function drawChart() {
  const ring = page.ring;
  if (!ring.count) return;
  const newest = ring.times[(ring.head - 1 + ring.times.length) % ring.times.length];
  const oldest = newest - page.hello.strip_seconds;
  page.chart.data.datasets.forEach((set) => {
    const points = page.series.get(set.output);
    let drop = 0;
    while (drop < points.length && points[drop].x < oldest) drop++;
    points.splice(0, drop);
    set.data = points; // the decimation plugin keeps a thinned copy of its own
  });
  Object.assign(page.chart.options.scales.x, { min: oldest, max: newest });
  page.chart.update("none");
  const every = page.every;
  const rate = page.framesPerS ? ` of ${Math.round(page.framesPerS)}/s` : "";
  $("chart-title").textContent = every === 1
    ? `last ${page.hello.strip_seconds} s, every frame`
    : `last ${page.hello.strip_seconds} s, one frame in ${every}${rate} (decimated to at most ${page.hello.strip_max_hz}/s)`;
}

// --------------------------------------------------------------- redraw

function redraw(now) {
  requestAnimationFrame(redraw);
  checkStale(now);
  if (!page.dirty || page.paused || !page.hello || now - page.lastDraw < REDRAW_MS - 1) return;
  page.lastDraw = now;
  page.dirty = false;
  drawMap();
  drawState();
  drawChart();
  page.redraws++;
}

setInterval(() => {
  $("redraws").textContent = page.redraws;
  page.redraws = 0;
}, 1000);

// -------------------------------------------------------------- messages

function onHello(hello) {
  page.hello = hello;
  const where = [hello.port, hello.params, hello.format].filter((s) => s).join(" · ");
  $("source").textContent = where;
  $("source").title = where;
  document.title = `nervlane view: ${hello.port}`;
  $("record-format").replaceChildren(...hello.record_formats.map((f) => new Option(f, f)));
  const rows = Math.ceil(hello.strip_seconds * hello.strip_max_hz * 1.1) + 64;
  page.ring = new Ring(rows, hello.names.length);
  $("peak-label").textContent = `peak (${hello.unit})`;
  $("total-label").textContent = `total load (${hello.unit})`;
  if (!hello.scale.auto && !page.scaleSet) {
    $("scale-mode").value = "fixed";
    $("scale-low").value = hello.scale.low;
    $("scale-high").value = hello.scale.high;
  }
  page.scaleSet = true;
  scaleModeChanged();
  buildMap(hello);
  if (page.selected.size === 0) hello.cells.slice(0, START_SELECTION).forEach((c) => page.selected.add(c.name));
  markSelection();
  if (page.chart) page.chart.destroy();
  makeChart();
  rebuildSeries();
}

// What the badge says for each connection state the server sends.
const CONNECTION_TEXT = { reconnecting: "disconnected \u2014 reconnecting" };

function onState(state) {
  const badge = $("connection");
  badge.textContent = CONNECTION_TEXT[state.connection] || state.connection;
  badge.className = `badge ${state.connection}`;
  $("last-error").textContent = state.last_error && state.connection !== "connected"
    ? `last error: ${state.last_error}` : "";
  $("last-error").title = $("last-error").textContent;
  page.connection = state.connection;
  page.framesPerS = state.frames_per_s;
  $("frames-per-s").textContent = state.frames_per_s.toFixed(1);
  $("lost").textContent = state.lost;
  $("rejected").textContent = state.rejected;
  $("discarded").textContent = state.discarded;
  const rec = state.recording, last = state.last_recording;
  page.recording = Boolean(rec);
  const button = $("record");
  button.textContent = rec ? "Stop recording" : "Record";
  button.classList.toggle("recording", Boolean(rec));
  if (rec) $("record-status").textContent = `recording ${rec.file}: ${rec.frames} frames`;
  else if (last) {
    $("record-status").textContent = `saved ${last.file}: ${last.frames} frames, stopped by ${last.stopped_by}`
      + (last.error ? `; ${last.error}` : "");
  } else $("record-status").textContent = `Record writes into ${page.hello ? page.hello.record_dir : "."}`;
  if (state.error) $("message").textContent = state.error;
  updateControls();
}

function onRows(buffer) {
  const header = page.header;
  page.header = null;
  if (!header || !page.ring) return;
  const n = header.rows;
  addRows(new Float64Array(buffer, 0, n), new Float32Array(buffer, 8 * n, n * page.ring.width));
  page.latest = header.latest;
  page.peak = header.peak;
  page.every = header.every;
  page.lastFrameAt = performance.now();
  followPeak(page.lastFrameAt);
  page.dirty = true;
}

function connect() {
  const ws = new WebSocket(`${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`);
  ws.binaryType = "arraybuffer";
  ws.onopen = () => {
    page.socket = "open";
    updateControls();
  };
  ws.onmessage = (event) => {
    if (typeof event.data !== "string") return onRows(event.data);
    const message = JSON.parse(event.data);
    if (message.type === "hello") onHello(message);
    else if (message.type === "state") onState(message);
    else if (message.type === "frames") page.header = message;
  };
  ws.onclose = () => {
    page.socket = "closed";
    page.connection = null;
    $("connection").textContent = "view stopped";
    $("connection").className = "badge stopped";
    updateControls();
    setTimeout(connect, 2000);
  };
}

// -------------------------------------------------------------- controls

async function post(path, body, what) {
  $("message").textContent = "…";
  let response;
  try {
    response = await fetch(path, {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
    });
  } catch {
    $("message").textContent = `${what}: the view does not answer; is nervlane view still running?`;
    return {};
  }
  const text = await response.text();
  let answer;
  try {
    answer = JSON.parse(text);
  } catch {
    answer = { error: text.trim() || `${response.status} ${response.statusText}` };
  }
  $("message").textContent = answer.error ? `${what}: ${answer.error}` : "";
  return answer;
}

$("zero-all").addEventListener("click", async () => {
  const answer = await post("/api/zero", { outputs: [] }, "Zero");
  if (answer.zeroed) $("message").textContent = "zeroed all";
});
$("zero-selected").addEventListener("click", async () => {
  const answer = await post("/api/zero", { outputs: selectedOutputs() }, "Zero");
  const labels = page.hello.labels, names = page.hello.names;
  if (answer.zeroed) $("message").textContent = `zeroed ${answer.zeroed.map((n) => labels[names.indexOf(n)] || n).join(", ")}`;
});
$("record").addEventListener("click", () => {
  const body = page.recording ? { action: "stop" } : { action: "start", format: $("record-format").value };
  post("/api/record", body, "Record");
});
$("pause").addEventListener("click", () => {
  page.paused = !page.paused;
  $("pause").setAttribute("aria-pressed", String(page.paused));
  $("pause").textContent = page.paused ? "Resume display" : "Pause display";
  page.dirty = true;
});

function scaleModeChanged() {
  const fixed = $("scale-mode").value === "fixed";
  $("scale-low").disabled = $("scale-high").disabled = !fixed;
  drawLegend();
}
$("scale-mode").addEventListener("change", scaleModeChanged);
$("scale-low").addEventListener("input", drawLegend);
$("scale-high").addEventListener("input", drawLegend);
// The map fills the space it has, which changes with the window and with
// the header (the last error takes a line of its own).
let mapBoxSize = "";
new ResizeObserver(() => {
  const box = $("map-box"), size = `${box.clientWidth}x${box.clientHeight}`;
  if (!page.hello || size === mapBoxSize) return;
  mapBoxSize = size;
  buildMap(page.hello);
  markSelection();
  page.dirty = true;
}).observe($("map-box"));

scaleModeChanged();
updateControls();
connect();
requestAnimationFrame(redraw);
