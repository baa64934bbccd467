"use strict";
// The live page: readings come over one event stream from the server's
// poller; changes go to the JSON API with the token the server printed.

const WINDOW_S = 300; // seconds of history drawn
const V_COLOUR = "#1f5fbf", I_COLOUR = "#c2410c";
const params = new URLSearchParams(location.search);
if (params.has("token")) {
  sessionStorage.setItem("kx5180-token", params.get("token"));
  // Out of the address bar, so that it is not shared by a copied link.
  history.replaceState(null, "", location.pathname);
}
const token = sessionStorage.getItem("kx5180-token");
const units = new Map(); // index -> {el, points, last}
let limits = {};

function $(root, sel) { return root.querySelector(sel); }

function show(text, el) {
  (el || document.getElementById("message")).textContent = text;
}

async function api(path, options) {
  const response = await fetch(path, options);
  const text = await response.text();
  let data = null;
  try { data = JSON.parse(text); } catch (e) { data = { error: text }; }
  if (!response.ok) throw new Error((data && data.error) || response.statusText);
  return data;
}

function change(index, body) {
  const unit = units.get(index);
  show("", $(unit.el, ".error"));
  return api(`/api/units/${index}`, {
    method: "POST",
    headers: { "Content-Type": "application/json", "X-Kx5180-Token": token || "" },
    body: JSON.stringify(body),
  }).then((data) => update(index, { unit: index, t: Date.now() / 1000, ...data.status }),
          (err) => show(err.message, $(unit.el, ".error")));
}

function build(info) {
  const el = document.getElementById("unit-template").content.firstElementChild.cloneNode(true);
  el.id = `unit-${info.unit}`;
  $(el, ".name").textContent = `${info.unit}: ${info.name}`;
  $(el, ".ident").textContent = `model ${info.model}, SN ${String(info.serial_number).replace(/\0/g, "")}, software ${info.software_version}`;
  const vIn = $(el, ".voltage-input"), iIn = $(el, ".current-input");
  if (limits.max_voltage != null) vIn.max = limits.max_voltage;
  if (limits.max_current != null) iIn.max = limits.max_current;
  const unit = { el, points: [], last: null, edited: false };
  units.set(info.unit, unit);
  for (const input of [vIn, iIn]) input.addEventListener("input", () => { unit.edited = true; });
  $(el, ".controls").addEventListener("submit", (ev) => {
    ev.preventDefault();
    change(info.unit, { voltage: Number(vIn.value), current: Number(iIn.value) }).then(() => { unit.edited = false; });
  });
  $(el, ".output-toggle").addEventListener("click", () => {
    // A tripped output stays off until the trip is cleared: the button clears it first.
    if (unit.last && unit.last.trip) change(info.unit, { clear_trip: true });
    else change(info.unit, { output: !(unit.last && unit.last.output_on) });
  });
  const cIn = $(el, ".ceiling-input");
  if (limits.max_voltage != null) cIn.max = limits.max_voltage;
  cIn.addEventListener("input", () => { unit.ceilingEdited = true; });
  $(el, ".ceiling-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    change(info.unit, { ceiling: Number(cIn.value) }).then(() => { unit.ceilingEdited = false; });
  });
  if (!token) for (const c of el.querySelectorAll("input, button")) c.disabled = true;
  document.getElementById("units").appendChild(el);
  showState(info.unit, info.state);
  if (info.status) update(info.unit, { unit: info.unit, t: Date.now() / 1000, ...info.status });
}

// The line's state: "ok", "reconnecting" (the line is down and being
// reopened) or "refused" (another unit answers where this one was).
const STATE_TEXT = { reconnecting: "reconnecting…", refused: "another unit on the line: not served" };

function showState(index, state) {
  const unit = units.get(index);
  if (!unit) return;
  const badge = $(unit.el, ".line-state");
  badge.textContent = STATE_TEXT[state] || "";
  badge.hidden = !STATE_TEXT[state];
  unit.el.dataset.state = state || "ok";
}

