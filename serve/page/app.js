// The page of `orvanta serve`: builds the controls from the tools' declarations, sends every
// change through the JSON API and shows the newest preview.
'use strict';

const $ = (id) => document.getElementById(id);
let state = null;      // the server's last state
let selected = null;   // the node whose controls are shown
let activePage = {};   // node name -> the tab last chosen
let built = '';        // what the control panel was built for
const client = Math.random().toString(36).slice(2);
let generation = 0;
let rendering = false, renderAgain = false;
let previewUrl = null;
let fullPixels = 0;    // the viewed picture's size at full scale, once known

// "auto" previews pictures over two million pixels (1080p and up) at half scale.
function previewScale() {
  const v = $('scale').value;
  if (v !== 'auto') return Number(v);
  return fullPixels > 2.0e6 ? 0.5 : 1;
}

// Two sources of errors, shown together: the last change and the last preview. Each clears only
// its own, so a preview finishing late does not hide a refused value.
const errors = {change: '', preview: ''};
function showError(text, source = 'change') {
  errors[source] = text || '';
  const all = [errors.change, errors.preview].filter((t) => t);
  $('error').textContent = all.join(' — ');
  $('error').hidden = all.length === 0;
}

async function api(path, body) {
  const res = await fetch(path, body === undefined ? {} : {
    method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});
  const json = await res.json();
  if (!res.ok) throw new Error(json.error || res.statusText);
  return json;
}

// Changes and renders under way, marked on the body (data-busy) for scripts that drive the page.
let changesUnderWay = 0;
function markBusy() {
  document.body.dataset.busy = changesUnderWay > 0 || rendering || renderAgain ? '1' : '0';
}

// Sends a change; the new state updates every control (presets may show, hide or set others).
// Changes go one after another, in the order made, so the server ends with the last one. body
// may be a function giving the body when the change is sent (a slider's latest value).
let changes = Promise.resolve();
function change(path, body, preview = true) {
  changesUnderWay++;
  markBusy();
  changes = changes.then(() => send(path, typeof body === 'function' ? body() : body, preview));
  return changes;
}

async function send(path, body, preview) {
  try {
    const s = await api(path, body);
    showError('');
    apply(s);
    if (preview) requestPreview();
  } catch (e) {
    showError(e.message);
    if (state) apply(state);  // back to what the server holds
  } finally {
    changesUnderWay--;
    markBusy();
  }
}

// A control being dragged: one change waits at a time and takes the latest body when sent.
const dragged = {};
function changeLatest(key, body) {
  const waiting = key in dragged;
  dragged[key] = body;
  if (waiting) return;
  change('/api/set', () => {
    const b = dragged[key];
    delete dragged[key];
    return b;
  });
}

// The newest request wins: one render at a time; changes meanwhile ask for one more afterwards,
// and the server drops a request that a newer one overtook.
async function requestPreview() {
  if (!state || !state.viewed) return;
  if (rendering) { renderAgain = true; markBusy(); return; }
  rendering = true;
  markBusy();
  const gen = ++generation;
  const scale = previewScale();
  const q = new URLSearchParams({node: state.viewed, frame: state.frame, scale, client, gen});
  const started = performance.now();
  try {
    const res = await fetch('/api/render?' + q);
    if (res.status === 200) {
      const blob = await res.blob();
      if (previewUrl) URL.revokeObjectURL(previewUrl);
      previewUrl = URL.createObjectURL(blob);
      $('preview').src = previewUrl;
      $('preview').dataset.generation = gen;
      const w = Number(res.headers.get('X-Width')), h = Number(res.headers.get('X-Height'));
      fullPixels = (w / scale) * (h / scale);
      $('size').textContent = w + ' x ' + h + (scale < 1 ? ' (proxy)' : '') +
        (res.headers.get('X-View') === 'transformed' ? ' (' + state.view + ')' : '') +
        ', ' + Math.round(performance.now() - started) + ' ms';
      showError('', 'preview');
    } else if (res.status !== 204) {
      const json = await res.json().catch(() => ({}));
      showError(json.error || ('the preview failed: ' + res.status), 'preview');
    }
  } catch (e) {
    showError('the server does not answer: ' + e.message, 'preview');
  } finally {
    rendering = false;
    if (renderAgain) { renderAgain = false; requestPreview(); }
    markBusy();
  }
}

