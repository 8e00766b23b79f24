// The page of `orvanta serve` in headless Chromium, on the demo's graph: it opens on the output
// node with the frames the graph implies; RGB is shown without its alpha and the alpha view shows
// the alpha; the readout of a zoomed pixel is the command's rendered pixel; nodes are added by
// name and connected by dragging; keyframes set on the page interpolate and an expression's value
// shows at each frame; a driven control asks before a value replaces it; undo and redo; the saved
// file renders with the command to the page's full-scale picture; ten frames play; a file that
// cannot be read leaves the old picture marked stale with the message; controls follow the tools'
// notifications and presets; Ctrl-C stops the server.
//
//   node serve_page_test.mjs ORVANTA_BINARY [SCREENSHOT_FOLDER]
import {spawn, execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import puppeteer from 'puppeteer-core';

const [orvanta, shotDir] = process.argv.slice(2);
if (!orvanta) throw new Error('usage: node serve_page_test.mjs ORVANTA_BINARY [SCREENSHOT_FOLDER]');
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
      // The printed address carries the session's token, which the page keeps as its cookie.
      const m = /http:\/\/127\.0\.0\.1:(\d+)\/\?token=[0-9a-f]+/.exec(out);
      if (m) resolve(m[0]);
    });
    server.stderr.on('data', (d) => { err += d; });
    server.on('exit', (code) => reject(new Error('the server ended (' + code + '): ' + err)));
  });
}

// A PNG file's pixels, decoded here (not by the browser, which would round 16-bit samples and
// multiply by alpha): {w, h, channels, bits, at(x, y) -> [R, G, B, A]}.
function decodePng(bytes) {
  let pos = 8, w = 0, h = 0, bits = 0, type = 0;
  const data = [];
  while (pos < bytes.length) {
    const len = bytes.readUInt32BE(pos), kind = bytes.toString('latin1', pos + 4, pos + 8);
    const body = bytes.subarray(pos + 8, pos + 8 + len);
    if (kind === 'IHDR') { w = body.readUInt32BE(0); h = body.readUInt32BE(4); bits = body[8]; type = body[9]; }
    if (kind === 'IDAT') data.push(body);
    pos += 12 + len;
  }
  const channels = {0: 1, 2: 3, 4: 2, 6: 4}[type];
  const bpp = channels * bits / 8, stride = w * bpp;
  const raw = zlib.inflateSync(Buffer.concat(data));
  const px = Buffer.alloc(stride * h);
  for (let y = 0; y < h; y++) {
    const f = raw[y * (stride + 1)], src = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let i = 0; i < stride; i++) {
      const a = i >= bpp ? px[y * stride + i - bpp] : 0, b = y > 0 ? px[(y - 1) * stride + i] : 0;
      const c = i >= bpp && y > 0 ? px[(y - 1) * stride + i - bpp] : 0;
      const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
      const pred = [0, a, b, (a + b) >> 1, pa <= pb && pa <= pc ? a : pb <= pc ? b : c][f];
      px[y * stride + i] = (src[i] + pred) & 255;
    }
  }
  const sample = (o) => bits === 16 ? px.readUInt16BE(o) : px[o];
  return {w, h, channels, bits, at: (x, y) => {
    const o = y * stride + x * bpp;
    return [...Array(channels).keys()].map((c) => sample(o + c * bits / 8));
  }};
}

const state = (page) => page.evaluate(async () => (await fetch('/api/state')).json());
const control = (s, node, id) => s.nodes.find((n) => n.node === node).pages.flatMap((p) => p.inputs).find((c) => c.id === id);
const generation = (page) => page.$eval('#pic-a', (c) => Number(c.dataset.generation || 0));
const idle = (page) => page.waitForFunction(() => document.body.dataset.busy === '0', {timeout: 20000});

// Does what act does on the page, and waits for the picture it brings.
async function withPicture(page, act) {
  const gen = await generation(page);
  await act();
  await page.waitForFunction((g) => Number(document.getElementById('pic-a').dataset.generation || 0) > g &&
    document.body.dataset.busy === '0', {timeout: 20000}, gen);
}

