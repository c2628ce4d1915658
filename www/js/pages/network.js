// LAN, WAN and Wi-Fi.

import * as check from '../check.js';
import { settingsScreen } from '../settings.js';
import { h } from '../ui.js';

const pick = (v, keys) => Object.fromEntries(keys.map((k) => [k, v[k]]));

const DHCP_KEYS = ['dhcpGateway', 'dhcpStart', 'dhcpEnd', 'dhcpPriDns', 'dhcpSecDns', 'dhcpLease', 'dhcpStatic1', 'dhcpStatic2', 'dhcpStatic3'];

function fixedLease(s, v) {
  const [m, ip, more] = s.split(',');
  if (ip === undefined || more !== undefined) return 'Enter a MAC address and an IP address separated by a comma.';
  return check.mac(m.trim()) || check.inSubnet(ip.trim(), v.lan_ipaddr, v.lan_netmask) || check.hostIp(ip.trim());
}

// Addresses the DHCP server hands out that point into the router's network.
const HANDED = { dhcpStart: 'first address', dhcpEnd: 'last address', dhcpGateway: 'gateway', dhcpPriDns: 'DNS server', dhcpSecDns: 'second DNS server' };

export async function lan(ctx) {
  const dhcp = (v) => v.dhcpEnabled === 1;
  const inLan = (s, v) => check.hostIp(s) || check.inSubnet(s, v.lan_ipaddr, v.lan_netmask);
  let loaded = {};
  // A DNS server in the old network would be stranded by a move; one
  // elsewhere (a public one) is fine.
  const dns = (s, v) =>
    check.ipv4(s) ||
    (loaded.lan_ipaddr && !check.inSubnet(s, loaded.lan_ipaddr, loaded.lan_netmask) && check.inSubnet(s, v.lan_ipaddr, v.lan_netmask)
      ? 'This address is in the router\'s old network, which its clients leave: use one of the new network.'
      : '');
  const moved = (v) => Boolean(loaded.lan_ipaddr) && (v.lan_ipaddr !== loaded.lan_ipaddr || v.lan_netmask !== loaded.lan_netmask);
  // what the DHCP server would hand out outside the new network
  const stranded = (v) =>
    dhcp(v) && !check.hostIp(v.lan_ipaddr) && !check.netmask(v.lan_netmask)
      ? Object.keys(HANDED).filter((k) => v[k] && check.ipNumber(v[k]) >= 0 && check.inSubnet(v[k], loaded.lan_ipaddr, loaded.lan_netmask) === '' && check.inSubnet(v[k], v.lan_ipaddr, v.lan_netmask) !== '')
      : [];
  const moveBtn = h('button', { type: 'button' }, 'Move them to the new network');
  const moveText = h('span');
  const offer = h('div', { class: 'warning', 'data-k': 'move-offer', hidden: true }, h('p', {}, moveText), moveBtn);
  const reconnect = h('p', { class: 'help', 'data-k': 'reconnect', hidden: true });
  const fixed = (n) => ({
    key: `dhcpStatic${n}`,
    label: `Fixed address ${n}`,
    optional: true,
    maxlen: 40,
    placeholder: '00:11:22:33:44:55,192.168.1.10',
    help: n === 1 ? 'A device\'s MAC address and the IP address it always gets, separated by a comma.' : undefined,
    show: dhcp,
    check: fixedLease,
  });
  const form = await settingsScreen(ctx, {
    page: 'lan.cgi',
    follow: 'restart',
    fields: [
      { key: 'lan_ipaddr', label: 'Router address', check: check.hostIp, maxlen: 15 },
      { key: 'lan_netmask', label: 'Netmask', check: check.netmask, maxlen: 15 },
      { key: 'HostName', label: 'Host name', maxlen: 63, check: (s) => (/^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?$/.test(s) ? '' : 'Letters, digits and inner hyphens only.') },
      { key: 'upnpEnabled', label: 'UPnP (let devices open ports themselves)', type: 'check' },
      { key: 'dnsPEnabled', label: 'DNS proxy (the router answers DNS queries of the LAN)', type: 'check' },
      { key: 'dhcpEnabled', label: 'DHCP server (hand out addresses on the LAN)', type: 'check' },
      { section: 'DHCP server', show: dhcp },
      { key: 'dhcpStart', label: 'First address', maxlen: 15, show: dhcp, check: inLan },
      {
        key: 'dhcpEnd', label: 'Last address', maxlen: 15, show: dhcp,
        check: (s, v) => inLan(s, v) || (check.ipNumber(s) < check.ipNumber(v.dhcpStart) ? 'The last address comes before the first.' : ''),
      },
      // a gateway outside the network is one no client can reach
      { key: 'dhcpGateway', label: 'Gateway handed out', maxlen: 15, show: dhcp, check: inLan },
      { key: 'dhcpPriDns', label: 'DNS server', maxlen: 15, show: dhcp, check: dns },
      { key: 'dhcpSecDns', label: 'Second DNS server', maxlen: 15, optional: true, show: dhcp, check: dns },
      { key: 'dhcpLease', label: 'Lease time (seconds)', type: 'number', min: 60, max: 31536000, show: dhcp },
      fixed(1),
      fixed(2),
      fixed(3),
    ],
    toRequest: (v) => {
      const keys = ['lan_ipaddr', 'lan_netmask', 'HostName', 'dhcpEnabled', 'upnpEnabled', 'dnsPEnabled'];
      return pick(v, v.dhcpEnabled === 1 ? keys.concat(DHCP_KEYS) : keys);
    },
    loaded: (a) => (loaded = a),
    afterSave: (v, f) => {
      if (v.lan_ipaddr === loaded.lan_ipaddr || location.hostname !== loaded.lan_ipaddr) return false;
      const url = `${location.protocol}//${v.lan_ipaddr}${location.port ? `:${location.port}` : ''}/`;
      f.say('Saved. The router moves to its new address. Reconnect this device to the router (or renew its address), then open ', 'info');
      f.msg.append(h('a', { href: url }, url));
      return true;
    },
  });
  // The offer to move what is handed out along with the router, and the
  // word that devices of the LAN, this one too, must reconnect, under the
  // router's address.
  form.field('lan_netmask').wrap.after(offer, reconnect);
  const review = () => {
    const v = form.values();
    const out = stranded(v);
    offer.hidden = !out.length;
    if (out.length) {
      const names = out.map((k) => HANDED[k]);
      moveText.textContent = `The router moves to another network, but the DHCP server would still hand out addresses of the old one (${names.join(', ')}): its clients would get no working connection.`;
    }
    reconnect.hidden = !moved(v);
    reconnect.textContent = `After saving, every device of the LAN, this one too, must reconnect (or renew its address) to get an address of the new network${v.lan_ipaddr !== loaded.lan_ipaddr ? ` and reach the router at ${v.lan_ipaddr}` : ''}.`;
  };
  moveBtn.addEventListener('click', () => {
    const v = form.values();
    const to = {};
    for (const k of [...Object.keys(HANDED), 'dhcpStatic1', 'dhcpStatic2', 'dhcpStatic3']) {
      if (k.startsWith('dhcpStatic')) {
        const [m, ip] = v[k].split(',');
        const n = ip !== undefined && check.moveAddress(ip.trim(), loaded.lan_ipaddr, loaded.lan_netmask, v.lan_ipaddr, v.lan_netmask);
        if (n) to[k] = `${m},${n}`;
      } else {
        const n = check.moveAddress(v[k], loaded.lan_ipaddr, loaded.lan_netmask, v.lan_ipaddr, v.lan_netmask);
        if (n) to[k] = n;
      }
    }
    form.set(to);
    form.validate();
    review();
    form.say('Moved: check the addresses, then save.', 'info');
  });
  form.el.addEventListener('input', review);
  form.el.addEventListener('change', review);
}

