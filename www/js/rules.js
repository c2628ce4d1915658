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
