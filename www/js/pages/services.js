// Clients, the connection watchdog, reboots, the serial DTU and the
// diagnostic bridge.

import { call } from '../api.js';
import * as check from '../check.js';
import { settingsScreen, waitForReboot } from '../settings.js';
import { confirmDialog, Form, h, scrollable } from '../ui.js';
import { duration } from './status.js';

// A table that becomes a list of labelled rows on a phone.
export function table(title, heads, rows) {
  return h(
    'section',
    { class: 'card', 'aria-label': title },
    scrollable(title, h('table', { class: 'rules stack' }, h('caption', {}, title),
      h('thead', {}, h('tr', {}, heads.map((t) => h('th', { scope: 'col' }, t)))),
      h('tbody', {}, rows.length ? rows.map((r) => h('tr', {}, r.map((c, i) => h('td', { 'data-label': heads[i] }, String(c ?? '—'))))) : h('tr', {}, h('td', { colspan: heads.length, class: 'none' }, 'None.'))))),
  );
}

const expiry = (v) => (v > 1e9 ? new Date(v * 1000).toLocaleString() : `in ${duration(v)}`);

// One row per device: the DHCP lease, the neighbour table and the Wi-Fi
// stations joined by MAC address.
function devices(a) {
  const all = new Map();
  const get = (mac) => {
    const k = String(mac || '').toUpperCase();
    if (!all.has(k)) all.set(k, { mac: k });
    return all.get(k);
  };
  for (const d of a.dhcp || []) Object.assign(get(d.mac), { name: d.hostname, ip: d.ip, expires: d.expires });
  // an incomplete neighbour entry has no device behind it
  for (const d of a.arp || []) {
    if (/^(00:){5}00$/.test(d.mac)) continue;
    const e = get(d.mac);
    e.ip ||= d.ip;
    e.device = d.device;
  }
  for (const d of a.sta || []) get(d.mac).sta = d;
  return [...all.values()].map((e) => [
    e.name || '—',
    e.ip || '—',
    e.mac,
    e.sta ? `Wi-Fi (${e.sta.BW ? '40' : '20'} MHz${e.sta.Psm ? ', power saving' : ''}) for ${duration(e.sta.ConnectedTime)}` : e.device ? `LAN (${e.device})` : '—',
    e.expires !== undefined ? expiry(e.expires) : '—',
  ]);
}

export async function clients(ctx) {
  const box = h('div');
  const again = h('button', { type: 'button' }, 'Refresh');
  ctx.main.append(h('p', { class: 'intro' }, 'Devices the router knows on its LAN and Wi-Fi: from the addresses it handed out, its neighbour table and the Wi-Fi stations.'), box, again);
  async function load() {
    const a = await call('client.cgi');
    box.replaceChildren(table('Devices', ['Name', 'IP address', 'MAC address', 'Connection', 'Lease ends'], devices(a)));
  }
  again.addEventListener('click', () => load().catch(() => {}));
  await load();
}

export async function watchdog(ctx) {
  ctx.main.append(h('h2', {}, 'Ping watchdog'));
  await settingsScreen(ctx, {
    page: 'ping.cgi',
    intro: 'While the mobile connection is up, the router pings a server and reboots when it stays unanswered. The settings apply after the next reboot.',
    note: 'Saved. The watchdog uses the new settings after the next reboot.',
    fields: [
      { key: 'server', label: 'Server to ping', optional: true, maxlen: 127, check: (s) => check.host(s), help: 'A host name or IPv4 address; empty turns the watchdog off.' },
      { key: 'interval', label: 'Interval between pings (seconds)', type: 'number', min: 1, max: 86400 },
      { key: 'timeout', label: 'Wait for an answer (seconds)', type: 'number', min: 1, max: 3600 },
      { key: 'timeoutcount', label: 'Reboot after this many unanswered pings', type: 'number', min: 1, max: 1000 },
    ],
  });
  ctx.main.append(h('h2', {}, 'Reboot when disconnected'));
  await settingsScreen(ctx, {
    page: 'checkconn.cgi',
    fields: [{ key: 'time', label: 'Reboot after the connection has been down for (minutes)', type: 'number', min: 0, max: 10080, help: '0 never reboots for this.' }],
  });
}

