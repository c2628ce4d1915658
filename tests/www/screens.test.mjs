// Every screen of the web interface against the simulated router, on a
// desktop and on a phone: it loads the router's values, every field has a
// label, nothing scrolls sideways, axe-core finds no serious fault (also with
// every form open and its errors shown), the phone's menu works from the
// keyboard, every settings form, saved as loaded, is accepted by the router,
// and the first load is small and compressed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { axeFaults, login, newPage, open, screenshot, startLoggedIn, stopAll } from './router.mjs';

const held = {};
let router, browser, page;

before(async () => {
  await startLoggedIn(held);
  ({ router, browser, page } = held);
});

after(() => stopAll(held));

// Opens what the screen hides behind switches and advanced choices, and
// shows the errors of every form (nothing is sent: the router is not asked).
async function showErrors(p) {
  // a switch may reveal more switches
  const off = p.locator('main input[type="checkbox"]:visible:not(:checked)');
  for (let i = 0; i < 30 && (await off.count()); i++) await off.first().check();
  for (const sel of await p.locator('main select:visible:has(option[value="raw"])').all()) await sel.selectOption('raw');
  for (const input of await p.locator('main input[type="text"]:visible, main input[type="password"]:visible').all()) await input.fill('');
  for (const btn of await p.locator('main form button[type="submit"]:visible:not(.danger), main fieldset.add button:visible').all()) await btn.click();
}

// Back to the status screen, dropping what showErrors changed.
async function leave(p) {
  await p.evaluate(() => (location.hash = '#status'));
  const drop = p.getByRole('button', { name: 'Leave without saving' });
  const ready = p.locator('main[data-screen="status"][data-ready="1"]');
  await drop.or(ready).first().waitFor();
  if (await drop.isVisible()) await drop.click();
  await ready.waitFor();
}

test('every screen loads its values, labels every field, fits a phone, and has no accessibility fault', async () => {
  const screens = await page.locator('nav a').evaluateAll((as) => as.map((a) => a.dataset.id));
  assert.ok(screens.length >= 20);
  // one device that the DHCP server and the neighbour table both know
  const lease = Buffer.alloc(40);
  lease.write('laptop', 0);
  Buffer.from([0x02, 0x11, 0x22, 0x33, 0x44, 0x55]).copy(lease, 16);
  Buffer.from([192, 168, 1, 100]).copy(lease, 32);
  lease.writeUInt32BE(3600, 36);
  fs.writeFileSync(path.join(router.root, 'var/udhcpd.leases'), lease);
  fs.mkdirSync(path.join(router.root, 'proc/net'), { recursive: true });
  fs.writeFileSync(path.join(router.root, 'proc/net/arp'), 'IP address       HW type     Flags       HW address            Mask     Device\n192.168.1.100    0x1         0x2         02:11:22:33:44:55     *        br0\n');
  const phone = await newPage(browser, router, { width: 390, height: 844 });
  const faults = [];
  // the login screen, empty and with its errors
  await phone.goto('/');
  await phone.waitForSelector('main[data-screen="login"][data-ready="1"]');
  faults.push(...(await axeFaults(phone, 'login')));
  await phone.getByRole('button', { name: 'Log in' }).click();
  await phone.getByText('Please correct the marked fields.').waitFor();
  faults.push(...(await axeFaults(phone, 'login with errors')));
  await phone.context().addCookies(await page.context().cookies());
  await phone.goto('about:blank');
  const refuse = (r) => (r.request().method() === 'POST' ? r.abort() : r.continue());
  for (const p of [page, phone]) {
    const where = p === phone ? 'phone' : 'desktop';
    await p.route('**/cgi-bin/**', refuse);
    for (const s of screens) {
      await open(p, s);
      faults.push(...(await axeFaults(p, `${s} (${where})`)));
      const unlabelled = await p.$$eval('main input, main select', (els) =>
        els.filter((e) => !e.labels?.length && !e.getAttribute('aria-label')).map((e) => e.name || e.outerHTML));
      assert.deepEqual(unlabelled, [], `unlabelled fields on ${s}`);
      if (s === 'clients') assert.equal(await p.locator('main tbody tr').count(), 1, 'one row per device');
      if (p === phone) {
        const wide = await p.evaluate(() => document.documentElement.scrollWidth > window.innerWidth);
        assert.equal(wide, false, `${s} scrolls sideways on a phone`);
      }
      await screenshot(p, p === phone ? `${s}-phone` : s);
      await showErrors(p);
      faults.push(...(await axeFaults(p, `${s} with its errors (${where})`)));
      await leave(p);
    }
    await p.unroute('**/cgi-bin/**', refuse);
  }
  assert.deepEqual(faults, []);
  // the phone's menu works from the keyboard
  await open(phone, 'status');
  // from the top of the page
  await phone.locator('.skip').focus();
  await phone.keyboard.press('Tab');
  assert.equal(await phone.evaluate(() => document.activeElement.id), 'menu-btn');
  await phone.keyboard.press('Enter');
  for (let i = 0; i < 20 && (await phone.evaluate(() => document.activeElement.textContent)) !== 'LAN'; i++) await phone.keyboard.press('Tab');
  await phone.keyboard.press('Enter');
  await phone.waitForSelector('main[data-screen="lan"][data-ready="1"]');
  assert.equal(await phone.locator('nav').isVisible(), false);
  // but for the requests refused above, of forms that passed their checks
  assert.deepEqual([...page.errors, ...phone.errors].filter((e) => !/ERR_FAILED/.test(e)), []);
  await phone.context().close();
});


