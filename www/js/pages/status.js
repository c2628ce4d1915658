// The status screen: is the router online, how strong is the signal, and the
// figures of modem, SIM, LAN, Wi-Fi and the device, refreshed every 5 seconds.
// The state and home pages each take up to 4 seconds while the modem is
// silent, so they are asked together and shown as each arrives.

import { call, LoginNeeded, sleep } from '../api.js';
import { addSample, alignValue, csqDbm, loadHistory, sample, verdict, WINDOW_MS } from '../signal.js';
import { h } from '../ui.js';
import { CARD_STATE_ABSENT, CARD_STATE_PRESENT, PIN_STATE_PIN_REQUIRED, PIN_STATE_PUK_REQUIRED } from './cellular.js';

const REFRESH_MS = 5000;
const ALIGN_MS = 1000;

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
const online = (d) => (d.m.netstat ?? d.s.netstat) === 'connected';
const nettype = (d) => d.s.nettype || d.m.nettype || '';
// addresses of a connection that is down are those of the last one
const live = (d, v) => (online(d) ? v : '');

// What the SIM needs, from the SIM page (which asks the card) before the
// daemon's last poll: 'PIN', 'PUK', 'ABSENT' or ''.
function simNeeds(d) {
  const c = d.sim;
  if (c && Number.isInteger(c.card_state)) {
    if (c.card_state === CARD_STATE_ABSENT) return 'ABSENT';
    if (c.card_state === CARD_STATE_PRESENT && c.pin_state === PIN_STATE_PIN_REQUIRED) return 'PIN';
    if (c.card_state === CARD_STATE_PRESENT && c.pin_state === PIN_STATE_PUK_REQUIRED) return 'PUK';
    if (c.card_state === CARD_STATE_PRESENT) return '';
  }
  const t = d.m.simstate || d.s.sim;
  return t === 'PIN' || t === 'PUK' || t === 'ABSENT' ? t : '';
}

// The modem is not answering (and is being power-cycled): the daemon left its
// part out of the pages, or gave it without what only the modem can say, its
// version. Its signal figures then are defaults, not measurements.
const modemSilent = (d) =>
  (d.s.netmode !== undefined && !('sim' in d.s)) || (d.m.netmode !== undefined && (!('imei' in d.m) || d.m.modemversion === ''));

function restart(ev) {
  if (!ev) return '';
  if (ev.missing) return 'Not known (this router keeps no event history)';
  if (!ev.lastRestart) return 'Not known yet';
  return ev.lastRestartTime ? `${ev.lastRestart}, at ${ev.lastRestartTime}` : ev.lastRestart;
}

// Every shown value: [card, key, label, value from d = { m: home, s: state,
// sim, ev }, shown(d)]; MODEM marks what a silent modem leaves unknown.
const MODEM = new Set(['operator', 'nettype', 'rssi', 'rsrp', 'rsrq', 'rscp', 'voicereg', 'datareg', 'simstate']);
const ROWS = [
  ['Mobile', 'operator', 'Operator', (d) => d.s.operator || d.s.netoperator || (d.s.plmn ? `PLMN ${d.s.plmn}` : '')],
  ['Mobile', 'nettype', 'Network type', nettype],
  ['Mobile', 'rssi', 'Signal strength', ({ s }) => {
    const v = csqDbm(s.rssi);
    return v !== null ? `${v} dBm (CSQ index ${s.rssi})` : has(s.rssi) ? 'Not known' : '';
  }],
  ['Mobile', 'rsrp', 'RSRP', (d) => dbm(d.m.rsrp)],
  ['Mobile', 'rsrq', 'RSRQ', (d) => (has(d.m.rsrq) ? `${d.m.rsrq} dB` : '')],
  // a 3G measure: an LTE modem's value means nothing
  ['Mobile', 'rscp', 'RSCP', (d) => dbm(d.m.rscp), (d) => has(d.m.rscp) && !/LTE/i.test(nettype(d))],
  ['Mobile', 'voicereg', 'Voice registration', (d) => REG[d.m.voicereg] ?? d.m.voicereg],
  ['Mobile', 'datareg', 'Data registration', (d) => REG[d.m.datareg] ?? d.m.datareg],
  ['Internet', 'netmode', 'Connection', (d) => MODES[d.m.netmode ?? d.s.netmode] ?? d.m.netmode ?? d.s.netmode],
  ['Internet', 'netip', 'Address', (d) => live(d, d.m.netip)],
  ['Internet', 'netmask', 'Netmask', (d) => live(d, d.m.netmask)],
  ['Internet', 'netgateway', 'Gateway', (d) => live(d, d.m.netgateway)],
  ['Internet', 'netdns', 'DNS servers', (d) => live(d, [d.m.netdns, d.m.netdns2].filter(has).join(', '))],
  ['SIM', 'simstate', 'State', (d) => {
    const need = simNeeds(d);
    const t = need || d.m.simstate || d.s.sim;
    return SIM[t] ?? t;
  }],
  ['SIM', 'cnum', 'Phone number', (d) => d.m.cnum],
  ['SIM', 'iccid', 'ICCID', (d) => d.m.iccid],
  ['SIM', 'imsi', 'IMSI', (d) => d.m.imsi],
  ['Modem', 'modemversion', 'Version', (d) => d.m.modemversion],
  ['Modem', 'imei', 'IMEI', (d) => d.m.imei],
  ['LAN', 'lanip', 'Address', (d) => d.m.lanip],
  ['LAN', 'lannetmask', 'Netmask', (d) => d.m.lannetmask],
  ['Wi-Fi', 'wifioff', 'Wi-Fi', (d) => (has(d.s.wifioff) ? (d.s.wifioff ? 'Off' : 'On') : '')],
  ['Wi-Fi', 'ssid', 'Network name', (d) => d.m.ssid],
  ['Wi-Fi', 'wifimac', 'MAC address', (d) => d.m.wifimac],
  ['Device', 'firmwareversion', 'Firmware', (d) => d.m.firmwareversion],
  ['Device', 'uptime', 'Up for', (d) => (has(d.m.uptime) ? duration(d.m.uptime) : '')],
  ['Device', 'lastrestart', 'Last restart', (d) => restart(d.ev)],
  ['Device', 'devicetime', 'Router time', (d) => (has(d.m.devicetime) ? new Date(d.m.devicetime * 1000).toLocaleString() : '')],
  ['Device', 'memory', 'Memory in use', (d) => (d.m.MemTotal ? `${bytes(d.m.MemTotal - d.m.MemFree)} of ${bytes(d.m.MemTotal)}` : '')],
];

