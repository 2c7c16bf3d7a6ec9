// The live page: one websocket brings the instruments' facts (JSON), then frames (binary: a
// uint32 length, the JSON figures, then per instrument the float32 minimum and maximum of each
// chart column new since the frame before, or of the whole window when the frame says "whole")
// and the recording's status. It reconnects by itself and says so while the server is away. A fleet's page
// (vexlo serve --broker) is the same page: its cards are grouped by stand, each stand's state on top.
"use strict";
const token = new URLSearchParams(location.search).get("token");
const query = token ? "?token=" + encodeURIComponent(token) : "";
const $ = (id) => document.getElementById(id);
// What tests and benchmarks read: frames drawn, and for each (host time drawn, value of the first
// instrument, host time the frame arrived).
const live = window.vexlo = { frames: 0, drawn: 0, log: [], connected: false, hello: null,
  // each chart's points (times in seconds into the samples the page took), where they end, its axes, its
  // width, the line drawn and the plot area's size in pixels
  charts: () => cards.map((c) => ({ x: c.X, y: c.Y, end: c.end, range: c.chart.layout.xaxis.range,
    values: c.chart.layout.yaxis.range, width: c.chart.clientWidth,
    line: (c.chart.querySelector(".scatterlayer .trace path.js-line") || { getAttribute: () => "" }).getAttribute("d"),
    plot: [c.chart._fullLayout._size.w, c.chart._fullLayout._size.h] })) };
let cards = [], pending = false, unit = [], received = 0, stands = new Map();

function connect() {
  const ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws" + query);
  ws.binaryType = "arraybuffer";
  ws.onopen = () => { live.connected = true; live.refused = null; received = 0; away(false); wanted(ws); };
  ws.onmessage = (event) => typeof event.data === "string" ? message(JSON.parse(event.data)) : frame(event.data);
  ws.onclose = () => {
    live.connected = false;
    // A server with all the viewers it serves said so: its text stays, and the page asks again later.
    if (!live.refused) away(true);
    setTimeout(connect, live.refused ? 10000 : 1000);
  };
  live.socket = ws;
}

function away(gone) {
  const badge = $("connection");
  badge.className = gone ? "badge away" : "badge";
  badge.textContent = gone ? "server away, reconnecting…" : "live";
}

function wanted(ws) {
  const width = cards.length ? cards[0].chart.clientWidth : window.innerWidth;
  if (ws.readyState === WebSocket.OPEN)
    ws.send(JSON.stringify({ window: Number($("window").value), columns: Math.max(50, Math.round(width)) }));
}

function message(data) {
  if (data.type === "hello") hello(data);
  else if (data.type === "status") status(data);
  else if (data.type === "refused") {
    live.refused = data.error;
    $("connection").className = "badge away";
    $("connection").textContent = data.error;
  }
}

// Each chart follows its card: a card changes width when the window does, when cards come or go,
// or when its text wraps anew (a tare, a rate), and Plotly only follows the window by itself.
const resized = new ResizeObserver((entries) => {
  for (const entry of entries) if (entry.target.isConnected) Plotly.Plots.resize(entry.target);
});