function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('data-')) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) if (c != null) e.append(c);
  return e;
}

const nodeOf = (name) => name === '@scope' ? state.scope : state.nodes.find((n) => n.node === name);

// ---- controls -------------------------------------------------------------------------------

function hex2(v) { return Math.round(Math.min(1, Math.max(0, v)) * 255).toString(16).padStart(2, '0'); }

function numberControl(node, c) {
  const setTo = (v) => change('/api/set', {node, control: c.id, value: Number(v)});
  const lo = c.rangeLow ?? c.limitLow, hi = c.rangeHigh ?? c.limitHigh;
  const step = c.wholeNumbers ? 1 : 'any';
  const field = el('input', {type: 'number', step, 'data-role': 'number'});
  if (c.limitLow !== undefined) field.min = c.limitLow;
  if (c.limitHigh !== undefined) field.max = c.limitHigh;
  field.addEventListener('change', () => setTo(field.value));
  if (lo === undefined || hi === undefined) return [el('span'), field];
  const slider = el('input', {type: 'range', min: lo, max: hi, step: c.wholeNumbers ? 1 : (hi - lo) / 1000,
                              'data-role': 'slider'});
  slider.addEventListener('input', () => {
    field.value = slider.value;
    changeLatest(node + '\n' + c.id, {node, control: c.id, value: Number(slider.value)});
  });
  return [slider, field];
}

function controlRow(node, c) {
  const row = el('div', {class: 'control', 'data-control': c.id, 'data-kind': c.kind});
  row.append(el('label', {textContent: c.label, title: c.id}));
  if (c.kind === 'combo') {
    const sel = el('select', {'data-role': 'combo'});
    c.items.forEach((t, i) => sel.append(el('option', {value: i, textContent: t})));
    sel.addEventListener('change', () => change('/api/set', {node, control: c.id, value: Number(sel.value)}));
    row.classList.add('wide');
    row.append(sel);
  } else if (c.kind === 'checkbox') {
    const box = el('input', {type: 'checkbox', 'data-role': 'checkbox'});
    box.addEventListener('change', () => change('/api/set', {node, control: c.id, value: box.checked}));
    row.classList.add('wide');
    row.append(box);
  } else if (c.kind === 'point' || Array.isArray(c.value)) {
    const x = el('input', {type: 'number', step: 'any', 'data-role': 'x'});
    const y = el('input', {type: 'number', step: 'any', 'data-role': 'y'});
    const send = () => change('/api/set', {node, control: c.id, value: [Number(x.value), Number(y.value)]});
    x.addEventListener('change', send);
    y.addEventListener('change', send);
    row.append(x, y);
  } else if (c.kind === 'image') {
    row.classList.add('wide');
    row.append(el('span', {'data-role': 'link'}));
  } else {
    row.append(...numberControl(node, c));
  }
  return row;
}

// A colour group: one picker for its red, green and blue members (their own rows stay below).
function colourPicker(node, members) {
  const picker = el('input', {type: 'color', 'data-role': 'colour'});
  picker.addEventListener('input', () => {
    const v = picker.value;
    const settings = members.slice(0, 3).map((m, i) =>
      ({control: m.id, value: parseInt(v.substr(1 + 2 * i, 2), 16) / 255}));
    changeLatest(node + '\n' + members[0].group + ' colour', {node, settings});
  });
  return el('div', {class: 'control wide', 'data-colour': members[0].group},
            el('label', {textContent: 'Colour'}), picker);
}

