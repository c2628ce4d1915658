// What the settings screens share: rule tables, the waits for the router
// after a change, and the screen that loads and saves one page's settings.

import { alive, call, sleep } from './api.js';
import { Form, h, makeField, scrollable, waitNotice } from './ui.js';

// A table of rules with a delete button per rule and a small form that adds one.
export class RuleList {
  // item: what one rule is called; columns: [[key, header, format?]]; fields: field defs of a new rule;
  // toRule(values) -> rule; check(rule, rules) -> problem or ''.
  constructor({ title, item, columns, fields, toRule = (v) => v, check: ruleCheck = () => '', max = 32 }) {
    this.rules = [];
    this.columns = columns;
    this.max = max;
    this.saved = '[]';
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
      if (first) return first.focus();
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
    for (const f of this.fields) {
      f.input.addEventListener('change', update);
      f.input.addEventListener('input', () => this.say(''));
    }
    update();
    this.el = h(
      'div',
      { class: 'rulelist' },
      scrollable(title, table),
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
    this.saved = JSON.stringify(this.rules);
    this.render();
  }
  // rules added and deleted again leave nothing to save
  get dirty() {
    return JSON.stringify(this.rules) !== this.saved;
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
// 'firewall' when it reloads the firewall. confirm(values): resolves to false
// to save nothing; unused(values): why saved values take no effect, or '';
// dirty(): unsaved changes beyond the form's fields.
export async function settingsScreen(ctx, opt) {
  const { page, fields, follow, intro, note } = opt;
  const toRequest = opt.toRequest || ((v) => v);
  const fromAnswer = opt.fromAnswer || ((a) => a);
  const form = new Form(fields, {
    submit: opt.submit,
    extra: opt.extra,
    onSubmit: async (v) => {
      if (opt.confirm && !(await opt.confirm(v))) return form.say('Nothing was saved.', 'info');
      const ans = await call(page, toRequest(v, form));
      if (ans.result !== 0) {
        form.say('The router refused these settings.', 'err');
        return;
      }
      if (opt.afterSave?.(v, form)) {
        // saved where it cannot load again: following the new address asks nothing
        form.markClean();
        return;
      }
      const unused = opt.unused?.(v) || '';
      if (follow === 'restart') {
        form.say('Saved. The router restarts its services to apply them…', 'info');
        await waitForRestart();
      }
      // The screen counts as saved before it says so: leaving it then asks nothing.
      await load();
      if (unused) form.say(`Saved, but ${unused}`, 'warn');
      else if (follow === 'restart') form.say('Saved and applied.');
      else if (follow === 'firewall') form.say('Saved. The firewall takes the change within a few seconds.');
      else form.say(note || 'Saved.');
    },
  });
  async function load() {
    const ans = await call(page);
    form.set(fromAnswer(ans, form));
    opt.loaded?.(ans, form);
    form.markClean();
  }
  ctx.main.append(intro ? h('p', { class: 'intro' }, intro) : '', form.el);
  await load();
  // only now is there a state to compare with: a screen still loading, or
  // one that failed to load, holds no changes
  ctx.guard?.(() => form.dirty() || Boolean(opt.dirty?.()));
  return form;
}
