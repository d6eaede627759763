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
<header><h1>Veltrona gateway</h1><span id="link" class="state">connecting…</span></header>
<main>
<section id="hub"><h2>Data Hub</h2><div id="groups"></div></section>
<section id="board" hidden><h2>Simulated board</h2><table id="sim"><tbody></tbody></table></section>
</main>
</body>
</html>
)PAGE";

// Every value and every reason goes into the page as text (textContent), never as markup.
const char* const WebScript = R"SCRIPT('use strict';
const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';
const headers = token ? {'X-Veltrona-Token': token} : {};
const rows = new Map();       // path -> {row, value, age, note, control, record, trend}
const history = new Map();    // path -> recent numbers
const groupNames = {settings: 'Settings', sensors: 'Sensors', addon: 'Add-on', platform: 'Platform'};

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function shown(r) {
  if (r.type === 'trigger') return r.timestamp ? 'fired' : '';
  if (r.value === null) return '';
  return typeof r.value === 'string' ? r.value : String(r.value);
}

function age(ts) {
  if (!ts) return '';
  const s = Math.max(0, Date.now() / 1000 - ts);
  return s < 60 ? s.toFixed(0) + ' s' : s < 3600 ? (s / 60).toFixed(0) + ' min' : (s / 3600).toFixed(1) + ' h';
}

function group(path) {
  const top = path.split('/')[0];
  const name = groupNames[top] || (/^uc_input/.test(top) ? 'Channels' : top);
  let g = document.getElementById('group-' + name);
  if (!g) {
    g = el('details', 'group');
    g.id = 'group-' + name;
    g.open = true;
    g.append(el('summary', '', name));
    const t = el('table');
    const head = el('tr');
    for (const h of ['resource', 'kind', 'type', 'units', 'value', 'age', 'trend', '']) head.append(el('th', '', h));
    t.append(el('thead'), el('tbody'));
    t.tHead.append(head);
    g.append(t);
    document.getElementById('groups').append(g);
  }
  return g.querySelector('tbody');
}

async function push(path, value) {
  const body = new URLSearchParams({path});
  if (value !== null) body.set('value', value);
  const res = await fetch('/api/push', {method: 'POST', headers: {...headers, 'X-Veltrona': '1'}, body});
  const entry = rows.get(path);
  if (!entry) return;
  entry.note.textContent = res.ok ? '' : (await res.json()).error;
}

function control(r) {
  if (r.kind !== 'output') return el('span');
  if (r.type === 'trigger') {
    const b = el('button', '', 'fire');
    b.onclick = () => push(r.path, null);
    return b;
  }
  const input = el('input');
  if (r.type === 'boolean') {
    input.type = 'checkbox';
    input.checked = r.value === true;
    input.onchange = () => push(r.path, input.checked ? 'true' : 'false');
    return input;
  }
  input.type = r.type === 'numeric' ? 'number' : 'text';
  if (r.type === 'numeric') input.step = 'any';
  input.value = shown(r);
  input.onchange = () => push(r.path, input.value);
  return input;
}

function trend(path, r) {
  if (r.type !== 'numeric' || typeof r.value !== 'number') return;
  const h = history.get(path) || [];
  h.push(r.value);
  if (h.length > 40) h.shift();
  history.set(path, h);
  const entry = rows.get(path);
  if (!entry || h.length < 2) return;
  const min = Math.min(...h), max = Math.max(...h), span = max - min || 1;
  const points = h.map((v, i) => (i * 80 / (h.length - 1)).toFixed(1) + ',' + (18 - (v - min) / span * 16).toFixed(1));
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('viewBox', '0 0 80 20');
  svg.setAttribute('class', 'trend');
  const line = document.createElementNS(ns, 'polyline');
  line.setAttribute('points', points.join(' '));
  svg.append(line);
  entry.trend.replaceChildren(svg);
}

