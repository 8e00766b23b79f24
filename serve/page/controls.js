// The controls of the viewed node, built from the tool's declarations: pages as tabs, groups,
// sliders and number fields, combos, checkboxes, colour pickers, points and the image inputs.
// Number controls show their value at the current frame (a driven one its expression's value),
// and each has a keyframe button (set or remove the key at this frame) and an expression field.
import {$, el, newGesture} from './dom.js';

function hex2(v) { return Math.round(Math.min(1, Math.max(0, v)) * 255).toString(16).padStart(2, '0'); }

const isNumberKind = (c) => c.kind !== 'combo' && c.kind !== 'checkbox' && c.kind !== 'image';

export class ControlPanel {
  constructor(app) {
    this.app = app;
    this.built = '';
    this.activePage = {};
    this.gesture = '';
    $('make-output').addEventListener('click', () => {
      const s = this.app.state;
      this.app.change('/api/view', {output: s.output === s.viewed ? '' : s.viewed}, {picture: false});
    });
  }

  desc(node) { return this.app.nodeOf(node); }

  // The number a control shows, for the page; c as the state gives it.
  current(node, id) {
    const d = this.desc(node);
    if (!d) return null;
    for (const p of d.pages) for (const c of p.inputs) if (c.id === id) return c;
    return null;
  }

  // Sets a plain value. A control driven by an expression asks first: the value replaces it.
  setValue(node, c, value, row) {
    const now = this.current(node, c.id);
    if (now && now.expression &&
        !window.confirm(`"${c.label}" is driven by the expression ${now.expression}. ` +
                        `Remove the expression and set ${value} instead?`)) {
      this.refresh(row.closest('[data-owner]'), this.desc(node));
      return;
    }
    this.app.change('/api/set', {node, control: c.id, value});
  }

  numberCells(node, c, row) {
    const lo = c.rangeLow ?? c.limitLow, hi = c.rangeHigh ?? c.limitHigh;
    const field = el('input', {type: 'number', step: c.wholeNumbers ? 1 : 'any', 'data-role': 'number'});
    if (c.limitLow !== undefined) field.min = c.limitLow;
    if (c.limitHigh !== undefined) field.max = c.limitHigh;
    field.addEventListener('change', () => this.setValue(node, c, Number(field.value), row));
    if (lo === undefined || hi === undefined) return [el('span'), field];
    const slider = el('input', {type: 'range', min: lo, max: hi, step: c.wholeNumbers ? 1 : (hi - lo) / 1000,
                                'data-role': 'slider'});
    slider.addEventListener('pointerdown', () => { this.gesture = newGesture(); });
    slider.addEventListener('input', () => {
      field.value = slider.value;
      this.app.changeLatest(node + '\n' + c.id,
                            {node, control: c.id, value: Number(slider.value), group: this.gesture || newGesture()});
    });
    return [slider, field];
  }

  // The keyframe button and the expression toggle of a number or point control.
  animationCells(node, c, row) {
    const key = el('button', {type: 'button', class: 'key', textContent: '◆', 'data-role': 'key',
                              title: 'set a keyframe at this frame'});
    key.addEventListener('click', () => {
      const now = this.current(node, c.id) || c;
      const here = (now.keys || []).includes(this.app.state.frame);
      this.app.change('/api/key', here ? {node, control: c.id, remove: true} : {node, control: c.id});
    });
    if (c.kind === 'point' || Array.isArray(c.value)) return [key, el('span')];
    const toggle = el('button', {type: 'button', class: 'fx', textContent: 'ƒ', 'data-role': 'expr-toggle',
                                 title: 'drive by an expression of frame and other controls'});
    toggle.addEventListener('click', () => {
      row.classList.toggle('editing');
      if (row.classList.contains('editing')) row.querySelector('[data-role="expression"]').focus();
    });
    return [key, toggle];
  }

  expressionRow(node, c) {
    const input = el('input', {type: 'text', 'data-role': 'expression', placeholder: 'e.g. 0.5 + frame / 100',
                               spellcheck: false});
    input.addEventListener('change', () => this.app.change('/api/set', {node, control: c.id, expression: input.value}));
    return el('div', {class: 'expr-row'}, el('span', {textContent: '='}), input,
              el('span', {class: 'driven-value', 'data-role': 'driven'}));
  }

