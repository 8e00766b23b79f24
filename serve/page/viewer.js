// The viewer: the viewed node's picture on a canvas, zoomed with the wheel around the cursor,
// panned by dragging, fitted or shown 1:1; channels; exposure and gamma of float pictures; a wipe
// between nodes A and B; the exact value of the pixel under the cursor; a stale mark and the
// message while the picture cannot be rendered.
//
// Pictures come as the canvas's own bytes (format=rgba: R, G, B, A, 8 bits, alpha as the picture
// holds it), so nothing is encoded or decoded on the way; the readout asks the server for the
// picture's own samples.
import {$} from './dom.js';

const client = Math.random().toString(36).slice(2);
// Pictures kept for playback and for going back to a frame, newest use last.
const kCacheBytes = 512 * 1024 * 1024;
const kMinZoom = 1 / 64, kMaxZoom = 64;

// A picture as the server sent it.
class Picture {
  constructor(res, bytes, node, frame, scale, opaque) {
    this.node = node;
    this.frame = frame;
    this.scale = scale;
    this.width = Number(res.headers.get('X-Width'));
    this.height = Number(res.headers.get('X-Height'));
    this.depth = res.headers.get('X-Depth');  // "8", "16" or "float"
    this.transformed = res.headers.get('X-View') === 'transformed';
    this.revision = Number(res.headers.get('X-Revision'));
    this.opaque = opaque;  // its alpha was set to full: the colour alone
    this.bytes = new Uint8ClampedArray(bytes);
    this.fullWidth = Math.round(this.width / scale);
    this.fullHeight = Math.round(this.height / scale);
    this.shown = new Map();  // channel mode -> the bytes shown
  }

  // The bytes to put on the canvas for a channel mode: RGB as it is (alpha not applied), one
  // channel or the luminance as grey, or RGB with its alpha (over the checkerboard behind).
  display(mode) {
    if (mode === 'rgba' || (mode === 'rgb' && this.opaque)) return this.bytes;
    let out = this.shown.get(mode);
    if (out) return out;
    const s = this.bytes, n = s.length;
    out = new Uint8ClampedArray(n);
    if (mode === 'rgb') {
      const from = new Uint32Array(s.buffer), to = new Uint32Array(out.buffer);
      for (let i = 0; i < from.length; i++) to[i] = from[i] | 0xff000000;
    } else if (mode === 'luma') {
      for (let i = 0; i < n; i += 4) {
        const y = 0.2126 * s[i] + 0.7152 * s[i + 1] + 0.0722 * s[i + 2];
        out[i] = out[i + 1] = out[i + 2] = y; out[i + 3] = 255;
      }
    } else {
      const c = {r: 0, g: 1, b: 2, a: 3}[mode];
      for (let i = 0; i < n; i += 4) { out[i] = out[i + 1] = out[i + 2] = s[i + c]; out[i + 3] = 255; }
    }
    this.shown.clear();  // one converted copy at a time
    this.shown.set(mode, out);
    return out;
  }
}

// Pictures by what made them, bounded in bytes; the least recently used go first.
class PictureCache {
  constructor(limit) { this.limit = limit; this.bytes = 0; this.map = new Map(); }
  get(key) {
    const p = this.map.get(key);
    if (p) { this.map.delete(key); this.map.set(key, p); }
    return p;
  }
  put(key, p) {
    if (this.map.has(key)) return;
    this.map.set(key, p);
    this.bytes += p.bytes.length;
    for (const [k, old] of this.map) {
      if (this.bytes <= this.limit || k === key) break;
      this.map.delete(k);
      this.bytes -= old.bytes.length;
    }
  }
  clear() { this.map.clear(); this.bytes = 0; }
}

export class Viewer {
  constructor(app) {
    this.app = app;
    this.stage = $('stage');
    this.layer = $('layer');
    this.canvas = {a: $('pic-a'), b: $('pic-b')};
    this.shown = {a: null, b: null};
    this.cache = new PictureCache(kCacheBytes);
    this.generation = 0;
    this.rendering = false;
    this.again = false;
    this.zoom = 1;
    this.panX = 0;
    this.panY = 0;
    this.fitted = '';  // the size last fitted to
    this.wipe = 0.5;   // where the wipe is, as a part of A's width
    this.fullPixels = 0;
    this.readoutAt = null;
    this.readoutBusy = false;
    this.wire();
  }