const ETHERNET = (v) => v.netmode !== '3G';
const STATIC = (v) => v.netmode === 'STATIC';

export async function wan(ctx) {
  const macNote = h('p', { class: 'help', 'data-k': 'wanmacaddr' });
  await settingsScreen(ctx, {
    page: 'wan.cgi',
    follow: 'restart',
    intro: 'Where the router takes its internet connection from: the mobile network, or the Ethernet WAN port.',
    fields: [
      { key: 'netmode', label: 'Internet connection', type: 'select', options: [['3G', 'Mobile network'], ['DHCP', 'WAN port, automatic address (DHCP)'], ['STATIC', 'WAN port, fixed address']] },
      { section: 'Fixed address', show: STATIC },
      { key: 'ipaddr', label: 'IP address', maxlen: 15, show: STATIC, check: check.hostIp },
      { key: 'netmask', label: 'Netmask', maxlen: 15, show: STATIC, check: check.netmask },
      { key: 'gateway', label: 'Gateway', maxlen: 15, show: STATIC, check: (s, v) => check.hostIp(s) || check.inSubnet(s, v.ipaddr, v.netmask) },
      { key: 'dns', label: 'DNS server', maxlen: 15, show: STATIC, check: check.ipv4 },
      { key: 'dns2', label: 'Second DNS server', maxlen: 15, optional: true, show: STATIC, check: check.ipv4 },
      { section: 'MAC address', show: ETHERNET },
      { key: 'macclone', label: 'Use another MAC address on the WAN port (clone)', type: 'check', show: ETHERNET },
      { key: 'macaddr', label: 'MAC address to use', maxlen: 17, show: (v) => ETHERNET(v) && v.macclone === 1, check: check.mac },
    ],
    extra: macNote,
    fromAnswer: (a) => {
      macNote.textContent = a.wanmacaddr ? `The WAN port's own MAC address is ${a.wanmacaddr}.` : '';
      macNote.hidden = a.netmode === '3G';
      return {
        netmode: a.netmode || '3G',
        macclone: a.macCloneEnabled,
        macaddr: a.macCloneMac,
        ...(a.netmode === 'STATIC' ? { ipaddr: a.staticIp, netmask: a.staticNetmask, gateway: a.staticGateway, dns: a.staticPriDns, dns2: a.staticSecDns } : {}),
      };
    },
    toRequest: (v) => {
      const keys = ['netmode'];
      if (ETHERNET(v)) keys.push('macclone');
      if (ETHERNET(v) && v.macclone === 1) keys.push('macaddr');
      if (STATIC(v)) keys.push('ipaddr', 'netmask', 'gateway', 'dns', 'dns2');
      return pick(v, keys);
    },
  });
}