function buildControls(container, tabs, desc, node) {
  container.replaceChildren();
  if (tabs) tabs.replaceChildren();
  desc.pages.forEach((page, p) => {
    const title = page.page || 'Inputs';
    const div = el('div', {class: 'page', 'data-page': title});
    let fieldset = null, group = null;
    const inputs = page.inputs;
    for (let i = 0; i < inputs.length; i++) {
      const c = inputs[i];
      if (c.group === undefined) { fieldset = null; group = null; }
      else if (c.group !== group) {
        group = c.group;
        fieldset = el('fieldset', {'data-group': c.group}, el('legend', {textContent: c.groupLabel || ''}));
        const colours = inputs.filter((o) => o.group === c.group && o.kind === 'colour');
        if (colours.length >= 3) fieldset.append(colourPicker(node, colours));
        div.append(fieldset);
      }
      (fieldset || div).append(controlRow(node, c));
    }
    container.append(div);
    if (tabs) {
      const b = el('button', {type: 'button', textContent: title, role: 'tab', 'data-tab': title});
      b.addEventListener('click', () => { activePage[node] = title; showPage(container, tabs, title); });
      tabs.append(b);
    }
  });
  if (tabs) showPage(container, tabs, activePage[node] || (desc.pages[0] && (desc.pages[0].page || 'Inputs')));
}

function showPage(container, tabs, title) {
  for (const d of container.children) d.hidden = d.dataset.page !== title;
  for (const b of tabs.children) b.classList.toggle('active', b.dataset.tab === title);
}

// Puts the state's values and shown flags into the built controls, leaving alone the one being
// edited.
function refreshControls(container, desc) {
  for (const page of desc.pages) for (const c of page.inputs) {
    const row = container.querySelector(`.control[data-control="${CSS.escape(c.id)}"]`);
    if (!row) continue;
    row.hidden = !c.shown;
    const set = (role, v) => {
      const e = row.querySelector(`[data-role="${role}"]`);
      if (e && e !== document.activeElement) {
        if (e.type === 'checkbox') e.checked = v !== 0; else e.value = v;
      }
    };
    if (c.kind === 'image') {
      row.querySelector('[data-role="link"]').textContent = c.link ? (c.link.kind === 'node' ? 'node ' : '') + c.link.target : 'not connected';
      continue;
    }
    if (Array.isArray(c.value)) { set('x', c.value[0]); set('y', c.value[1]); continue; }
    // A tool's notification may move a control's range (Remap's "Ranges").
    const slider = row.querySelector('[data-role="slider"]'), field = row.querySelector('[data-role="number"]');
    if (slider && c.rangeLow !== undefined && c.rangeHigh !== undefined) {
      slider.min = c.rangeLow; slider.max = c.rangeHigh;
      if (!c.wholeNumbers) slider.step = (c.rangeHigh - c.rangeLow) / 1000;
    }
    if (field && c.limitLow !== undefined) field.min = c.limitLow;
    if (field && c.limitHigh !== undefined) field.max = c.limitHigh;
    set('combo', c.value); set('checkbox', c.value); set('slider', c.value); set('number', c.value);
    row.title = c.expression ? 'driven by ' + c.expression : '';
    row.classList.toggle('expr', !!c.expression);
  }
  for (const fs of container.querySelectorAll('fieldset')) {
    const rows = [...fs.querySelectorAll('.control[data-control]')];
    fs.hidden = rows.length > 0 && rows.every((r) => r.hidden);
    const picker = fs.querySelector('[data-role="colour"]');
    if (picker && picker !== document.activeElement) {
      const vals = rows.filter((r) => r.dataset.kind === 'colour').slice(0, 3).map((r) => Number(r.querySelector('[data-role="number"]').value));
      if (vals.length === 3) picker.value = '#' + vals.map(hex2).join('');
    }
  }
}

// ---- graph ----------------------------------------------------------------------------------

