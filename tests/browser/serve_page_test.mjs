// The page of `orvanta serve` in headless Chromium: it loads and shows a preview, a control
// change re-renders, a tool's notification hides and shows controls, a preset fills others in,
// bad values and missing inputs are shown, graph edits are saved, and the command renders the
// saved file to the same bytes as the page's full-scale preview. Screenshots are checked to show
// a picture.
//
//   node serve_page_test.mjs ORVANTA_BINARY [SCREENSHOT.png]
import {spawn, execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [orvanta, keepShot] = process.argv.slice(2);
if (!orvanta) throw new Error('usage: node serve_page_test.mjs ORVANTA_BINARY [SCREENSHOT.png]');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'orvanta-browser-'));
let server = null, browser = null, passed = 0, failed = 0;

// The whole run is bounded: past two minutes everything is stopped and the test fails.
const watchdog = setTimeout(() => finish(new Error('the browser test took over 120 s')), 120000);

function check(ok, what) {
  if (ok) { passed++; console.log('ok   ' + what); }
  else { failed++; console.log('FAIL ' + what); }
}

async function finish(error) {
  clearTimeout(watchdog);
  if (error) { failed++; console.log('FAIL ' + (error.stack || error)); }
  if (browser) await browser.close().catch(() => {});
  if (server && server.exitCode === null) server.kill('SIGKILL');
  fs.rmSync(work, {recursive: true, force: true});
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

function startServer(args) {
  return new Promise((resolve, reject) => {
    server = spawn(orvanta, ['serve', ...args, '--port', '0'], {cwd: work, stdio: ['ignore', 'pipe', 'pipe']});
    let out = '', err = '';
    server.stdout.on('data', (d) => {
      out += d;
      const m = /http:\/\/127\.0\.0\.1:(\d+)\//.exec(out);
      if (m) resolve(m[0]);
    });
    server.stderr.on('data', (d) => { err += d; });
    server.on('exit', (code) => reject(new Error('the server ended (' + code + '): ' + err)));
  });
}

// Distinct colours of a PNG, counted by the browser's own decoder (up to 4096 sampled pixels).
async function colours(page, pngBytes) {
  return page.evaluate(async (b64) => {
    const img = new Image();
    img.src = 'data:image/png;base64,' + b64;
    await img.decode();
    const c = document.createElement('canvas');
    c.width = img.naturalWidth; c.height = img.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    const seen = new Set();
    const step = Math.max(1, Math.floor(d.length / 4 / 4096));
    for (let i = 0; i < d.length / 4; i += step) seen.add(d[4 * i] << 16 | d[4 * i + 1] << 8 | d[4 * i + 2]);
    return seen.size;
  }, Buffer.from(pngBytes).toString('base64'));
}

// The preview's PNG bytes as the page holds them.
async function previewBytes(page) {
  const b64 = await page.evaluate(async () => {
    const buf = new Uint8Array(await (await fetch(document.getElementById('preview').src)).arrayBuffer());
    let s = '';
    for (const x of buf) s += String.fromCharCode(x);
    return btoa(s);
  });
  return Buffer.from(b64, 'base64');
}

const generation = (page) => page.$eval('#preview', (i) => Number(i.dataset.generation || 0));
// Waits until a preview newer than gen is shown and the page has no change or render under way.
// Does what act does on the page, and waits for the preview it brings.
async function withPreview(page, act) {
  const gen = await generation(page);
  await act();
  await newPreview(page, gen);
}

async function newPreview(page, gen) {
  await page.waitForFunction((g) => Number(document.getElementById('preview').dataset.generation || 0) > g &&
    document.getElementById('preview').complete && document.body.dataset.busy === '0', {timeout: 15000}, gen);
}

const rowHidden = (page, id) => page.$eval(`#pages .control[data-control="${id}"]`, (r) => r.hidden);

async function selectNode(page, name) {
  await page.click(`#nodes li[data-node="${name}"] .name`);
  await page.waitForFunction((n) => document.getElementById('node-title').textContent.startsWith(n + ' '), {}, name);
}

async function setNumber(page, id, value) {
  await page.$eval(`#pages .control[data-control="${id}"] [data-role="number"]`, (e, v) => {
    e.value = v;
    e.dispatchEvent(new Event('change'));
  }, String(value));
}

async function main() {
  execFileSync(orvanta, ['demo', path.join(work, 'demo'), '-q']);
  const comp = path.join(work, 'demo', 'graph.json');
  const address = await startServer([comp, '--frames', '1-10']);
  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
    timeout: 30000,
  });
  const page = await browser.newPage();
  page.setDefaultTimeout(15000);
  await page.setViewport({width: 1400, height: 860});
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(address, {waitUntil: 'load'});
  await newPreview(page, 0);
  check(await page.$$eval('#nodes li', (l) => l.length) >= 3, 'the graph\'s nodes are listed');
  check(await colours(page, await previewBytes(page)) > 1, 'the scope of the graph\'s output is not blank');

  // A control change re-renders.
  await withPreview(page, () => page.select('#viewed', 'levels'));
  check(await page.$$eval('#tabs button', (l) => l.length) >= 2, 'the viewed node\'s pages are tabs');
  check(await colours(page, await previewBytes(page)) > 4, 'the preview of "levels" is not blank');
  const first = await page.screenshot();
  check(await colours(page, first) > 20, 'the first screenshot shows a picture');
  let before = await previewBytes(page);
  let gen = await generation(page);
  await setNumber(page, 'SORL', 0.45);
  await newPreview(page, gen);
  check(!before.equals(await previewBytes(page)), 'changing "Input Region Start" changes the preview');

  // Dragging a slider sends many changes at once; the server ends with the last.
  await page.$eval('#pages .control[data-control="SORL"] [data-role="slider"]', (e) => {
    for (const v of ['0.1', '0.3', '0.2', '0.35', '0.45']) {
      e.value = v;
      e.dispatchEvent(new Event('input'));
    }
  });
  await page.waitForFunction(() => document.body.dataset.busy === '0');
  const held = await page.evaluate(async () => {
    const s = await (await fetch('/api/state')).json();
    const n = s.nodes.find((x) => x.node === 'levels');
    return n.pages.flatMap((p) => p.inputs).find((i) => i.id === 'SORL').value;
  });
  check(held === 0.45, 'after a drag the server holds the slider\'s last value (' + held + ')');

  // Remap's colourise switch shows and hides its group.
  check(await rowHidden(page, 'ICLR'), 'the colourise controls start hidden');
  await page.select('#pages .control[data-control="OOIO"] select', '1');
  await page.waitForFunction(() => !document.querySelector('#pages .control[data-control="ICLR"]').hidden);
  check(!(await rowHidden(page, 'ICLA')), 'choosing "Colorize" shows the colourise controls');
  await page.select('#pages .control[data-control="OOIO"] select', '0');
  await page.waitForFunction(() => document.querySelector('#pages .control[data-control="ICLR"]').hidden);
  check(true, 'choosing "Keep Luminance" hides them again');

  // A bad value is shown on the page, and the server keeps serving.
  await setNumber(page, 'SORL', 7);
  await page.waitForFunction(() => !document.getElementById('error').hidden);
  check((await page.$eval('#error', (e) => e.textContent)).includes('outside the range'), 'a value out of range is reported');
  const field = await page.$eval('#pages .control[data-control="SORL"] [data-role="number"]', (e) => Number(e.value));
  check(field === 0.45, 'the field returns to the value the server holds');

  // Billboard's preset fills in other controls.
  await selectNode(page, 'board');
  await page.click('#tabs button[data-tab="Settings"]');
  const settingsBefore = await page.$$eval('#pages [data-page="Settings"] select, #pages [data-page="Settings"] input',
    (l) => l.map((e) => e.type === 'checkbox' ? e.checked : e.value).join('|'));
  await page.click('#tabs button[data-tab="Display Type"]');
  await page.select('#pages .control[data-control="PRST"] select, #pages [data-page="Display Type"] select', '1');
  await page.waitForFunction((b) => [...document.querySelectorAll('#pages [data-page="Settings"] select, #pages [data-page="Settings"] input')]
    .map((e) => e.type === 'checkbox' ? e.checked : e.value).join('|') !== b, {}, settingsBefore);
  check(true, 'the "Airport" preset sets the Settings page\'s controls');

  // The frame slider drives the expression of "Input Region End".
  await withPreview(page, () => page.select('#viewed', 'levels'));
  gen = await generation(page);
  before = await previewBytes(page);
  await page.$eval('#frame', (e) => { e.value = 10; e.dispatchEvent(new Event('input')); });
  await newPreview(page, gen);
  check((await page.$eval('#frame-number', (e) => e.textContent)) === '10', 'the frame slider moves to frame 10');
  check(!before.equals(await previewBytes(page)), 'the preview at frame 10 differs from frame 1');

  // Graph edits: a new node without its input is an error on the page until it is connected.
  const count = await page.$$eval('#nodes li', (l) => l.length);
  await page.select('#add-tool', 'OrvantaToneGate');
  await page.click('#add');
  await page.waitForFunction((n) => document.querySelectorAll('#nodes li').length > n, {}, count);
  const added = await page.$eval('#nodes li:last-child', (li) => li.dataset.node);
  await page.waitForFunction(() => document.getElementById('error').textContent.includes('Input'));
  check(true, 'a node without its input says so');
  gen = await generation(page);
  await page.select(`#nodes li[data-node="${added}"] select[data-input="Input"]`, 'levels');
  await newPreview(page, gen);
  check(await page.$eval('#error', (e) => e.hidden), 'connected, it renders without an error');

  // Saved, the command renders the viewed node to the bytes of the full-scale preview.
  await page.click('#save');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('saved'));
  const saved = JSON.parse(fs.readFileSync(comp, 'utf8'));
  check(saved.nodes.some((n) => n.name === added && n.inputs.Input.node === 'levels'), 'the edit is in the saved file');
  const rendered = path.join(work, 'rendered.png');
  execFileSync(orvanta, ['-q', 'render', '--comp', comp, '--node', added, '--frames', '10', '-o', rendered]);
  check(fs.readFileSync(rendered).equals(await previewBytes(page)), 'the command\'s render of the saved file equals the preview');

  // The proxy scale halves the picture.
  const fullSize = await page.$eval('#size', (e) => e.textContent.split(',')[0]);
  gen = await generation(page);
  await page.select('#scale', '0.5');
  await newPreview(page, gen);
  const [w, h] = fullSize.split(' x ').map(Number);
  check((await page.$eval('#size', (e) => e.textContent)).startsWith(`${Math.round(w / 2)} x ${Math.round(h / 2)}`),
        'the half-scale proxy is half the size');
  gen = await generation(page);
  await page.select('#scale', '1');
  await newPreview(page, gen);

  // The scope as a viewer.
  gen = await generation(page);
  await page.click('#scope-on');
  await newPreview(page, gen);
  check(!(await page.$eval('#scope-controls', (e) => e.hidden)), 'the scope\'s controls are shown');
  const last = await page.screenshot();
  check(await colours(page, last) > 20, 'the last screenshot shows a picture');
  await withPreview(page, () => page.click('#scope-on'));
  if (keepShot) {
    await withPreview(page, () => page.select('#viewed', 'board'));
    await selectNode(page, 'board');
    await page.click('#tabs button[data-tab="Settings"]');
    await page.screenshot({path: keepShot});
  }
  check(pageErrors.length === 0, 'the page raised no script error' + (pageErrors.length ? ': ' + pageErrors[0] : ''));

  // Ctrl-C stops the server cleanly with the tab still open.
  server.removeAllListeners('exit');
  const exited = new Promise((r) => server.once('exit', (code, signal) => r({code, signal})));
  server.kill('SIGINT');
  const {code} = await exited;
  check(code === 0, 'the server stops with status 0 on SIGINT');
}

main().then(() => finish(), finish);
