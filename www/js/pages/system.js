// Account, time and telnet.

import { call } from '../api.js';
import * as check from '../check.js';
import { settingsScreen, waitForRestart } from '../settings.js';
import { Form, h } from '../ui.js';

export async function account(ctx) {
  const form = new Form(
    [
      { key: 'username', label: 'User name', autocomplete: 'username', maxlen: 32, check: (s) => (s.trim() !== s ? 'No spaces at the start or the end.' : '') },
      { key: 'userpassword', label: 'New password', type: 'password', autocomplete: 'new-password', maxlen: 64 },
      { key: 'confirm', label: 'New password again', type: 'password', autocomplete: 'new-password', maxlen: 64, check: (s, v) => (s === v.userpassword ? '' : 'The two passwords differ.') },
    ],
    {
      submit: 'Change account',
      onSubmit: async (v) => {
        const ans = await call('user.cgi', { username: v.username, userpassword: v.userpassword });
        if (ans.result !== 0) return form.say('The router refused the change.', 'err');
        sessionStorage.setItem('user', v.username);
        form.say('Saved. The router restarts its services…', 'info');
        await waitForRestart();
        form.set({ userpassword: '', confirm: '' });
        form.say('Saved. Use the new user name and password at your next login.');
      },
    },
  );
  form.set({ username: sessionStorage.getItem('user') || '' });
  ctx.main.append(h('p', { class: 'intro' }, 'The one account that can manage this router.'), form.el);
}

// POSIX time zones of whole and common half-hour offsets (the sign is inverted there).
function zones() {
  const offs = [];
  for (let m = -12 * 60; m <= 14 * 60; m += 60) offs.push(m);
  offs.push(-210, 210, 270, 330, 345, 390, 570, 630, 765);
  offs.sort((a, b) => a - b);
  return offs.map((m) => {
    const a = Math.abs(m), hh = Math.floor(a / 60), mm = String(a % 60).padStart(2, '0');
    const posix = m === 0 ? 'UTC0' : `UTC${m > 0 ? '-' : ''}${hh}${a % 60 ? `:${mm}` : ''}`;
    return [posix, `UTC${m < 0 ? '−' : '+'}${String(hh).padStart(2, '0')}:${mm}`];
  });
}

export async function time(ctx) {
  await settingsScreen(ctx, {
    page: 'time.cgi',
    follow: 'restart',
    fields: [
      { key: 'TZ', label: 'Time zone', type: 'select', options: zones() },
      { key: 'NTPServerIP', label: 'Time server', maxlen: 127, check: (s) => check.host(s) },
      { key: 'NTPSync', label: 'Synchronise every (hours)', type: 'number', min: 0, max: 8760, help: '0 turns synchronisation off.' },
    ],
  });
}

export async function telnet(ctx) {
  await settingsScreen(ctx, {
    page: 'telnetd.cgi',
    intro: 'Telnet gives a command line on the router without encryption. Leave it off unless you need it.',
    note: 'Saved. The change applies when the router next starts.',
    fields: [{ key: 'telnetd', label: 'Telnet service on', type: 'check' }],
  });
}
