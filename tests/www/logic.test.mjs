// The interface's pure logic, run by node: digest, value checks, rule lists
// and their clashes, moved LAN addresses, the signal verdict and the
// firmware image check.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import * as check from '../../www/js/check.js';
import { firmwareProblem, imageName } from '../../www/js/image.js';
import { md5Hex } from '../../www/js/md5.js';
import { duplicate, formatRules, forwardClash, LISTS, parseRules, triggerClash } from '../../www/js/rules.js';
import { sample, verdict } from '../../www/js/signal.js';

test('md5 of the RFC 1321 test suite, block boundaries and UTF-8 text', () => {
  const rfc = {
    '': 'd41d8cd98f00b204e9800998ecf8427e',
    a: '0cc175b9c0f1b6a831c399e269772661',
    abc: '900150983cd24fb0d6963f7d28e17f72',
    'message digest': 'f96b697d7cb7938d525a2f31aaf161d0',
    abcdefghijklmnopqrstuvwxyz: 'c3fcd3d76192e4007dfb496cca67e13b',
    ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789: 'd174ab98d277d9f5a5611c2c9f419d9f',
    ['1234567890'.repeat(8)]: '57edf4a22be3c955ac49da2e2107b67a',
  };
  for (const [text, want] of Object.entries(rfc)) assert.equal(md5Hex(text), want, text);
  for (const text of ['x'.repeat(55), 'x'.repeat(56), 'x'.repeat(63), 'x'.repeat(64), 'y'.repeat(1000), 'pässwörd €']) {
    assert.equal(md5Hex(text), createHash('md5').update(text, 'utf8').digest('hex'), text);
  }
});

test('value checks accept what the router takes and refuse the rest', () => {
  const cases = [
    [check.ipv4, ['192.168.1.1', '0.0.0.0', '255.255.255.255'], ['192.168.1', '192.168.1.256', '01.2.3.4', '1.2.3.4 ', 'a.b.c.d']],
    [check.hostIp, ['10.0.0.1'], ['0.0.0.0', '127.0.0.1', '224.0.0.1', '255.255.255.255']],
    [check.netmask, ['255.255.255.0', '255.255.255.252', '255.0.0.0'], ['255.0.255.0', '0.0.0.0', '255.255.255.1']],
    [check.mac, ['00:11:22:AA:bb:cc'], ['00-11-22-33-44-55', '01:00:5E:00:00:01', '00:00:00:00:00:00', '00:11:22:33:44']],
    [(s) => check.inSubnet(s, '192.168.1.1', '255.255.255.0'), ['192.168.1.2', '192.168.1.254'], ['192.168.2.1', '192.168.1.0', '192.168.1.255']],
    [check.host, ['pool.ntp.org', '198.51.100.7', 'router-1'], ['', 'bad_name', '-x.org', '1.2.3']],
    [check.pin, ['1234', '12345678'], ['123', '123456789', '12a4', '']],
    [check.puk, ['12345678'], ['1234567', '1234567a']],
    [(s) => check.modemText(s, 127), ['internet', 'a b,c'], ['say "hi"', 'line\nbreak', 'esc\x1b', 'x'.repeat(128)]],
    [check.bridgeOptions, ['-c 198.51.100.7 -p 5000 -d /dev/ttyUSB0', '198.51.100.7'], ['', '  ', '-c x; reboot', '$(reboot)', '`id`', 'a|b', 'a\nb', "'q'"]],
    [check.wpaKey, ['12345678', 'a'.repeat(63), 'ab'.repeat(32)], ['1234567', 'g'.repeat(64), 'pässwort1']],
    [check.ssid, ['Home', 'x'.repeat(32)], ['', 'x'.repeat(33), 'ü'.repeat(17), 'tab\there']],
    [(s) => check.ruleText(s), ['web server'], ['a,b', 'a;b']],
    [check.hexData, ['', '0aFF', '0a ff'], ['0', 'zz']],
  ];
  for (const [fn, good, bad] of cases) {
    for (const v of good) assert.equal(fn(v), '', `${fn.name || 'check'} should accept ${JSON.stringify(v)}`);
    for (const v of bad) assert.notEqual(fn(v), '', `${fn.name || 'check'} should refuse ${JSON.stringify(v)}`);
  }
  assert.equal(check.int(65535, 1, 65535), '');
  for (const v of [0, 65536, 1.5, NaN]) assert.notEqual(check.port(v), '');
});

test('rule lists survive a round trip and keep rules they cannot read', () => {
  const fields = LISTS.portForward;
  const rules = [
    { ip: '192.168.1.10', from: '80', to: '81', proto: 'tcp', comment: 'web' },
    { ip: '192.168.1.11', from: '5000', to: '5000', proto: 'tcpudp', comment: '' },
  ];
  const text = formatRules(rules, fields);
  assert.equal(text, '192.168.1.10,80,81,tcp,web;192.168.1.11,5000,5000,tcpudp,');
  assert.deepEqual(parseRules(text, fields), rules);
  const odd = parseRules('192.168.1.10,80,81,tcp,web;something else', fields);
  assert.deepEqual(odd[1], { raw: 'something else' });
  assert.equal(formatRules(odd, fields), '192.168.1.10,80,81,tcp,web;something else');
  assert.deepEqual(parseRules('', fields), []);
  assert.equal(formatRules(parseRules('00:11:22:33:44:55;66:77:88:99:AA:BB', LISTS.macList), LISTS.macList), '00:11:22:33:44:55;66:77:88:99:AA:BB');
});

