// The office page's figures (a benchmark, not a test): vr-office-load puts
// SITES x TANKS on the shipped office broker and changes CHANGES tanks a
// second; headless Chromium opens the page while the changes run. Prints the
// time from connect to data-ready, the update-to-DOM latency (publish time in
// the generator's log to the MutationObserver's time in the page, one clock),
// the page's JavaScript heap, and keeps two screenshots.
//   node <build>/tests/browser/office_page.mjs [SITES] [TANKS] [CHANGES] [SECONDS]
import { spawn } from 'node:child_process';
import { mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { browser, env, openPage, signIn, sleep, startOffice } from './office.mjs';

const [sites = 1000, tanks = 4, changes = 20, seconds = 30] = process.argv.slice(2).map(Number);
const shots = env('VR_SHOTS');
mkdirSync(shots, { recursive: true });
const office = await startOffice();
const b = await browser();
const changeLog = join(office.work, 'changes.log');
const generator = spawn(env('VR_OFFICE_LOAD'), ['--broker', office.plainUrl, '--user', 'load',
  '--password-file', join(office.work, 'load.pw'), '--sites', String(sites), '--tanks', String(tanks),
  '--changes', String(changes), '--seconds', String(seconds + 30), '--log', changeLog], { stdio: ['ignore', 'ignore', 'pipe'] });
try {
  await new Promise((resolve, reject) => {
    generator.stderr.on('data', (d) => { if (/initial state/.test(d)) resolve(); });
    generator.on('exit', (code) => reject(new Error(`vr-office-load exited with ${code}`)));
  });
  const page = await openPage(b, office, { width: 1600, height: 1000 });
  await page.evaluateOnNewDocument(() => {
    window.__changes = [];
    new MutationObserver((records) => {
      const now = Date.now();
      for (const r of records)
        window.__changes.push([r.target.dataset.site, r.target.dataset.tank, r.target.dataset.volume, now]);
    }).observe(document, { subtree: true, attributes: true, attributeFilter: ['data-volume'] });
  });
  await page.reload();
  await signIn(page, 'office', 'pw-office');
  await page.waitForSelector('body[data-ready="1"]', { timeout: 120000 });
  const marks = await page.evaluate(() =>
    Object.fromEntries(performance.getEntriesByType('mark').map((m) => [m.name, m.startTime])));
  const drawn = await page.$$eval('.tank', (t) => t.length);
  const readyHeap = (await page.metrics()).JSHeapUsedSize;
  await page.evaluate(() => { window.__changes.length = 0; });
  const from = Date.now();
  await sleep(seconds * 1000);
  const seen = await page.evaluate(() => window.__changes);
  const endHeap = (await page.metrics()).JSHeapUsedSize;

  // Each logged change after the page was ready, to its first DOM change.
  const dom = new Map();
  for (const [site, tank, volume, at] of seen) {
    const key = `${site} ${tank} ${volume}`;
    if (!dom.has(key)) dom.set(key, at);
  }
  const latencies = [];
  let missed = 0;
  for (const line of readFileSync(changeLog, 'utf8').trim().split('\n')) {
    const [ms, site, , tank, volume] = line.split(' ');
    if (volume === undefined) continue;  // the line being written
    if (Number(ms) < from || Number(ms) > from + (seconds - 2) * 1000) continue;
    const at = dom.get(`${site} ${tank} ${String(Number(volume))}`);
    if (at === undefined) {
      missed++;
      console.error(`not seen in the page: ${line}`);
    }
    else latencies.push(at - Number(ms));
  }
  latencies.sort((x, y) => x - y);
  const pct = (p) => latencies[Math.min(latencies.length - 1, Math.floor(p * latencies.length))];
  await page.screenshot({ path: join(shots, 'bench-sites.png') });
  const alarmed = await page.$('.site[data-state="alarm"]');
  await page.evaluate((e) => e.scrollIntoView(), alarmed);
  await alarmed.screenshot({ path: join(shots, 'bench-site-alarm.png') });
  console.log(JSON.stringify({
    sites, tanks, changes_per_s: changes, tank_elements: drawn,
    connect_to_ready_ms: Math.round(marks['vr-ready'] - marks['vr-connected']),
    navigation_to_ready_ms: Math.round(marks['vr-ready']),
    latency_ms: { count: latencies.length, missed, median: pct(0.5), p95: pct(0.95), max: latencies.at(-1) },
    js_heap_mb: { at_ready: +(readyHeap / 1048576).toFixed(1), after_changes: +(endHeap / 1048576).toFixed(1) },
    screenshots: [join(shots, 'bench-sites.png'), join(shots, 'bench-site-alarm.png')],
  }, null, 1));
} finally {
  generator.kill('SIGTERM');
  await b.close();
  office.stop();
}
