// The timeline: the graph's frames with the selected node's keyframes marked, a playhead to
// drag, and playback. Playback shows every frame in order at the composition's rate: frames not
// rendered yet are fetched ahead (the clock waits for them the first time round), and rendered
// ones come from the viewer's bounded cache, so later rounds keep the rate.
import {$} from './dom.js';

const playClient = 'play-' + Math.random().toString(36).slice(2);
// Frames fetched ahead of the one shown.
const kAhead = 4;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export class Timeline {
  constructor(app) {
    this.app = app;
    this.playing = false;
    this.frame = 1;
    this.wire();
  }

  update(s) {
    $('first-frame').textContent = s.firstFrame;
    $('last-frame').textContent = s.lastFrame;
    $('fps').textContent = (Math.round(s.fps * 1000) / 1000) + ' fps' + (s.framesFrom ? ' (' + s.framesFrom + ')' : '');
    if (!this.playing && !('frame' in this.app.latest)) this.showFrame(s.frame);
    this.marks(s);
  }

  position(frame) {
    const s = this.app.state;
    const span = Math.max(1, s.lastFrame - s.firstFrame);
    return (frame - s.firstFrame) / span;
  }

  // The playhead and the frame number; the server is told separately.
  showFrame(frame) {
    this.frame = frame;
    if (document.activeElement !== $('frame-number')) $('frame-number').value = frame;
    $('playhead').style.left = (Math.max(0, Math.min(1, this.position(frame))) * 100) + '%';
    $('timeline').dataset.frame = frame;
  }

  // A mark per frame that holds a keyframe of the selected node.
  marks(s) {
    const node = s.nodes.find((n) => n.node === s.viewed);
    const frames = new Set();
    if (node) for (const p of node.pages) for (const c of p.inputs) for (const k of c.keys || []) frames.add(k);
    $('marks').replaceChildren(...[...frames].filter((f) => f >= s.firstFrame && f <= s.lastFrame).map((f) => {
      const m = document.createElement('span');
      m.className = 'key';
      m.dataset.frame = f;
      m.title = 'keyframe at ' + f;
      m.style.left = (this.position(f) * 100) + '%';
      return m;
    }));
  }

  frameAt(clientX) {
    const r = $('track').getBoundingClientRect();
    const s = this.app.state;
    const t = Math.max(0, Math.min(1, (clientX - r.left) / Math.max(1, r.width)));
    return Math.round(s.firstFrame + t * (s.lastFrame - s.firstFrame));
  }

  toggle() {
    if (this.playing) this.stop();
    else this.play();
  }

  stop() {
    if (!this.playing) return;
    this.playing = false;
    $('play').textContent = '▶';
    $('play').dataset.state = 'stopped';
    this.app.setFrame(this.frame);  // controls show their values here; the viewer renders it
  }

  // Shows frame after frame from the current one, round and round, until stopped.
  async play() {
    const s = this.app.state;
    if (!s || this.playing || s.lastFrame <= s.firstFrame) return;
    this.playing = true;
    $('play').textContent = '■';
    $('play').dataset.state = 'playing';
    const shown = [];
    $('timeline').dataset.shown = '';
    const period = 1000 / (s.fps > 0 ? s.fps : 24);
    const fetched = new Map();  // frame -> the promise of its pictures
    const fetchAhead = (from) => {
      for (let i = 0, f = from; i < kAhead; ++i, f = f >= s.lastFrame ? s.firstFrame : f + 1)
        if (!fetched.has(f)) fetched.set(f, this.app.viewer.frameSet(f, playClient).catch((e) => ({error: e})));
    };
    let f = this.frame >= s.lastFrame ? s.firstFrame : this.frame;
    let due = performance.now();
    const times = [];
    while (this.playing) {
      fetchAhead(f);
      const pics = await fetched.get(f);
      fetched.delete(f);
      if (!this.playing) break;
      if (pics.error || !pics.a) {
        this.app.viewer.setStale(pics.error ? pics.error.message : 'the frame was not rendered');
        this.stop();
        break;
      }
      const now = performance.now();
      if (now < due) await sleep(due - now);
      else due = now;  // late (the frame was being rendered): the clock waits rather than skipping
      if (!this.playing) break;
      this.app.viewer.present(pics);
      this.showFrame(f);
      shown.push(f);
      times.push(performance.now());
      if (times.length > 48) times.shift();
      if (times.length > 1)
        $('timeline').dataset.rate = ((times.length - 1) * 1000 / (times[times.length - 1] - times[0])).toFixed(2);
      $('timeline').dataset.shown = shown.slice(-500).join(',');
      due += period;
      f = f >= s.lastFrame ? s.firstFrame : f + 1;
    }
  }

  wire() {
    $('play').addEventListener('click', () => this.toggle());
    $('frame-number').addEventListener('change', () => this.app.setFrame(Number($('frame-number').value)));
    const track = $('track');
    let dragging = false;
    track.addEventListener('pointerdown', (e) => {
      this.stop();
      dragging = true;
      track.setPointerCapture(e.pointerId);
      this.app.setFrame(this.frameAt(e.clientX));
    });
    track.addEventListener('pointermove', (e) => { if (dragging) this.app.setFrame(this.frameAt(e.clientX)); });
    track.addEventListener('pointerup', () => { dragging = false; });
    track.addEventListener('keydown', (e) => {
      if (e.key === 'ArrowRight') this.app.setFrame(this.frame + 1);
      else if (e.key === 'ArrowLeft') this.app.setFrame(this.frame - 1);
      else return;
      e.preventDefault();
    });
  }
}