  busy() { return this.rendering || this.again; }

  // ---- what to render ------------------------------------------------------------------------

  // "auto" previews pictures over two million pixels (1080p and up) at half scale.
  scale() {
    const v = $('scale').value;
    if (v !== 'auto') return Number(v);
    return this.fullPixels > 2.0e6 ? 0.5 : 1;
  }

  // The views of the alpha need it sent; the others take the colour alone, which the canvas shows
  // as it comes.
  static needsAlpha(mode) { return mode === 'a' || mode === 'rgba'; }

  params(node, frame) {
    return {node, frame, scale: this.scale(), exposure: Number($('exposure').value) || 0,
            gamma: Number($('gamma').value) || 1, alpha: Viewer.needsAlpha($('channel').value) ? 'keep' : 'full'};
  }

  cacheKey(p, revision = this.app.state.revision) {
    const s = this.app.state;
    return [revision, s.scopeOn ? 'scope' : '', p.node, p.frame, p.scale, p.exposure, p.gamma, p.alpha].join('|');
  }

  // The picture for p: kept, or fetched. who is the request's client; gen orders its requests
  // (the server drops one a newer request of the same client overtook: then null). Throws the
  // server's sentence when the node cannot render.
  async picture(p, who = client, gen = 0) {
    const kept = this.cache.get(this.cacheKey(p));
    if (kept) return kept;
    const q = new URLSearchParams({...p, format: 'rgba', client: who, gen});
    const res = await fetch('/api/render?' + q);
    if (res.status === 204) return null;
    if (res.status !== 200) {
      const json = await res.json().catch(() => ({}));
      throw new Error(json.error || ('the picture failed: ' + res.status));
    }
    const pic = new Picture(res, await res.arrayBuffer(), p.node, p.frame, p.scale, p.alpha === 'full');
    this.fullPixels = pic.fullWidth * pic.fullHeight;
    this.cache.put(this.cacheKey(p, pic.revision), pic);
    return pic;
  }

  wipeNode() {
    return $('wipe-on').checked && $('view-b').value ? $('view-b').value : null;
  }

  // The pictures of A and B (when wiping) at a frame, for playback; fetched without overtaking.
  async frameSet(frame, who) {
    const s = this.app.state;
    const a = await this.picture(this.params(s.viewed, frame), who);
    const bNode = this.wipeNode();
    const b = bNode ? await this.picture(this.params(bNode, frame), who) : null;
    return {a, b};
  }

  // Renders the viewed node (and B) at the current frame: one request at a time, the newest wins.
  async refresh() {
    const s = this.app.state;
    if (!s || !s.viewed || this.app.timeline.playing) return;
    if (this.rendering) { this.again = true; this.app.markBusy(); return; }
    this.rendering = true;
    this.app.markBusy();
    const gen = ++this.generation;
    const started = performance.now();
    try {
      const a = await this.picture(this.params(s.viewed, s.frame), client, gen);
      const bNode = this.wipeNode();
      let b = null;
      if (a && bNode) b = await this.picture(this.params(bNode, s.frame), client, gen);
      if (a) {
        this.present({a, b});
        this.setStale('');
        this.canvas.a.dataset.generation = gen;
        this.canvas.a.dataset.ms = Math.round(performance.now() - started);
      }
    } catch (e) {
      this.setStale(e.message);
    } finally {
      this.rendering = false;
      if (this.again) { this.again = false; this.refresh(); }
      this.app.markBusy();
    }
  }

  // While the node cannot render, the last picture stays, marked stale, with the message beside.
  setStale(message) {
    $('stale').hidden = !message;
    this.stage.classList.toggle('stale', !!message);
    $('picture-error').textContent = message || '';
  }

  // ---- showing -------------------------------------------------------------------------------