function hello(data) {
  live.hello = data;
  const main = $("instruments");
  resized.disconnect();
  main.replaceChildren();
  stands = new Map();
  // Every card is in the grid before any chart is made, so each chart is made at its card's width.
  cards = data.instruments.map((facts, i) => {
    const card = $("card").content.firstElementChild.cloneNode(true);
    card.querySelector(".title").textContent = `${facts.model} ${facts.serial_number}`;
    card.querySelector(".facts").textContent = (facts.stand === undefined ? "" : `stand ${facts.stand} · `) +
      `port ${facts.port} · ${facts.samples_per_second} samples/s · ` +
      `unit ${facts.unit} · firmware ${facts.firmware} · calibration: ${facts.calibration}` +
      (facts.start_utc ? ` · run of ${facts.start_utc}` : "");
    card.querySelector(".own-control").hidden = !data.control;
    card.querySelector(".tare").onclick = () => post("api/tare", { instrument: i });
    card.querySelector(".untare").onclick = () => post("api/untare", { instrument: i });
    const rate = card.querySelector(".own-rate");
    fill(rate, facts.rates.map((r) => [r, `${r} samples/s`]));
    rate.value = facts.samples_per_second;
    rate.onchange = () => post("api/rate", { rate: Number(rate.value), instrument: i });
    (facts.stand === undefined ? main : stand(facts.stand).cards).appendChild(card);
    const get = (name) => card.querySelector("." + name);
    return { chart: get("chart"), value: get("value"), summary: get("summary"), counters: get("counters"),
             ended: get("ended"), state: get("state"), overrun: get("overrun"), event: get("event"),
             samples: -1, changed: 0, x: [], y: [], X: [], Y: [], whole: false, end: 0, step: 1, texts: {} };
  });
  for (const [i, card] of cards.entries()) {
    Plotly.newPlot(card.chart, [{ x: [], y: [], type: "scatter", mode: "lines", line: { width: 1, color: "#1f77b4" } }],
      layout(data.instruments[i].unit), { displayModeBar: false, staticPlot: true, responsive: true });
    resized.observe(card.chart);
  }
  unit = data.instruments.map((facts) => facts.unit);
  $("control").hidden = !data.control;
  if (data.control) {
    fill($("format"), data.formats.map((f) => [f, f]));
    // Only rates every instrument offers.
    const rates = data.instruments.map((f) => f.rates).reduce((a, b) => a.filter((r) => b.includes(r)),
      data.instruments.length ? data.instruments[0].rates : []);
    fill($("rate"), rates.map((r) => [r, `${r} samples/s`]));
    $("rate").parentElement.hidden = !rates.length;
    if (data.instruments.length) $("rate").value = data.instruments[0].samples_per_second;
    files();
  }
  wanted(live.socket);
}

// A fleet's stand: its heading (name, online or offline, age of its newest data, messages refused)
// over a grid of its cards; made when the stand is first seen, kept when it goes away.
function stand(name) {
  let found = stands.get(name);
  if (!found) {
    const section = $("stand").content.firstElementChild.cloneNode(true);
    section.querySelector(".stand-name").textContent = `stand ${name}`;
    $("instruments").classList.add("fleet");
    $("instruments").appendChild(section);
    const get = (part) => section.querySelector("." + part);
    found = { section, cards: get("cards"), state: get("state"), age: get("age"), refused: get("refused") };
    stands.set(name, found);
  }
  return found;
}

function standState(name, figures) {
  const shown = stand(name), state = figures.status || "unknown";
  shown.section.dataset.stand = name;
  shown.state.textContent = state;
  shown.state.className = "badge state " + (state === "offline" ? "lost" : state === "online" ? "live" : "stale");
  shown.age.textContent = figures.age === null ? "no data yet" : `newest data ${figures.age.toFixed(1)} s ago`;
  shown.refused.textContent = figures.rejected ? `${figures.rejected} messages refused` : "";
}

// How a card's badge reads: lost (its stream failed), ended, offline (its stand), stale (no sample
// for STALE_MS), live.
const STALE_MS = 2000;

function badge(card, figures, now) {
  if (figures.samples !== card.samples) { card.samples = figures.samples; card.changed = now; }
  const state = figures.ended ? (figures.ended.startsWith("failed") ? "lost" : "ended")
    : figures.offline ? "offline" : now - card.changed > STALE_MS ? "stale" : "live";
  show(card, "state", state);
  if (card.state.className !== "badge state " + state) card.state.className = "badge state " + state;
  if (card.overrun.hidden !== !(figures.counters.overrun > 0)) card.overrun.hidden = !(figures.counters.overrun > 0);
}

function fill(select, options) {
  select.replaceChildren(...options.map(([value, text]) => new Option(text, value)));
}

function layout(unitName) {
  return { margin: { l: 60, r: 10, t: 10, b: 35 }, xaxis: { title: { text: "seconds" }, zeroline: false },
           yaxis: { title: { text: unitName }, zeroline: false }, uirevision: "keep" };
}

const fmt = (x) => x === null || x === undefined ? "–" : Number(x).toPrecision(6);

const TEXT_MS = 250;
let texted = 0;

// Text is written only when it changed: each write costs the browser a layout.
function show(card, part, text) {
  if (card.texts[part] !== text) { card.texts[part] = text; card[part].textContent = text; }
}