test('a new rule that forwards, triggers or filters what another does already is refused', () => {
  const range = { ip: '192.168.1.10', from: '8000', to: '8010', proto: 'tcp', comment: 'cam' };
  const single = { wanPort: '2222', ip: '192.168.1.11', lanPort: '22', proto: 'udp', comment: '' };
  const lists = { range: [range, { raw: 'odd' }], single: [single] };
  const cases = [
    ['range', { ...range, from: 8000, to: 8010, comment: 'other' }, /already/],
    ['range', { ip: '192.168.1.12', from: 8010, to: 8020, proto: 'tcpudp', comment: '' }, /rule 1 of the port ranges/],
    ['range', { ip: '192.168.1.12', from: 8005, to: 8005, proto: 'udp', comment: '' }, null],
    ['range', { ip: '192.168.1.12', from: 2222, to: 2222, proto: 'udp', comment: '' }, /single ports/],
    ['single', { wanPort: 8009, ip: '192.168.1.12', lanPort: 80, proto: 'tcp', comment: '' }, /port ranges/],
    ['single', { wanPort: 2222, ip: '192.168.1.12', lanPort: 22, proto: 'tcp', comment: '' }, null],
  ];
  for (const [kind, rule, want] of cases) {
    const p = forwardClash(kind, rule, lists);
    if (want) assert.match(p, want, JSON.stringify(rule));
    else assert.equal(p, '', JSON.stringify(rule));
  }
  const trig = { trigFrom: '6000', trigTo: '6010', trigProto: 'tcp', openFrom: '7000', openTo: '7000', openProto: 'udp', comment: '' };
  assert.match(triggerClash({ ...trig }, [trig]), /already/);
  assert.match(triggerClash({ ...trig, trigFrom: 6010, trigTo: 6020, openFrom: 7100, openTo: 7100 }, [trig]), /trigger 1/);
  assert.equal(triggerClash({ ...trig, trigProto: 'udp' }, [trig]), '');
  const rule = { src: '', dst: '', proto: 'icmp', from: '', to: '', action: 'drop', comment: '' };
  assert.match(duplicate({ ...rule, comment: 'x' }, [rule]), /already/);
  assert.equal(duplicate({ ...rule, action: 'accept' }, [rule]), '');
});

test('addresses of the old LAN move along with the router', () => {
  const cases = [
    // address, old router, old mask, new router, new mask, moved
    ['192.168.2.1', '192.168.2.1', '255.255.255.0', '192.168.3.1', '255.255.255.0', '192.168.3.1'],
    ['192.168.2.100', '192.168.2.1', '255.255.255.0', '192.168.3.1', '255.255.255.0', '192.168.3.100'],
    ['192.168.2.1', '192.168.2.1', '255.255.255.0', '10.0.0.254', '255.255.255.0', '10.0.0.254'],
    ['192.168.2.200', '192.168.2.1', '255.255.255.0', '192.168.3.1', '255.255.255.128', ''],
    ['8.8.8.8', '192.168.2.1', '255.255.255.0', '192.168.3.1', '255.255.255.0', ''],
    ['192.168.2.100', '192.168.2.1', '255.255.255.0', '10.1.0.1', '255.255.0.0', '10.1.0.100'],
  ];
  for (const [ip, o, om, n, nm, want] of cases) assert.equal(check.moveAddress(ip, o, om, n, nm), want, `${ip} to ${n}/${nm}`);
});

test('the signal verdict follows the worse of RSRP and RSRQ, else the signal strength', () => {
  const cases = [
    [{ rsrp: '-75', rsrq: '-8', csq: 25 }, 'excellent'],
    [{ rsrp: '-85', rsrq: '-8', csq: 25 }, 'good'],
    [{ rsrp: '-75', rsrq: '-17', csq: 25 }, 'fair'],
    [{ rsrp: '-101', rsrq: '-5', csq: 25 }, 'poor'],
    [{ rsrp: '-100', rsrq: '-20', csq: 25 }, 'fair'],
    [{ rsrp: '', rsrq: '', csq: 22 }, 'excellent'],
    [{ rsrp: '', rsrq: '', csq: 10 }, 'fair'],
    [{ rsrp: '', rsrq: '', csq: 99 }, ''],
    [{}, ''],
  ];
  for (const [home, want] of cases) assert.equal(verdict(sample(home, {})), want, JSON.stringify(home));
});

test('firmware images made by mkimage pass the check; damaged ones do not', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `www-image-${process.pid}-`));
  try {
    const data = path.join(dir, 'data.bin');
    fs.writeFileSync(data, Buffer.from(Array.from({ length: 5000 }, (_, i) => (i * 7) & 0xff)));
    const img = path.join(dir, 'fw.img');
    execFileSync('mkimage', ['-A', 'mips', '-O', 'linux', '-T', 'kernel', '-C', 'none', '-a', '0x80000000', '-e', '0x80000000', '-n', 'test image', '-d', data, img], {
      env: { ...process.env, SOURCE_DATE_EPOCH: '0' },
      stdio: 'ignore',
    });
    const good = new Uint8Array(fs.readFileSync(img));
    assert.equal(firmwareProblem(good), '');
    assert.equal(imageName(good), 'test image');
    const damaged = (at) => {
      const b = good.slice();
      b[at] ^= 1;
      return b;
    };
    const longer = new Uint8Array(good.length + 1);
    longer.set(good);
    for (const [what, bytes] of [['magic', damaged(0)], ['header', damaged(20)], ['data', damaged(100)], ['extra byte', longer], ['short', good.slice(0, 63)]]) {
      assert.notEqual(firmwareProblem(bytes), '', what);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