async function centre(page, selector) {
  await page.waitForSelector(selector);
  return page.$eval(selector, (e) => { const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; });
}

async function selectNode(page, name) {
  const [x, y] = await centre(page, `#nodes .node[data-node="${name}"] .box`);
  await withPicture(page, async () => {
    await page.mouse.click(x, y);
    await page.waitForFunction((n) => document.getElementById('node-title').textContent.startsWith(n + ' '), {}, name);
  });
}

async function setField(page, id, role, value) {
  await page.$eval(`#pages .control[data-control="${id}"] [data-role="${role}"]`, (e, v) => {
    e.value = v;
    e.dispatchEvent(new Event('change'));
  }, String(value));
  await idle(page);
}

// Opens the tab of the page that holds the control.
async function showControl(page, id) {
  const tab = await page.$eval(`#pages .control[data-control="${id}"]`, (r) => r.closest('.page').dataset.page);
  await page.click(`#tabs button[data-tab="${tab}"]`);
}

const fieldValue = (page, id) =>
  page.$eval(`#pages .control[data-control="${id}"] [data-role="number"]`, (e) => Number(e.value));

async function setFrame(page, frame) {
  await page.$eval('#frame-number', (e, f) => { e.value = f; e.dispatchEvent(new Event('change')); }, String(frame));
  await page.waitForFunction((f) => document.getElementById('timeline').dataset.frame === String(f), {}, frame);
  await idle(page);
}

// Samples of the shown canvas: [R, G, B] of n pixels spread over it.
const canvasSamples = (page) => page.$eval('#pic-a', (c) => {
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  const out = [];
  for (let i = 0; i < d.length; i += 4 * 97) out.push([d[i], d[i + 1], d[i + 2], d[i + 3]]);
  return out;
});

async function opensOnTheOutput(page) {
  const s = await state(page);
  check(s.viewed === 'board' && await page.$eval('#view-a', (e) => e.value) === 'board', 'the page opens on the output node');
  check(s.firstFrame === 1 && s.lastFrame === 100 && s.framesFrom === 'expressions',
        `the timeline spans what the expression implies (${s.firstFrame}-${s.lastFrame})`);
  check(await page.$$eval('#nodes .node', (l) => l.length) === 4 && await page.$$eval('#wires .wire', (l) => l.length) === 3,
        'the graph shows four boxes and three wires');
}

async function channels(page) {
  await selectNode(page, 'scope');
  const rgb = await canvasSamples(page);
  check(rgb.filter((p) => p[0] + p[1] + p[2] > 30).length > 10 && rgb.every((p) => p[3] === 255),
        'the scope\'s traces show in RGB, without its alpha');
  await withPicture(page, () => page.select('#channel', 'a'));  // the colour alone was sent: now its alpha
  const alpha = await canvasSamples(page);
  check(alpha.every((p) => p[0] === p[1] && p[1] === p[2]) && alpha.some((p) => p[0] === 0) && alpha.some((p) => p[0] > 0),
        'the alpha view shows the alpha as grey');
  await page.select('#channel', 'rgb');
}

async function readout(page, comp) {
  await selectNode(page, 'levels');
  const [sx, sy] = await centre(page, '#stage');
  await page.mouse.move(sx, sy);
  const before = await page.$eval('#zoom', (e) => e.textContent);
  await page.mouse.wheel({deltaY: -600});
  check(await page.$eval('#zoom', (e) => e.textContent) !== before, 'the wheel zooms');
  await page.mouse.move(sx + 7, sy + 5);
  await page.waitForFunction(() => document.getElementById('readout').dataset.rgba);
  const r = await page.$eval('#readout', (e) => ({x: Number(e.dataset.x), y: Number(e.dataset.y),
                                                   rgba: JSON.parse(e.dataset.rgba), depth: e.dataset.depth}));
  const file = path.join(work, 'levels.png');
  execFileSync(orvanta, ['-q', 'render', '--comp', comp, '--node', 'levels', '--frames', '1', '-o', file]);
  const png = decodePng(fs.readFileSync(file));
  check(r.depth === '16-bit' && png.bits === 16 && JSON.stringify(r.rgba) === JSON.stringify(png.at(r.x, r.y)),
        `the readout at ${r.x}, ${r.y} is the rendered pixel (${r.rgba} against ${png.at(r.x, r.y)})`);
}

