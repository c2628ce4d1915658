// Forwarding, triggering, DMZ, filters and the firewall switches.

import { call } from '../api.js';
import * as check from '../check.js';
import { duplicate, formatRules, forwardClash, LISTS, parseRules, triggerClash } from '../rules.js';
import { RuleList, settingsScreen } from '../settings.js';
import { confirmDialog } from '../ui.js';

const PROTO = [['tcpudp', 'TCP and UDP'], ['tcp', 'TCP'], ['udp', 'UDP']];
const protoName = (p) => (PROTO.find(([k]) => k === p) || [p, p])[1];
const portF = (key, label) => ({ key, label, type: 'number', min: 1, max: 65535 });
const protoF = (key, label = 'Protocol') => ({ key, label, type: 'select', options: PROTO });
const comment = { key: 'comment', label: 'Comment', optional: true, maxlen: 32, check: (s) => check.ruleText(s) };
const range = (a, b) => (a === b ? a : `${a}–${b}`);
const ordered = (lo, hi, what) => (Number(lo) > Number(hi) ? `The last ${what ? `${what} ` : ''}port comes before the first.` : '');

// A device of the LAN that forwarded traffic can reach: in the router's
// network and not the router itself. lan: the answer of lan.cgi, or null
// when it could not be read (then only the address form is checked).
function lanDevice(lan) {
  return (s) => {
    const p = check.hostIp(s);
    if (p || !lan) return p;
    if (s === lan.lan_ipaddr) return 'This is the router itself: give the address of a device on the LAN.';
    const out = check.inSubnet(s, lan.lan_ipaddr, lan.lan_netmask);
    return out && `Not a device of the LAN: ${out}`;
  };
}

const lanSettings = () => call('lan.cgi').catch(() => null);

// A screen of switches plus rule lists; lists: [[answer key, list name,
// RuleList options, switch key, what the switch turns on]].
async function rulesScreen(ctx, { page, intro, fields, lists }) {
  const tables = lists.map(([key, name, opt, sw, what]) => {
    const t = new RuleList(opt);
    opt.bind?.(t);
    return [key, name, t, sw, what];
  });
  await settingsScreen(ctx, {
    page,
    follow: 'firewall',
    intro,
    fields,
    extra: tables.map(([, , t]) => t.el),
    dirty: () => tables.some(([, , t]) => t.dirty),
    // rules kept under a switch that is off do nothing
    unused: (v) => {
      const off = tables.filter(([, , t, sw]) => t.rules.length && v[sw] === 0).map(([, , , , what]) => what);
      return off.length ? `${off.join(' and ')} ${off.length > 1 ? 'are' : 'is'} off: ${off.length > 1 ? 'their' : 'its'} rules are kept but not applied.` : '';
    },
    fromAnswer: (a) => {
      for (const [key, name, t] of tables) t.set(parseRules(a[key] || '', LISTS[name]));
      return a;
    },
    toRequest: (v) => {
      const body = Object.fromEntries(fields.map((f) => [f.key, v[f.key]]));
      for (const [key, name, t] of tables) body[key] = formatRules(t.rules, LISTS[name]);
      return body;
    },
  });
}

