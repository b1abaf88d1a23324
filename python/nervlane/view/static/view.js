// The page of `nervlane view`: a heat map of the taxels, triaxial forces as
// arrows and bars, a strip chart (Chart.js) and the controls. The server
// sends up to 30 updates a second over one WebSocket; this page redraws at
// most 30 times a second, however fast the sensor is.
"use strict";

const REDRAW_MS = 1000 / 30;
const START_SELECTION = 3; // cells charted from the start
const VIRIDIS = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
const LINES = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"];
const SVG = "http://www.w3.org/2000/svg";

const $ = (id) => document.getElementById(id);

const page = {
  hello: null,
  cells: [], // {cell, el, value, arrow, fill}
  selected: new Set(), // cell names
  latest: null,
  peak: null,
  header: null, // the frames header waiting for its rows
  ring: null,
  every: 1,
  framesPerS: 0,
  paused: false,
  dirty: false,
  chart: null,
  series: new Map(), // output position -> [{x, y}]
  lastDraw: 0,
  redraws: 0,
};

// ---------------------------------------------------------------- colour

function scale() {
  const low = Number($("scale-low").value);
  const high = Number($("scale-high").value);
  return high > low ? [low, high] : [low, low + 1];
}

function colour(v) {
  if (v === null || v === undefined) return "#888";
  const [low, high] = scale();
  const u = Math.min(1, Math.max(0, (v - low) / (high - low))) * (VIRIDIS.length - 1);
  const i = Math.min(VIRIDIS.length - 2, Math.floor(u));
  const f = u - i;
  const c = VIRIDIS[i].map((a, k) => Math.round(a + (VIRIDIS[i + 1][k] - a) * f));
  return `rgb(${c.join(",")})`;
}

function drawLegend() {
  const [low, high] = scale();
  const stops = VIRIDIS.map((c) => `rgb(${c.join(",")})`).join(",");
  $("legend-bar").style.background = `linear-gradient(to right, ${stops})`;
  $("tick-low").textContent = `≤ ${low}`;
  $("tick-mid").textContent = `${(low + high) / 2}`;
  $("tick-high").textContent = `≥ ${high}`;
  page.dirty = true;
}

const fmt = (v, digits = 2) => (v === null || v === undefined ? "–" : v.toFixed(digits));

// ------------------------------------------------------------- the map

function buildMap(hello) {
  const map = $("map");
  map.replaceChildren();
  page.cells = [];
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
  const px = Math.min(map.clientWidth / spanX, 110 / step);
  map.style.height = `${spanY * px}px`;
  for (const cell of hello.cells) {
    const el = document.createElement("div");
    el.className = cell.triaxial ? "cell triaxial" : "cell";
    el.dataset.name = cell.name;
    el.title = cell.labels.filter((n) => n).join(", ");
    Object.assign(el.style, {
      left: `${(cell.x - x0) * px}px`, top: `${(cell.y - y0) * px}px`,
      width: `${step * px}px`, height: `${step * px}px`,
    });
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = cell.name;
    const value = document.createElement("span");
    value.className = "value";
    el.append(name, value);
    const entry = { cell, el, value };
    if (cell.triaxial) {
      const svg = document.createElementNS(SVG, "svg");
      svg.setAttribute("viewBox", "-1 -1 2 2");
      entry.arrow = document.createElementNS(SVG, "line");
      entry.arrow.setAttribute("class", "arrow");
      entry.head = document.createElementNS(SVG, "circle");
      entry.head.setAttribute("class", "head");
      entry.head.setAttribute("r", "0.12");
      svg.append(entry.arrow, entry.head);
      const bar = document.createElement("div");
      bar.className = "bar";
      entry.fill = document.createElement("div");
      entry.fill.className = "fill";
      bar.append(entry.fill);
      el.append(svg, bar);
    }
    el.addEventListener("click", () => toggle(cell.name));
    map.append(el);
    page.cells.push(entry);
  }
}

function drawMap() {
  const at = (values, i) => (values && i >= 0 ? values[i] : null);
  const [low, high] = scale();
  for (const { cell, el, value, arrow, head, fill } of page.cells) {
    if (!cell.triaxial) {
      el.style.background = colour(at(page.peak, cell.outputs[0]));
      value.textContent = fmt(at(page.latest, cell.outputs[0]));
      continue;
    }
    const [x, y, z] = cell.outputs.map((i) => at(page.latest, i));
    el.style.background = colour(at(page.peak, cell.outputs[2]));
    value.textContent = `x ${fmt(x, 1)} y ${fmt(y, 1)}\nz ${fmt(z)}`;
    // The arrow is the force along the surface: full length at the top of the scale.
    const reach = 0.85 / Math.max(Math.abs(high), Math.abs(low), 1e-9);
    let ax = (x || 0) * reach, ay = -(y || 0) * reach;
    const len = Math.hypot(ax, ay);
    if (len > 0.85) { ax *= 0.85 / len; ay *= 0.85 / len; }
    arrow.setAttribute("x2", ax);
    arrow.setAttribute("y2", ay);
    head.setAttribute("cx", ax);
    head.setAttribute("cy", ay);
    fill.style.height = `${Math.min(100, Math.max(0, ((z || 0) - low) / (high - low) * 100))}%`;
  }
}

