"use strict";
// The live page: readings come over one event stream from the server's
// poller; changes go to the JSON API with the token the server printed.

const WINDOW_S = 300; // seconds of history drawn
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
    change(info.unit, { output: !(unit.last && unit.last.output_on) });
  });
  if (!token) for (const c of el.querySelectorAll("input, button")) c.disabled = true;
  document.getElementById("units").appendChild(el);
  if (info.status) update(info.unit, { unit: info.unit, t: Date.now() / 1000, ...info.status });
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
  $(el, ".output-toggle").textContent = ev.output_on ? "Output off" : "Output on";
  if (!unit.edited) {
    $(el, ".voltage-input").value = ev.voltage_set_v.toFixed(3);
    $(el, ".current-input").value = ev.current_set_a.toFixed(3);
  }
  el.dataset.updates = String(Number(el.dataset.updates || 0) + 1);
  unit.dirty = true;
}

function draw(unit) {
  const canvas = $(unit.el, ".chart");
  const ctx = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height, pad = 4;
  ctx.clearRect(0, 0, w, h);
  const pts = unit.points;
  if (pts.length < 2) return;
  // The time axis grows with the history up to WINDOW_S, so that a page
  // opened a moment ago does not squeeze its first readings into a corner.
  const tEnd = pts[pts.length - 1].t;
  const span = Math.max(30, Math.min(WINDOW_S, tEnd - pts[0].t));
  const tStart = tEnd - span;
  const x = (t) => ((t - tStart) / span) * w;
  ctx.font = "11px system-ui, sans-serif";
  for (const [key, colour, unit, side] of [["voltage_v", "#1f5fbf", "V", 0], ["current_a", "#c2410c", "A", 1]]) {
    const top = Math.max(0.001, ...pts.map((p) => p[key])) * 1.1;
    ctx.fillStyle = colour;
    ctx.textAlign = side ? "right" : "left";
    ctx.fillText(`${top.toFixed(2)} ${unit}`, side ? w - 4 : 4, 12);
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    pts.forEach((p, i) => {
      const y = h - pad - (p[key] / top) * (h - 2 * pad);
      if (i === 0) ctx.moveTo(x(p.t), y); else ctx.lineTo(x(p.t), y);
    });
    ctx.stroke();
  }
  $(unit.el, ".span").textContent = `last ${Math.round(span)} s`;
}

function frame() {
  for (const unit of units.values()) if (unit.dirty) { unit.dirty = false; draw(unit); }
  requestAnimationFrame(frame);
}

function listen() {
  const link = document.getElementById("link");
  const source = new EventSource("/api/events");
  source.addEventListener("history", (ev) => {
    for (const unit of units.values()) unit.points = [];
    for (const e of JSON.parse(ev.data)) update(e.unit, e);
  });
  source.onmessage = (ev) => { const e = JSON.parse(ev.data); update(e.unit, e); };
  source.onopen = () => { link.textContent = "live"; link.className = "badge ok"; };
  source.onerror = () => { link.textContent = "reconnecting…"; link.className = "badge bad"; };
}

async function start() {
  const access = document.getElementById("access");
  access.textContent = token ? "controls enabled" : "read-only: open the link the server printed to change settings";
  try {
    const data = await api("/api/units");
    limits = data.limits || {};
    for (const info of data.units) build(info);
  } catch (err) {
    show(`cannot list the units: ${err.message}`);
    return;
  }
  listen();
  requestAnimationFrame(frame);
}

start();