export async function forward(ctx) {
  const device = lanDevice(await lanSettings());
  const lists = {};
  await rulesScreen(ctx, {
    page: 'portforward.cgi',
    intro: 'Forward connections that reach the router from the internet to a device on the LAN.',
    fields: [
      { key: 'portForwardMode', label: 'Forward port ranges', type: 'check' },
      { key: 'singlePortForwardMode', label: 'Forward single ports', type: 'check' },
    ],
    lists: [
      ['portForwardRules', 'portForward', {
        title: 'Port ranges',
        item: 'port range',
        columns: [['ip', 'Device'], ['from', 'Ports', (v, r) => range(v, r.to)], ['proto', 'Protocol', protoName], ['comment', 'Comment']],
        fields: [{ key: 'ip', label: 'Device address', maxlen: 15, check: device }, portF('from', 'First port'), portF('to', 'Last port'), protoF('proto'), comment],
        check: (r, rules) => ordered(r.from, r.to, '') || forwardClash('range', r, { range: rules, single: lists.single.rules }),
        bind: (t) => (lists.range = t),
      }, 'portForwardMode', 'forwarding of port ranges'],
      ['singlePortForwardRules', 'singlePortForward', {
        title: 'Single ports',
        item: 'single port',
        columns: [['wanPort', 'Public port'], ['ip', 'Device'], ['lanPort', 'Device port'], ['proto', 'Protocol', protoName], ['comment', 'Comment']],
        fields: [portF('wanPort', 'Public port'), { key: 'ip', label: 'Device address', maxlen: 15, check: device }, portF('lanPort', 'Device port'), protoF('proto'), comment],
        check: (r, rules) => forwardClash('single', r, { range: lists.range.rules, single: rules }),
        bind: (t) => (lists.single = t),
      }, 'singlePortForwardMode', 'forwarding of single ports'],
    ],
  });
}

export async function trigger(ctx) {
  await rulesScreen(ctx, {
    page: 'porttrigger.cgi',
    intro: 'When a LAN device connects out on a trigger port, the router opens the given ports to it for incoming connections.',
    fields: [{ key: 'portTriggerMode', label: 'Port triggering on', type: 'check' }],
    lists: [['portTriggerRules', 'portTrigger', {
      title: 'Triggers',
      item: 'trigger',
      columns: [
        ['trigFrom', 'Trigger ports', (v, r) => `${range(v, r.trigTo)} ${protoName(r.trigProto)}`],
        ['openFrom', 'Opened ports', (v, r) => `${range(v, r.openTo)} ${protoName(r.openProto)}`],
        ['comment', 'Comment'],
      ],
      fields: [
        portF('trigFrom', 'First trigger port'), portF('trigTo', 'Last trigger port'), protoF('trigProto', 'Trigger protocol'),
        portF('openFrom', 'First opened port'), portF('openTo', 'Last opened port'), protoF('openProto', 'Opened protocol'), comment,
      ],
      check: (r, rules) => ordered(r.trigFrom, r.trigTo, 'trigger') || ordered(r.openFrom, r.openTo, 'opened') || triggerClash(r, rules),
    }, 'portTriggerMode', 'port triggering']],
  });
}

export async function dmz(ctx) {
  const on = (v) => v.dmzEnable === 1;
  const device = lanDevice(await lanSettings());
  await settingsScreen(ctx, {
    page: 'dmz.cgi',
    follow: 'firewall',
    intro: 'The DMZ host receives every incoming connection that no other rule takes. Use it only for a device that is itself protected.',
    fields: [
      { key: 'dmzEnable', label: 'DMZ host on', type: 'check' },
      { key: 'dmzAddress', label: 'DMZ host address', maxlen: 15, show: on, check: device },
      { key: 'dmzTcpPort80', label: 'Keep TCP port 80 for the router', type: 'check', show: on },
    ],
  });
}

const FPROTO = [['any', 'Any'], ['tcp', 'TCP'], ['udp', 'UDP'], ['icmp', 'ICMP']];
const ACTION = [['drop', 'Drop'], ['accept', 'Accept']];
const optPort = (key, label) => ({ key, label, optional: true, maxlen: 5, inputmode: 'numeric', show: (v) => v.proto === 'tcp' || v.proto === 'udp', check: (s) => check.port(/^\d+$/.test(s) ? Number(s) : NaN) });

