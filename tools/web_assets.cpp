#include "web_assets.h"

const char* const WebPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Veltrona gateway</title>
<link rel="stylesheet" href="/style.css">
<script src="/app.js" defer></script>
</head>
<body>
<header><h1>Veltrona gateway</h1><span id="gateway" class="state">connecting…</span><span id="link" class="state"></span></header>
<main>
<section id="hub"><h2>Data Hub</h2><div id="groups"></div></section>
<section id="board" hidden><h2>Simulated board</h2><div id="devices"></div></section>
</main>
</body>
</html>
)PAGE";

// Every value and every reason goes into the page as text (textContent), never as markup.
const char* const WebScript = R"SCRIPT('use strict';
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';
const headers = token ? {'X-Veltrona-Token': token} : {};
const changeHeaders = {...headers, 'X-Veltrona': '1'};
const rows = new Map();       // path -> {row, text, control, age, trend, note, record}
const history = new Map();    // path -> {stamp, values}: recent numbers, one per push
const branches = [['settings', 'Settings'], ['uc_input', 'Channels'], ['sensors', 'Sensors'],
                  ['addon', 'Add-on'], ['platform', 'Platform']];
const devices = [['adc.', 'Converter inputs (V)'], ['gpio.', 'Module pins'], ['addon.', 'Add-on board'],
                 ['modbus.reg.', 'Modbus slave registers'], ['modbus.coil.', 'Modbus slave coils']];

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function shown(r) {
  if (r.type === 'trigger') return r.timestamp ? 'fired' : '';
  if (r.value === null) return '';
  return typeof r.value === 'string' ? r.value : JSON.stringify(r.value);
}

function age(ts) {
  if (!ts) return '';
  const s = Math.max(0, Date.now() / 1000 - ts);
  return s < 60 ? s.toFixed(0) + ' s' : s < 3600 ? (s / 60).toFixed(0) + ' min' : (s / 3600).toFixed(1) + ' h';
}

// A table under a heading of its own, made the first time something belongs there, in a fixed order.
function section(parent, id, title, columns, order, open) {
  let g = document.getElementById(id);
  if (!g) {
    g = el('details', 'group');
    g.id = id;
    g.dataset.order = order;
    g.open = open;
    g.append(el('summary', '', title));
    const t = el('table');
    const head = el('tr');
    for (const h of columns) head.append(el('th', '', h));
    t.append(el('thead'), el('tbody'));
    t.tHead.append(head);
    g.append(t);
    const after = [...parent.children].find(c => Number(c.dataset.order) > order);
    parent.insertBefore(g, after || null);
  }
  return g.querySelector('tbody');
}

function branchOf(path) {
  const i = branches.findIndex(([prefix]) => path.startsWith(prefix));
  return i >= 0 ? [i, branches[i][1]] : [branches.length, path.split('/')[0]];
}

async function answer(res) {
  if (res.ok) return '';
  try { return (await res.json()).error; } catch (e) { return res.status + ' ' + res.statusText; }
}

async function push(path, value) {
  const body = new URLSearchParams({path});
  if (value !== null) body.set('value', value);
  let note;
  try {
    note = await answer(await fetch('/api/push', {method: 'POST', headers: changeHeaders, body}));
  } catch (e) {
    note = 'the web view did not answer: ' + e.message;
  }
  const entry = rows.get(path);
  if (!entry) return;
  entry.note.textContent = note;
  // A switch refused goes back to what the gateway holds; typed text stays, to be mended.
  if (note && entry.control && entry.control.type === 'checkbox') entry.control.checked = entry.record.value === true;
}

// A control that fits the output's type; what is typed goes to the gateway as it is, and the
// gateway says what it refuses.
function control(r) {
  if (r.kind !== 'output') return null;
  if (r.type === 'trigger') {
    const b = el('button', '', 'fire');
    b.onclick = () => push(r.path, null);
    return b;
  }
  const input = el('input');
  if (r.type === 'boolean') {
    input.type = 'checkbox';
    input.onchange = () => push(r.path, input.checked ? 'true' : 'false');
  } else {
    input.type = 'text';
    if (r.type === 'numeric') input.inputMode = 'decimal';
    input.onchange = () => push(r.path, input.value);
  }
  input.setAttribute('aria-label', r.path);
  return input;
}

