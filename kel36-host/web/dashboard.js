// kel36-host dashboard: polls /api/devices once a second and redraws one
// panel per device in place, with trend charts of the last minutes drawn as
// SVG. Only text nodes carry the server's strings (device names are free
// text), never markup. What it shows is what the driver would answer now: a
// set in alarm is the loudest thing on the page; values that are not current
// (not answering, line lost, no record for the freshness limit, restored
// from the cache) are dimmed with their age; when kel36-host itself stops
// answering, every panel turns grey.
'use strict';

const POLL_MS = 1000;
const TREND_MS = 10 * 60 * 1000;
const MIN_SPAN_MS = 60 * 1000;
const SVG = 'http://www.w3.org/2000/svg';

// Trend columns as the API sends them: [unix_ms, uab, ubc, uca, frequency, ua, ub, uc, battery].
const CHARTS = [
  {title: 'Voltages (V)', series: [
    {column: 1, name: 'uab', color: '#1f5fa8'}, {column: 2, name: 'ubc', color: '#2f9e8f'},
    {column: 3, name: 'uca', color: '#7a4fb0'}, {column: 5, name: 'ua', color: '#d07a1f'},
    {column: 6, name: 'ub', color: '#b3261e'}, {column: 7, name: 'uc', color: '#5c6b7a'}]},
  {title: 'Frequency (Hz)', series: [{column: 4, name: 'frequency', color: '#1f5fa8'}]},
  {title: 'Battery (V)', series: [{column: 8, name: 'battery', color: '#1e7d43'}]},
];
const VALUE_ORDER = ['uab', 'ubc', 'uca', 'frequency', 'ua', 'ub', 'uc', 'battery_voltage'];
const VALUE_LABEL = {battery_voltage: 'battery'};
const STATE_TEXT = {
  starting: 'starting', answering: 'answering', stalling: 'stalling',
  not_answering: 'not answering', line_lost: 'line lost',
};

const panels = new Map();  // device name -> {root, parts, trend}
let trendSince = 0;
let lastAnswer = null;  // local time of kel36-host's last answer

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function svgEl(tag, attributes) {
  const node = document.createElementNS(SVG, tag);
  for (const [key, value] of Object.entries(attributes || {})) node.setAttribute(key, value);
  return node;
}

function clock(unixMs) {
  return new Date(unixMs).toLocaleTimeString([], {hour12: false});
}

// "78 s ago", "5 min ago", "3 h ago", "2 d ago".
function ago(seconds) {
  if (seconds < 0) return 'just now';
  if (seconds < 120) return `${seconds} s ago`;
  if (seconds < 7200) return `${Math.floor(seconds / 60)} min ago`;
  if (seconds < 172800) return `${Math.floor(seconds / 3600)} h ago`;
  return `${Math.floor(seconds / 86400)} d ago`;
}

function limitText(seconds) {
  return seconds === 60 ? 'a minute' : `${seconds} s`;
}

function makePanel(device) {
  const root = el('section', 'device');
  root.dataset.device = device.name;
  const title = el('h2');
  const name = el('span', 'name', device.name);
  const alarm = el('span', 'badge alarm-badge');
  alarm.dataset.role = 'alarm';
  alarm.hidden = true;
  const state = el('span', 'badge');
  state.dataset.role = 'state';
  title.append(name, alarm, state);
  const gone = el('div', 'gone-note');
  gone.dataset.role = 'gone';
  gone.hidden = true;
  const freshness = el('div', 'freshness');
  freshness.dataset.role = 'age';
  const meta = el('div', 'meta',
    `data id ${device.data_id} · ${device.line || 'no line yet'}` +
    (device.simulated ? ' (simulated controller)' : ''));
  const values = el('div', 'values');
  const cells = {};
  for (const signal of VALUE_ORDER) {
    const cell = el('div', 'value');
    cell.dataset.signal = signal;
    const number = el('span', 'number', '–');
    const unit = el('span', 'unit');
    const age = el('span', 'age');
    cell.append(el('span', 'name', VALUE_LABEL[signal] || signal), number, unit, age);
    values.append(cell);
    cells[signal] = {cell, number, unit, age};
  }
  const alarms = el('ul', 'alarms');
  const stats = el('div', 'stats');
  stats.dataset.role = 'stats';
  const charts = el('div', 'charts');
  const svgs = CHARTS.map((chart) => {
    const svg = svgEl('svg', {class: 'chart', viewBox: '0 0 600 120', role: 'img'});
    svg.setAttribute('aria-label', chart.title);
    charts.append(svg);
    return svg;
  });
  root.append(title, gone, meta, freshness, values, alarms, stats, charts);
  return {root, state, alarm, gone, freshness, values: cells, alarms, stats, svgs, trend: []};
}