function markSelection() {
  for (const { cell, el } of page.cells) el.classList.toggle("selected", page.selected.has(cell.name));
  $("zero-selected").disabled = page.selected.size === 0;
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
        y: { title: { display: true, text: "calibrated value" } },
      },
      plugins: { decimation: { enabled: true, algorithm: "min-max" }, legend: { position: "right" } },
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
    label: page.hello.names[i], output: i, data: page.series.get(i), borderColor: LINES[k % LINES.length],
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
  if (!page.dirty || page.paused || !page.hello || now - page.lastDraw < REDRAW_MS - 1) return;
  page.lastDraw = now;
  page.dirty = false;
  drawMap();
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
  document.title = `nervlane view: ${hello.port}`;
  $("record-format").replaceChildren(...hello.record_formats.map((f) => new Option(f, f)));
  const rows = Math.ceil(hello.strip_seconds * hello.strip_max_hz * 1.1) + 64;
  page.ring = new Ring(rows, hello.names.length);
  buildMap(hello);
  if (page.selected.size === 0) hello.cells.slice(0, START_SELECTION).forEach((c) => page.selected.add(c.name));
  markSelection();
  if (!page.chart) makeChart();
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
  page.framesPerS = state.frames_per_s;
  $("frames-per-s").textContent = state.frames_per_s.toFixed(1);
  $("lost").textContent = state.lost;
  $("rejected").textContent = state.rejected;
  $("discarded").textContent = state.discarded;
  const rec = state.recording, last = state.last_recording;
  const button = $("record");
  button.textContent = rec ? "Stop recording" : "Record";
  button.classList.toggle("recording", Boolean(rec));
  if (rec) $("record-status").textContent = `recording ${rec.file}: ${rec.frames} frames`;
  else if (last) {
    $("record-status").textContent = `saved ${last.file}: ${last.frames} frames, stopped by ${last.stopped_by}`
      + (last.error ? `; ${last.error}` : "");
  } else $("record-status").textContent = `Record writes into ${page.hello ? page.hello.record_dir : "."}`;
  if (state.error) $("message").textContent = state.error;
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
  page.dirty = true;
}

function connect() {
  const ws = new WebSocket(`${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`);
  ws.binaryType = "arraybuffer";
  ws.onmessage = (event) => {
    if (typeof event.data !== "string") return onRows(event.data);
    const message = JSON.parse(event.data);
    if (message.type === "hello") onHello(message);
    else if (message.type === "state") onState(message);
    else if (message.type === "frames") page.header = message;
  };
  ws.onclose = () => {
    $("connection").textContent = "view stopped";
    $("connection").className = "badge stopped";
    setTimeout(connect, 2000);
  };
}

// -------------------------------------------------------------- controls

async function post(path, body) {
  $("message").textContent = "…";
  try {
    const response = await fetch(path, {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
    });
    const answer = await response.json();
    $("message").textContent = answer.error ? `${path.split("/").pop()}: ${answer.error}` : "";
    return answer;
  } catch (e) {
    $("message").textContent = `${path}: ${e}`;
    return {};
  }
}

$("zero-all").addEventListener("click", async () => {
  const answer = await post("/api/zero", { outputs: [] });
  if (answer.zeroed) $("message").textContent = "zeroed all";
});
$("zero-selected").addEventListener("click", async () => {
  const answer = await post("/api/zero", { outputs: selectedOutputs() });
  if (answer.zeroed) $("message").textContent = `zeroed ${answer.zeroed.join(", ")}`;
});
$("record").addEventListener("click", () => {
  const recording = $("record").classList.contains("recording");
  post("/api/record", recording ? { action: "stop" } : { action: "start", format: $("record-format").value });
});
$("pause").addEventListener("click", () => {
  page.paused = !page.paused;
  $("pause").setAttribute("aria-pressed", String(page.paused));
  $("pause").textContent = page.paused ? "Resume display" : "Pause display";
  page.dirty = true;
});
$("scale-low").addEventListener("input", drawLegend);
$("scale-high").addEventListener("input", drawLegend);
window.addEventListener("resize", () => {
  if (!page.hello) return;
  buildMap(page.hello);
  markSelection();
  page.dirty = true;
});

drawLegend();
connect();
requestAnimationFrame(redraw);
