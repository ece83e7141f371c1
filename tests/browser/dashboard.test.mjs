// kel36-host's dashboard and test report in a real browser: Debian's headless
// Chromium, driven by playwright-core. kel36-host polls two controllers, one
// simulated in-process and one kel36-sim on a pseudo-terminal; the dashboard
// must show the scenarios' values and alarm texts, follow the kel36-sim
// controller when live control changes it and when it goes away, and the report of the run's history must open
// with its plots. It must tell the truth: a set in alarm is marked as such
// (panel and header count), a lost line's values are dimmed with their age
// once its record is past the freshness limit, and a stopped kel36-host
// greys every panel. The views' freshness limit is shortened to STALE_S for
// this test (KEL36_HOST_TEST_STALE_AFTER_S, read by the views only), so no
// minute of real time is waited. Screenshots go to $KEL36_BROWSER_OUT.
//
// Run by run.sh (ctest label "browser"), which provides playwright-core and
// these variables: KEL36_HOST, KEL36_SIM, KEL36_PLUGIN, KEL36_EXAMPLES,
// KEL36_NODE_DIR, KEL36_BROWSER_OUT, and optionally KEL36_CHROMIUM.

import {after, before, test} from 'node:test';
import assert from 'node:assert/strict';
import {spawn, spawnSync} from 'node:child_process';
import {mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {tmpdir} from 'node:os';
import path from 'node:path';

const env = (name) => {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (run.sh sets it)`);
  return value;
};
const {chromium} = createRequire(path.join(env('KEL36_NODE_DIR'), 'package.json'))('playwright-core');

const HOST = env('KEL36_HOST');
const SIM = env('KEL36_SIM');
const EXAMPLES = env('KEL36_EXAMPLES');
const OUT = env('KEL36_BROWSER_OUT');
const WAIT_MS = 20000;
const STALE_S = 4;

const scenario = (file) => JSON.parse(readFileSync(path.join(EXAMPLES, file), 'utf8'));
const HEALTHY = scenario('scenario.json');
const TROUBLE = scenario('scenario-alarms.json');
const SIGNALS = ['uab', 'ubc', 'uca', 'frequency', 'ua', 'ub', 'uc', 'battery_voltage'];
const ALARMS = {
  a_5: ['05004', '高水温告警'], a_6: ['05001', '超速告警'], a_7: ['05010', '低油压告警'],
  b_2: ['05029', '频率低告警'], b_6: ['05024', '短路告警'],
};

const work = mkdtempSync(path.join(tmpdir(), 'kel36-browser-'));
const history = path.join(work, 'history.db');
const control = path.join(work, 'sim.sock');
const children = [];
let browser;
let host;
let sim;
let url;

// A child process with its output gathered; `waitFor` resolves once a stream holds a match.
function start(program, args, extraEnv = {}) {
  const child = spawn(program, args, {stdio: ['ignore', 'pipe', 'pipe'], env: {...process.env, ...extraEnv}});
  const run = {child, out: '', err: '', exit: new Promise((resolve) => child.on('exit', (code, signal) => resolve({code, signal})))};
  child.stdout.on('data', (d) => { run.out += d; });
  child.stderr.on('data', (d) => { run.err += d; });
  run.waitFor = (stream, pattern) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${path.basename(program)}: no ${pattern} on ${stream} in time; stderr: ${run.err}`)), WAIT_MS);
    const check = () => {
      const match = run[stream].match(pattern);
      if (match) {
        clearTimeout(timer);
        resolve(match);
      } else {
        child[stream === 'out' ? 'stdout' : 'stderr'].once('data', () => setImmediate(check));
      }
    };
    check();
  });
  children.push(child);
  return run;
}

async function stop(run) {
  if (run.child.exitCode === null && run.child.signalCode === null) run.child.kill('SIGINT');
  return run.exit;
}

