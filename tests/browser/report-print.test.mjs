// The test report printed to PDF by Debian's headless Chromium at A4 and
// Letter, read back with pdftotext -layout (poppler-utils): the first page
// holds the title and the summary; every heading is followed on its own page
// by the start of its table or plot; ISO times and alarm texts are never
// broken across lines.
//
// Run by run.sh beside dashboard.test.mjs, with the same variables.

import {after, before, test} from 'node:test';
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {mkdirSync, mkdtempSync, readFileSync, rmSync} from 'node:fs';
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
const OUT = env('KEL36_BROWSER_OUT');

const work = mkdtempSync(path.join(tmpdir(), 'kel36-print-'));
const report = path.join(work, 'report.html');
let browser;

before(async () => {
  mkdirSync(OUT, {recursive: true});
  const history = path.join(work, 'h.db');
  const run = spawnSync(HOST, ['--plugin', env('KEL36_PLUGIN'), '--config',
    path.join(env('KEL36_EXAMPLES'), 'host.json'), '--rounds', '30', '--interval', '50',
    '--timeout', '200', '--sim-fault', 'drop=0.02', '--history', history], {encoding: 'utf8'});
  assert.equal(run.status, 0, run.stderr);
  const made = spawnSync(HOST, ['report', history, '-o', report], {encoding: 'utf8'});
  assert.equal(made.status, 0, made.stderr);
  browser = await chromium.launch({
    executablePath: process.env.KEL36_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (browser) await browser.close();
  rmSync(work, {recursive: true, force: true});
});

const PLOTS = ['Line voltages (V)', 'Phase voltages (V)', 'Frequency (Hz)', 'Battery voltage (V)'];
// What the first line after each heading must look like: the start of its table or plot.
const FOLLOWERS = [
  [/^Summary$/, /^device\s+period\s+records/],
  [/^genset-\d$/, /^device\s+genset-\d/],
  [/^Values$/, /^value\s+unit\s+min\s+mean\s+max/],
  [/^Alarms$/, /^(signal\s+code\s+alarm|No alarm was active)/],
  [/^Gaps$/, /^from\s+to\s+without/],
];

for (const format of ['A4', 'Letter']) {
  test(`the report prints on ${format} with every heading beside its table or plot`, async () => {
    const page = await browser.newPage();
    await page.goto('file://' + report);
    const pdf = path.join(OUT, `report-${format}.pdf`);
    await page.pdf({path: pdf, format, printBackground: true});
    await page.close();
    const text = spawnSync('pdftotext', ['-layout', pdf, '-'], {encoding: 'utf8'});
    assert.equal(text.status, 0, `pdftotext (Debian poppler-utils): ${text.stderr}`);
    const pages = text.stdout.split('\f').map((p) => p.split('\n').map((l) => l.trim()).filter(Boolean));

    // The title page: the title and the summary of both devices, no section yet.
    assert.ok(pages[0].includes('Generator-set test report'), pages[0].join('\n'));
    for (const device of ['genset-1', 'genset-2'])
      assert.ok(pages[0].some((l) => l.startsWith(device + ' ')), `${device} not in the summary`);
    assert.ok(!pages[0].includes('Values'), 'a section starts on the title page');

    let headings = 0;
    pages.forEach((lines, number) => lines.forEach((line, i) => {
      const where = `${format} page ${number + 1}: "${line}"`;
      const rule = FOLLOWERS.find(([heading]) => heading.test(line));
      if (rule) {
        ++headings;
        assert.ok(i + 1 < lines.length, `${where} is alone at the page's foot`);
        assert.match(lines[i + 1], rule[1], where);
      }
      if (PLOTS.includes(line)) {
        ++headings;
        // The plot's value ticks (numbers alone on a line) follow on the same page.
        assert.ok(lines.slice(i + 1, i + 6).some((l) => /^-?\d+(\.\d+)?$/.test(l)), `${where}: no plot after it`);
      }
    }));
    assert.ok(headings >= 2 * (4 + 3) + 1, `only ${headings} headings found`);

    // ISO times whole on their line; alarm texts never split.
    const all = text.stdout;
    const starts = all.match(/\d{4}-\d{2}-/g) || [];
    const whole = all.match(/\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}[+-]\d{2}:\d{2}/g) || [];
    assert.ok(starts.length > 0);
    assert.equal(whole.length, starts.length, 'an ISO time is broken across lines');
    for (const alarm of ['低油压告警', '频率低告警']) {
      const head = all.split(alarm.slice(0, 2)).length - 1;
      assert.ok(head > 0, `${alarm} not in the printed report`);
      assert.equal(all.split(alarm).length - 1, head, `${alarm} broken across lines`);
    }
  });
}