const WIFI_ON = (v) => v.WiFiOff === 0;

export async function wifi(ctx) {
  const channels = [[0, 'Automatic'], ...Array.from({ length: 13 }, (_, i) => [i + 1, `Channel ${i + 1}`])];
  await settingsScreen(ctx, {
    page: 'wifi.cgi',
    follow: 'restart',
    fields: [
      { key: 'WiFiOff', label: 'Wi-Fi on', type: 'check', on: 0, off: 1 },
      { key: 'SSID1', label: 'Network name (SSID)', maxlen: 32, show: WIFI_ON, check: check.ssid },
      { key: 'HideSSID', label: 'Hide the network name', type: 'check', show: WIFI_ON },
      { key: 'AuthMode', label: 'Security', type: 'select', options: [['WPA2PSK', 'WPA2 with a key'], ['OPEN', 'None (open network)']], show: WIFI_ON },
      { note: 'An open network lets anyone in range use this router\'s connection and see what its devices send unencrypted.', show: (v) => WIFI_ON(v) && v.AuthMode === 'OPEN' },
      { key: 'WPAPSK1', label: 'Key', type: 'password', reveal: true, autocomplete: 'new-password', maxlen: 64, show: (v) => WIFI_ON(v) && v.AuthMode === 'WPA2PSK', check: check.wpaKey },
      { key: 'Channel', label: 'Channel', type: 'select', num: true, options: channels, show: WIFI_ON },
      { key: 'HT_BW', label: 'Channel width', type: 'select', num: true, options: [[0, '20 MHz'], [1, '20/40 MHz']], show: WIFI_ON },
      { key: 'TxPower', label: 'Transmit power (%)', type: 'number', min: 1, max: 100, show: WIFI_ON },
      { key: 'WscModeOption', label: 'WPS', type: 'select', num: true, options: [[0, 'Off'], [1, 'On']], show: WIFI_ON },
    ],
    toRequest: (v) => {
      if (v.WiFiOff !== 0) return { WiFiOff: 1 };
      const keys = ['WiFiOff', 'SSID1', 'HideSSID', 'HT_BW', 'Channel', 'AuthMode', 'WscModeOption', 'TxPower'];
      if (v.AuthMode === 'WPA2PSK') keys.push('WPAPSK1');
      return pick(v, keys);
    },
  });
}
