// Value checks of the forms. Each returns '' when the value is acceptable,
// else the message shown beside the field.

const CTL = /[\x00-\x1f\x7f]/;

export function noControl(s) {
  return CTL.test(s) ? 'Control characters (line breaks, tabs, ...) are not allowed.' : '';
}

export function text(s, { min = 0, max = 255, what = 'This field' } = {}) {
  if (s.length < min) return min === 1 ? `${what} must not be empty.` : `${what} needs at least ${min} characters.`;
  if (s.length > max) return `${what} takes at most ${max} characters.`;
  return noControl(s);
}

function octets(s) {
  const m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(s);
  if (!m) return null;
  const o = m.slice(1).map(Number);
  return o.every((v, i) => v <= 255 && (m[i + 1].length === 1 || m[i + 1][0] !== '0')) ? o : null;
}

// The address as a 32-bit unsigned number, or -1.
export function ipNumber(s) {
  const o = octets(s);
  return o ? ((o[0] << 24) | (o[1] << 16) | (o[2] << 8) | o[3]) >>> 0 : -1;
}

export function ipv4(s) {
  return ipNumber(s) < 0 ? 'Enter an IPv4 address such as 192.168.1.1.' : '';
}

// A host address: not the network's "this host", broadcast, multicast or loopback.
export function hostIp(s) {
  const n = ipNumber(s);
  if (n < 0) return ipv4(s);
  const first = n >>> 24;
  if (n === 0 || n === 0xffffffff || first === 127 || first >= 224) return 'This is not a usable host address.';
  return '';
}

export function netmask(s) {
  const n = ipNumber(s);
  if (n < 0) return 'Enter a mask such as 255.255.255.0.';
  const inv = ~n >>> 0;
  if (n === 0 || (inv & (inv + 1)) !== 0) return 'A mask is a run of ones followed by zeros, such as 255.255.255.0.';
  return '';
}

const dotted = (n) => [24, 16, 8, 0].map((s) => (n >>> s) & 255).join('.');

// '' when ip is a host of the network of base/mask.
export function inSubnet(ip, base, mask) {
  const a = ipNumber(ip), b = ipNumber(base), m = ipNumber(mask);
  if (a < 0 || b < 0 || m < 0) return '';
  if (((a & m) >>> 0) !== ((b & m) >>> 0)) {
    const bits = 32 - Math.log2((~m >>> 0) + 1);
    return `Must be in the network ${dotted((b & m) >>> 0)}/${Number.isInteger(bits) ? bits : mask}.`;
  }
  const hostPart = (a & ~m) >>> 0;
  if (hostPart === 0 || hostPart === (~m >>> 0)) return 'This is the network or broadcast address of this network.';
  return '';
}

// An address of the router's old network as it would be in the new one: the
// router's own address becomes its new one, any other keeps its host part.
// '' when it is not in the old network or its host part does not fit.
export function moveAddress(ip, oldIp, oldMask, newIp, newMask) {
  const a = ipNumber(ip), o = ipNumber(oldIp), om = ipNumber(oldMask), n = ipNumber(newIp), nm = ipNumber(newMask);
  if (a < 0 || o < 0 || om < 0 || n < 0 || nm < 0 || ((a & om) >>> 0) !== ((o & om) >>> 0)) return '';
  if (a === o) return newIp;
  const host = (a & ~om) >>> 0;
  if (host & nm) return '';
  const moved = ((n & nm) | host) >>> 0;
  return inSubnet(dotted(moved), newIp, newMask) ? '' : dotted(moved);
}

export function mac(s) {
  if (!/^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$/.test(s)) return 'Enter a MAC address such as 00:11:22:AA:BB:CC.';
  if (parseInt(s.slice(0, 2), 16) & 1) return 'This is a group (multicast) address, not a device.';
  if (/^(00:){5}00$/.test(s)) return 'The all-zero address is not a device.';
  return '';
}

// A host name or an IPv4 address.
export function host(s, max = 127) {
  if (!s) return 'Enter a host name or an IPv4 address.';
  if (s.length > max) return `At most ${max} characters.`;
  if (/^[\d.]+$/.test(s)) return ipv4(s);
  const ok = s.split('.').every((l) => /^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$/.test(l));
  return ok ? '' : 'Enter a host name (letters, digits, dots and hyphens) or an IPv4 address.';
}

export function int(v, min, max) {
  if (!Number.isInteger(v)) return 'Enter a whole number.';
  if (v < min || v > max) return `Enter a number from ${min} to ${max}.`;
  return '';
}

export function port(v) {
  return int(v, 1, 65535);
}

// SIM codes: the router passes them to the modem inside quotes.
export function pin(s) {
  return /^\d{4,8}$/.test(s) ? '' : 'A PIN has 4 to 8 digits.';
}

export function puk(s) {
  return /^\d{8}$/.test(s) ? '' : 'A PUK has 8 digits.';
}

// APN, user names and passwords go into the modem's command lines in quotes.
export function modemText(s, max) {
  if (s.includes('"')) return 'Double quotes are not allowed.';
  return text(s, { max });
}

// Options of the diagnostic bridge, run on the router's command line.
export function bridgeOptions(s) {
  if (!s.trim()) return 'Enter the bridge options.';
  if (s.length > 200) return 'At most 200 characters.';
  return /^[A-Za-z0-9 .\-_/:,=]*$/.test(s) ? '' : 'Only letters, digits, spaces and . - _ / : , = are allowed.';
}

export function ssid(s) {
  const n = new TextEncoder().encode(s).length;
  if (n < 1 || n > 32) return 'A network name has 1 to 32 bytes.';
  return noControl(s);
}

export function wpaKey(s) {
  if (/^[0-9A-Fa-f]{64}$/.test(s)) return '';
  if (s.length < 8 || s.length > 63) return 'A key has 8 to 63 characters (or 64 hex digits).';
  return /^[\x20-\x7e]*$/.test(s) ? '' : 'Use printable ASCII characters only.';
}

// Text that goes into a rule list, where ',' and ';' separate the fields.
export function ruleText(s, max = 32) {
  if (/[,;]/.test(s)) return 'Commas and semicolons are not allowed.';
  return text(s, { max });
}

export function hexData(s) {
  if (!/^([0-9A-Fa-f]{2})*$/.test(s.replace(/\s+/g, ''))) return 'Enter pairs of hex digits.';
  return '';
}
