// The page of `orvanta serve`: the server's state, the changes sent to it one after another, and
// the four parts that show and edit it (viewer, timeline, node graph, controls).
import {ControlPanel} from './controls.js';
import {NodeEditor} from './graph.js';
import {Timeline} from './timeline.js';
import {Viewer} from './viewer.js';
import {$, api} from './dom.js';

class App {
  constructor() {
    this.state = null;
    this.changesUnderWay = 0;
    this.queue = Promise.resolve();
    this.latest = {};  // per key, the body waiting to be sent (a drag)
    this.viewer = new Viewer(this);
    this.timeline = new Timeline(this);
    this.graph = new NodeEditor(this);
    this.controls = new ControlPanel(this);
    this.wire();
  }

  nodeOf(name) {
    if (!this.state) return null;
    return name === '@scope' ? this.state.scope : this.state.nodes.find((n) => n.node === name) || null;
  }

  // Marks the body busy (data-busy) while a change or a picture is under way, for scripts that
  // drive the page.
  markBusy() {
    const busy = this.changesUnderWay > 0 || this.viewer.busy() || Object.keys(this.latest).length > 0;
    document.body.dataset.busy = busy ? '1' : '0';
  }

  // Sends a change; changes go one after another in the order made, so the server ends with the
  // last. body may be a function giving the body when sent. The new state updates every part.
  change(path, body, {picture = true} = {}) {
    this.changesUnderWay++;
    this.markBusy();
    this.queue = this.queue.then(() => this.send(path, typeof body === 'function' ? body() : body, picture));
    return this.queue;
  }

  // A change of a control being dragged: one waits at a time and takes the latest body when sent.
  changeLatest(key, body) {
    const waiting = key in this.latest;
    this.latest[key] = body;
    if (waiting) return;
    this.change('/api/set', () => {
      const b = this.latest[key];
      delete this.latest[key];
      return b;
    });
  }

  async send(path, body, picture) {
    try {
      const s = await api(path, body);
      this.showError('');
      // The picture is asked for first: the server renders it while the page updates the rest.
      this.state = s;
      if (picture) this.viewer.refresh();
      this.apply(s);
    } catch (e) {
      this.showError(e.message);
      if (this.state) this.apply(this.state);  // back to what the server holds
    } finally {
      this.changesUnderWay--;
      this.markBusy();
    }
  }

  showError(text) {
    $('error').textContent = text || '';
    $('error').hidden = !text;
  }

  apply(s) {
    const first = !this.started;
    this.started = true;
    this.state = s;
    $('file').textContent = s.savePath;
    $('undo').disabled = !s.canUndo;
    $('redo').disabled = !s.canRedo;
    this.viewer.update(s);
    this.timeline.update(s);
    this.graph.update(s);
    this.controls.update(s);
    if (first) this.viewer.refresh();
  }

  // Selecting a node shows its controls and views it.
  select(name) {
    if (!name || (this.state && this.state.viewed === name)) return;
    this.change('/api/view', {node: name});
  }

  // Any frame may be asked for (a keyframe beyond the timeline widens it); the track gives those
  // within it.
  setFrame(frame) {
    if (!this.state || !Number.isFinite(frame)) return;
    const f = Math.round(frame);
    this.timeline.showFrame(f);
    const waiting = 'frame' in this.latest;
    this.latest.frame = f;
    if (waiting) return;
    this.change('/api/view', () => {
      const b = {frame: this.latest.frame};
      delete this.latest.frame;
      return b;
    });
  }

  async save() {
    try {
      const r = await api('/api/save', {});
      this.showError('');
      $('status').textContent = 'saved ' + r.saved;
    } catch (e) {
      this.showError(e.message);
    }
  }

  wire() {
    $('save').addEventListener('click', () => this.save());
    $('undo').addEventListener('click', () => this.change('/api/undo', {}));
    $('redo').addEventListener('click', () => this.change('/api/redo', {}));
    document.addEventListener('keydown', (e) => {
      const typing = e.target instanceof HTMLInputElement || e.target instanceof HTMLSelectElement ||
                     e.target instanceof HTMLTextAreaElement;
      const mod = e.ctrlKey || e.metaKey;
      if (mod && e.key.toLowerCase() === 's') { e.preventDefault(); this.save(); return; }
      if (typing) return;
      if (mod && e.key.toLowerCase() === 'z') {
        e.preventDefault();
        this.change(e.shiftKey ? '/api/redo' : '/api/undo', {});
      } else if (mod && e.key.toLowerCase() === 'y') {
        e.preventDefault();
        this.change('/api/redo', {});
      } else if (e.key === ' ' && !mod && !(e.target instanceof HTMLButtonElement)) {  // a button clicks itself
        e.preventDefault();
        this.timeline.toggle();
      } else if (!mod) {
        this.viewer.key(e) || this.graph.key(e);
      }
    });
    api('/api/state').then((s) => this.apply(s)).catch((e) => this.showError(e.message))
      .finally(() => this.markBusy());
  }
}

new App();