function update(r) {
  let entry = rows.get(r.path);
  if (!entry) {
    const row = el('tr');
    row.dataset.path = r.path;
    entry = {row, value: el('td', 'value'), age: el('td', 'age'), trend: el('td'), note: el('td', 'note')};
    const cells = [el('td', 'path', r.path), el('td', '', r.kind), el('td', '', r.type), el('td', '', r.units || '')];
    row.append(...cells, entry.value, entry.age, entry.trend, entry.note);
    entry.control = control(r);
    entry.value.append(el('span', 'text'), entry.control);
    rows.set(r.path, entry);
    group(r.path).append(row);
  }
  entry.record = r;
  entry.value.querySelector('.text').textContent = r.kind === 'output' && r.type !== 'trigger' ? '' : shown(r);
  if (entry.control.tagName === 'INPUT' && document.activeElement !== entry.control) {
    if (entry.control.type === 'checkbox') entry.control.checked = r.value === true;
    else entry.control.value = shown(r);
  }
  entry.age.textContent = age(r.timestamp);
  trend(r.path, r);
  if (r.path === 'platform/cloud/state') document.getElementById('link').textContent = 'cloud link: ' + shown(r);
}

// The list again: rows appear and go as resources are made and deleted.
async function refresh() {
  try {
    const res = await fetch('/api/resources', {headers});
    if (!res.ok) throw new Error((await res.json()).error);
    const list = await res.json();
    const seen = new Set(list.map(r => r.path));
    for (const r of list) if (!rows.has(r.path)) update(r);
    for (const [path, entry] of rows) if (!seen.has(path)) { entry.row.remove(); rows.delete(path); }
    for (const g of document.querySelectorAll('details.group')) if (!g.querySelector('tbody tr')) g.remove();
    if (!rows.has('platform/cloud/state')) document.getElementById('link').textContent = 'no cloud link';
  } catch (e) {
    document.getElementById('link').textContent = 'gateway unreachable: ' + e.message;
  }
}

function listen() {
  const events = new EventSource('/api/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
  events.onmessage = m => update(JSON.parse(m.data));
  events.onerror = () => setTimeout(refresh, 1000);   // the stream comes back by itself
}

async function board() {
  const res = await fetch('/api/sim', {headers});
  if (!res.ok) return;
  const keys = await res.json();
  const body = document.querySelector('#sim tbody');
  const shownKeys = new Set();
  for (const k of keys) {
    shownKeys.add(k.key);
    let row = body.querySelector('tr[data-key="' + CSS.escape(k.key) + '"]');
    if (!row) {
      row = el('tr');
      row.dataset.key = k.key;
      const input = el('input');
      const note = el('td', 'note');
      input.onchange = async () => {
        const r = await fetch('/api/sim', {method: 'POST', headers: {...headers, 'X-Veltrona': '1'},
                                           body: new URLSearchParams({key: k.key, value: input.value})});
        note.textContent = r.ok ? '' : (await r.json()).error;
      };
      const cell = el('td');
      cell.append(input);
      row.append(el('td', 'path', k.key), cell, note);
      body.append(row);
    }
    const input = row.querySelector('input');
    if (document.activeElement !== input) input.value = k.value;
  }
  document.getElementById('board').hidden = keys.length === 0;
}

refresh().then(listen);
board();
setInterval(refresh, 2000);
setInterval(board, 2000);
setInterval(() => { for (const e of rows.values()) e.age.textContent = age(e.record.timestamp); }, 1000);
)SCRIPT";

const char* const WebStyle = R"STYLE(body { font: 14px system-ui, sans-serif; margin: 0; color: #222; }
header { display: flex; gap: 1em; align-items: baseline; padding: 0.5em 1em; background: #234; color: #fff; }
header h1 { font-size: 1.2em; margin: 0; }
main { display: flex; flex-wrap: wrap; gap: 1em; padding: 1em; }
section { flex: 1 1 40em; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 2px 6px; border-bottom: 1px solid #ddd; }
td.path { font-family: monospace; }
td.note { color: #b00; }
td.age { color: #777; }
details.group { margin-bottom: 1em; }
summary { font-weight: bold; cursor: pointer; }
svg.trend { width: 80px; height: 20px; }
svg.trend polyline { fill: none; stroke: #36c; stroke-width: 1.5; }
input[type=text], input[type=number] { width: 12em; }
)STYLE";