before(async () => {
  mkdirSync(OUT, {recursive: true});
  sim = start(SIM, ['--pty', '--scenario', path.join(EXAMPLES, 'scenario-alarms.json'),
    '--control', control]);
  const [, pty] = await sim.waitFor('out', /^(\/dev\/\S+)\n/);
  const config = path.join(work, 'host.json');
  writeFileSync(config, JSON.stringify({devices: [
    {name: 'genset-1', dataId: 5001},
    {name: 'genset-2', dataId: 5002, port: pty},
  ]}));
  host = start(HOST, ['--plugin', env('KEL36_PLUGIN'), '--config', config, '--interval', '200',
    '--timeout', '300', '--history', history, '--http', '127.0.0.1:0'],
  {KEL36_HOST_TEST_STALE_AFTER_S: String(STALE_S)});
  [, url] = await host.waitFor('err', /dashboard on (http:\/\/127\.0\.0\.1:\d+\/)/);
  browser = await chromium.launch({
    executablePath: process.env.KEL36_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (browser) await browser.close();
  for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  rmSync(work, {recursive: true, force: true});
});

const panel = (page, device) => page.locator(`section.device[data-device="${device}"]`);
const shown = (value) => String(value);
const exactly = (value) => new RegExp(`^${shown(value).replace('.', '\\.')}$`);

async function expectScenario(page, device, values) {
  const p = panel(page, device);
  for (const signal of SIGNALS) {
    await p.locator(`[data-signal="${signal}"] .number`).filter({hasText: exactly(values[signal])})
      .waitFor({timeout: WAIT_MS});
  }
  for (const [signal, [code, text]] of Object.entries(ALARMS)) {
    const alarm = p.locator(`[data-alarm="${signal}"]`);
    await p.locator(`[data-alarm="${signal}"][data-active="${Boolean(values[signal])}"]`).waitFor({timeout: WAIT_MS});
    assert.equal(await alarm.locator('.text').textContent(), text);
    assert.equal(await alarm.locator('.code').textContent(), code);
  }
}

// Live control of the kel36-sim controller; every answer must be "ok".
function send(...commands) {
  const sent = spawnSync(SIM, ['--send', control, ...commands], {encoding: 'utf8'});
  assert.equal(sent.status, 0, `${commands.join('; ')}: ${sent.stdout}${sent.stderr}`);
}

test('the dashboard shows each controller\'s values and alarm texts, then follows changes', async () => {
  const page = await browser.newPage({viewport: {width: 1200, height: 860}});
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  await page.goto(url);
  await page.locator('#connection.live').waitFor({timeout: WAIT_MS});
  await expectScenario(page, 'genset-1', HEALTHY);
  await expectScenario(page, 'genset-2', TROUBLE);
  for (const device of ['genset-1', 'genset-2']) {
    await panel(page, device).locator('[data-role="state"]').filter({hasText: 'answering'}).waitFor({timeout: WAIT_MS});
  }
  // The set in alarm is marked, the healthy one is not, and the header counts it.
  await page.locator('section.device[data-device="genset-2"][data-alarm="true"]').waitFor({timeout: WAIT_MS});
  assert.equal(await panel(page, 'genset-1').getAttribute('data-alarm'), 'false');
  assert.equal(await panel(page, 'genset-2').locator('[data-role="alarm"]').isVisible(), true);
  assert.equal(await panel(page, 'genset-1').locator('[data-role="alarm"]').isVisible(), false);
  await page.locator('#alarm-count').filter({hasText: /^1 set in alarm$/}).waitFor({timeout: WAIT_MS});
  assert.equal(await panel(page, 'genset-2').getAttribute('data-current'), 'true');

  // Trend charts fill as rounds come in (a flat line has no height: "attached", not "visible").
  const line = panel(page, 'genset-2').locator('svg.chart polyline').first();
  await line.waitFor({state: 'attached', timeout: WAIT_MS});
  assert.ok((await line.getAttribute('points')).split(' ').length >= 2);
  await page.screenshot({path: path.join(OUT, 'dashboard.png'), fullPage: true});

  // Live control changes a value and raises an alarm: the open page follows
  // without a reload (the mark set on this document survives).
  await page.evaluate(() => { window.kel36SamePage = true; });
  send('set uab 380.25', 'alarm b_6 on', 'alarm a_7 off');
  const changed = {...TROUBLE, uab: 380.25, b_6: true, a_7: false};
  await expectScenario(page, 'genset-2', changed);
  await expectScenario(page, 'genset-1', HEALTHY);
  assert.equal(await page.evaluate(() => window.kel36SamePage), true);
  await page.screenshot({path: path.join(OUT, 'dashboard-live-control.png'), fullPage: true});

  // The kel36-sim controller goes away: its panel says so, the other one goes on.
  await stop(sim);
  await panel(page, 'genset-2').locator('[data-role="state"]').filter({hasText: /line lost|not answering/})
    .waitFor({timeout: WAIT_MS});
  await panel(page, 'genset-1').locator('[data-role="state"]').filter({hasText: 'answering'}).waitFor({timeout: WAIT_MS});
  // Past the freshness limit its values are refused (null in the API) and
  // shown only dimmed with their age; it is still the set in alarm.
  const lost = panel(page, 'genset-2');
  await lost.locator('[data-role="age"][data-stale="true"]').filter({hasText: `no record for ${STALE_S} s`})
    .waitFor({timeout: WAIT_MS});
  // The server refuses at its next ask of the values, within a second.
  let gone;
  for (let i = 0; i < 50; ++i) {
    const api = await (await fetch(new URL('api/devices', url))).json();
    gone = api.devices.find((d) => d.name === 'genset-2');
    if (gone.values.uab.value === null) break;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  assert.equal(gone.values.uab.value, null);
  assert.equal(gone.values.uab.error, '数据已超时');
  const uab = lost.locator('[data-signal="uab"]');
  assert.equal(await uab.getAttribute('class'), 'value dimmed');
  assert.equal(await uab.getAttribute('data-current'), 'false');
  assert.equal(await uab.locator('.number').textContent(), shown(380.25));
  assert.match(await uab.locator('.age').textContent(), /^\d+ s ago$/);
  assert.equal(await lost.getAttribute('data-current'), 'false');
  assert.equal(await lost.getAttribute('data-alarm'), 'true');
  assert.equal(await panel(page, 'genset-1').getAttribute('data-current'), 'true');
  assert.equal(await panel(page, 'genset-1').locator('[data-signal="uab"]').getAttribute('class'), 'value');
  await page.screenshot({path: path.join(OUT, 'dashboard-controller-gone.png'), fullPage: true});
  assert.deepEqual(problems, []);
  await page.close();
});

test('a stopped kel36-host greys every panel and says so', async () => {
  const page = await browser.newPage({viewport: {width: 1200, height: 860}});
  await page.goto(url);
  await page.locator('#connection.live').waitFor({timeout: WAIT_MS});
  await panel(page, 'genset-1').locator('[data-signal="uab"] .number').filter({hasText: exactly(HEALTHY.uab)})
    .waitFor({timeout: WAIT_MS});
  const {code} = await stop(host);
  assert.equal(code, 0, host.err);
  await page.locator('#connection.lost').waitFor({timeout: WAIT_MS});
  for (const device of ['genset-1', 'genset-2']) {
    const p = panel(page, device);
    await page.locator(`section.device.gone[data-device="${device}"]`).waitFor({timeout: WAIT_MS});
    assert.match(await p.locator('[data-role="gone"]').textContent(), /^kel36-host is not answering since .*: nothing shown here is current$/);
    assert.equal(await p.locator('[data-role="gone"]').isVisible(), true);
  }
  await page.screenshot({path: path.join(OUT, 'dashboard-host-gone.png'), fullPage: true});
  await page.close();
});

test('the report of the run\'s history opens with its tables and plots', async () => {
  const {code} = await stop(host);
  assert.equal(code, 0, host.err);
  const report = path.join(work, 'report.html');
  const made = spawnSync(HOST, ['report', history, '-o', report], {encoding: 'utf8'});
  assert.equal(made.status, 0, made.stderr);

  const page = await browser.newPage({viewport: {width: 1100, height: 900}});
  await page.goto('file://' + report);
  // genset-2's line voltage went down by live control; its alarms came and went.
  for (const [device, min, max] of [['genset-1', HEALTHY.uab, HEALTHY.uab], ['genset-2', 380.25, TROUBLE.uab]]) {
    const section = page.locator('section.device').filter({has: page.locator('h2', {hasText: device})});
    assert.equal(await section.count(), 1, device);
    assert.equal(await section.locator('svg.plot').count(), 4, device);
    assert.equal(Number(await section.locator('tr[data-value="uab"] .min').textContent()), min, device);
    assert.equal(Number(await section.locator('tr[data-value="uab"] .max').textContent()), max, device);
  }
  const trouble = page.locator('section.device').filter({has: page.locator('h2', {hasText: 'genset-2'})});
  assert.match(await trouble.locator('table.alarms tr[data-signal="a_7"]').textContent(), /低油压告警/);
  assert.match(await trouble.locator('table.alarms tr[data-signal="b_6"]').textContent(), /短路告警/);
  await page.screenshot({path: path.join(OUT, 'report.png'), fullPage: true});
  await page.close();
});