function frame(buffer) {
  const length = new DataView(buffer).getUint32(0, true);
  const head = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  if (!live.hello || head.generation !== live.hello.generation) {
    live.socket.send(JSON.stringify({ drawn: 1 }));  // of instruments gone: taken, not drawn
    return;
  }
  let offset = 4 + length;
  for (const [name, figures] of Object.entries(head.stands || {})) standState(name, figures);
  live.arrived = Date.now();
  live.values = [];
  // Figures that change at every frame are written a few times a second: nobody reads them faster, and
  // each write costs the browser a layout of the page.
  const figuresDue = live.arrived - texted >= TEXT_MS;
  if (figuresDue) texted = live.arrived;
  head.instruments.forEach((figures, i) => {
    const card = cards[i];
    const n = figures.points;
    if (card && (figuresDue || !("value" in card.texts))) {
      show(card, "value", `${fmt(figures.value)} ${unit[i]}`);
      show(card, "summary", `min ${fmt(figures.min)} · max ${fmt(figures.max)} · mean ${fmt(figures.mean)} ` +
        `over ${head.window} s` + (figures.zero ? ` · tared at ${fmt(figures.zero)}` : ""));
      const c = figures.counters;
      const spool = figures.spool;
      show(card, "counters", `received ${c.received} · overrun ${c.overrun} · missing ${c.missing} · ` +
        `corrupted ${c.corrupted} · not shown (page too slow) ${figures.dropped}` + (spool ?
        ` · spooled ${spool.spooled} · dropped from the spool ${spool.spool_dropped} · ` +
        `damaged in the spool ${spool.spool_corrupted} · not published ${spool.not_published}` : ""));
    }
    if (card) {
      const event = figures.event;
      show(card, "event", event ? `last limit event: ${event.condition} at ${event.utc} (value ${fmt(event.value)})` : "");
      show(card, "ended", figures.ended ? `stream ended: ${figures.ended}` : "");
      badge(card, figures, live.arrived);
      columns(card, figures, head.window, new Float32Array(buffer, offset, n), new Float32Array(buffer, offset + 4 * n, n));
    }
    offset += 8 * n;
    if (i === 0) live.value = figures.value;
    live.values[i] = figures.value;
  });
  live.frames += 1;
  received += 1;
  // Drawn once per animation frame, with every column that came since the last drawing.
  if (!pending) requestAnimationFrame(draw);
  pending = true;
}

// A frame's columns, kept until drawn: each column is two points (its minimum, then its maximum)
// at its start time; a whole window replaces what was kept.
function columns(card, figures, span, low, high) {
  if (figures.whole) { card.x = []; card.y = []; card.whole = true; }
  for (let j = 0; j < low.length; j++) {
    const t = (figures.first + j) * figures.step;
    card.x.push(t, t);
    card.y.push(low[j], high[j]);
  }
  card.span = span;
  card.step = figures.step || 1;
  card.end = figures.end;
}

// A chart's points of its window: those it held and the columns that came since, less those that
// fell out of the window (a whole window replaces them all).
function keep(card) {
  if (card.whole) { card.X = []; card.Y = []; }
  for (let j = 0; j < card.x.length; j++) { card.X.push(card.x[j]); card.Y.push(card.y[j]); }
  const start = card.end - card.span - card.step;
  let cut = 0;
  while (cut < card.X.length && card.X[cut] < start) cut++;
  if (cut) { card.X.splice(0, cut); card.Y.splice(0, cut); }
  card.x = []; card.y = [];
}

