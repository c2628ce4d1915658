// Building blocks of the screens: elements, labelled form fields with their
// checks, rule tables, dialogs and the waits for the router.

import * as check from './check.js';
import { alive, call, LoginNeeded, sleep } from './api.js';

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
// check, time), help, optional, min, max, maxlen, minlen, options [[value,
// label]], num (select of numbers), on/off (check values), check(v, values),
// show(values).
function makeField(def) {
  const type = def.type || 'text';
  const id = nextId(def.key);
  const errId = `${id}-err`;
  const helpId = def.help ? `${id}-help` : null;
  let input;
  if (type === 'select') {
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
  const wrap =
    type === 'check'
      ? h('div', { class: 'field check' }, input, label, help, err)
      : h('div', { class: 'field' }, label, input, help, err);
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
      } else if (type === 'select') {
        const s = String(v ?? '');
        if (![...input.options].some((o) => o.value === s)) input.append(h('option', { value: s }, `${s} (as set)`));
        input.value = s;
      } else input.value = v == null || Number.isNaN(v) ? '' : String(v);
    },
    problem(values) {
      const v = f.get();
      let p = '';
      if (type === 'number') p = check.int(v, def.min ?? 0, def.max ?? 2147483647);
      else if (type === 'time') p = Number.isNaN(v) ? 'Enter a time such as 03:30.' : '';
      else if (type === 'text' || type === 'password') {
        p = check.text(v, { min: def.optional ? 0 : def.minlen ?? 1, max: def.maxlen ?? 255, what: def.label });
      }
      if (!p && def.check && !(def.optional && v === '')) p = def.check(v, values);
      return p;
    },
    setError(msg) {
      err.textContent = msg;
      if (msg) input.setAttribute('aria-invalid', 'true');
      else input.removeAttribute('aria-invalid');
    },
  };
  return f;
}

