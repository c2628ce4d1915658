// The cellular screens: network mode and APN, and the SIM card's PIN.

import { call } from '../api.js';
import * as check from '../check.js';
import { settingsScreen } from '../settings.js';
import { Form, h } from '../ui.js';

const AUTH = [[0, 'None'], [1, 'PAP'], [2, 'CHAP']];
const manual = (v) => v.wan_3g_apnmode !== 0;

export async function mobile(ctx) {
  const apn = (key, label, max, help) => ({ key, label, optional: true, maxlen: max, help, show: manual, check: (s) => check.modemText(s, max) });
  await settingsScreen(ctx, {
    page: 'mobilenet.cgi',
    intro: 'How the modem reaches the mobile network. The network mode is the modem\'s own setting and applies at once; the APN settings apply when the modem is next set up (after a reboot).',
    note: 'Saved. The APN settings apply after the next reboot.',
    fields: [
      // the modem defines the mode numbers; only its factory value is known here
      {
        key: 'netmodeconfig', label: 'Network mode', type: 'named', names: [[2, 'Factory setting (mode 2)']], min: 0, max: 255,
        help: 'Other mode numbers as the modem\'s documentation gives them. The raw value is empty when the modem did not report its mode.',
      },
      { key: 'wan_3g_apnmode', label: 'APN', type: 'select', num: true, options: [[0, 'Automatic (the modem\'s own)'], [1, 'Manual']] },
      { section: 'Data connection', show: manual },
      apn('wan_3g_apn', 'APN name', 127),
      { key: 'wan_3g_authtype', label: 'Authentication', type: 'select', num: true, options: AUTH, show: manual },
      apn('wan_3g_user', 'User name', 255),
      { ...apn('wan_3g_pass', 'Password', 255), type: 'password', autocomplete: 'new-password' },
      { section: 'Attach (registration)', show: manual },
      apn('wan_3g_apn_reg', 'Attach APN name', 127, 'Used to register with the network; leave empty to use the APN above.'),
      { key: 'wan_3g_authtype_reg', label: 'Attach authentication', type: 'select', num: true, options: AUTH, show: manual },
      apn('wan_3g_user_reg', 'Attach user name', 255),
      { ...apn('wan_3g_pass_reg', 'Attach password', 255), type: 'password', autocomplete: 'new-password' },
    ],
  });
}

// sim.cgi's card_state and pin_state: the modem daemon answers them with
// constants of the same names (lted/command_server.h).
export const CARD_STATE_ABSENT = 0;
export const CARD_STATE_PRESENT = 1;
export const CARD_STATE_ERROR = 2;
export const PIN_STATE_UNKNOWN = 0;
export const PIN_STATE_PIN_REQUIRED = 1;
export const PIN_STATE_LOCK_ON = 2;
export const PIN_STATE_LOCK_OFF = 3;
export const PIN_STATE_PUK_REQUIRED = 4;

const CARD = {
  [CARD_STATE_ABSENT]: 'No SIM card',
  [CARD_STATE_PRESENT]: 'Present',
  [CARD_STATE_ERROR]: 'Error (the SIM or modem did not answer)',
};
const PINSTATE = {
  [PIN_STATE_UNKNOWN]: 'Not known',
  [PIN_STATE_PIN_REQUIRED]: 'PIN required',
  [PIN_STATE_LOCK_ON]: 'PIN lock on (unlocked)',
  [PIN_STATE_LOCK_OFF]: 'PIN lock off',
  [PIN_STATE_PUK_REQUIRED]: 'PUK required (the PIN is blocked)',
};