export async function reboot(ctx) {
  const every = (v) => v.auto_reboot_mode === 1;
  const daily = (v) => v.auto_reboot_mode === 2;
  ctx.main.append(h('h2', {}, 'Scheduled reboot'));
  await settingsScreen(ctx, {
    page: 'autoreboot.cgi',
    fields: [
      { key: 'auto_reboot_mode', label: 'Reboot on a schedule', type: 'select', num: true, options: [[0, 'Never'], [1, 'Every few hours'], [2, 'Every day at a set time']] },
      { key: 'hours', label: 'Every (hours of uptime)', type: 'number', min: 1, max: 8760, show: every },
      { key: 'at', label: 'At (router time)', type: 'time', show: daily },
    ],
    fromAnswer: (a) => ({ auto_reboot_mode: a.auto_reboot_mode, hours: a.auto_reboot_mode === 1 ? a.auto_reboot_time : 24, at: a.auto_reboot_mode === 2 ? a.auto_reboot_time : 180 }),
    toRequest: (v) => {
      if (every(v)) return { auto_reboot_mode: 1, auto_reboot_time: v.hours };
      if (daily(v)) return { auto_reboot_mode: 2, auto_reboot_time: v.at };
      return { auto_reboot_mode: v.auto_reboot_mode };
    },
  });
  const now = new Form([], {
    submit: 'Reboot now',
    extra: h('p', { class: 'help' }, 'Restarts the router at once; it is back in about a minute.'),
    onSubmit: async () => {
      if (!(await confirmDialog('Reboot the router?', 'Every connection through the router drops for about a minute.', 'Reboot'))) return;
      const ans = await call('reboot.cgi', {});
      if (ans.result !== 0) return now.say('The router refused to reboot.', 'err');
      await waitForReboot('The router reboots now.');
      ctx.go('status');
    },
  });
  now.btn.className = 'danger';
  ctx.main.append(h('h2', {}, 'Reboot now'), now.el);
}

// The serial service defines these numbers; only the factory value is known here.
const serviceValue = (key, label, show) => ({ key, label, type: 'named', names: [[0, 'Factory setting (0)']], min: 0, max: 255, show, help: 'Other values as the serial service\'s documentation gives them.' });

const BAUD = [1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600].map((b) => [b, `${b}`]);
const FMT = [[0, 'Text'], [1, 'Hex bytes']];