// The panel's state; returns whether the set has an active alarm.
function updatePanel(panel, device, now, staleAfter) {
  const record = device.last_record;
  const age = record && record.age_s !== null ? record.age_s : null;
  const silent = !record || age === null || age > staleAfter;
  const restored = Boolean(record && record.restored);
  const troubled = device.state === 'not_answering' || device.state === 'line_lost';
  const current = !silent && !restored && !troubled;
  const active = device.alarms.filter((alarm) => alarm.active).length;

  panel.root.classList.toggle('in-alarm', active > 0);
  panel.root.classList.toggle('not-current', !current);
  panel.root.dataset.alarm = String(active > 0);
  panel.root.dataset.current = String(current);
  panel.alarm.hidden = active === 0;
  panel.alarm.textContent = active === 1 ? 'ALARM' : `ALARM ×${active}`;
  panel.state.className = 'badge ' + (record && silent && !troubled ? 'stale' : device.state);
  panel.state.textContent = STATE_TEXT[device.state] || device.state;

  // "no record for a minute" in every state, not only while answering.
  let freshness;
  if (!record) {
    freshness = 'no record yet';
  } else if (age === null) {
    freshness = 'record of unknown age' + (restored ? ', restored from the cache' : '');
  } else {
    freshness = (silent ? `no record for ${limitText(staleAfter)} · ` : '') +
      (restored ? 'restored from the cache, polled ' : 'last record ') +
      `${ago(age)} (${restored ? new Date(record.unix_ms).toLocaleString([], {hour12: false}) : clock(record.unix_ms)})`;
  }
  panel.freshness.textContent = freshness;
  panel.freshness.classList.toggle('stale', silent);
  panel.freshness.dataset.stale = String(silent);

  for (const signal of VALUE_ORDER) {
    const {cell, number, unit, age: ageText} = panel.values[signal];
    const reading = device.values[signal];
    const answered = reading && reading.value !== null;
    const known = answered ? reading.value : reading && reading.last_value !== undefined ? reading.last_value : null;
    // An old value is shown only dimmed, with its age, never as current.
    const old = known !== null && (!answered || !current);
    cell.classList.toggle('refused', known === null && Boolean(reading && reading.error));
    cell.classList.toggle('dimmed', old);
    cell.dataset.current = String(answered && current);
    number.textContent = known !== null ? String(known) : (reading && reading.error) || '–';
    unit.textContent = known !== null ? reading.unit : '';
    ageText.textContent = old && age !== null ? ago(age) : '';
    cell.title = reading && reading.error ? `refused by the driver: ${reading.error}` : '';
  }

  panel.alarms.replaceChildren(...device.alarms.map((alarm) => {
    const item = el('li', 'alarm' + (alarm.active ? ' active' : ''));
    item.dataset.alarm = alarm.signal;
    item.dataset.active = String(alarm.active);
    item.append(el('span', 'text', alarm.text), el('span', 'code', alarm.code));
    item.title = `${alarm.signal}: ${alarm.active ? 'active' : 'clear'}`;
    return item;
  }));

  const round = device.round_ms;
  const parts = [
    `rounds ${device.rounds}`,
    `stalls ${device.stalls}` + (device.consecutive_stalls ? ` (${device.consecutive_stalls} in a row)` : ''),
    `round time ${round.last.toFixed(1)} ms (mean ${round.mean.toFixed(1)}, max ${round.max.toFixed(1)})`,
  ];
  if (device.last_stall) {
    parts.push(`last stall ${clock(device.last_stall.time.unix_ms)}, ${device.last_stall.reason}` +
      (device.last_stall.register !== null ? `, register ${device.last_stall.register}` : ''));
  }
  panel.stats.textContent = parts.join(' · ');
  return active > 0;
}

// A point of the same second as the last one replaces it (the server keeps
// one point per second and updates it while the second lasts).
function addTrend(panel, points, now) {
  for (const point of points) {
    const last = panel.trend[panel.trend.length - 1];
    if (last && Math.floor(last[0] / 1000) === Math.floor(point[0] / 1000)) {
      panel.trend[panel.trend.length - 1] = point;
    } else if (!last || point[0] > last[0]) {
      panel.trend.push(point);
    }
  }
  while (panel.trend.length && panel.trend[0][0] < now - TREND_MS) panel.trend.shift();
}

function niceRange(low, high) {
  if (!isFinite(low)) return [0, 1];
  if (high - low < 1e-6) return [low - 1, high + 1];
  const margin = (high - low) * 0.08;
  return [low - margin, high + margin];
}