async function connectByDragging(page) {
  await page.type('#add-name', 'tonegate');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#nodes .node[data-node="tonegate"]');
  await page.waitForFunction(() => !document.getElementById('stale').hidden &&
    document.getElementById('picture-error').textContent.includes('Input'));
  check(true, 'a node added by typing its tool says it lacks its input, its picture marked stale');
  const from = await centre(page, '#nodes .node[data-node="levels"] .port.out');
  const to = await centre(page, '#nodes .node[data-node="tonegate"] .port.in');
  await withPicture(page, async () => {
    await page.mouse.move(...from);
    await page.mouse.down();
    await page.mouse.move(to[0], to[1], {steps: 8});
    await page.mouse.up();
  });
  const s = await state(page);
  check((control(s, 'tonegate', '0x01706EC9').link || {}).target === 'levels', 'dragging an output onto an input connects them');
  check(await page.$('#wires .wire[data-from="levels"][data-to="tonegate"]') !== null &&
        await page.$eval('#stale', (e) => e.hidden), 'the wire is drawn and the picture is current again');
}

async function keysAndExpressions(page) {
  await selectNode(page, 'levels');
  await showControl(page, 'SORL');
  await setField(page, 'SORL', 'number', 0.1);
  await page.click('#pages .control[data-control="SORL"] [data-role="key"]');
  await idle(page);
  await setFrame(page, 11);
  await setField(page, 'SORL', 'number', 0.5);
  await setFrame(page, 6);
  check(Math.abs(await fieldValue(page, 'SORL') - 0.3) < 1e-9, 'a keyframe set on the page interpolates at frame 6 (0.3)');
  check(await page.$$eval('#marks .key', (l) => l.map((m) => Number(m.dataset.frame)).join()) === '1,11',
        'the timeline marks the keyframes');

  await page.click('#pages .control[data-control="SOTH"] [data-role="expr-toggle"]');
  await setField(page, 'SOTH', 'expression', '0.5 + frame / 100');
  check(Math.abs(await fieldValue(page, 'SOTH') - 0.56) < 1e-9, 'the driven value shows at frame 6 (0.56)');
  await setFrame(page, 20);
  check(Math.abs(await fieldValue(page, 'SOTH') - 0.7) < 1e-9, 'and at frame 20 (0.7)');

  page.once('dialog', (d) => d.dismiss());
  await setField(page, 'SOTH', 'number', 0.9);
  check(control(await state(page), 'levels', 'SOTH').expression === '0.5 + frame / 100',
        'a value typed into a driven control asks first; refused, the expression stays');
  await page.click('#undo');
  await idle(page);
  check(!control(await state(page), 'levels', 'SOTH').expression, 'undo takes the expression back');
  await page.click('#redo');
  await idle(page);
  check(control(await state(page), 'levels', 'SOTH').expression === '0.5 + frame / 100', 'redo makes it again');
}

// levels (A) against its scope (B): the readout reads the picture under the cursor.
async function wipe(page, shots) {
  await page.select('#view-b', 'scope');
  await withPicture(page, () => page.click('#wipe-on'));
  await page.click('#fit');
  check(await page.$eval('#pic-b', (c) => !c.hidden && c.dataset.node === 'scope'), 'the wipe shows B');
  const [sx, sy] = await centre(page, '#stage');
  for (const [dx, node] of [[150, 'scope'], [-150, 'levels']]) {
    await page.mouse.move(sx + dx, sy);
    await page.waitForFunction((n) => document.getElementById('readout').dataset.node === n, {}, node);
  }
  check(true, 'the readout reads B right of the wipe and A left of it');
  if (shots) await page.screenshot({path: path.join(shots, 'serve-wipe.png')});
  await withPicture(page, () => page.click('#wipe-on'));
}

