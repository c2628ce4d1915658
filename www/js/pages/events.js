// The router's event history: what the modem daemon did and saw, newest
// first, and why the router last restarted.

import { call, LoginNeeded } from '../api.js';
import { h } from '../ui.js';
import { table } from './services.js';
import { duration } from './status.js';

export async function events(ctx) {
  const last = h('p', { class: 'big', 'data-k': 'lastrestart' });
  const when = h('p', { class: 'help', 'data-k': 'lastrestarttime' });
  const box = h('div', { 'data-k': 'events' });
  const again = h('button', { type: 'button' }, 'Refresh');
  const error = h('p', { class: 'msg err', role: 'alert' });
  ctx.main.append(
    h('p', { class: 'intro' }, 'What the router did and saw since it started (at most 200 events), newest first.'),
    h('section', { class: 'card', 'aria-label': 'Last restart' }, h('h2', {}, 'Last restart'), last, when),
    error,
    box,
    again,
  );
  async function load() {
    let a;
    try {
      a = await call('events.cgi');
    } catch (e) {
      if (e instanceof LoginNeeded) throw e;
      last.textContent = 'Not known';
      when.textContent = '';
      box.replaceChildren();
      error.textContent = e.status === 404 ? 'This router keeps no event history: its firmware has no events page.' : `The event history could not be read. ${e.message}`;
      return;
    }
    error.textContent = '';
    const why = typeof a.lastRestart === 'string' ? a.lastRestart : '';
    last.textContent = why ? why[0].toUpperCase() + why.slice(1) : 'Not known yet: the modem daemon has not started since the router booted.';
    when.textContent = a.lastRestartTime ? `Decided at ${a.lastRestartTime} (router time).` : '';
    const list = Array.isArray(a.events) ? a.events : [];
    box.replaceChildren(
      list.length
        ? table('Events, newest first', ['Time', 'Up for', 'What happened'], list.map((e) => [e.time, Number.isInteger(e.uptime) ? duration(e.uptime) : '—', e.text]))
        : h('p', { class: 'msg info' }, 'No events recorded yet.'),
    );
  }
  again.addEventListener('click', () => load().catch(() => {}));
  await load();
}