const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attrs, ...kids) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  e.append(...kids);
  return e;
}

// Bands of the chart, top to bottom, with the verdict limits drawn as lines.
const BANDS = [
  { key: 'rsrp', label: 'RSRP', unit: 'dBm', lo: -130, hi: -60, y: 8, h: 110, marks: [-80, -90, -100] },
  { key: 'rsrq', label: 'RSRQ', unit: 'dB', lo: -25, hi: 0, y: 134, h: 70, marks: [-10, -15, -20] },
  { key: 'bars', label: 'Bars', unit: '', lo: 0, hi: 4, y: 220, h: 40, marks: [2, 4] },
];
const X0 = 64, X1 = 592;

// The history as an SVG chart: the minutes it covers, up to ten.
function chart(history, now) {
  const minutes = Math.min(WINDOW_MS / 60000, Math.max(1, Math.ceil((now - (history[0]?.t ?? now)) / 60000)));
  const span = minutes * 60000;
  const x = (t) => X0 + ((X1 - X0) * (t - (now - span))) / span;
  const parts = [];
  const said = [];
  for (const b of BANDS) {
    const y = (v) => b.y + b.h - (b.h * (Math.min(b.hi, Math.max(b.lo, v)) - b.lo)) / (b.hi - b.lo);
    parts.push(svg('rect', { x: X0, y: b.y, width: X1 - X0, height: b.h, class: 'band' }));
    for (const m of b.marks) {
      parts.push(svg('line', { x1: X0, x2: X1, y1: y(m), y2: y(m), class: 'grid' }));
      parts.push(svg('text', { x: X0 - 6, y: y(m) + 4, class: 'tick' }, String(m)));
    }
    parts.push(svg('text', { x: 4, y: b.y + 12, class: 'name' }, b.label));
    // a gap in the line where the value was not known
    let d = '';
    let pen = false;
    for (const s of history) {
      const v = s[b.key];
      if (v === null || v === undefined) {
        pen = false;
        continue;
      }
      const px = x(s.t).toFixed(1);
      const py = y(v).toFixed(1);
      // the bars are a count: draw steps
      if (b.key === 'bars' && pen) d += `H${px}V${py}`;
      else d += `${pen ? 'L' : 'M'}${px} ${py}`;
      pen = true;
    }
    if (d) parts.push(svg('path', { d, class: `line k-${b.key}` }));
    // the latest value, also when it is the only one
    const lastKnown = [...history].reverse().find((s) => s[b.key] !== null && s[b.key] !== undefined);
    if (lastKnown) parts.push(svg('circle', { cx: x(lastKnown.t).toFixed(1), cy: y(lastKnown[b.key]).toFixed(1), r: 3, class: `dot k-${b.key}` }));
    const vals = history.map((s) => s[b.key]).filter((v) => v !== null && v !== undefined);
    if (vals.length) said.push(`${b.label} ${Math.min(...vals)} to ${Math.max(...vals)}${b.unit ? ` ${b.unit}` : ''}, now ${lastKnown[b.key]}`);
  }
  parts.push(svg('text', { x: X0, y: 276, class: 'tick start' }, `${minutes} min ago`), svg('text', { x: X1, y: 276, class: 'tick' }, 'now'));
  const label = `Signal over the last ${minutes === 1 ? 'minute' : `${minutes} minutes`}: ${said.length ? said.join('; ') : 'no values yet'}.`;
  return svg('svg', { viewBox: '0 0 600 282', class: 'chart', role: 'img', 'aria-label': label, 'data-samples': String(history.length) }, ...parts);
}

