// Building blocks of every screen, the login's too: elements, labelled form
// fields with their checks, and dialogs.

import * as check from './check.js';
import { LoginNeeded } from './api.js';

export function h(tag, props, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (v == null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of kids.flat()) if (c != null && c !== false) e.append(c);
  return e;
}

let uid = 0;
const nextId = (key) => `f-${key}-${++uid}`;

// One labelled field. def: key, label, type (text, password, number, select,
// check, time, named), help, optional, min, max, maxlen, minlen, options
// [[value, label]], num (select of numbers), names [[number, name]] (named:
// a select of the named values and a raw number for any other), on/off
// (check values), reveal (a password that can be shown), check(v, values),
// show(values).
export function makeField(def) {
  const type = def.type || 'text';
  const id = nextId(def.key);
  const errId = `${id}-err`;
  const helpId = def.help ? `${id}-help` : null;
  let input;
  let raw = null;
  let extra = null;
  if (type === 'named') {
    input = h('select', { id, name: def.key });
    for (const [v, label] of def.names) input.append(h('option', { value: String(v) }, label));
    input.append(h('option', { value: 'raw' }, 'Another value (advanced)'));
    const rawId = `${id}-raw`;
    raw = h('input', { id: rawId, type: 'text', inputmode: 'numeric', autocomplete: 'off', spellcheck: 'false', 'aria-describedby': errId });
    extra = h('div', { class: 'raw', hidden: true }, h('label', { for: rawId }, 'Advanced: raw value'), raw);
    input.addEventListener('change', () => {
      extra.hidden = input.value !== 'raw';
      if (!extra.hidden) raw.focus();
    });
  } else if (type === 'select') {
    input = h('select', { id, name: def.key });
    for (const [v, label] of def.options) input.append(h('option', { value: String(v) }, label));
  } else if (type === 'check') {
    input = h('input', { id, name: def.key, type: 'checkbox' });
  } else {
    input = h('input', {
      id,
      name: def.key,
      type: type === 'number' ? 'text' : type,
      inputmode: type === 'number' ? 'numeric' : def.inputmode,
      autocomplete: def.autocomplete || 'off',
      placeholder: def.placeholder,
      maxlength: def.maxlen,
      spellcheck: 'false',
    });
  }
  input.setAttribute('aria-describedby', [helpId, errId].filter(Boolean).join(' '));
  const label = h('label', { for: id }, def.label);
  const help = helpId && h('p', { class: 'help', id: helpId }, def.help);
  const err = h('p', { class: 'err', id: errId });
  let control = input;
  if (def.reveal) {
    const eye = h('button', { type: 'button', class: 'small', 'aria-pressed': 'false', 'aria-controls': id }, 'Show');
    eye.addEventListener('click', () => {
      const showIt = input.type === 'password';
      input.type = showIt ? 'text' : 'password';
      eye.setAttribute('aria-pressed', String(showIt));
      eye.textContent = showIt ? 'Hide' : 'Show';
    });
    control = h('div', { class: 'with-button' }, input, eye);
  }
  const wrap =
    type === 'check'
      ? h('div', { class: 'field check' }, input, label, help, err)
      : h('div', { class: 'field' }, label, control, extra, help, err);
  const on = def.on ?? 1;
  const off = def.off ?? 0;

  const f = {
    def,
    wrap,
    input,
    get() {
      if (type === 'check') return input.checked ? on : off;
      const s = input.value;
      if (type === 'number') return /^-?\d+$/.test(s.trim()) ? Number(s.trim()) : NaN;
      if (type === 'select' && def.num) return Number(s);
      if (type === 'named') return s === 'raw' ? (/^\d+$/.test(raw.value.trim()) ? Number(raw.value.trim()) : NaN) : Number(s);
      if (type === 'time') {
        const m = /^(\d\d):(\d\d)$/.exec(s);
        return m ? Number(m[1]) * 60 + Number(m[2]) : NaN;
      }
      return s;
    },
    set(v) {
      if (type === 'check') input.checked = def.on === undefined ? Number(v) !== 0 : v === on;
      else if (type === 'time') {
        const n = Number(v) || 0;
        input.value = `${String(Math.floor(n / 60) % 24).padStart(2, '0')}:${String(n % 60).padStart(2, '0')}`;
      } else if (type === 'named') {
        const known = def.names.some(([n]) => String(n) === String(v));
        input.value = known ? String(v) : 'raw';
        raw.value = known || v == null || Number.isNaN(v) ? '' : String(v);
        extra.hidden = known;
      } else if (type === 'select') {
        const s = String(v ?? '');
        if (![...input.options].some((o) => o.value === s)) input.append(h('option', { value: s }, `${s} (as set)`));
        input.value = s;
      } else input.value = v == null || Number.isNaN(v) || (def.unset !== undefined && v === def.unset) ? '' : String(v);
    },
    problem(values) {
      const v = f.get();
      let p = '';
      if (type === 'number' || type === 'named') p = check.int(v, def.min ?? 0, def.max ?? 2147483647);
      else if (type === 'time') p = Number.isNaN(v) ? 'Enter a time such as 03:30.' : '';
      else if (type === 'text' || type === 'password') {
        p = check.text(v, { min: def.optional ? 0 : def.minlen ?? 1, max: def.maxlen ?? 255, what: def.label });
      }
      if (!p && def.check && !(def.optional && v === '')) p = def.check(v, values);
      return p;
    },
    setError(msg) {
      err.textContent = msg;
      const el = raw && !extra.hidden ? raw : input;
      if (msg) el.setAttribute('aria-invalid', 'true');
      else el.removeAttribute('aria-invalid');
    },
    focus() {
      (raw && !extra.hidden ? raw : input).focus();
    },
  };
  return f;
}