  present({a, b}) {
    this.draw('a', a);
    this.draw('b', b);
    const fit = a.fullWidth + 'x' + a.fullHeight;
    if (this.fitted !== fit) { this.fitted = fit; this.fit(); }
    this.place();
    const deep = a.depth === 'float';
    $('exposure').disabled = $('gamma').disabled = !deep;
    $('size').textContent = a.width + ' x ' + a.height + ' ' +
      (a.depth === 'float' ? 'float' : a.depth + '-bit') + (a.scale < 1 ? ' (proxy ' + a.scale + ')' : '') +
      (a.transformed ? ', shown through ' + this.app.state.view : '');
  }

  draw(slot, pic) {
    const c = this.canvas[slot];
    this.shown[slot] = pic;
    c.hidden = !pic;
    if (!pic) return;
    if (c.width !== pic.width || c.height !== pic.height) { c.width = pic.width; c.height = pic.height; }
    c.getContext('2d').putImageData(new ImageData(pic.display($('channel').value), pic.width, pic.height), 0, 0);
    c.style.width = pic.fullWidth + 'px';
    c.style.height = pic.fullHeight + 'px';
    c.dataset.frame = pic.frame;
    c.dataset.node = pic.node;
    c.classList.toggle('checker', $('channel').value === 'rgba');
  }

  redraw() {
    if (this.shown.a) this.draw('a', this.shown.a);
    if (this.shown.b) this.draw('b', this.shown.b);
  }

  place() {
    this.layer.style.transform = `translate(${this.panX}px, ${this.panY}px) scale(${this.zoom})`;
    $('zoom').textContent = Math.round(this.zoom * 1000) / 10 + '%';
    const a = this.shown.a, b = this.shown.b;
    const line = $('wipe-line');
    line.hidden = !(a && b);
    if (a && b) {
      const x = this.wipe * a.fullWidth;
      this.canvas.b.style.clipPath = `inset(0 0 0 ${Math.max(0, x)}px)`;
      line.style.left = (this.panX + x * this.zoom) + 'px';
    }
  }

  fit() {
    const a = this.shown.a;
    if (!a) return;
    const r = this.stage.getBoundingClientRect();
    this.zoom = Math.max(kMinZoom, Math.min(r.width / a.fullWidth, r.height / a.fullHeight) * 0.96);
    this.panX = (r.width - a.fullWidth * this.zoom) / 2;
    this.panY = (r.height - a.fullHeight * this.zoom) / 2;
    this.place();
  }

  // Zooms by factor keeping the stage point (x, y) where it is.
  zoomAt(factor, x, y) {
    const z = Math.max(kMinZoom, Math.min(kMaxZoom, this.zoom * factor));
    this.panX = x - (x - this.panX) * (z / this.zoom);
    this.panY = y - (y - this.panY) * (z / this.zoom);
    this.zoom = z;
    this.place();
  }

  oneToOne() {
    const r = this.stage.getBoundingClientRect();
    this.zoomAt(1 / this.zoom, r.width / 2, r.height / 2);
  }

  key(e) {
    if (e.key === 'f' || e.key === 'F') { this.fit(); return true; }
    if (e.key === '1') { this.oneToOne(); return true; }
    return false;
  }

  // ---- the readout ---------------------------------------------------------------------------

  // The picture and its pixel under the stage point (x, y): B right of the wipe, else A.
  pixelAt(x, y) {
    const a = this.shown.a;
    if (!a) return null;
    const fx = (x - this.panX) / this.zoom, fy = (y - this.panY) / this.zoom;
    const pic = this.shown.b && fx >= this.wipe * a.fullWidth ? this.shown.b : a;
    const px = Math.floor(fx * pic.scale), py = Math.floor(fy * pic.scale);
    if (px < 0 || py < 0 || px >= pic.width || py >= pic.height) return null;
    return {pic, x: px, y: py};
  }