function update(index, ev) {
  const unit = units.get(index);
  if (!unit) return;
  unit.points.push(ev);
  const cutoff = ev.t - WINDOW_S;
  while (unit.points.length && unit.points[0].t < cutoff) unit.points.shift();
  unit.last = ev;
  const el = unit.el;
  $(el, ".voltage").textContent = ev.voltage_v.toFixed(3);
  $(el, ".current").textContent = ev.current_a.toFixed(3);
  $(el, ".power").textContent = (ev.voltage_v * ev.current_a).toFixed(3);
  $(el, ".mode").textContent = ev.output_on ? ev.mode : "–";
  const out = $(el, ".output-state");
  out.textContent = ev.output_on ? "on" : "off";
  out.classList.toggle("on", ev.output_on);
  const temp = $(el, ".temperature");
  temp.textContent = (ev.over_temperature ? "OVER" : "normal") + `, fan ${ev.fan_speed}`;
  temp.classList.toggle("hot", ev.over_temperature);
  $(el, ".voltage-set").textContent = ev.voltage_set_v.toFixed(3);
  $(el, ".current-set").textContent = ev.current_set_a.toFixed(3);
  $(el, ".ceiling").textContent = ev.ceiling_v.toFixed(3);
  if (ev.charge_ah != null) {
    $(el, ".charge").textContent = ev.charge_ah.toFixed(4);
    $(el, ".energy").textContent = ev.energy_wh.toFixed(4);
  }
  const trip = $(el, ".trip-state");
  trip.hidden = !ev.trip;
  if (ev.trip) {
    const t = ev.trip;
    trip.textContent = `TRIPPED: ${t.quantity} ${t.value.toFixed(3)} ${t.unit} > ${t.limit.toFixed(3)} ${t.unit}`;
    trip.title = `${t.message} (at ${new Date(t.t * 1000).toLocaleTimeString()})`;
  }
  $(el, ".output-toggle").textContent = ev.trip ? "Clear trip" : ev.output_on ? "Output off" : "Output on";
  const control = $(el, ".control-state");
  control.textContent = ev.remote ? "remote" : "local";
  control.className = `badge control-state ${ev.remote ? "remote" : ""}`;
  control.title = ev.remote ? "computer control: the front panel is locked" : "front panel control";
  if (!unit.ceilingEdited) $(el, ".ceiling-input").value = ev.ceiling_v.toFixed(3);
  if (!unit.edited) {
    $(el, ".voltage-input").value = ev.voltage_set_v.toFixed(3);
    $(el, ".current-input").value = ev.current_set_a.toFixed(3);
  }
  el.dataset.updates = String(Number(el.dataset.updates || 0) + 1);
  unit.dirty = true;
}

// A scale's top and its ticks: 1, 2 or 5 times a power of ten apart.
function scale(top) {
  top = Math.max(top, 0.1); // nothing to show yet: a readable 0..0.1
  const raw = top / 4;
  const p = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 5, 10].map((m) => m * p).find((s) => s >= raw);
  return { step, top: Math.ceil(top / step - 1e-9) * step };
}

// Readings further apart than this are a gap (nobody watched, the line
// was busy): drawn as a break, never as a slope across it.
function gapAfter(pts) {
  const d = [];
  for (let i = 1; i < pts.length; i++) d.push(pts[i].t - pts[i - 1].t);
  d.sort((a, b) => a - b);
  const typical = d.length ? d[Math.floor(d.length / 2)] : 1;
  return Math.max(2.5, 4 * typical);
}