function draw() {
  for (const card of cards) {
    if (!card.whole && !card.x.length) continue;  // nothing new: the chart stays as it is
    const whole = card.whole;
    keep(card);
    card.whole = false;
    const chart = card.chart, X = card.X, Y = card.Y, end = card.end;
    let low = Infinity, high = -Infinity;
    for (const v of Y) { if (v < low) low = v; if (v > high) high = v; }
    const range = chart.layout.yaxis.range, x = X.map((t) => t - end);
    // The values' axis has some room, so that it changes seldom: it is set anew when a value leaves it or
    // when it is over twice as wide as it would be set now.
    const pad = (high - low) * 0.1 || Math.abs(high) * 0.05 || 1;
    const fits = range && !whole && chart.span === card.span && low >= range[0] && high <= range[1] &&
      range[1] - range[0] <= 2 * (high - low + 2 * pad);
    const path = chart.querySelector(".scatterlayer .trace path.js-line");
    chart.data[0].x = x;
    chart.data[0].y = Y;
    // The axes' own conversion to pixels is the chart library's internal: without it (another version of
    // the library), every frame goes through the library's redraw instead.
    const full = chart._fullLayout || {}, xa = full.xaxis, ya = full.yaxis;
    if (fits && path && X.length && xa && ya && typeof xa.l2p === "function" && typeof ya.l2p === "function") {
      // The axes still fit: only the line moves, drawn into the chart's own path through its axes' own
      // conversion to pixels. Plotly redraws a whole chart (axes, ticks, margins) for any change of its
      // data, about 12 ms each time.
      const d = new Array(x.length);
      for (let j = 0; j < x.length; j++) d[j] = xa.l2p(x[j]).toFixed(1) + "," + ya.l2p(Y[j]).toFixed(1);
      path.setAttribute("d", "M" + d.join("L"));
    } else {
      // The axis spans the whole window, however much of it has data yet.
      chart.layout.xaxis.range = [-card.span, 0];
      chart.layout.xaxis.autorange = false;
      chart.layout.yaxis.range = X.length ? [low - pad, high + pad] : undefined;
      chart.layout.yaxis.autorange = !X.length;
      chart.span = card.span;
      Plotly.restyle(chart, { x: [x], y: [Y] });
    }
  }
  pending = false;
  live.drawn += 1;
  // The server sends more once the frames it sent are drawn (or replaced by a later one).
  if (live.socket.readyState === WebSocket.OPEN) live.socket.send(JSON.stringify({ drawn: received }));
  received = 0;
  live.log.push([Date.now(), live.value, live.arrived]);
  if (live.log.length > 600) live.log.splice(0, 300);
}

let said = null;

function status(data) {
  // It comes after every frame and seldom changes: written only when it does (each write costs a layout).
  const text = JSON.stringify(data);
  if (text === said) return;
  said = text;
  $("problem").hidden = !data.problem;
  $("problem").textContent = data.problem || "";
  const rec = data.recording;
  $("recording").textContent = rec ? recordingText(rec) : "not recording";
  $("record-start").disabled = !!(rec && rec.on);
  $("record-stop").disabled = !(rec && rec.on);
  if (live.recording && live.recording.on && !(rec && rec.on)) files();
  live.recording = rec;
}

// A recording's file, size, duration and its own counters (from its start); how it ended, once it has.
function recordingText(rec) {
  const counted = rec.counters.map((c) => `received ${c.received}, overrun ${c.overrun}, missing ${c.missing}`);
  return `${rec.on ? "recording" : "recorded"} ${rec.file}: ${(rec.size / 1e6).toFixed(1)} MB, ` +
    `${rec.elapsed.toFixed(1)} s` + (counted.length ? ` (${counted.join("; ")})` : "") +
    (rec.error ? ` · ended: ${rec.error}` : "");
}

async function post(path, body) {
  const answer = await fetch(path + query, {
    method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body || {}) });
  const data = await answer.json();
  $("message").textContent = answer.ok ? "" : data.error;
  return data;
}

async function files() {
  const answer = await fetch("api/files" + query);
  if (!answer.ok) return;
  const list = (await answer.json()).files;
  $("files").replaceChildren(...list.map((f) => {
    const item = document.createElement("li");
    const link = document.createElement("a");
    link.href = "files/" + encodeURIComponent(f.name) + query;
    link.textContent = f.name;
    item.append(link, ` (${(f.size / 1e6).toFixed(1)} MB)`);
    return item;
  }));
}

$("window").onchange = () => wanted(live.socket);
window.addEventListener("resize", () => wanted(live.socket));
window.addEventListener("error", (event) => { live.error = String(event.message); });
$("record-start").onclick = () => post("api/record/start", { format: $("format").value });
$("record-stop").onclick = () => post("api/record/stop");
$("tare").onclick = () => post("api/tare");
$("untare").onclick = () => post("api/untare");
$("rate").onchange = () => post("api/rate", { rate: Number($("rate").value) });
setInterval(() => {
  $("fps").textContent = `${live.drawn - (live.lastDrawn || 0)} frames/s`;
  live.fps = live.drawn - (live.lastDrawn || 0);
  live.lastDrawn = live.drawn;
}, 1000);
connect();
