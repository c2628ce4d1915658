// The radio signal in words, and its recent history as the status polls saw
// it. The thresholds are the ones the README gives.

const VERDICTS = ['poor', 'fair', 'good', 'excellent'];

// [excellent from, good from, fair from]; below the last is poor
const LIMITS = { rsrp: [-80, -90, -100], rsrq: [-10, -15, -20], rssi: [-70, -85, -100] };

function grade(v, [ex, good, fair]) {
  return v >= ex ? 3 : v >= good ? 2 : v >= fair ? 1 : 0;
}

const num = (v) => (v === '' || v == null || !Number.isFinite(Number(v)) ? null : Number(v));

// The signal strength of the CSQ index in dBm; null when unknown (99).
export function csqDbm(csq) {
  const n = num(csq);
  return n !== null && n >= 0 && n <= 31 ? -113 + 2 * n : null;
}

// One sample of the home page's answer (and the state page's bars):
// { t, rsrp, rsrq, rssi, bars } with null for what is not known.
export function sample(home, state, t = Date.now()) {
  return {
    t,
    rsrp: num(home.rsrp),
    rsrq: num(home.rsrq),
    rssi: csqDbm(home.csq ?? state.rssi),
    bars: Number.isInteger(state.signalbar) ? state.signalbar : null,
  };
}

// 'excellent', 'good', 'fair' or 'poor'; '' when nothing is known. On LTE the
// worse of RSRP and RSRQ counts, else the signal strength.
export function verdict(s) {
  if (!s) return '';
  const g = [];
  if (s.rsrp !== null) g.push(grade(s.rsrp, LIMITS.rsrp));
  if (s.rsrq !== null) g.push(grade(s.rsrq, LIMITS.rsrq));
  if (!g.length && s.rssi !== null) g.push(grade(s.rssi, LIMITS.rssi));
  return g.length ? VERDICTS[Math.min(...g)] : '';
}

// The value that antenna alignment follows: RSRP where known, else the
// signal strength; [value, unit label] or null.
export function alignValue(s) {
  if (s.rsrp !== null) return [s.rsrp, 'RSRP'];
  if (s.rssi !== null) return [s.rssi, 'signal strength'];
  return null;
}

export const WINDOW_MS = 10 * 60 * 1000;
const KEY = 'signal.history';

// The samples of the last ten minutes, kept for the browser tab so that a
// reload or a visit to another screen keeps the chart.
export function loadHistory(now = Date.now()) {
  try {
    const h = JSON.parse(sessionStorage.getItem(KEY) || '[]');
    return Array.isArray(h) ? h.filter((s) => s && now - s.t <= WINDOW_MS && s.t <= now) : [];
  } catch {
    return [];
  }
}

export function addSample(history, s) {
  history.push(s);
  while (history.length && s.t - history[0].t > WINDOW_MS) history.shift();
  try {
    sessionStorage.setItem(KEY, JSON.stringify(history));
  } catch {
    // private mode or full: the chart lives in memory only
  }
  return history;
}