async function savedFileRendersAsShown(page, comp) {
  await page.click('#save');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('saved'));
  const saved = JSON.parse(fs.readFileSync(comp, 'utf8'));
  check(saved.nodes.some((n) => n.name === 'tonegate' && n.inputs.Input.node === 'levels' && n.position),
        'the new node, its link and its position are in the saved file');
  const file = path.join(work, 'tonegate.png');
  execFileSync(orvanta, ['-q', 'render', '--comp', comp, '--node', 'tonegate', '--frames', '20', '-o', file]);
  const shown = Buffer.from(await page.evaluate(async () => {
    const b = new Uint8Array(await (await fetch('/api/render?node=tonegate&frame=20&scale=1')).arrayBuffer());
    let s = '';
    for (const x of b) s += String.fromCharCode(x);
    return btoa(s);
  }), 'base64');
  check(fs.readFileSync(file).equals(shown), 'the command renders the saved file to the page\'s full-scale picture');
}

async function playTenFrames(page) {
  await setFrame(page, 1);
  await page.click('#play');
  await page.waitForFunction(() => (document.getElementById('timeline').dataset.shown || '').split(',').length >= 10,
                             {timeout: 30000});
  await page.click('#play');
  const shown = (await page.$eval('#timeline', (e) => e.dataset.shown)).split(',').map(Number);
  check(shown.slice(0, 10).join() === '1,2,3,4,5,6,7,8,9,10', 'ten frames play in order (' + shown.slice(0, 10) + ')');
  console.log('     playback rate ' + await page.$eval('#timeline', (e) => e.dataset.rate) + ' fps');
  await idle(page);
}

async function badFileIsStale(page) {
  await selectNode(page, 'fields');
  const before = await canvasSamples(page);
  await page.select('#pages [data-role="link"][data-input="Input"]', '@file');
  await page.$eval('#pages [data-path="Input"]', (e) => { e.value = 'missing.png'; e.dispatchEvent(new Event('change')); });
  await page.waitForFunction(() => !document.getElementById('stale').hidden);
  check((await page.$eval('#picture-error', (e) => e.textContent)).includes('missing.png'),
        'a file that cannot be read: the message beside the picture');
  check(JSON.stringify(await canvasSamples(page)) === JSON.stringify(before), 'the old picture stays, marked stale');
  await page.click('#undo');
  await page.waitForFunction(() => document.getElementById('stale').hidden);
  check(true, 'undone, the picture is current again');
}

async function notificationsAndPresets(page) {
  await selectNode(page, 'levels');
  await setField(page, 'SORL', 'number', 7);
  await page.waitForFunction(() => !document.getElementById('error').hidden);
  check((await page.$eval('#error', (e) => e.textContent)).includes('outside the range'), 'a value out of range is reported');
  check(await page.$eval('#pages .control[data-control="ICLR"]', (r) => r.hidden), 'the colourise controls start hidden');
  await page.select('#pages .control[data-control="OOIO"] select', '1');
  await page.waitForFunction(() => !document.querySelector('#pages .control[data-control="ICLR"]').hidden);
  check(true, 'choosing "Colorize" shows them');
  await selectNode(page, 'board');
  const settings = () => page.$$eval('#pages [data-page="Settings"] select, #pages [data-page="Settings"] input',
    (l) => l.map((e) => e.type === 'checkbox' ? e.checked : e.value).join('|'));
  const before = await settings();
  await page.select('#pages [data-page="Display Type"] select', '1');
  await idle(page);
  check(await settings() !== before, 'the "Airport" preset sets the Settings page\'s controls');
}

