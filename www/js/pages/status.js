// The status screen: is the router online, how strong is the signal, and the
// figures of modem, SIM, LAN, Wi-Fi and the device, refreshed every 5 seconds.

import { call, LoginNeeded, sleep } from '../api.js';
import { h } from '../ui.js';

const REFRESH_MS = 5000;

const MODES = { '3G': 'Cellular', DHCP: 'Ethernet (DHCP)', STATIC: 'Ethernet (static address)' };
const SIM = { READY: 'Ready', PIN: 'PIN required', PUK: 'PUK required', ABSENT: 'No SIM card', NOT_READY: 'Not ready' };
const REG = ['Not registered', 'Registered (home network)', 'Searching', 'Registration denied', 'Unknown', 'Registered (roaming)'];

export function duration(s) {
  const d = Math.floor(s / 86400), hh = Math.floor((s % 86400) / 3600), m = Math.floor((s % 3600) / 60);
  return `${d ? `${d} d ` : ''}${hh} h ${m} min ${s % 60} s`;
}

function bytes(n) {
  if (n >= 2 ** 30) return `${(n / 2 ** 30).toFixed(1)} GiB`;
  return n >= 2 ** 20 ? `${(n / 2 ** 20).toFixed(1)} MiB` : `${Math.round(n / 1024)} KiB`;
}

const has = (v) => v !== undefined && v !== null && v !== '';
const dbm = (v) => (has(v) ? `${v} dBm` : '');

// Every shown value: [card, key, label, value from (home, state)].
const ROWS = [
  ['Mobile', 'operator', 'Operator', (m, s) => s.operator || s.netoperator || (s.plmn ? `PLMN ${s.plmn}` : '')],
  ['Mobile', 'nettype', 'Network type', (m, s) => s.nettype || m.nettype],
  ['Mobile', 'rssi', 'Signal strength', (m, s) => (has(s.rssi) && s.rssi >= 0 && s.rssi <= 31 ? `${-113 + 2 * s.rssi} dBm (RSSI ${s.rssi})` : has(s.rssi) ? 'Not known' : '')],
  ['Mobile', 'rsrp', 'RSRP', (m) => dbm(m.rsrp)],
  ['Mobile', 'rsrq', 'RSRQ', (m) => (has(m.rsrq) ? `${m.rsrq} dB` : '')],
  ['Mobile', 'rscp', 'RSCP', (m) => dbm(m.rscp)],
  ['Mobile', 'voicereg', 'Voice registration', (m) => REG[m.voicereg] ?? m.voicereg],
  ['Mobile', 'datareg', 'Data registration', (m) => REG[m.datareg] ?? m.datareg],
  ['Internet', 'netmode', 'Connection', (m, s) => MODES[m.netmode ?? s.netmode] ?? m.netmode ?? s.netmode],
  ['Internet', 'netip', 'Address', (m) => m.netip],
  ['Internet', 'netmask', 'Netmask', (m) => m.netmask],
  ['Internet', 'netgateway', 'Gateway', (m) => m.netgateway],
  ['Internet', 'netdns', 'DNS servers', (m) => [m.netdns, m.netdns2].filter(has).join(', ')],
  ['SIM', 'simstate', 'State', (m, s) => SIM[m.simstate || s.sim] ?? (m.simstate || s.sim)],
  ['SIM', 'cnum', 'Phone number', (m) => m.cnum],
  ['SIM', 'iccid', 'ICCID', (m) => m.iccid],
  ['SIM', 'imsi', 'IMSI', (m) => m.imsi],
  ['Modem', 'modemversion', 'Version', (m) => m.modemversion],
  ['Modem', 'imei', 'IMEI', (m) => m.imei],
  ['LAN', 'lanip', 'Address', (m) => m.lanip],
  ['LAN', 'lannetmask', 'Netmask', (m) => m.lannetmask],
  ['Wi-Fi', 'wifioff', 'Wi-Fi', (m, s) => (has(s.wifioff) ? (s.wifioff ? 'Off' : 'On') : '')],
  ['Wi-Fi', 'ssid', 'Network name', (m) => m.ssid],
  ['Wi-Fi', 'wifimac', 'MAC address', (m) => m.wifimac],
  ['Device', 'firmwareversion', 'Firmware', (m) => m.firmwareversion],
  ['Device', 'uptime', 'Up for', (m) => (has(m.uptime) ? duration(m.uptime) : '')],
  ['Device', 'devicetime', 'Router time', (m) => (has(m.devicetime) ? new Date(m.devicetime * 1000).toLocaleString() : '')],
  ['Device', 'memory', 'Memory in use', (m) => (m.MemTotal ? `${bytes(m.MemTotal - m.MemFree)} of ${bytes(m.MemTotal)}` : '')],
];