function trend(entry, r) {
  const h = history.get(r.path) || {stamp: null, values: []};
  history.set(r.path, h);
  if (r.type !== 'numeric' || typeof r.value !== 'number' || h.stamp === r.timestamp) return;
  h.stamp = r.timestamp;
  h.values.push(r.value);
  if (h.values.length > 60) h.values.shift();
  if (h.values.length < 2) return;
  const v = h.values, min = Math.min(...v), max = Math.max(...v), span = max - min || 1;
  const points = v.map((x, i) => (i * 100 / (v.length - 1)).toFixed(1) + ',' + (18 - (x - min) / span * 16).toFixed(1));
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('viewBox', '0 0 100 20');
  svg.setAttribute('class', 'trend');
  const line = document.createElementNS(ns, 'polyline');
  line.setAttribute('points', points.join(' '));
  const title = document.createElementNS(ns, 'title');
  title.textContent = 'last ' + v.length + ': ' + min + ' to ' + max;
  svg.append(title, line);
  entry.trend.replaceChildren(svg);
}

function update(r) {
  let entry = rows.get(r.path);
  if (!entry) {
    const row = el('tr');
    row.dataset.path = r.path;
    entry = {row, text: el('span', 'text'), control: control(r), age: el('td', 'age'), trend: el('td', 'trend'),
             note: el('div', 'note')};
    const value = el('td', 'value');
    value.append(entry.text);
    if (entry.control) value.append(entry.control);
    value.append(entry.note);
    row.append(el('td', 'path', r.path), el('td', 'kind', r.kind), el('td', 'type', r.type),
               el('td', 'units', r.units || ''), value, entry.age, entry.trend);
    rows.set(r.path, entry);
    const [order, title] = branchOf(r.path);
    const body = section(document.getElementById('groups'), 'branch-' + order + '-' + title, title,
                         ['resource', 'kind', 'type', 'units', 'value', 'age', 'trend'], order, true);
    const next = [...body.children].find(other => other.dataset.path > r.path);
    body.insertBefore(row, next || null);
  }
  // A list fetched before a push may arrive after it.
  if (entry.record && r.timestamp && entry.record.timestamp > r.timestamp) return;
  entry.record = r;
  const c = entry.control;
  entry.text.textContent = c && c.tagName === 'INPUT' ? '' : shown(r);
  if (c && c.tagName === 'INPUT' && document.activeElement !== c) {
    if (c.type === 'checkbox') c.checked = r.value === true;
    else c.value = shown(r);
  }
  entry.row.dataset.value = shown(r);
  entry.age.textContent = age(r.timestamp);
  trend(entry, r);
  if (r.path.startsWith('platform/cloud/')) cloud();
}

// The cloud link's state and outbox, when the gateway runs one.
function cloud() {
  const value = path => rows.has(path) ? shown(rows.get(path).record) : '';
  const state = value('platform/cloud/state');
  document.getElementById('link').textContent = !state ? 'no cloud link' :
    'cloud link ' + state + ' · outbox ' + (value('platform/cloud/outbox/depth') || 0) + ' values, ' +
    (value('platform/cloud/outbox/bytes') || 0) + ' bytes, ' + (value('platform/cloud/outbox/dropped') || 0) +
    ' dropped · ' + (value('platform/cloud/published') || 0) + ' published';
}

let live = false;   // the stream of pushes is open

function gateway(text, ok) {
  const g = document.getElementById('gateway');
  g.textContent = text + (ok ? (live ? ' · live' : ' · reconnecting') : '');
  g.classList.toggle('down', !ok);
}

// The whole list again: rows appear and go as resources are made and deleted, and what changed
// while the stream was away is caught up.
async function refresh() {
  try {
    const res = await fetch('/api/resources', {headers});
    if (!res.ok) throw new Error(await answer(res));
    const list = await res.json();
    const seen = new Set(list.map(r => r.path));
    for (const r of list) update(r);
    for (const [path, entry] of rows) if (!seen.has(path)) { entry.row.remove(); rows.delete(path); history.delete(path); }
    for (const g of document.querySelectorAll('#groups details.group')) if (!g.querySelector('tbody tr')) g.remove();
    cloud();
    gateway(list.length + ' resources', true);
  } catch (e) {
    gateway('gateway unreachable: ' + e.message, false);
  }
}

// The pushes as they happen. A browser gives up on a stream that answered with an error (the
// gateway was away), so a closed stream is opened again here.
function listen() {
  const events = new EventSource('/api/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
  events.onopen = () => { live = true; refresh(); };
  events.onmessage = m => update(JSON.parse(m.data));
  events.onerror = () => {
    live = false;
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, 1000);
    refresh();
  };
}