// Moving a box, renaming by a double click, pulling a wire off its input, deleting by the key.
async function editTheGraph(page) {
  const drawn = () => page.$$eval('#nodes .node', (l) => Object.fromEntries(l.map((g) =>
    [g.dataset.node, g.getAttribute('transform').match(/-?[\d.]+/g).map(Number)])));
  const before = await drawn();
  const box = await centre(page, '#nodes .node[data-node="scope"] .box');
  await page.mouse.move(...box);
  await page.mouse.down();
  await page.mouse.move(box[0] + 40, box[1] - 10, {steps: 5});
  await page.mouse.up();
  await idle(page);
  // The move reaches the server as a change of its own; on a loaded machine it may still be on
  // its way when the page first looks idle, so the state is read until the dragged box's saved
  // position is not where it was drawn (at most five seconds).
  const stillThere = (st) => {
    const p = (st.nodes.find((n) => n.node === 'scope') || {}).position;
    return !p || (p[0] === Math.round(before.scope[0]) && p[1] === Math.round(before.scope[1]));
  };
  let s = await state(page);
  for (let tries = 0; tries < 50 && stillThere(s); ++tries) {
    await new Promise((r) => setTimeout(r, 100));
    await idle(page);
    s = await state(page);
  }
  const at = Object.fromEntries(s.nodes.map((n) => [n.node, n.position]));
  const moved = at.scope && at.scope[0] > before.scope[0] && at.scope[1] < before.scope[1] &&
      ['fields', 'levels', 'board'].every((n) => at[n] && at[n][0] === Math.round(before[n][0]) && at[n][1] === Math.round(before[n][1]));
  check(moved, 'a box dragged moves; the others keep the places they were drawn at' +
        (moved ? '' : ` (drawn ${JSON.stringify(before)}, saved ${JSON.stringify(at)}, now drawn ${JSON.stringify(await drawn())})`));

  await page.mouse.click(box[0] + 40, box[1] - 10, {count: 2});
  await page.waitForFunction(() => !document.getElementById('rename').hidden && document.activeElement.id === 'rename');
  await page.keyboard.type('waves');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#nodes .node[data-node="waves"]');
  check(true, 'a double click renames the node');

  const port = await centre(page, '#nodes .node[data-node="waves"] .port.in');

  await page.mouse.move(...port);
  await page.mouse.down();
  await page.mouse.move(port[0] - 60, port[1] + 30, {steps: 5});  // onto the background
  await page.mouse.up();
  await idle(page);
  s = await state(page);
  check(!control(s, 'waves', '0x01706EC9').link && !(await page.$('#wires .wire[data-to="waves"]')),
        'a wire pulled off its input disconnects it');
  await page.keyboard.press('Delete');
  await page.waitForFunction(() => !document.querySelector('#nodes .node[data-node="waves"]'));
  check(!(await state(page)).nodes.some((n) => n.node === 'waves'), 'Delete removes the selected node');

  await selectNode(page, 'board');
  const [w, h] = (await page.$eval('#size', (e) => e.textContent)).split(' ').filter((t) => t !== 'x').map(Number);
  await withPicture(page, () => page.select('#scale', '0.5'));
  const size = await page.$eval('#size', (e) => e.textContent);
  check(size.startsWith(`${w / 2} x ${h / 2} `) && size.includes('proxy'), 'the half-scale proxy is half the size (' + size + ')');
}

async function main() {
  execFileSync(orvanta, ['demo', path.join(work, 'demo'), '-q']);
  const comp = path.join(work, 'demo', 'graph.json');
  const address = await startServer([comp]);
  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
    timeout: 30000,
  });
  const page = await browser.newPage();
  page.setDefaultTimeout(20000);
  await page.setViewport({width: 1400, height: 900});
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(address, {waitUntil: 'load'});
  await page.waitForFunction(() => Number(document.getElementById('pic-a').dataset.generation || 0) > 0 &&
                             document.body.dataset.busy === '0');
  if (shotDir) await page.screenshot({path: path.join(shotDir, 'serve.png')});
  await opensOnTheOutput(page);
  await channels(page);
  await readout(page, comp);
  await connectByDragging(page);
  await keysAndExpressions(page);
  await wipe(page, shotDir);
  await savedFileRendersAsShown(page, comp);
  await playTenFrames(page);
  await badFileIsStale(page);
  await notificationsAndPresets(page);
  await editTheGraph(page);
  check(pageErrors.length === 0, 'the page raised no script error' + (pageErrors.length ? ': ' + pageErrors[0] : ''));

  // Ctrl-C stops the server cleanly with the tab still open.
  server.removeAllListeners('exit');
  const exited = new Promise((r) => server.once('exit', (code, signal) => r({code, signal})));
  server.kill('SIGINT');
  const {code} = await exited;
  check(code === 0, 'the server stops with status 0 on SIGINT');
}

main().then(() => finish(), finish);