test('every settings form sends what the router accepts', async () => {
  page.errors = [];
  for (const s of await page.locator('nav a').evaluateAll((as) => as.map((a) => a.dataset.id))) {
    await open(page, s);
    const save = page.getByRole('button', { name: 'Save', exact: true });
    const forms = page.locator('form').filter({ has: save });
    for (let i = 0; i < (await forms.count()); i++) {
      await forms.nth(i).locator(save).click();
      // a success message under that form; a refusal or a failed check shows an error instead
      const msg = forms.nth(i).locator(':scope > .msg');
      await msg.and(page.locator('.ok, .err')).waitFor({ timeout: 60000 });
      assert.match(await msg.getAttribute('class'), /\bok\b/, `${s}: ${await msg.textContent()}`);
    }
  }
  assert.deepEqual(page.errors, []);
});

test('the first load comes compressed and small, and a reload fetches no script again', async (t) => {
  const p = await newPage(browser, router);
  const cdp = await p.context().newCDPSession(p);
  await cdp.send('Network.enable');
  const seen = new Map();
  cdp.on('Network.responseReceived', (e) => seen.set(e.requestId, { url: e.response.url, headers: e.response.headers, bytes: 0 }));
  cdp.on('Network.loadingFinished', (e) => seen.has(e.requestId) && (seen.get(e.requestId).bytes = e.encodedDataLength));
  const wire = (pick) => [...seen.values()].filter(pick).reduce((n, r) => n + r.bytes, 0);
  const isStatic = (r) => !r.url.includes('/cgi-bin/');
  await p.goto('/');
  await p.waitForSelector('main[data-screen="login"][data-ready="1"]');
  const files = [...seen.values()].filter(isStatic);
  for (const r of files) {
    const head = Object.fromEntries(Object.entries(r.headers).map(([k, v]) => [k.toLowerCase(), v]));
    assert.equal(head['content-encoding'], 'gzip', r.url);
    assert.match(head['cache-control'] || '', /max-age|no-cache/, r.url);
  }
  t.diagnostic(`first load (the login screen): ${files.length} files, ${wire(isStatic)} bytes on the wire`);
  await login(p);
  await p.waitForSelector('main[data-screen="status"][data-ready="1"]');
  t.diagnostic(`then the status screen: ${wire(isStatic)} bytes of files, ${wire(() => true)} bytes with the router's answers`);
  seen.clear();
  await p.reload();
  await p.waitForSelector('main[data-screen="status"][data-ready="1"]');
  const again = [...seen.values()].filter((r) => isStatic(r) && r.bytes > 0 && !/\/(index\.html)?$/.test(new URL(r.url).pathname));
  assert.deepEqual(again.map((r) => r.url), [], 'a reload takes scripts and styles from the cache');
  t.diagnostic(`reload: ${wire(isStatic)} bytes of static files on the wire`);
  await p.context().close();
});
