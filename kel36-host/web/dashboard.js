// kel36-host dashboard: polls /api/devices once a second and redraws one
// panel per device in place, with trend charts of the last minutes drawn as
// SVG. Only text nodes carry the server's strings (device names are free
// text), never markup.
'use strict';

const POLL_MS = 1000;
const TREND_MS = 10 * 60 * 1000;
const MIN_SPAN_MS = 60 * 1000;
const STALE_MS = 60 * 1000;  // the driver refuses values older than this
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

function makePanel(device) {
  const root = el('section', 'device');
  root.dataset.device = device.name;
  const title = el('h2');
  const name = el('span', 'name', device.name);
  const state = el('span', 'badge');
  state.dataset.role = 'state';
  title.append(name, state);
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
    cell.append(el('span', 'name', VALUE_LABEL[signal] || signal), number, unit);
    values.append(cell);
    cells[signal] = {cell, number, unit};
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
  root.append(title, meta, values, alarms, stats, charts);
  return {root, state, values: cells, alarms, stats, svgs, trend: []};
}

function updatePanel(panel, device, now) {
  const age = device.last_record ? now - device.last_record.unix_ms : Infinity;
  const stale = device.state === 'answering' && age > STALE_MS;
  panel.state.className = 'badge ' + (stale ? 'stale' : device.state);
  panel.state.textContent = stale ? 'no record for a minute' : (STATE_TEXT[device.state] || device.state);

  for (const signal of VALUE_ORDER) {
    const {cell, number, unit} = panel.values[signal];
    const reading = device.values[signal];
    const ok = reading && reading.value !== null;
    cell.classList.toggle('refused', Boolean(reading) && !ok);
    number.textContent = ok ? String(reading.value) : (reading && reading.error) || '–';
    unit.textContent = ok ? reading.unit : '';
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
    device.last_record ? `last record ${clock(device.last_record.unix_ms)}` +
      (device.last_record.source === 'cache' ? ' (restored)' : '') : 'no record yet',
  ];
  if (device.last_stall) {
    parts.push(`last stall ${clock(device.last_stall.time.unix_ms)}, ${device.last_stall.reason}` +
      (device.last_stall.register !== null ? `, register ${device.last_stall.register}` : ''));
  }
  panel.stats.textContent = parts.join(' · ');
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
  document.getElementById('clock').textContent = clock(now);
  const main = document.getElementById('devices');
  if (!panels.size) main.replaceChildren();
  for (const device of data.devices) {
    let panel = panels.get(device.name);
    if (!panel) {
      panel = makePanel(device);
      panels.set(device.name, panel);
      main.append(panel.root);
    }
    addTrend(panel, device.trend || [], now);
    for (const point of device.trend || []) trendSince = Math.max(trendSince, point[0]);
    updatePanel(panel, device, now);
    CHARTS.forEach((chart, i) => drawChart(panel.svgs[i], chart, panel.trend, now));
  }
}

function setConnection(live) {
  const badge = document.getElementById('connection');
  badge.className = 'badge ' + (live ? 'live' : 'lost');
  badge.textContent = live ? 'live' : 'no connection to kel36-host';
}

async function poll() {
  try {
    const response = await fetch(`api/devices?trend_since=${trendSince}`, {cache: 'no-store'});
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    render(await response.json());
    setConnection(true);
  } catch (error) {
    setConnection(false);
  }
  setTimeout(poll, POLL_MS);
}

poll();