function graphPanel() {
  const list = $('nodes');
  list.replaceChildren();
  for (const n of state.nodes) {
    const li = el('li', {class: n.node === state.viewed ? 'viewed' : '', 'data-node': n.node});
    const name = el('span', {class: 'name', textContent: n.node});
    name.addEventListener('click', () => { selected = n.node; change('/api/view', {node: n.node}); });
    const remove = el('button', {type: 'button', textContent: '×', title: 'remove the node', 'data-action': 'remove'});
    remove.addEventListener('click', () => change('/api/remove', {node: n.node}));
    li.append(el('div', {class: 'head'}, name, el('span', {class: 'tool', textContent: n.name}), remove));
    for (const page of n.pages) for (const c of page.inputs) {
      if (c.kind !== 'image') continue;
      const sel = el('select', {'data-input': c.label});
      sel.append(el('option', {value: '', textContent: '(none)'}), el('option', {value: '@file', textContent: 'file…'}));
      for (const o of state.nodes) if (o.node !== n.node) sel.append(el('option', {value: o.node, textContent: o.node}));
      const path = el('input', {type: 'text', placeholder: 'file path', 'data-path': c.label});
      if (c.link && c.link.kind === 'node') sel.value = c.link.target;
      else if (c.link) { sel.value = '@file'; path.value = c.link.target; }
      path.hidden = sel.value !== '@file';
      sel.addEventListener('change', () => {
        path.hidden = sel.value !== '@file';
        if (sel.value === '') change('/api/disconnect', {node: n.node, input: c.label});
        else if (sel.value !== '@file') change('/api/connect', {node: n.node, input: c.label, source: sel.value});
      });
      path.addEventListener('change', () => change('/api/connect', {node: n.node, input: c.label, file: path.value}));
      li.append(el('div', {class: 'link'}, el('label', {textContent: c.label}), el('div', {}, sel, path)));
    }
    list.append(li);
  }
  const viewed = $('viewed');
  viewed.replaceChildren(...state.nodes.map((n) => el('option', {value: n.node, textContent: n.node})));
  viewed.value = state.viewed;
}

// ---- state ----------------------------------------------------------------------------------

function apply(s) {
  state = s;
  $('file').textContent = s.savePath;
  if (!nodeOf(selected)) selected = s.viewed;
  const tools = $('add-tool');
  if (tools.options.length !== s.tools.length)
    tools.replaceChildren(...s.tools.map((t) => el('option', {value: t, textContent: t})));
  graphPanel();
  const frame = $('frame');
  frame.min = s.firstFrame; frame.max = s.lastFrame;
  if (document.activeElement !== frame) frame.value = s.frame;
  $('frame-number').textContent = s.frame;
  $('frames').hidden = s.firstFrame === s.lastFrame;
  $('scope-on').checked = s.scopeOn;

  const desc = nodeOf(selected);
  const key = selected + ':' + (desc ? desc.name : '') + ':' + s.nodes.map((n) => n.node).join(',');
  if (key !== built) {
    built = key;
    if (desc) buildControls($('pages'), $('tabs'), desc, selected);
    else { $('pages').replaceChildren(); $('tabs').replaceChildren(); }
    $('node-title').textContent = desc ? selected + ' (' + desc.name + ')' : 'no node';
  }
  if (desc) refreshControls($('pages'), desc);
  const scopePanel = $('scope-controls');
  scopePanel.hidden = !s.scopeOn || !s.scope;
  if (s.scope) {
    if (!scopePanel.childElementCount) buildControls(scopePanel, null, s.scope, '@scope');
    refreshControls(scopePanel, s.scope);
    for (const d of scopePanel.children) d.hidden = !d.querySelector('.control:not([data-kind="image"])');
  }
}

$('save').addEventListener('click', async () => {
  try {
    const r = await api('/api/save', {});
    showError('');
    $('status').textContent = 'saved ' + r.saved;
  } catch (e) { showError(e.message); }
});
$('add').addEventListener('click', () => {
  change('/api/add', {tool: $('add-tool').value});
  selected = null;
});
$('viewed').addEventListener('change', () => { selected = $('viewed').value; change('/api/view', {node: selected}); });
$('frame').addEventListener('input', () => change('/api/view', {frame: Number($('frame').value)}));
$('scale').addEventListener('change', requestPreview);
$('scope-on').addEventListener('change', () => change('/api/view', {scope: $('scope-on').checked}));

api('/api/state').then((s) => { apply(s); requestPreview(); }).catch((e) => showError(e.message));