export async function status(ctx) {
  const cells = {};
  const cards = new Map();
  for (const [card, key, label] of ROWS) {
    if (!cards.has(card)) cards.set(card, h('dl'));
    cells[key] = h('dd', { 'data-k': key });
    cards.get(card).append(h('dt', {}, label), cells[key]);
  }
  const online = h('span', { class: 'badge', 'data-k': 'online' });
  const bars = h('span', { class: 'bars', role: 'img' }, h('i'), h('i'), h('i'), h('i'));
  const net = h('span', { class: 'big', 'data-k': 'summary' });
  const simNote = h('a', { href: '#sim', hidden: true });
  const updated = h('p', { class: 'updated', 'aria-live': 'off' });
  const error = h('p', { class: 'msg err', role: 'alert' });
  const meter = h('div', { class: 'meter', 'aria-hidden': 'true' }, h('span'));
  ctx.main.append(
    h('section', { class: 'card hero', 'aria-label': 'Connection' }, online, bars, net, simNote),
    error,
    h('div', { class: 'cards' }, [...cards].map(([name, dl]) => h('section', { class: 'card', 'aria-label': name }, h('h2', {}, name), dl, name === 'Device' ? meter : ''))),
    updated,
  );

  function show(m, s) {
    const isOn = (m.netstat ?? s.netstat) === 'connected';
    online.textContent = isOn ? 'Online' : 'Offline';
    online.className = `badge ${isOn ? 'on' : 'off'}`;
    const nbars = Number.isInteger(s.signalbar) ? s.signalbar : -1;
    [...bars.children].forEach((b, i) => b.classList.toggle('lit', i < nbars));
    bars.setAttribute('aria-label', nbars >= 0 ? `Signal: ${nbars} of 4 bars` : 'Signal: not known');
    bars.dataset.bars = String(nbars);
    net.textContent = [s.operator || s.netoperator, s.nettype || m.nettype].filter(has).join(' · ') || 'No mobile network';
    for (const [, key, , fn] of ROWS) cells[key].textContent = fn(m, s) || '—';
    const lock = m.simstate || s.sim;
    simNote.hidden = lock !== 'PIN' && lock !== 'PUK';
    simNote.textContent = `The SIM card needs its ${lock === 'PUK' ? 'PUK' : 'PIN'}: enter it`;
    meter.firstChild.style.width = m.MemTotal ? `${Math.round((100 * (m.MemTotal - m.MemFree)) / m.MemTotal)}%` : '0';
    updated.textContent = `Updated at ${new Date().toLocaleTimeString()}; refreshed every ${REFRESH_MS / 1000} seconds.`;
  }

  let stopped = false;
  ctx.onLeave(() => (stopped = true));
  async function refresh() {
    const s = await call('state.cgi');
    const m = await call('home.cgi');
    error.textContent = '';
    show(m, s);
  }
  await refresh();
  (async () => {
    while (!stopped) {
      await sleep(REFRESH_MS);
      if (stopped) break;
      if (document.hidden) continue;
      try {
        await refresh();
      } catch (e) {
        if (e instanceof LoginNeeded) break;
        error.textContent = e.message;
      }
    }
  })();
}