export async function filter(ctx) {
  await rulesScreen(ctx, {
    page: 'ipportfilter.cgi',
    intro: 'Filter traffic between the LAN and the internet by address and port. Rules are checked in order; traffic that no rule matches gets the default policy.',
    fields: [
      { key: 'ipPortFilterMode', label: 'Filter on', type: 'check' },
      { key: 'defaultPolicy', label: 'Default policy', type: 'select', num: true, options: [[0, 'Accept what no rule matches'], [1, 'Drop what no rule matches']] },
    ],
    lists: [['ipPortFilterRules', 'ipPortFilter', {
      title: 'Filter rules',
      item: 'filter rule',
      columns: [
        ['src', 'Source', (v) => v || 'any'],
        ['dst', 'Destination', (v) => v || 'any'],
        ['proto', 'Protocol', (v, r) => `${(FPROTO.find(([k]) => k === v) || [v, v])[1]}${r.from ? ` ${range(r.from, r.to || r.from)}` : ''}`],
        ['action', 'Action', (v) => (v === 'accept' ? 'Accept' : 'Drop')],
        ['comment', 'Comment'],
      ],
      fields: [
        { key: 'src', label: 'Source (empty: any)', optional: true, maxlen: 15, check: check.ipv4 },
        { key: 'dst', label: 'Destination (empty: any)', optional: true, maxlen: 15, check: check.ipv4 },
        { key: 'proto', label: 'Protocol', type: 'select', options: FPROTO },
        optPort('from', 'First port (empty: any)'),
        optPort('to', 'Last port'),
        { key: 'action', label: 'Action', type: 'select', options: ACTION },
        comment,
      ],
      toRule: (v) => {
        const ports = v.proto === 'tcp' || v.proto === 'udp';
        return { ...v, from: ports ? v.from : '', to: ports && v.from ? v.to || v.from : '' };
      },
      check: (r, rules) => (r.to && !r.from ? 'Give the first port too.' : ordered(r.from, r.to, '') || duplicate(r, rules)),
    }, 'ipPortFilterMode', 'the filter']],
  });
}

export async function macfilter(ctx) {
  const list = new RuleList({
    title: 'Devices',
    item: 'device',
    columns: [['mac', 'MAC address']],
    fields: [{ key: 'mac', label: 'MAC address', maxlen: 17, check: check.mac }],
    toRule: (v) => ({ mac: v.mac.toUpperCase() }),
    check: (r, rules) => (rules.some((x) => x.mac === r.mac) ? 'This device is in the list already.' : ''),
  });
  await settingsScreen(ctx, {
    page: 'macfilter.cgi',
    follow: 'restart',
    intro: 'Decide by MAC address which devices may use the router.',
    fields: [{ key: 'accessPolicy', label: 'MAC filter', type: 'select', num: true, options: [[0, 'Off'], [1, 'Allow only the listed devices'], [2, 'Block the listed devices']] }],
    extra: list.el,
    dirty: () => list.dirty,
    unused: (v) => (v.accessPolicy === 0 && list.rules.length ? 'the MAC filter is off: the list is kept but not used.' : ''),
    // an allow-list that names no device lets no device in, this one too
    confirm: (v) =>
      v.accessPolicy !== 1 || list.rules.some((r) => !('raw' in r))
        ? true
        : confirmDialog(
            'Lock out every device?',
            'Allowing only the listed devices with no device in the list blocks every device, this one too: nobody could use the router or reach this page from the LAN or Wi-Fi. Add the devices that may use the router first.',
            'Block every device',
          ),
    fromAnswer: (a) => {
      list.set(parseRules(a.accessControlList || '', LISTS.macList));
      return a;
    },
    toRequest: (v) => ({ accessPolicy: v.accessPolicy, accessControlList: formatRules(list.rules, LISTS.macList) }),
  });
}

export async function security(ctx) {
  await settingsScreen(ctx, {
    page: 'secure.cgi',
    follow: 'firewall',
    fields: [
      { key: 'SPIFWEnabled', label: 'Stateful packet inspection', type: 'check' },
      { key: 'BlockPortScan', label: 'Block port scans', type: 'check' },
      { key: 'BlockSynFlood', label: 'Block SYN floods', type: 'check' },
      { key: 'WANPingFilter', label: 'Ignore ping from the internet', type: 'check' },
      { key: 'wanForwardRestrict', label: 'Restrict forwarding from the internet to the LAN', type: 'check' },
      { key: 'RemoteManagement', label: 'Allow this web interface from the internet', type: 'check', help: 'Anyone on the internet can then reach the login page.' },
    ],
  });
}