function draw(unit) {
  const canvas = $(unit.el, ".chart");
  // Drawn in device pixels, so that it stays sharp on a HiDPI screen.
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth, h = canvas.clientHeight;
  if (canvas.width !== Math.round(w * ratio) || canvas.height !== Math.round(h * ratio)) {
    canvas.width = Math.round(w * ratio);
    canvas.height = Math.round(h * ratio);
  }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, w, h);
  const pts = unit.points;
  if (pts.length < 1 || w < 50) return;
  const left = 44, right = 44, top = 10, bottom = 22;
  const pw = w - left - right, ph = h - top - bottom;
  // The time axis grows with the history up to WINDOW_S, so that a page
  // opened a moment ago does not squeeze its first readings into a corner.
  const tEnd = pts[pts.length - 1].t;
  const span = Math.max(30, Math.min(WINDOW_S, tEnd - pts[0].t));
  const x = (t) => left + ((t - (tEnd - span)) / span) * pw;
  ctx.font = "11px system-ui, sans-serif";
  ctx.lineWidth = 1;
  ctx.strokeStyle = "#e3e7ec";
  ctx.fillStyle = "#5b6675";
  ctx.textAlign = "center";
  ctx.textBaseline = "top";
  // Seconds before the latest reading.
  const tStep = [5, 10, 15, 30, 60, 120].find((s) => span / s <= Math.max(2, pw / 70)) || 60;
  for (let s = 0; s <= span; s += tStep) {
    const px = x(tEnd - s);
    ctx.beginPath(); ctx.moveTo(px, top); ctx.lineTo(px, top + ph); ctx.stroke();
    ctx.fillText(s === 0 ? "0 s" : `-${s}`, px, top + ph + 5);
  }
  const gap = gapAfter(pts);
  const axes = [["voltage_v", V_COLOUR, "V", 0], ["current_a", I_COLOUR, "A", 1]];
  for (const [key, colour, sym, side] of axes) {
    const sc = scale(Math.max(...pts.map((p) => p[key])) * 1.05);
    const y = (v) => top + ph - (v / sc.top) * ph;
    ctx.fillStyle = colour;
    ctx.textAlign = side ? "left" : "right";
    ctx.textBaseline = "middle";
    const digits = sc.step < 0.01 ? 3 : sc.step < 0.1 ? 2 : sc.step < 1 ? 1 : 0;
    for (let v = 0; v <= sc.top + sc.step / 2; v += sc.step) {
      ctx.fillText(v.toFixed(digits), side ? left + pw + 4 : left - 4, y(v));
      if (!side) { ctx.strokeStyle = "#eef1f4"; ctx.beginPath(); ctx.moveTo(left, y(v)); ctx.lineTo(left + pw, y(v)); ctx.stroke(); }
    }
    ctx.textBaseline = "top";
    ctx.textAlign = side ? "right" : "left";
    ctx.fillText(sym, side ? w - 2 : 2, 0);
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    pts.forEach((p, i) => {
      const px = x(p.t), py = y(p[key]);
      if (i === 0 || p.t - pts[i - 1].t > gap) {
        ctx.moveTo(px, py);
        ctx.rect(px - 0.75, py - 0.75, 1.5, 1.5); // a lone reading between gaps still shows
        ctx.moveTo(px, py);
      } else ctx.lineTo(px, py);
    });
    ctx.stroke();
    ctx.lineWidth = 1;
  }
  ctx.strokeStyle = "#c5ccd5";
  ctx.strokeRect(left, top, pw, ph);
  $(unit.el, ".span").textContent = `seconds before the latest reading (${Math.round(span)} s)`;
}

function frame() {
  for (const unit of units.values()) if (unit.dirty) { unit.dirty = false; draw(unit); }
  requestAnimationFrame(frame);
}

function redrawAll() { for (const unit of units.values()) unit.dirty = true; }

async function allOff() {
  const button = document.getElementById("all-off");
  button.disabled = true;
  try {
    await Promise.all([...units.keys()].map((index) => change(index, { output: false })));
  } finally {
    button.disabled = !token;
  }
}

function fmtLimit(v, sym) { return v == null ? `no ${sym} limit` : `≤ ${Number(v).toFixed(3)} ${sym}`; }

function listen() {
  const link = document.getElementById("link");
  const source = new EventSource("/api/events");
  source.addEventListener("history", (ev) => {
    for (const unit of units.values()) unit.points = [];
    for (const e of JSON.parse(ev.data)) update(e.unit, e);
  });
  source.onmessage = (ev) => { const e = JSON.parse(ev.data); update(e.unit, e); };
  source.addEventListener("state", (ev) => { const e = JSON.parse(ev.data); showState(e.unit, e.state); });
  source.onopen = () => { link.textContent = "live"; link.className = "badge ok"; };
  source.onerror = () => { link.textContent = "reconnecting…"; link.className = "badge bad"; };
}

async function start() {
  const access = document.getElementById("access");
  access.textContent = token ? "controls enabled" : "read-only: open the link the server printed to change settings";
  const off = document.getElementById("all-off");
  off.disabled = !token;
  off.addEventListener("click", allOff);
  window.addEventListener("resize", redrawAll);
  try {
    const data = await api("/api/units");
    limits = data.limits || {};
    document.getElementById("limits").textContent =
      `server limits: ${fmtLimit(limits.max_voltage, "V")}, ${fmtLimit(limits.max_current, "A")}`;
    for (const info of data.units) build(info);
  } catch (err) {
    show(`cannot list the units: ${err.message}`);
    return;
  }
  requestAnimationFrame(frame);
  // The stream opens once the page has loaded: an open stream would keep
  // the load event pending for good (a headless screenshot never ends).
  const later = () => setTimeout(listen, 0);
  if (document.readyState === "complete") later(); else window.addEventListener("load", later);
}

start();