export async function sim(ctx) {
  const facts = h('dl');
  const info = h('section', { class: 'card', 'aria-label': 'SIM state' }, h('h2', {}, 'SIM state'), facts);
  const ops = h('div');
  const note = h('p', { class: 'msg', role: 'status', tabindex: '-1' });
  ctx.main.append(info, note, ops);

  async function load() {
    const a = await call('sim.cgi');
    const was = now;
    now = a;
    const known = Number.isInteger(a.card_state);
    const row = (k, label, v) => [h('dt', {}, label), h('dd', { 'data-k': k }, v)];
    facts.replaceChildren(
      ...(known
        ? [
            row('card_state', 'Card', CARD[a.card_state] ?? String(a.card_state)),
            row('pin_state', 'PIN', PINSTATE[a.pin_state] ?? String(a.pin_state)),
            row('pin_retries', 'PIN attempts left', String(a.pin_retries)),
            row('puk_retries', 'PUK attempts left', String(a.puk_retries)),
          ]
        : row('card_state', 'Card', 'The modem did not report the SIM state.')
      ).flat(),
    );
    ops.replaceChildren();
    if (known && a.card_state === CARD_STATE_PRESENT) {
      if (a.pin_state === PIN_STATE_PIN_REQUIRED) ops.append(op('Enter the PIN', 'verify_pin', [pinField('pin', 'PIN')], 'Unlock', a.pin_retries, 'PIN'));
      if (a.pin_state === PIN_STATE_PUK_REQUIRED) {
        ops.append(op('Unblock with the PUK', 'unblock_pin', [pukField(), pinField('newpin', 'New PIN'), confirmField()], 'Unblock', a.puk_retries, 'PUK'));
      }
      if (a.pin_state === PIN_STATE_LOCK_ON) {
        ops.append(op('Turn the PIN lock off', 'disable_pin', [pinField('pin', 'PIN')], 'Turn off', a.pin_retries, 'PIN'));
        ops.append(op('Change the PIN', 'change_pin', [pinField('pin', 'Current PIN'), pinField('newpin', 'New PIN'), confirmField()], 'Change PIN', a.pin_retries, 'PIN'));
      }
      if (a.pin_state === PIN_STATE_LOCK_OFF) ops.append(op('Turn the PIN lock on', 'enable_pin', [pinField('pin', 'PIN')], 'Turn on', a.pin_retries, 'PIN'));
    }
    ops.append(startPin(a.sim_init_pin ?? ''));
    return was;
  }
  let now = {};

  const pinField = (key, label) => ({ key, label, type: 'password', inputmode: 'numeric', autocomplete: 'off', maxlen: 8, check: check.pin });
  const pukField = () => ({ key: 'puk', label: 'PUK', type: 'password', inputmode: 'numeric', autocomplete: 'off', maxlen: 8, check: check.puk });
  const confirmField = () => ({ key: 'confirm', label: 'New PIN again', type: 'password', inputmode: 'numeric', maxlen: 8, check: (s, v) => (s === v.newpin ? '' : 'The two new PINs differ.') });

  // One PIN operation of the SIM, with the attempts it may cost.
  function op(title, type, fields, submit, left, what) {
    const form = new Form(fields, {
      submit,
      onSubmit: async (v) => {
        const body = { type };
        for (const k of ['pin', 'puk', 'newpin']) if (k in v) body[k] = v[k];
        form.say('Waiting for the SIM card…', 'info');
        const ans = await call('sim.cgi', body, { timeout: 60000 });
        // what happened shows in the card's state before and after
        const before = await load().catch(() => now);
        const after = now;
        const key = what === 'PUK' ? 'puk_retries' : 'pin_retries';
        const known = Number.isInteger(after.card_state);
        const left = (n) => `${n} attempt${n === 1 ? '' : 's'} left`;
        let text;
        let ok = false;
        if (ans.result === 0) {
          ok = true;
          text = `${title}: done.`;
        } else if (known && Number.isInteger(before[key]) && after[key] < before[key]) {
          text = `The SIM card refused the ${what}: ${left(after[key])}.`;
        } else if (known && before.pin_state !== after.pin_state && (before.pin_state === PIN_STATE_PIN_REQUIRED || before.pin_state === PIN_STATE_PUK_REQUIRED)) {
          ok = true;
          text = `The SIM card took the ${what}, but the router could not finish setting it up: it does so at its next check.`;
        } else if (!('result' in ans)) {
          text = known
            ? `The modem did not carry out the request; no attempt was used (${left(after[key])}). Try again.`
            : 'The modem did not answer; it is not known whether an attempt was used. Try again in a minute.';
        } else text = 'The router refused the request.';
        note.textContent = text;
        note.className = `msg ${ok ? 'ok' : 'err'}`;
        note.focus();
      },
    });
    const warn = h('p', { class: left < 3 ? 'warning' : 'help' }, `${left} attempt${left === 1 ? '' : 's'} left: a wrong ${what} costs one.`);
    return h('section', { class: 'card', 'aria-label': title }, h('h2', {}, title), warn, form.el);
  }

  function startPin(current) {
    const form = new Form(
      [{ key: 'sim_init_pin', label: 'PIN entered at start-up', type: 'password', inputmode: 'numeric', optional: true, maxlen: 8, check: check.pin, help: 'The router enters this PIN when the SIM asks for it at start-up (only while 3 attempts are left). Leave empty for none.' }],
      {
        onSubmit: async (v) => {
          const ans = await call('sim.cgi', { sim_init_pin: v.sim_init_pin });
          form.say(ans.result === 0 ? 'Saved.' : 'The router refused the PIN.', ans.result === 0 ? 'ok' : 'err');
        },
      },
    );
    form.set({ sim_init_pin: current });
    return h('section', { class: 'card', 'aria-label': 'Start-up PIN' }, h('h2', {}, 'Start-up PIN'), form.el);
  }

  await load();
}

// The modem's clock and, while connected, its position report.
export async function location(ctx) {
  const facts = h('dl');
  const again = h('button', { type: 'button' }, 'Ask the modem again');
  const busy = h('p', { class: 'help', role: 'status' });
  ctx.main.append(
    h('p', { class: 'intro' }, 'The modem\'s clock and the position it reports. A position is known only while the mobile connection is up; asking takes up to ten seconds.'),
    h('section', { class: 'card', 'aria-label': 'Location' }, facts, h('div', { class: 'actions' }, again), busy),
  );
  async function load() {
    again.disabled = true;
    busy.textContent = 'Asking the modem…';
    try {
      const a = await call('gps.cgi', undefined, { timeout: 30000 });
      const row = (k, label, v) => [h('dt', {}, label), h('dd', { 'data-k': k }, v)];
      const fix = typeof a.Latitude === 'number' && typeof a.Longitude === 'number';
      facts.replaceChildren(
        ...row('Time', 'Modem clock', a.Time || 'Not known'),
        ...row('Latitude', 'Latitude', fix ? `${a.Latitude.toFixed(6)}°` : 'No position'),
        ...row('Longitude', 'Longitude', fix ? `${a.Longitude.toFixed(6)}°` : 'No position'),
      );
    } finally {
      again.disabled = false;
      busy.textContent = '';
    }
  }
  again.addEventListener('click', () => load().catch((e) => (busy.textContent = e.message)));
  await load();
}
