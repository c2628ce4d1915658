// Rule lists as the firewall script reads them: rules separated by ';',
// fields of a rule separated by ','. A stored rule that does not have the
// expected fields is kept as it is, so saving never loses it.

export const LISTS = {
  portForward: ['ip', 'from', 'to', 'proto', 'comment'],
  singlePortForward: ['wanPort', 'ip', 'lanPort', 'proto', 'comment'],
  portTrigger: ['trigFrom', 'trigTo', 'trigProto', 'openFrom', 'openTo', 'openProto', 'comment'],
  ipPortFilter: ['src', 'dst', 'proto', 'from', 'to', 'action', 'comment'],
  macList: ['mac'],
};

export function parseRules(text, fields) {
  if (!text) return [];
  return text.split(';').filter((r) => r !== '').map((r) => {
    const v = r.split(',');
    if (v.length !== fields.length) return { raw: r };
    return Object.fromEntries(fields.map((f, i) => [f, v[i]]));
  });
}

export function formatRules(rules, fields) {
  return rules.map((r) => ('raw' in r ? r.raw : fields.map((f) => String(r[f] ?? '')).join(','))).join(';');
}

const same = (a, b) => Object.keys(a).every((k) => k === 'comment' || String(a[k]) === String(b[k]));
const overlaps = (a1, a2, b1, b2) => Number(a1) <= Number(b2) && Number(b1) <= Number(a2);
const bothProto = (p, q) => p === q || p === 'tcpudp' || q === 'tcpudp';
const ports = (a, b) => (Number(a) === Number(b) ? `port ${a}` : `ports ${a}–${b}`);

// Forwarding: a public port goes to one device only. kind: 'range' or
// 'single'; lists: { range: [...], single: [...] } as they are now. The
// problem with adding the rule, or ''.
export function forwardClash(kind, rule, lists) {
  const pub = (k, r) => (k === 'range' ? [r.from, r.to] : [r.wanPort, r.wanPort]);
  const [lo, hi] = pub(kind, rule);
  for (const k of ['range', 'single']) {
    for (const [i, r] of lists[k].entries()) {
      if ('raw' in r) continue;
      if (k === kind && same(rule, r)) return 'This rule is in the list already.';
      const [a, b] = pub(k, r);
      if (overlaps(lo, hi, a, b) && bothProto(rule.proto, r.proto)) {
        return `Public ${ports(lo, hi)} clash with rule ${i + 1} of the ${k === 'range' ? 'port ranges' : 'single ports'}, which forwards ${ports(a, b)} to ${r.ip}.`;
      }
    }
  }
  return '';
}

// Triggers: one trigger port range opens one set of ports.
export function triggerClash(rule, rules) {
  for (const [i, r] of rules.entries()) {
    if ('raw' in r) continue;
    if (same(rule, r)) return 'This trigger is in the list already.';
    if (overlaps(rule.trigFrom, rule.trigTo, r.trigFrom, r.trigTo) && bothProto(rule.trigProto, r.trigProto)) {
      return `Trigger ${ports(rule.trigFrom, rule.trigTo)} clash with trigger ${i + 1} (${ports(r.trigFrom, r.trigTo)}).`;
    }
  }
  return '';
}

export function duplicate(rule, rules) {
  return rules.some((r) => !('raw' in r) && same(rule, r)) ? 'This rule is in the list already.' : '';
}