function drawChart(svg, chart, trend, now) {
  const W = 600, H = 120, left = 44, right = 8, top = 16, bottom = 16;
  svg.replaceChildren();
  const title = svgEl('text', {x: left, y: 11, class: 'title'});
  title.textContent = chart.title;
  svg.append(title);
  let x = left + 90;
  for (const series of chart.series) {
    const label = svgEl('text', {x, y: 11, fill: series.color});
    label.textContent = series.name;
    svg.append(label);
    x += 8 * series.name.length + 14;
  }
  // The window grows with the data from one minute up to TREND_MS.
  const t1 = trend.length ? Math.max(trend[trend.length - 1][0], now) : now;
  const span = trend.length ? Math.min(TREND_MS, Math.max(MIN_SPAN_MS, t1 - trend[0][0])) : MIN_SPAN_MS;
  const t0 = t1 - span;
  let low = Infinity, high = -Infinity;
  for (const point of trend) {
    for (const series of chart.series) {
      const v = point[series.column];
      if (v === null) continue;
      low = Math.min(low, v);
      high = Math.max(high, v);
    }
  }
  const [y0, y1] = niceRange(low, high);
  const px = (t) => left + (W - left - right) * (t - t0) / (t1 - t0);
  const py = (v) => top + (H - top - bottom) * (1 - (v - y0) / (y1 - y0));
  svg.append(svgEl('line', {x1: left, y1: H - bottom, x2: W - right, y2: H - bottom, class: 'axis'}));
  svg.append(svgEl('line', {x1: left, y1: top, x2: left, y2: H - bottom, class: 'axis'}));
  for (const v of [y0, (y0 + y1) / 2, y1]) {
    const tick = svgEl('text', {x: left - 4, y: py(v) + 3, 'text-anchor': 'end'});
    tick.textContent = v.toFixed(Math.abs(y1 - y0) < 10 ? 1 : 0);
    svg.append(tick);
  }
  for (const t of [t0, t0 + span / 2, t1]) {
    const tick = svgEl('text', {x: px(t), y: H - 3, 'text-anchor': t === t0 ? 'start' : t === t1 ? 'end' : 'middle'});
    tick.textContent = clock(t);
    svg.append(tick);
  }
  // A gap in the records (a device that stopped answering) breaks the line.
  const steps = trend.slice(1).map((p, i) => p[0] - trend[i][0]).sort((a, b) => a - b);
  const gap = Math.max(5000, 3 * (steps[Math.floor(steps.length / 2)] || 0));
  for (const series of chart.series) {
    let run = [];
    const flush = () => {
      if (run.length === 1) {
        svg.append(svgEl('circle', {cx: run[0][0], cy: run[0][1], r: 2, fill: series.color}));
      } else if (run.length > 1) {
        svg.append(svgEl('polyline', {points: run.map((p) => p.join(',')).join(' '), stroke: series.color}));
      }
      run = [];
    };
    let previous = null;
    for (const point of trend) {
      const v = point[series.column];
      if (v === null || (previous !== null && point[0] - previous > gap)) flush();
      if (v !== null) run.push([px(point[0]).toFixed(1), py(v).toFixed(1)]);
      previous = point[0];
    }
    flush();
  }
}

function render(data) {
  const now = data.time.unix_ms;
  const staleAfter = data.stale_after_s;
  document.getElementById('clock').textContent = clock(now);
  const main = document.getElementById('devices');
  if (!panels.size) main.replaceChildren();
  let inAlarm = 0;
  for (const device of data.devices) {
    let panel = panels.get(device.name);
    if (!panel) {
      panel = makePanel(device);
      panels.set(device.name, panel);
      main.append(panel.root);
    }
    addTrend(panel, device.trend || [], now);
    for (const point of device.trend || []) trendSince = Math.max(trendSince, point[0]);
    if (updatePanel(panel, device, now, staleAfter)) inAlarm += 1;
    CHARTS.forEach((chart, i) => drawChart(panel.svgs[i], chart, panel.trend, now));
  }
  const count = document.getElementById('alarm-count');
  count.hidden = inAlarm === 0;
  count.textContent = inAlarm === 1 ? '1 set in alarm' : `${inAlarm} sets in alarm`;
  document.title = (inAlarm ? `(${inAlarm} in alarm) ` : '') + 'kel36-host';
}

// kel36-host gone: nothing on the page is current any more.
function setConnection(live) {
  const badge = document.getElementById('connection');
  badge.className = 'badge ' + (live ? 'live' : 'lost');
  badge.textContent = live ? 'live' : 'no connection to kel36-host';
  document.body.classList.toggle('host-gone', !live);
  const since = lastAnswer ? ` since ${clock(lastAnswer)}` : '';
  for (const panel of panels.values()) {
    panel.root.classList.toggle('gone', !live);
    panel.gone.hidden = live;
    panel.gone.textContent = `kel36-host is not answering${since}: nothing shown here is current`;
  }
}

async function poll() {
  try {
    const response = await fetch(`api/devices?trend_since=${trendSince}`, {cache: 'no-store'});
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    render(await response.json());
    lastAnswer = Date.now();
    setConnection(true);
  } catch (error) {
    setConnection(false);
  }
  setTimeout(poll, POLL_MS);
}

poll();