// A form of fields; defs may also hold { section: 'Heading', show }.
export class Form {
  constructor(defs, { submit = 'Save', onSubmit, extra } = {}) {
    this.fields = [];
    this.sections = [];
    const parts = defs.map((s) => {
      if (s.section) {
        const el = h('h3', { class: 'section' }, s.section);
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
    this.el.addEventListener('input', () => this.update());
    this.el.addEventListener('change', () => this.update());
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
      first.input.focus();
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

// A table of rules with a delete button per rule and a small form that adds one.
export class RuleList {
  // item: what one rule is called; columns: [[key, header, format?]]; fields: field defs of a new rule;
  // toRule(values) -> rule; check(rule, rules) -> problem or ''.
  constructor({ title, item, columns, fields, toRule = (v) => v, check: ruleCheck = () => '', max = 32 }) {
    this.rules = [];
    this.columns = columns;
    this.max = max;
    this.body = h('tbody');
    const table = h(
      'table',
      { class: 'rules' },
      h('caption', {}, title),
      h('thead', {}, h('tr', {}, columns.map(([, head]) => h('th', { scope: 'col' }, head)), h('th', { scope: 'col' }, h('span', { class: 'vh' }, 'Actions')))),
      this.body,
    );
    this.fields = fields.map(makeField);
    this.msg = h('p', { class: 'msg', role: 'status' });
    const add = h('button', { type: 'button' }, `Add ${item}`);
    const values = () => Object.fromEntries(this.fields.map((f) => [f.def.key, f.get()]));
    const update = () => {
      const v = values();
      for (const f of this.fields) f.wrap.hidden = f.def.show ? !f.def.show(v) : false;
    };
    add.addEventListener('click', () => {
      const v = values();
      let first = null;
      for (const f of this.fields) {
        const p = f.wrap.hidden ? '' : f.problem(v);
        f.setError(p);
        if (p && !first) first = f;
      }
      if (first) return first.input.focus();
      const rule = toRule(v);
      const p = this.rules.length >= max ? `At most ${max} rules.` : ruleCheck(rule, this.rules);
      if (p) return this.say(p, 'err');
      this.rules.push(rule);
      this.render();
      for (const f of this.fields) if (f.def.type !== 'select' && f.def.type !== 'check') f.set('');
      this.say(`${item[0].toUpperCase()}${item.slice(1)} added. Save to apply it.`);
    });
    // Enter in a field of a new rule adds it rather than saving the page.
    for (const f of this.fields) {
      f.input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' && f.input.tagName === 'INPUT' && f.input.type !== 'checkbox') {
          e.preventDefault();
          add.click();
        }
      });
    }
    for (const f of this.fields) f.input.addEventListener('change', update);
    update();
    this.el = h(
      'div',
      { class: 'rulelist' },
      h('div', { class: 'scroll' }, table),
      h('fieldset', { class: 'add' }, h('legend', {}, `New ${item}`), this.fields.map((f) => f.wrap), h('div', { class: 'actions' }, add)),
      this.msg,
    );
    this.render();
  }
  say(text, kind = 'ok') {
    this.msg.textContent = text;
    this.msg.className = `msg ${kind}`;
  }
  set(rules) {
    this.rules = rules.slice();
    this.render();
  }
  render() {
    const n = this.columns.length + 1;
    this.body.replaceChildren(
      ...this.rules.map((r, i) => {
        const del = h('button', { type: 'button', class: 'small', 'aria-label': `Delete rule ${i + 1}` }, 'Delete');
        del.addEventListener('click', () => {
          this.rules.splice(i, 1);
          this.render();
          this.say('Rule deleted. Save to apply.');
        });
        if ('raw' in r) return h('tr', {}, h('td', { colspan: n - 1 }, `Unreadable rule kept as stored: ${r.raw}`), h('td', {}, del));
        return h('tr', {}, this.columns.map(([k, , fmt]) => h('td', {}, fmt ? fmt(r[k], r) : r[k] || '—')), h('td', {}, del));
      }),
    );
    if (!this.rules.length) this.body.append(h('tr', {}, h('td', { colspan: n, class: 'none' }, 'No rules.')));
  }
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

async function until(test, limitMs, everyMs) {
  const end = Date.now() + limitMs;
  while (Date.now() < end) {
    if (await test()) return true;
    await sleep(everyMs);
  }
  return false;
}

// After a change that restarts the router's services: wait until it answers.
export async function waitForRestart() {
  const w = waitNotice('Applying the change', 'The router restarts its services. This page goes on when it answers again.');
  await sleep(3000);
  const back = await until(alive, 120000, 1500);
  w.close();
  if (!back) throw new Error('The router has not come back after restarting its services. Reload this page in a moment.');
}

// After a reboot: wait for the router to go down and come back.
export async function waitForReboot(why) {
  const w = waitNotice('The router is rebooting', `${why} This page reconnects when the router is back, usually within two minutes.`);
  await sleep(3000);
  const wentDown = await until(async () => !(await alive(2000)), 25000, 1500);
  if (wentDown) {
    w.say('The router is starting again…');
    await until(alive, 300000, 2000);
  }
  w.close();
}

// A screen that edits the settings of one page: GET fills the form, POST saves.
// follow: 'restart' when the router restarts services after a change,
// 'firewall' when it reloads the firewall.
export async function settingsScreen(ctx, opt) {
  const { page, fields, follow, intro, note } = opt;
  const toRequest = opt.toRequest || ((v) => v);
  const fromAnswer = opt.fromAnswer || ((a) => a);
  const form = new Form(fields, {
    submit: opt.submit,
    extra: opt.extra,
    onSubmit: async (v) => {
      const ans = await call(page, toRequest(v, form));
      if (ans.result !== 0) {
        form.say('The router refused these settings.', 'err');
        return;
      }
      if (opt.afterSave?.(v, form)) return;
      if (follow === 'restart') {
        form.say('Saved. The router restarts its services to apply them…', 'info');
        await waitForRestart();
        form.say('Saved and applied.');
      } else if (follow === 'firewall') form.say('Saved. The firewall takes the change within a few seconds.');
      else form.say(note || 'Saved.');
      await load();
    },
  });
  async function load() {
    const ans = await call(page);
    form.set(fromAnswer(ans, form));
    opt.loaded?.(ans, form);
  }
  ctx.main.append(intro ? h('p', { class: 'intro' }, intro) : '', form.el);
  await load();
  return form;
}