export async function dtu(ctx) {
  const on = (key) => (v) => v.dtu_enable === 1 && v[key] === 1;
  const conn = on('dtu_conn_enable');
  const reg = (v) => conn(v) && v.dtu_conn_reg_enable === 1;
  const beat = (v) => conn(v) && v.dtu_conn_heartbeat_enable === 1;
  const data = (fmtKey, max) => (s, v) => (v[fmtKey] === 1 ? check.hexData(s) : check.text(s, { max }));
  const enabled = (v) => v.dtu_enable === 1;
  await settingsScreen(ctx, {
    page: 'dtu.cgi',
    intro: 'The serial DTU relays the router\'s serial port to a server on the network.',
    note: 'Saved. The serial service has restarted with these settings.',
    fields: [
      { key: 'dtu_enable', label: 'Serial DTU on', type: 'check' },
      { section: 'Serial port', show: enabled },
      { key: 'dtu_serial_baud', label: 'Baud rate', type: 'select', num: true, options: BAUD, show: enabled },
      { key: 'dtu_serial_bits', label: 'Data bits', type: 'select', num: true, options: [[8, '8'], [7, '7'], [6, '6'], [5, '5']], show: enabled },
      { key: 'dtu_serial_parity', label: 'Parity', type: 'select', options: [['N', 'None'], ['O', 'Odd'], ['E', 'Even']], show: enabled },
      { key: 'dtu_serial_stop', label: 'Stop bits', type: 'select', num: true, options: [[1, '1'], [2, '2']], show: enabled },
      { key: 'dtu_serial_frametime', label: 'Frame gap (ms)', type: 'number', min: 0, max: 65535, show: enabled, help: 'A pause this long ends a frame.' },
      { key: 'dtu_serial_framelength', label: 'Longest frame (bytes)', type: 'number', min: 1, max: 65535, show: enabled },
      { section: 'Server', show: enabled },
      { key: 'dtu_conn_enable', label: 'Connect to a server', type: 'check', show: enabled },
      { key: 'dtu_conn_type', label: 'Protocol', type: 'select', num: true, options: [[0, 'TCP'], [1, 'UDP']], show: conn },
      { key: 'dtu_conn_server', label: 'Server', maxlen: 127, show: conn, check: (s) => check.host(s) },
      // the factory 0 is no port: one has to be given to connect
      { key: 'dtu_conn_port', label: 'Port', type: 'number', min: 1, max: 65535, unset: 0, show: conn },
      { key: 'dtu_conn_reg_enable', label: 'Send a registration packet', type: 'check', show: conn },
      serviceValue('dtu_conn_reg_mode', 'Registration mode', reg),
      serviceValue('dtu_conn_reg_type', 'Registration type', reg),
      { key: 'dtu_conn_reg_data_fmt', label: 'Registration data format', type: 'select', num: true, options: FMT, show: reg },
      { key: 'dtu_conn_reg_data', label: 'Registration data', optional: true, maxlen: 128, show: reg, check: data('dtu_conn_reg_data_fmt', 128) },
      { key: 'dtu_conn_heartbeat_enable', label: 'Send heartbeats', type: 'check', show: conn },
      serviceValue('dtu_conn_heartbeat_type', 'Heartbeat type', beat),
      { key: 'dtu_conn_heartbeat_time', label: 'Heartbeat interval (seconds)', type: 'number', min: 1, max: 86400, show: beat },
      { key: 'dtu_conn_heartbeat_data_fmt', label: 'Heartbeat data format', type: 'select', num: true, options: FMT, show: beat },
      { key: 'dtu_conn_heartbeat_data', label: 'Heartbeat data', optional: true, maxlen: 128, show: beat, check: data('dtu_conn_heartbeat_data_fmt', 128) },
      { section: 'Position reports', show: enabled },
      { key: 'dtu_gps_state', label: 'Send position reports', type: 'check', show: enabled },
      { key: 'dtu_gps_time', label: 'Report interval (seconds)', type: 'number', min: 1, max: 86400, show: on('dtu_gps_state') },
      serviceValue('dtu_gps_type', 'Report type', on('dtu_gps_state')),
    ],
    // Every key goes out; the service keeps what is hidden as it was.
    toRequest: (v) => Object.fromEntries(Object.entries(v).map(([k, x]) => [k, Number.isNaN(x) ? 0 : x])),
  });
}

export async function diag(ctx) {
  const form = new Form(
    [{
      key: 'param',
      label: 'Bridge options',
      maxlen: 200,
      check: check.bridgeOptions,
      placeholder: '-c 198.51.100.7 -p 5000 -d /dev/ttyUSB0',
      help: 'For the relay bridge: -c collector -p port -d serial device, and -u for UDP. For the frame bridge: the collector\'s IPv4 address (port 2500), then optionally the serial device. Which bridge runs depends on the modem.',
    }],
    {
      submit: 'Start the bridge',
      onSubmit: async (v) => {
        const ans = await call('diag.cgi', { start: 1, param: v.param }, { timeout: 60000 });
        if (ans.result !== 0) return form.say('The router refused these options.', 'err');
        localStorage.setItem('diag.param', v.param);
        form.say('The bridge runs in the background.');
      },
    },
  );
  const stop = h('button', { type: 'button' }, 'Stop the bridge');
  stop.addEventListener('click', async () => {
    form.busy(true);
    try {
      const ans = await call('diag.cgi', { start: 0 }, { timeout: 60000 });
      form.say(ans.result === 0 ? 'The bridge is stopped.' : 'The router refused.', ans.result === 0 ? 'ok' : 'err');
    } catch (e) {
      form.say(e.message, 'err');
    } finally {
      form.busy(false);
    }
  });
  form.btn.after(stop);
  form.set({ param: localStorage.getItem('diag.param') || '' });
  ctx.main.append(h('p', { class: 'intro' }, 'Relays the modem\'s diagnostic port to a collector on the network, for the modem maker\'s trace tools.'), form.el);
}