  // Asks for the exact samples under the cursor: one request at a time, the latest position wins.
  async readout(at) {
    this.readoutAt = at;
    if (this.readoutBusy || !at) return;
    this.readoutBusy = true;
    try {
      while (this.readoutAt) {
        const {pic, x, y} = this.readoutAt;
        this.readoutAt = null;
        const q = new URLSearchParams({node: pic.node, frame: pic.frame, scale: pic.scale, x, y});
        const res = await fetch('/api/pixel?' + q);
        const json = await res.json().catch(() => ({}));
        if (!res.ok) continue;
        const r = $('readout');
        const f = (v) => json.depth === 'float' ? (v === null ? 'NaN' : Number(v).toPrecision(6)) : String(v);
        r.textContent = `${pic.node} ${x}, ${y}` + (pic.scale < 1 ? ' (proxy)' : '') + '   ' +
          ['R', 'G', 'B', 'A'].map((c, i) => c + ' ' + f(json.rgba[i])).join('  ') + '  (' + json.depth + ')';
        r.dataset.node = pic.node;
        r.dataset.x = x;
        r.dataset.y = y;
        r.dataset.rgba = JSON.stringify(json.rgba);
        r.dataset.depth = json.depth;
      }
    } finally {
      this.readoutBusy = false;
    }
  }

  // ---- the state and the toolbar -------------------------------------------------------------

  update(s) {
    for (const id of ['view-a', 'view-b']) {
      const sel = $(id);
      const names = s.nodes.map((n) => n.node);
      if ([...sel.options].map((o) => o.value).join() !== names.join())
        sel.replaceChildren(...names.map((n) => new Option(n, n)));
    }
    $('view-a').value = s.viewed;
    if (!$('view-b').value && s.nodes.length > 1)
      $('view-b').value = (s.nodes.find((n) => n.node !== s.viewed) || s.nodes[0]).node;
    $('scope-on').checked = s.scopeOn;
  }

  wire() {
    $('view-a').addEventListener('change', () => this.app.select($('view-a').value));
    $('wipe-on').addEventListener('change', () => {
      $('view-b').disabled = !$('wipe-on').checked;
      this.refresh();
    });
    $('view-b').addEventListener('change', () => this.refresh());
    $('channel').addEventListener('change', () => {
      const pic = this.shown.a;
      if (pic && pic.opaque && Viewer.needsAlpha($('channel').value)) this.refresh();
      else this.redraw();
    });
    for (const id of ['exposure', 'gamma', 'scale']) $(id).addEventListener('change', () => this.refresh());
    $('scope-on').addEventListener('change', () => this.app.change('/api/view', {scope: $('scope-on').checked}));
    $('fit').addEventListener('click', () => this.fit());
    $('one').addEventListener('click', () => this.oneToOne());

    const local = (e) => {
      const r = this.stage.getBoundingClientRect();
      return [e.clientX - r.left, e.clientY - r.top];
    };
    this.stage.addEventListener('wheel', (e) => {
      e.preventDefault();
      const [x, y] = local(e);
      this.zoomAt(Math.pow(1.0015, -e.deltaY), x, y);
    }, {passive: false});
    let drag = null;
    this.stage.addEventListener('pointerdown', (e) => {
      if (e.button !== 0 && e.button !== 1) return;
      const [x] = local(e);
      const onWipe = this.shown.b && Math.abs(x - parseFloat($('wipe-line').style.left)) < 6;
      drag = {wipe: onWipe, x: e.clientX, y: e.clientY, panX: this.panX, panY: this.panY};
      this.stage.setPointerCapture(e.pointerId);
      this.stage.focus();
    });
    this.stage.addEventListener('pointermove', (e) => {
      const [x, y] = local(e);
      if (drag && drag.wipe) {
        this.wipe = Math.max(0, Math.min(1, (x - this.panX) / this.zoom / this.shown.a.fullWidth));
        this.place();
      } else if (drag) {
        this.panX = drag.panX + e.clientX - drag.x;
        this.panY = drag.panY + e.clientY - drag.y;
        this.place();
      }
      this.readout(this.pixelAt(x, y));
    });
    const end = () => { drag = null; };
    this.stage.addEventListener('pointerup', end);
    this.stage.addEventListener('pointercancel', end);
    new ResizeObserver(() => { if (this.shown.a) this.place(); }).observe(this.stage);
  }
}