async function simSet(key, value, note) {
  try {
    note.textContent = await answer(await fetch('/api/sim', {method: 'POST', headers: changeHeaders,
                                                             body: new URLSearchParams({key, value})}));
  } catch (e) {
    note.textContent = 'the web view did not answer: ' + e.message;
  }
}

// The simulated board's inputs, moved with simboard's keys; what the gateway drives is shown.
async function board() {
  let keys = [];
  try {
    const res = await fetch('/api/sim', {headers});
    if (res.ok) keys = await res.json();
  } catch (e) { /* the program went away: the panel keeps what it had */ }
  for (const k of keys) {
    let row = document.querySelector('#devices tr[data-key="' + CSS.escape(k.key) + '"]');
    if (!row) {
      row = el('tr');
      row.dataset.key = k.key;
      const note = el('div', 'note');
      let input;
      if (k.use === 'driven') {
        input = el('span', 'text');
      } else {
        input = el('input');
        input.type = k.use === 'level' ? 'checkbox' : 'text';
        if (k.use !== 'level') input.inputMode = 'decimal';
        input.setAttribute('aria-label', k.key);
        input.onchange = () => simSet(k.key, input.type === 'checkbox' ? (input.checked ? '1' : '0') : input.value, note);
      }
      const cell = el('td', 'value');
      cell.append(input, note);
      row.append(el('td', 'path', k.key), cell);
      const i = devices.findIndex(([prefix]) => k.key.startsWith(prefix));
      const order = i >= 0 ? i : devices.length;
      const title = i >= 0 ? devices[i][1] : 'Other';
      section(document.getElementById('devices'), 'device-' + order, title, ['key', 'value', ''], order,
              !k.key.startsWith('modbus.')).append(row);
    }
    row.dataset.value = k.value;
    const input = row.querySelector('.value').firstChild;
    if (input.tagName !== 'INPUT') input.textContent = k.value;
    else if (document.activeElement === input) continue;
    else if (input.type === 'checkbox') input.checked = k.value === '1';
    else input.value = k.value;
  }
  document.getElementById('board').hidden = keys.length === 0;
}

refresh().then(listen);
board();
setInterval(refresh, 2000);
setInterval(board, 1000);
setInterval(() => { for (const e of rows.values()) e.age.textContent = age(e.record.timestamp); }, 1000);
)SCRIPT";

const char* const WebStyle = R"STYLE(body { font: 14px system-ui, sans-serif; margin: 0; color: #222; }
header { display: flex; gap: 1.5em; align-items: baseline; padding: 0.5em 1em; background: #234; color: #fff; }
header h1 { font-size: 1.2em; margin: 0; }
.state { font-size: 0.9em; }
.state.down { color: #fbb; font-weight: bold; }
main { display: grid; grid-template-columns: minmax(0, 3fr) minmax(16em, 1fr); gap: 1.5em; padding: 0 1em 1em; }
@media (max-width: 900px) { main { grid-template-columns: minmax(0, 1fr); } }
h2 { font-size: 1.1em; margin: 0.8em 0 0.4em; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; }
th, td { text-align: left; padding: 2px 6px; border-bottom: 1px solid #e4e4e4; overflow: hidden; text-overflow: ellipsis; }
th { font-weight: normal; color: #777; font-size: 0.85em; }
td.path { font-family: monospace; white-space: nowrap; }
td.kind, td.type, td.units { color: #555; }
td.value { font-variant-numeric: tabular-nums; overflow-wrap: anywhere; }
.note { color: #b00; font-size: 0.9em; }
td.age { color: #777; }
#groups th:nth-child(1) { width: 32%; }
#groups th:nth-child(2) { width: 4.5em; }
#groups th:nth-child(3) { width: 5em; }
#groups th:nth-child(4) { width: 5.5em; }
#groups th:nth-child(6) { width: 4em; }
#groups th:nth-child(7) { width: 110px; }
#devices th:nth-child(1) { width: 45%; }
details.group { margin-bottom: 0.8em; }
summary { font-weight: bold; cursor: pointer; }
svg.trend { width: 100px; height: 20px; display: block; }
svg.trend polyline { fill: none; stroke: #36c; stroke-width: 1.5; }
input[type=text] { width: 100%; max-width: 14em; box-sizing: border-box; }
)STYLE";
