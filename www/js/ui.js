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

// The control of a plain input of the given type.
function plainInput(def, id, type = def.type || 'text', inputmode = def.inputmode) {
  const input = h('input', {
    id,
    name: def.key,
    type,
    inputmode,
    autocomplete: def.autocomplete || 'off',
    placeholder: def.placeholder,
    maxlength: def.maxlen,
    spellcheck: 'false',
  });
  return { input };
}

function selectOf(def, id, pairs) {
  const input = h('select', { id, name: def.key });
  for (const [v, label] of pairs) input.append(h('option', { value: String(v) }, label));
  return input;
}

const intOf = (s) => (/^-?\d+$/.test(s.trim()) ? Number(s.trim()) : NaN);
const showPlain = (f, v) => {
  f.input.value = v == null || Number.isNaN(v) || (f.def.unset !== undefined && v === f.def.unset) ? '' : String(v);
};
const intProblem = (f, v) => check.int(v, f.def.min ?? 0, f.def.max ?? 2147483647);
const textProblem = (f, v) => check.text(v, { min: f.def.optional ? 0 : f.def.minlen ?? 1, max: f.def.maxlen ?? 255, what: f.def.label });
const noProblem = () => '';

const PLAIN = { build: (def, id) => plainInput(def, id), get: (f) => f.input.value, set: showPlain, problem: noProblem };

// Each field type's behaviour: build(def, id, errId) makes its control
// ({ input } and, for a named number, its raw entry), get(f) reads the value,
// set(f, v) shows one, problem(f, v) says what is wrong with it (before the
// field's own check), and wrap, where given, lays the field out. A type not
// listed is a plain input of that type.
const FIELD_TYPES = {
  text: { ...PLAIN, problem: textProblem },
  password: { ...PLAIN, problem: textProblem },
  number: {
    build: (def, id) => plainInput(def, id, 'text', 'numeric'),
    get: (f) => intOf(f.input.value),
    set: showPlain,
    problem: intProblem,
  },
  time: {
    build: (def, id) => plainInput(def, id),
    get: (f) => {
      const m = /^(\d\d):(\d\d)$/.exec(f.input.value);
      return m ? Number(m[1]) * 60 + Number(m[2]) : NaN;
    },
    set: (f, v) => {
      const n = Number(v) || 0;
      f.input.value = `${String(Math.floor(n / 60) % 24).padStart(2, '0')}:${String(n % 60).padStart(2, '0')}`;
    },
    problem: (f, v) => (Number.isNaN(v) ? 'Enter a time such as 03:30.' : ''),
  },
  select: {
    build: (def, id) => ({ input: selectOf(def, id, def.options) }),
    get: (f) => (f.def.num ? Number(f.input.value) : f.input.value),
    set: (f, v) => {
      const s = String(v ?? '');
      if (![...f.input.options].some((o) => o.value === s)) f.input.append(h('option', { value: s }, `${s} (as set)`));
      f.input.value = s;
    },
    problem: noProblem,
  },
  check: {
    build: (def, id) => ({ input: h('input', { id, name: def.key, type: 'checkbox' }) }),
    get: (f) => (f.input.checked ? f.def.on ?? 1 : f.def.off ?? 0),
    set: (f, v) => {
      f.input.checked = f.def.on === undefined ? Number(v) !== 0 : v === f.def.on;
    },
    problem: noProblem,
    wrap: (p) => h('div', { class: 'field check' }, p.input, p.label, p.help, p.err),
  },
  // a select of the named values, and a raw number for any other
  named: {
    build: (def, id, errId) => {
      const input = selectOf(def, id, def.names);
      input.append(h('option', { value: 'raw' }, 'Another value (advanced)'));
      const rawId = `${id}-raw`;
      const raw = h('input', { id: rawId, type: 'text', inputmode: 'numeric', autocomplete: 'off', spellcheck: 'false', 'aria-describedby': errId });
      const extra = h('div', { class: 'raw', hidden: true }, h('label', { for: rawId }, 'Advanced: raw value'), raw);
      input.addEventListener('change', () => {
        extra.hidden = input.value !== 'raw';
        if (!extra.hidden) raw.focus();
      });
      return { input, raw, extra };
    },
    get: (f) => (f.input.value === 'raw' ? (/^\d+$/.test(f.raw.value.trim()) ? Number(f.raw.value.trim()) : NaN) : Number(f.input.value)),
    set: (f, v) => {
      const known = f.def.names.some(([n]) => String(n) === String(v));
      f.input.value = known ? String(v) : 'raw';
      f.raw.value = known || v == null || Number.isNaN(v) ? '' : String(v);
      f.extra.hidden = known;
    },
    problem: intProblem,
  },
};

// One labelled field. def: key, label, type (text, password, number, select,
// check, time, named), help, optional, min, max, maxlen, minlen, options
// [[value, label]], num (select of numbers), names [[number, name]] (named:
// a select of the named values and a raw number for any other), on/off
// (check values), reveal (a password that can be shown), check(v, values),
// show(values).
export function makeField(def) {
  const kind = FIELD_TYPES[def.type || 'text'] ?? PLAIN;
  const id = nextId(def.key);
  const errId = `${id}-err`;
  const helpId = def.help ? `${id}-help` : null;
  const { input, raw = null, extra = null } = kind.build(def, id, errId);
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
  const parts = { input, label, control, extra, help, err };
  const wrap = kind.wrap ? kind.wrap(parts) : h('div', { class: 'field' }, label, control, extra, help, err);
  // the raw entry of a named number, while it is shown
  const target = () => (raw && !extra.hidden ? raw : input);

  const f = {
    def,
    wrap,
    input,
    raw,
    extra,
    get: () => kind.get(f),
    set: (v) => kind.set(f, v),
    problem(values) {
      const v = f.get();
      let p = kind.problem(f, v);
      if (!p && def.check && !(def.optional && v === '')) p = def.check(v, values);
      return p;
    },
    setError(msg) {
      err.textContent = msg;
      if (msg) target().setAttribute('aria-invalid', 'true');
      else target().removeAttribute('aria-invalid');
    },
    focus() {
      target().focus();
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