  linkCells(node, c) {
    const sel = el('select', {'data-input': c.label, 'data-role': 'link'});
    const path = el('input', {type: 'text', placeholder: 'file path', 'data-path': c.label});
    sel.addEventListener('change', () => {
      path.hidden = sel.value !== '@file';
      if (sel.value === '') this.app.change('/api/disconnect', {node, input: c.label});
      else if (sel.value !== '@file') this.app.change('/api/connect', {node, input: c.label, source: sel.value});
      else path.focus();
    });
    path.addEventListener('change', () => this.app.change('/api/connect', {node, input: c.label, file: path.value}));
    return [el('div', {class: 'link'}, sel, path)];
  }

  row(node, c, animated) {
    const row = el('div', {class: 'control', 'data-control': c.id, 'data-kind': c.kind});
    row.append(el('label', {textContent: c.label, title: c.id}));
    if (c.kind === 'combo') {
      const sel = el('select', {'data-role': 'combo'});
      c.items.forEach((t, i) => sel.append(el('option', {value: i, textContent: t})));
      sel.addEventListener('change', () => this.setValue(node, c, Number(sel.value), row));
      row.classList.add('wide');
      row.append(sel);
    } else if (c.kind === 'checkbox') {
      const box = el('input', {type: 'checkbox', 'data-role': 'checkbox'});
      box.addEventListener('change', () => this.setValue(node, c, box.checked, row));
      row.classList.add('wide');
      row.append(box);
    } else if (c.kind === 'image') {
      row.classList.add('wide');
      row.append(...this.linkCells(node, c));
    } else if (c.kind === 'point' || Array.isArray(c.value)) {
      const x = el('input', {type: 'number', step: 'any', 'data-role': 'x'});
      const y = el('input', {type: 'number', step: 'any', 'data-role': 'y'});
      const send = () => this.app.change('/api/set', {node, control: c.id, value: [Number(x.value), Number(y.value)]});
      x.addEventListener('change', send);
      y.addEventListener('change', send);
      row.append(x, y);
      if (animated) row.append(...this.animationCells(node, c, row));
    } else {
      row.append(...this.numberCells(node, c, row));
      if (animated) {
        row.append(...this.animationCells(node, c, row));
        row.append(this.expressionRow(node, c));
      }
    }
    return row;
  }

  // A colour group: one picker for its red, green and blue members (their own rows stay below).
  colourPicker(node, members) {
    const picker = el('input', {type: 'color', 'data-role': 'colour'});
    picker.addEventListener('pointerdown', () => { this.gesture = newGesture(); });
    picker.addEventListener('input', () => {
      const v = picker.value;
      const settings = members.slice(0, 3).map((m, i) =>
        ({control: m.id, value: parseInt(v.substr(1 + 2 * i, 2), 16) / 255}));
      this.app.changeLatest(node + '\n' + members[0].group + ' colour', {node, settings, group: this.gesture});
    });
    return el('div', {class: 'control wide', 'data-colour': members[0].group},
              el('label', {textContent: 'Colour'}), picker);
  }

  build(container, tabs, desc, node, animated) {
    container.replaceChildren();
    if (tabs) tabs.replaceChildren();
    for (const page of desc.pages) {
      const title = page.page || 'Inputs';
      const div = el('div', {class: 'page', 'data-page': title});
      let fieldset = null, group = null;
      for (const c of page.inputs) {
        if (node === '@scope' && c.kind === 'image') continue;  // the viewer feeds it
        if (c.group === undefined) { fieldset = null; group = null; }
        else if (c.group !== group) {
          group = c.group;
          fieldset = el('fieldset', {'data-group': c.group}, el('legend', {textContent: c.groupLabel || ''}));
          const colours = page.inputs.filter((o) => o.group === c.group && o.kind === 'colour');
          if (colours.length >= 3) fieldset.append(this.colourPicker(node, colours));
          div.append(fieldset);
        }
        (fieldset || div).append(this.row(node, c, animated));
      }
      container.append(div);
      if (tabs) {
        const b = el('button', {type: 'button', textContent: title, role: 'tab', 'data-tab': title});
        b.addEventListener('click', () => { this.activePage[node] = title; this.showPage(container, tabs, title); });
        tabs.append(b);
      }
    }
    if (tabs) this.showPage(container, tabs, this.activePage[node] || (desc.pages[0] && (desc.pages[0].page || 'Inputs')));
  }

  showPage(container, tabs, title) {
    for (const d of container.children) d.hidden = d.dataset.page !== title;
    for (const b of tabs.children) b.classList.toggle('active', b.dataset.tab === title);
  }

