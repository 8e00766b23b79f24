// The node graph: each node a box with its image inputs on the left and its output on the right,
// wires between them. Drag from an output to an input (or back) to connect, drag a wire's end off
// its input to disconnect it or onto another input to move it; drag a box to move it, the
// background to pan, the wheel to zoom; click to select (and view), double-click the name to
// rename; Delete removes the selected node; Tab or the field above adds one by its tool's name.
// Nodes the composition gives no position are laid out in columns by their inputs.
import {$, el} from './dom.js';

const SVG = 'http://www.w3.org/2000/svg';
const W = 160, HEAD = 38, ROW = 18, PORT = 6;
const COLUMN = 220, GAP = 30;

function svg(tag, attrs = {}, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

const imageInputs = (n) => n.pages.flatMap((p) => p.inputs).filter((c) => c.kind === 'image');
const heightOf = (n) => HEAD + Math.max(1, imageInputs(n).length) * ROW + 6;
const basename = (p) => p.split('/').pop();

export class NodeEditor {
  constructor(app) {
    this.app = app;
    this.svg = $('graph-view');
    this.world = $('world');
    this.view = {x: 20, y: 20, k: 1};
    this.pos = {};        // node -> {x, y} as drawn
    this.placed = new Set();  // nodes whose position the composition holds
    this.drag = null;
    this.fitted = false;
    this.wire();
  }

  // ---- layout --------------------------------------------------------------------------------

  // Columns by the longest chain of node inputs before a node; rows in graph order.
  layout(s) {
    const byName = new Map(s.nodes.map((n) => [n.node, n]));
    const depth = new Map();
    const depthOf = (name, seen = new Set()) => {
      if (depth.has(name)) return depth.get(name);
      if (seen.has(name)) return 0;  // a cycle: the server refuses it, but draw what is there
      seen.add(name);
      let d = 0;
      for (const c of imageInputs(byName.get(name)))
        if (c.link && c.link.kind === 'node' && byName.has(c.link.target)) d = Math.max(d, depthOf(c.link.target, seen) + 1);
      depth.set(name, d);
      return d;
    };
    const columns = new Map();
    this.placed = new Set();
    for (const n of s.nodes) {
      if (n.position) {
        this.pos[n.node] = {x: n.position[0], y: n.position[1]};
        this.placed.add(n.node);
        continue;
      }
      const d = depthOf(n.node);
      const y = columns.get(d) || 0;
      this.pos[n.node] = {x: d * COLUMN, y};
      columns.set(d, y + heightOf(n) + GAP);
    }
    for (const name of Object.keys(this.pos)) if (!byName.has(name)) delete this.pos[name];
  }

  inPort(name, index) {
    const p = this.pos[name];
    return {x: p.x, y: p.y + HEAD + index * ROW + ROW / 2};
  }

  outPort(name) {
    const p = this.pos[name];
    return {x: p.x + W, y: p.y + HEAD / 2};
  }

  static curve(a, b) {
    const dx = Math.max(40, Math.abs(b.x - a.x) / 2);
    return `M${a.x},${a.y} C${a.x + dx},${a.y} ${b.x - dx},${b.y} ${b.x},${b.y}`;
  }

  // ---- drawing -------------------------------------------------------------------------------

  update(s) {
    this.layout(s);
    this.render();
    if (!this.fitted && s.nodes.length) { this.fitted = true; this.fit(); }
    const tools = $('add-tool');
    if (tools.options.length !== s.tools.length) {
      tools.replaceChildren(...s.tools.map((t) => new Option(t, t)));
      $('tool-names').replaceChildren(...s.tools.map((t) => el('option', {value: t})));
    }
  }

  render() {
    const s = this.app.state;
    if (!s) return;
    const nodes = $('nodes'), wires = $('wires');
    nodes.replaceChildren();
    wires.replaceChildren();
    const b = $('wipe-on').checked ? $('view-b').value : '';
    for (const n of s.nodes) {
      const p = this.pos[n.node];
      const cls = ['node', n.node === s.viewed ? 'selected' : '', n.node === s.output ? 'output' : '',
                   n.node === b ? 'b' : ''].filter(Boolean).join(' ');
      const g = svg('g', {class: cls, 'data-node': n.node, transform: `translate(${p.x},${p.y})`});
      g.append(svg('rect', {class: 'box', width: W, height: heightOf(n), rx: 5}));
      g.append(svg('text', {class: 'name', x: 10, y: 16}, n.node));
      g.append(svg('text', {class: 'tool', x: 10, y: 31}, n.name));
      const badges = (n.node === s.output ? '★' : '') + (n.node === s.viewed ? ' A' : '') + (n.node === b ? ' B' : '');
      g.append(svg('text', {class: 'badge', x: W - 12, y: 15, 'text-anchor': 'end'}, badges.trim()));
      imageInputs(n).forEach((c, i) => {
        const y = HEAD + i * ROW + ROW / 2;
        const label = c.link && c.link.kind === 'file' ? c.label + ': ' + basename(c.link.target) : c.label;
        g.append(svg('text', {class: 'in-label' + (c.link ? '' : c.required ? ' missing' : ''), x: 12, y: y + 4}, label));
        g.append(svg('circle', {class: 'port in' + (c.link ? ' linked' : ''), cx: 0, cy: y, r: PORT,
                                'data-node': n.node, 'data-input': c.label}));
        if (c.link && c.link.kind === 'node' && this.pos[c.link.target] &&
            !(this.drag && this.drag.mode === 'detach' && this.drag.to === n.node && this.drag.input === c.label))
          wires.append(svg('path', {class: 'wire', d: NodeEditor.curve(this.outPort(c.link.target), this.inPort(n.node, i)),
                                    'data-from': c.link.target, 'data-to': n.node, 'data-input': c.label}));
      });
      g.append(svg('circle', {class: 'port out', cx: W, cy: HEAD / 2, r: PORT, 'data-node': n.node}));
      nodes.append(g);
    }
    if (this.drag && this.drag.path) wires.append(this.drag.path);
    this.place();
  }

  place() {
    this.world.setAttribute('transform', `translate(${this.view.x},${this.view.y}) scale(${this.view.k})`);
  }

  fit() {
    const names = Object.keys(this.pos);
    const r = this.svg.getBoundingClientRect();
    if (!names.length || !r.width) return;
    const s = this.app.state;
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (const n of s.nodes) {
      const p = this.pos[n.node];
      x0 = Math.min(x0, p.x); y0 = Math.min(y0, p.y);
      x1 = Math.max(x1, p.x + W); y1 = Math.max(y1, p.y + heightOf(n));
    }
    const k = Math.min(1.25, (r.width - 40) / (x1 - x0), (r.height - 40) / (y1 - y0));
    this.view = {k, x: (r.width - (x1 - x0) * k) / 2 - x0 * k, y: (r.height - (y1 - y0) * k) / 2 - y0 * k};
    this.place();
  }

  // The stage point of a pointer event, in the graph's own units.
  toWorld(e) {
    const r = this.svg.getBoundingClientRect();
    return {x: (e.clientX - r.left - this.view.x) / this.view.k, y: (e.clientY - r.top - this.view.y) / this.view.k};
  }

  // ---- editing -------------------------------------------------------------------------------

  linkOf(node, input) {
    const n = this.app.nodeOf(node);
    const c = n && imageInputs(n).find((i) => i.label === input);
    return c && c.link;
  }

  // Where a new node goes: the middle of what is shown, moved down past the boxes already there.
  freeSpot() {
    const r = this.svg.getBoundingClientRect();
    const at = {x: (r.width / 2 - this.view.x) / this.view.k - W / 2, y: (r.height / 3 - this.view.y) / this.view.k};
    for (let i = 0; i < 50; ++i) {
      const hit = Object.values(this.pos).some((p) => Math.abs(p.x - at.x) < W && Math.abs(p.y - at.y) < HEAD + ROW);
      if (!hit) break;
      at.y += HEAD + ROW + GAP / 2;
    }
    return [Math.round(at.x), Math.round(at.y)];
  }

  add(tool) {
    const s = this.app.state;
    const t = s.tools.find((x) => x.toLowerCase() === tool.trim().toLowerCase()) ||
              s.tools.filter((x) => x.toLowerCase().includes(tool.trim().toLowerCase())).sort((a, b) => a.length - b.length)[0];
    if (!t) { this.app.showError('no installed tool is named "' + tool + '"'); return false; }
    this.app.change('/api/add', {tool: t, position: this.freeSpot()});
    return true;
  }

  remove() {
    const s = this.app.state;
    if (s && s.viewed) this.app.change('/api/remove', {node: s.viewed});
  }

  // Sends where the boxes are: the moved one, and those drawn where the layout put them (from
  // now on the composition holds them, so the drawing stays as the user sees it).
  sendPositions(moved) {
    const positions = {};
    for (const [name, p] of Object.entries(this.pos))
      if (name === moved || !this.placed.has(name)) positions[name] = [Math.round(p.x), Math.round(p.y)];
    this.app.change('/api/move', {positions}, {picture: false});
  }

  rename(name, target) {
    const input = $('rename');
    const box = target.getBoundingClientRect(), host = $('graph').getBoundingClientRect();
    input.hidden = false;
    input.value = name;
    input.style.left = (box.left - host.left - 4) + 'px';
    input.style.top = (box.top - host.top - 4) + 'px';
    input.dataset.node = name;
    setTimeout(() => { input.focus(); input.select(); });  // after the press that asked for it
  }

  key(e) {
    if (document.activeElement !== this.svg) return false;
    if (e.key === 'Delete' || e.key === 'Backspace') { this.remove(); return true; }
    if (e.key === 'Tab') { e.preventDefault(); $('add-name').focus(); return true; }
    if (e.key === 'f' || e.key === 'F') { this.fit(); return true; }
    return false;
  }

  // ---- pointer -------------------------------------------------------------------------------

  down(e) {
    if (e.button !== 0) return;
    this.svg.focus();
    const t = e.target;
    const at = this.toWorld(e);
    const port = t.closest && t.closest('.port');
    const box = t.closest && t.closest('.node');
    if (port && port.classList.contains('out')) {
      this.drag = {mode: 'from-out', from: port.dataset.node, start: this.outPort(port.dataset.node)};
    } else if (port) {
      const link = this.linkOf(port.dataset.node, port.dataset.input);
      if (link && link.kind === 'node')
        this.drag = {mode: 'detach', from: link.target, to: port.dataset.node, input: port.dataset.input,
                     start: this.outPort(link.target)};
      else
        this.drag = {mode: 'from-in', to: port.dataset.node, input: port.dataset.input,
                     start: {x: Number(port.getAttribute('cx')) + this.pos[port.dataset.node].x,
                             y: Number(port.getAttribute('cy')) + this.pos[port.dataset.node].y}};
    } else if (box) {
      const name = box.dataset.node;
      this.drag = {mode: 'move', node: name, at, from: {...this.pos[name]}, moved: false};
      this.app.select(name);
    } else {
      this.drag = {mode: 'pan', x: e.clientX, y: e.clientY, view: {...this.view}};
    }
    if (this.drag.start) {
      this.drag.path = svg('path', {class: 'wire dragging', id: 'drag-wire'});
      this.render();
    }
    this.svg.setPointerCapture(e.pointerId);
  }

  move(e) {
    const d = this.drag;
    if (!d) return;
    const at = this.toWorld(e);
    if (d.mode === 'pan') {
      this.view.x = d.view.x + e.clientX - d.x;
      this.view.y = d.view.y + e.clientY - d.y;
      this.place();
    } else if (d.mode === 'move') {
      const dx = at.x - d.at.x, dy = at.y - d.at.y;
      if (!d.moved && Math.hypot(dx, dy) < 3) return;
      d.moved = true;
      this.pos[d.node] = {x: d.from.x + dx, y: d.from.y + dy};
      this.render();
    } else {
      d.path.setAttribute('d', d.mode === 'from-in' ? NodeEditor.curve(at, d.start) : NodeEditor.curve(d.start, at));
    }
  }

  up(e) {
    const d = this.drag;
    this.drag = null;
    if (!d) return;
    const hit = document.elementFromPoint(e.clientX, e.clientY);
    const port = hit && hit.closest && hit.closest('.port');
    const onIn = port && port.classList.contains('in') ? port : null;
    const onOut = port && port.classList.contains('out') ? port : null;
    if (d.mode === 'move') {
      if (d.moved) this.sendPositions(d.node);
    } else if (d.mode === 'from-out' && onIn && onIn.dataset.node !== d.from) {
      this.app.change('/api/connect', {node: onIn.dataset.node, input: onIn.dataset.input, source: d.from});
    } else if (d.mode === 'from-in' && onOut && onOut.dataset.node !== d.to) {
      this.app.change('/api/connect', {node: d.to, input: d.input, source: onOut.dataset.node});
    } else if (d.mode === 'detach') {
      const same = onIn && onIn.dataset.node === d.to && onIn.dataset.input === d.input;
      if (!same) this.app.change('/api/disconnect', {node: d.to, input: d.input});
      if (onIn && !same && onIn.dataset.node !== d.from)
        this.app.change('/api/connect', {node: onIn.dataset.node, input: onIn.dataset.input, source: d.from});
    }
    this.render();
  }

  wire() {
    this.svg.addEventListener('pointerdown', (e) => this.down(e));
    this.svg.addEventListener('pointermove', (e) => this.move(e));
    this.svg.addEventListener('pointerup', (e) => this.up(e));
    // A double press on a box renames it. The press count comes from the browser's mousedown
    // (which follows the pointerdown that selected the box), not from dblclick: the boxes are
    // redrawn after the first press, and dblclick needs both presses on one element.
    // The element is found by position: the pointer capture that pointerdown took retargets this.
    this.svg.addEventListener('mousedown', (e) => {
      const hit = e.button === 0 && e.detail === 2 && document.elementFromPoint(e.clientX, e.clientY);
      const box = hit && hit.closest && !hit.closest('.port') && hit.closest('.node');
      if (!box) return;
      this.drag = null;
      this.rename(box.dataset.node, box.querySelector('.name'));
    });
    this.svg.addEventListener('pointercancel', () => { this.drag = null; this.render(); });
    this.svg.addEventListener('wheel', (e) => {
      e.preventDefault();
      const r = this.svg.getBoundingClientRect();
      const x = e.clientX - r.left, y = e.clientY - r.top;
      const k = Math.max(0.2, Math.min(3, this.view.k * Math.pow(1.0015, -e.deltaY)));
      this.view.x = x - (x - this.view.x) * (k / this.view.k);
      this.view.y = y - (y - this.view.y) * (k / this.view.k);
      this.view.k = k;
      this.place();
    }, {passive: false});
    const rename = $('rename');
    const done = (keep) => {
      if (rename.hidden) return;
      rename.hidden = true;
      if (keep && rename.value && rename.value !== rename.dataset.node)
        this.app.change('/api/rename', {node: rename.dataset.node, name: rename.value});
      this.svg.focus();
    };
    rename.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') done(true);
      else if (e.key === 'Escape') done(false);
    });
    rename.addEventListener('blur', () => done(true));
    $('add-name').addEventListener('keydown', (e) => {
      if (e.key !== 'Enter' || !$('add-name').value.trim()) return;
      if (this.add($('add-name').value)) $('add-name').value = '';
    });
    $('add').addEventListener('click', () => this.add($('add-tool').value));
    $('remove').addEventListener('click', () => this.remove());
    $('graph-fit').addEventListener('click', () => this.fit());
    $('wipe-on').addEventListener('change', () => this.render());
    $('view-b').addEventListener('change', () => this.render());
  }
}