// A form of fields; defs may also hold { section: 'Heading', show } and
// { note: 'Text', show } (a warning shown while show(values) holds).
// level: the heading level of the sections, one below what holds the form.
export class Form {
  constructor(defs, { submit = 'Save', onSubmit, extra, level = 2 } = {}) {
    this.fields = [];
    this.sections = [];
    this.clean = '';
    const parts = defs.map((s) => {
      if (s.section || s.note) {
        const el = s.section ? h(`h${level}`, { class: 'section' }, s.section) : h('p', { class: 'warning', 'data-note': '' }, s.note);
        this.sections.push({ el, show: s.show });
        return el;
      }
      const f = makeField(s);
      this.fields.push(f);
      return f.wrap;
    });
    this.btn = h('button', { type: 'submit', class: 'primary' }, submit);
    this.msg = h('p', { class: 'msg', role: 'status' });
    this.el = h('form', { class: 'form', novalidate: true }, parts, extra, h('div', { class: 'actions' }, this.btn), this.msg);
    // a message about the values before this change no longer holds
    const changed = () => {
      if (this.el.getAttribute('aria-busy') !== 'true' && !this.locked) this.say('');
      this.update();
    };
    this.el.addEventListener('input', changed);
    this.el.addEventListener('change', changed);
    this.el.addEventListener('submit', async (ev) => {
      ev.preventDefault();
      if (this.btn.disabled || !this.validate()) return;
      this.busy(true);
      try {
        await onSubmit(this.values(), this);
      } catch (e) {
        if (!(e instanceof LoginNeeded)) this.say(e.message, 'err');
      } finally {
        this.busy(false);
      }
    });
  }
  field(key) {
    return this.fields.find((f) => f.def.key === key);
  }
  values() {
    return Object.fromEntries(this.fields.map((f) => [f.def.key, f.get()]));
  }
  // Values of the fields that are shown.
  shown() {
    return Object.fromEntries(this.fields.filter((f) => !f.wrap.hidden).map((f) => [f.def.key, f.get()]));
  }
  set(obj) {
    for (const f of this.fields) if (f.def.key in obj) f.set(obj[f.def.key]);
    this.update();
  }
  // The values as they are now count as saved.
  markClean() {
    this.clean = JSON.stringify(this.values());
  }
  dirty() {
    return JSON.stringify(this.values()) !== this.clean;
  }
  update() {
    const v = this.values();
    for (const f of this.fields) f.wrap.hidden = f.def.show ? !f.def.show(v) : false;
    for (const s of this.sections) s.el.hidden = s.show ? !s.show(v) : false;
  }
  validate() {
    const v = this.values();
    let first = null;
    for (const f of this.fields) {
      const p = f.wrap.hidden ? '' : f.problem(v);
      f.setError(p);
      if (p && !first) first = f;
    }
    if (first) {
      this.say('Please correct the marked fields.', 'err');
      first.focus();
      return false;
    }
    this.say('');
    return true;
  }
  say(text, kind = 'ok') {
    this.msg.textContent = text;
    this.msg.className = `msg ${kind}`;
  }
  // locked: the button stays disabled whatever a submission does
  busy(on) {
    this.btn.disabled = on || Boolean(this.locked);
    this.el.setAttribute('aria-busy', String(on));
  }
}

// A box that scrolls a wide table sideways, reachable with the keyboard.
export function scrollable(name, table) {
  return h('div', { class: 'scroll', tabindex: '0', role: 'region', 'aria-label': name }, table);
}

function modal(content, { closable = true } = {}) {
  const d = h('dialog', { class: 'modal' }, content);
  if (!closable) d.addEventListener('cancel', (e) => e.preventDefault());
  document.body.append(d);
  d.showModal();
  return d;
}

// Asks before something that cannot be undone. Resolves to true or false.
export function confirmDialog(title, text, ok = 'Continue') {
  return new Promise((resolve) => {
    const yes = h('button', { type: 'button', class: 'danger' }, ok);
    const no = h('button', { type: 'button' }, 'Cancel');
    const d = modal([h('h2', {}, title), h('p', {}, text), h('div', { class: 'actions' }, no, yes)]);
    d.setAttribute('aria-label', title);
    const done = (v) => {
      d.close();
      d.remove();
      resolve(v);
    };
    yes.addEventListener('click', () => done(true));
    no.addEventListener('click', () => done(false));
    d.addEventListener('cancel', () => done(false));
    no.focus();
  });
}

// A modal notice while the router is busy; returns { say, close }.
export function waitNotice(title, text) {
  const p = h('p', { role: 'status' }, text);
  const d = modal([h('h2', {}, title), p, h('progress', { 'aria-label': title })], { closable: false });
  d.id = 'wait';
  d.setAttribute('aria-label', title);
  return {
    say: (t) => (p.textContent = t),
    close: () => {
      d.close();
      d.remove();
    },
  };
}