export async function status(ctx) {
  const cells = {};
  const rows = {};
  const cards = new Map();
  for (const [card, key, label] of ROWS) {
    if (!cards.has(card)) cards.set(card, h('dl'));
    cells[key] = h('dd', { 'data-k': key });
    rows[key] = [h('dt', {}, label), cells[key]];
    cards.get(card).append(...rows[key]);
  }
  const badge = h('span', { class: 'badge', 'data-k': 'online' }, 'Asking the router…');
  const bars = h('span', { class: 'bars', role: 'img', 'aria-label': 'Signal: not known yet' }, h('i'), h('i'), h('i'), h('i'));
  const net = h('span', { class: 'big', 'data-k': 'summary' });
  const notice = h('p', { class: 'msg warn', role: 'status', 'data-k': 'notice' });
  const updated = h('p', { class: 'updated', 'aria-live': 'off' });
  const error = h('p', { class: 'msg err', role: 'alert' });
  const meter = h('div', { class: 'meter', 'aria-hidden': 'true' }, h('span'));
  const said = h('p', { class: 'verdict', 'data-k': 'verdict' });
  const plot = h('div', { class: 'plot' });
  const alignBtn = h('button', { type: 'button', 'aria-pressed': 'false' }, 'Align antenna');
  const alignValueEl = h('p', { class: 'huge', 'data-k': 'align' });
  const alignNote = h('p', { class: 'help' });
  const beepBox = h('input', { type: 'checkbox', id: 'align-beep', checked: true });
  const alignPanel = h(
    'div',
    { class: 'align', hidden: true },
    alignValueEl,
    alignNote,
    h('div', { class: 'field check' }, beepBox, h('label', { for: 'align-beep' }, 'Tone and vibration when the signal improves')),
  );
  ctx.main.append(
    h('section', { class: 'card hero', 'aria-label': 'Connection' }, badge, bars, net),
    notice,
    error,
    h('div', { class: 'cards' }, [...cards].map(([name, dl]) => h('section', { class: 'card', 'aria-label': name }, h('h2', {}, name), dl, name === 'Device' ? meter : ''))),
    h(
      'section',
      { class: 'card signal', 'aria-label': 'Signal history' },
      h('h2', {}, 'Signal history'),
      said,
      plot,
      h('div', { class: 'actions' }, alignBtn),
      alignPanel,
    ),
    updated,
  );

  const d = { m: {}, s: {}, sim: null, ev: null };
  let history = loadHistory();
  // a silent modem leaves a gap in the history
  const signalNow = (a) => (modemSilent({ ...d, m: a }) ? { t: Date.now(), rsrp: null, rsrq: null, rssi: null, bars: null } : sample(a, d.s));

  function showSignal() {
    const last = history[history.length - 1];
    const v = last && Date.now() - last.t < 30000 ? verdict(last) : '';
    said.textContent = v ? `The signal is ${v}.` : 'The signal is not known right now.';
    said.dataset.verdict = v;
    plot.replaceChildren(chart(history, Date.now()));
  }

  function show() {
    const silent = modemSilent(d);
    const isOn = online(d);
    badge.textContent = isOn ? 'Online' : 'Offline';
    badge.className = `badge ${isOn ? 'on' : 'off'}`;
    const nbars = !silent && Number.isInteger(d.s.signalbar) ? d.s.signalbar : -1;
    [...bars.children].forEach((b, i) => b.classList.toggle('lit', i < nbars));
    bars.classList.toggle('grey', !isOn);
    bars.setAttribute('aria-label', nbars >= 0 ? `Signal: ${nbars} of 4 bars${isOn ? '' : ' (not connected)'}` : 'Signal: not known');
    bars.dataset.bars = String(nbars);
    net.textContent = silent ? '' : [d.s.operator || d.s.netoperator, nettype(d)].filter(has).join(' · ') || 'No mobile network';
    for (const [, key, , fn, shown] of ROWS) {
      cells[key].textContent = (!(silent && MODEM.has(key)) && fn(d)) || '—';
      if (shown) for (const e of rows[key]) e.hidden = !shown(d);
    }
    const need = silent ? '' : simNeeds(d);
    if (silent) notice.replaceChildren('Modem not answering; the router is restarting it.');
    else if (need === 'PIN' || need === 'PUK') {
      notice.replaceChildren(
        `SIM needs its ${need}${need === 'PUK' ? ' (the PIN is blocked)' : ''}. `,
        h('a', { href: '#sim' }, `Enter the ${need} on the SIM card screen`),
      );
    } else if (need === 'ABSENT') notice.replaceChildren('No SIM card: insert one to use the mobile network.');
    else notice.replaceChildren();
    notice.dataset.state = silent ? 'silent' : need.toLowerCase();
    meter.firstChild.style.width = d.m.MemTotal ? `${Math.round((100 * (d.m.MemTotal - d.m.MemFree)) / d.m.MemTotal)}%` : '0';
    updated.textContent = `Updated at ${new Date().toLocaleTimeString()}; refreshed every ${REFRESH_MS / 1000} seconds.`;
  }

  let stopped = false;
  let aligning = false;
  ctx.onLeave(() => (stopped = true));

  // One answer of a round: shown when it arrives; a page that failed shows
  // nothing old.
  const ask = (page, put) =>
    call(page).then(
      (a) => {
        put(a);
        show();
      },
      (e) => {
        put(null);
        show();
        throw e;
      },
    );
  async function refresh() {
    const got = await Promise.allSettled([
      ask('state.cgi', (a) => (d.s = a || {})),
      ask('home.cgi', (a) => {
        d.m = a || {};
        if (a) history = addSample(history, signalNow(a));
      }),
      // optional: an older back end answers the SIM page with less
      ask('sim.cgi', (a) => (d.sim = a)),
    ]);
    showSignal();
    const bad = got.find((g) => g.status === 'rejected');
    if (bad) {
      if (bad.reason instanceof LoginNeeded) throw bad.reason;
      if (got.every((g) => g.status === 'rejected')) throw bad.reason;
      error.textContent = bad.reason.message;
    } else error.textContent = '';
  }

  // Alignment: the home page once a second, its value large, and a short
  // tone or buzz when it got better.
  let audio = null;
  function cue(v) {
    if (!beepBox.checked) return;
    navigator.vibrate?.(60);
    if (!audio) return;
    const o = audio.createOscillator();
    const g = audio.createGain();
    o.frequency.value = 300 + Math.max(0, Math.min(90, v + 140)) * 10;
    g.gain.value = 0.1;
    o.connect(g).connect(audio.destination);
    o.start();
    o.stop(audio.currentTime + 0.12);
  }
  // one loop at a time: Stop and Align again within a round keep the
  // loop that still waits for its answer
  let aligner = null;
  let best = null;
  let before = null;
  async function align() {
    while (aligning && !stopped) {
      const start = Date.now();
      try {
        const a = await call('home.cgi');
        d.m = a;
        const s = signalNow(a);
        history = addSample(history, s);
        const av = alignValue(s);
        if (av) {
          const [v, what] = av;
          alignValueEl.textContent = `${v} dBm`;
          if (before !== null && v > before) cue(v);
          before = v;
          best = best === null ? v : Math.max(best, v);
          alignNote.textContent = `${what[0].toUpperCase()}${what.slice(1)} now; the best so far was ${best} dBm. The signal is ${verdict(s) || 'not known'}. Turn the antenna slowly and stop where the value is highest.`;
        } else {
          alignValueEl.textContent = '—';
          alignNote.textContent = 'The modem reports no signal value right now.';
        }
        show();
        showSignal();
        error.textContent = '';
      } catch (e) {
        if (e instanceof LoginNeeded) return;
        error.textContent = e.message;
      }
      await sleep(Math.max(0, ALIGN_MS - (Date.now() - start)));
    }
  }
  alignBtn.addEventListener('click', () => {
    aligning = !aligning;
    alignBtn.setAttribute('aria-pressed', String(aligning));
    alignBtn.textContent = aligning ? 'Stop aligning' : 'Align antenna';
    alignPanel.hidden = !aligning;
    if (aligning) {
      alignValueEl.textContent = '…';
      alignNote.textContent = 'Measuring once a second…';
      best = before = null;
      try {
        audio ??= new AudioContext();
      } catch {
        audio = null;
      }
      aligner ??= align().finally(() => (aligner = null));
    }
  });
  ctx.onLeave(() => audio?.close());

  showSignal();
  call('events.cgi').then(
    (a) => (d.ev = a),
    (e) => (d.ev = e instanceof LoginNeeded ? null : { missing: e.status === 404, lastRestart: '' }),
  ).then(show);
  await refresh();
  (async () => {
    while (!stopped) {
      await sleep(REFRESH_MS);
      if (stopped) break;
      if (document.hidden || aligning) continue;
      try {
        await refresh();
      } catch (e) {
        if (e instanceof LoginNeeded) break;
        error.textContent = e.message;
      }
    }
  })();
}