  // Puts the state's values, marks and shown flags into the built controls, leaving alone the one
  // being edited.
  refresh(container, desc) {
    const s = this.app.state;
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
      if (c.kind === 'image') { this.refreshLink(row, c); continue; }
      if (Array.isArray(c.value)) { set('x', c.value[0]); set('y', c.value[1]); }
      else this.refreshNumber(row, c, set);
      const keyed = (c.keys || []).includes(s.frame);
      row.classList.toggle('animated', !!c.animated);
      row.classList.toggle('keyed', keyed);
      const key = row.querySelector('[data-role="key"]');
      if (key) {
        key.title = keyed ? 'remove the keyframe at this frame' : 'set a keyframe at this frame';
        key.disabled = !!c.expression;
      }
    }
    for (const fs of container.querySelectorAll('fieldset')) {
      const rows = [...fs.querySelectorAll('.control[data-control]')];
      fs.hidden = rows.length > 0 && rows.every((r) => r.hidden);
      const picker = fs.querySelector('[data-role="colour"]');
      if (picker && picker !== document.activeElement) {
        const vals = rows.filter((r) => r.dataset.kind === 'colour').slice(0, 3)
          .map((r) => Number(r.querySelector('[data-role="number"]').value));
        if (vals.length === 3) picker.value = '#' + vals.map(hex2).join('');
      }
    }
  }

  refreshNumber(row, c, set) {
    // A tool's notification may move a control's range (Remap's "Ranges").
    const slider = row.querySelector('[data-role="slider"]'), field = row.querySelector('[data-role="number"]');
    if (slider && c.rangeLow !== undefined && c.rangeHigh !== undefined) {
      slider.min = c.rangeLow; slider.max = c.rangeHigh;
      if (!c.wholeNumbers) slider.step = (c.rangeHigh - c.rangeLow) / 1000;
    }
    if (field && c.limitLow !== undefined) field.min = c.limitLow;
    if (field && c.limitHigh !== undefined) field.max = c.limitHigh;
    set('combo', c.value); set('checkbox', c.value); set('slider', c.value); set('number', c.value);
    if (slider) slider.disabled = !!c.expression;  // the field asks before a value replaces it
    row.classList.toggle('driven', !!c.expression);
    row.classList.toggle('value-error', !!c.valueError);
    row.title = c.valueError || (c.expression ? 'driven by ' + c.expression : '');
    if (c.expression) row.classList.add('editing');
    set('expression', c.expression || '');
    const driven = row.querySelector('[data-role="driven"]');
    if (driven) driven.textContent = c.expression ? (c.valueError ? '—' : '→ ' + Number(c.value).toPrecision(6)) : '';
  }

  refreshLink(row, c) {
    const sel = row.querySelector('[data-role="link"]'), path = row.querySelector('[data-path]');
    const node = row.closest('[data-owner]').dataset.owner;
    const options = [['', '(none)'], ['@file', 'file…'],
                     ...this.app.state.nodes.filter((o) => o.node !== node).map((o) => [o.node, o.node])];
    if ([...sel.options].map((o) => o.value).join() !== options.map((o) => o[0]).join())
      sel.replaceChildren(...options.map(([v, t]) => new Option(t, v)));
    if (sel !== document.activeElement) sel.value = c.link ? (c.link.kind === 'node' ? c.link.target : '@file') : '';
    if (path !== document.activeElement) path.value = c.link && c.link.kind === 'file' ? c.link.target : '';
    path.hidden = sel.value !== '@file';
  }

  update(s) {
    const node = s.viewed;
    const desc = this.desc(node);
    const key = node + ':' + (desc ? desc.name : '') + ':' + s.nodes.map((n) => n.node).join(',');
    const pages = $('pages');
    if (key !== this.built) {
      this.built = key;
      pages.dataset.owner = node;
      if (desc) this.build(pages, $('tabs'), desc, node, true);
      else { pages.replaceChildren(); $('tabs').replaceChildren(); }
    }
    $('node-title').textContent = desc ? node + ' (' + desc.name + ')' : 'no node';
    $('make-output').hidden = !desc;
    $('make-output').textContent = s.output === node ? 'Output ★' : 'Make output';
    $('make-output').classList.toggle('on', s.output === node);
    if (desc) this.refresh(pages, desc);
    $('scope-controls').hidden = !s.scopeOn || !s.scope;
    if (s.scope) {
      const scope = $('scope-pages');
      scope.dataset.owner = '@scope';
      if (!scope.querySelector('.page')) this.build(scope, null, s.scope, '@scope', false);
      this.refresh(scope, s.scope);
      for (const d of scope.querySelectorAll('.page')) d.hidden = !d.querySelector('.control');
    }
  }
}
