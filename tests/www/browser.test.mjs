// The web interface in Debian's chromium against the simulated router of
// ./scripts/run: login, live status, settings that reach the store, the SIM
// PIN, every screen on a desktop and a phone.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { login, newPage, open, screenshot, startBrowser, startRouter } from './router.mjs';

let router, browser, page;

before(async () => {
  router = await startRouter();
  browser = await startBrowser();
  page = await newPage(browser, router);
});

after(async () => {
  await browser?.close();
  await router?.stop();
});

const text = (k) => page.locator(`[data-k="${k}"]`).textContent();

test('log in and read the live status of the simulated modem', async () => {
  await login(page);
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]');
  // the modem may still be starting: the refresh brings its values
  await page.waitForFunction(() => document.querySelector('[data-k="imei"]').textContent !== '—', null, { timeout: 60000 });
  assert.equal(await text('imei'), '861234567890123');
  assert.match(await text('modemversion'), /^SIM9025/);
  assert.match(await text('summary'), /Simulated Network · LTE/);
  assert.equal(await text('lanip'), '192.168.1.1');
  assert.equal(await text('ssid'), 'LTE-Router');
  assert.match(await text('memory'), /of/);
  // the refresh shows what the modem reports now
  router.modem('set csq 15');
  await page.waitForFunction(() => document.querySelector('.bars')?.dataset.bars === '2', null, { timeout: 20000 });
  assert.match(await text('rssi'), /RSSI 15/);
  await screenshot(page, 'status');
  assert.deepEqual(page.errors, []);
});

test('an ended session leads to the login screen and back to the screen wanted', async () => {
  await page.context().clearCookies();
  await page.goto('/#mobile');
  await page.waitForSelector('main[data-screen="login"][data-ready="1"]');
  await page.getByLabel('Password').fill('admin');
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.waitForSelector('main[data-screen="mobile"][data-ready="1"]');
  assert.equal(await page.getByLabel('Network mode').inputValue(), '2');
});

test('every screen loads its values, labels every field, and fits a phone', async () => {
  const screens = await page.locator('nav a').evaluateAll((as) => as.map((a) => a.dataset.id));
  assert.ok(screens.length >= 20);
  const phone = await newPage(browser, router, { width: 390, height: 844 });
  await phone.context().addCookies(await page.context().cookies());
  for (const p of [page, phone]) {
    for (const s of screens) {
      await open(p, s);
      const unlabelled = await p.$$eval('main input, main select', (els) =>
        els.filter((e) => !e.labels?.length && !e.getAttribute('aria-label')).map((e) => e.name || e.outerHTML));
      assert.deepEqual(unlabelled, [], `unlabelled fields on ${s}`);
      if (p === phone) {
        const wide = await p.evaluate(() => document.documentElement.scrollWidth > window.innerWidth);
        assert.equal(wide, false, `${s} scrolls sideways on a phone`);
      }
      await screenshot(p, p === phone ? `${s}-phone` : s);
    }
  }
  // the phone's menu works from the keyboard
  await open(phone, 'status');
  await phone.keyboard.press('Tab');
  await phone.keyboard.press('Tab');
  assert.equal(await phone.evaluate(() => document.activeElement.id), 'menu-btn');
  await phone.keyboard.press('Enter');
  for (let i = 0; i < 20 && (await phone.evaluate(() => document.activeElement.textContent)) !== 'LAN'; i++) await phone.keyboard.press('Tab');
  await phone.keyboard.press('Enter');
  await phone.waitForSelector('main[data-screen="lan"][data-ready="1"]');
  assert.equal(await phone.locator('nav').isVisible(), false);
  assert.deepEqual([...page.errors, ...phone.errors], []);
  await phone.context().close();
});

test('a LAN change is checked in the browser, stored, and waits for the restart', async () => {
  await open(page, 'lan');
  const posts = [];
  page.on('request', (r) => r.method() === 'POST' && posts.push(r.url()));
  await page.getByLabel('Host name').fill('www-test');
  await page.getByLabel('Last address').fill('192.168.2.150');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Must be in the network 192.168.1.0/24.').waitFor();
  assert.deepEqual(posts, [], 'nothing is sent while a field is wrong');
  assert.equal(await page.getByLabel('Last address').getAttribute('aria-invalid'), 'true');
  await page.getByLabel('Last address').fill('192.168.1.150');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.locator('#wait').waitFor();
  await page.getByText('Saved and applied.').waitFor({ timeout: 60000 });
  assert.equal(router.nvram('HostName'), 'www-test');
  assert.equal(router.nvram('dhcpEnd'), '192.168.1.150');
  assert.match(router.calls(), /init_system restart/);
});

test('a port forwarding rule is composed in the browser and stored as a rule list', async () => {
  await open(page, 'forward');
  await page.getByLabel('Forward port ranges').check();
  const add = page.locator('fieldset', { hasText: 'New rule: port ranges' });
  await add.getByLabel('Device address').fill('192.168.1.20');
  await add.getByLabel('First port').fill('8081');
  await add.getByLabel('Last port').fill('8080');
  await add.getByLabel('Protocol').selectOption('tcp');
  await add.getByLabel('Comment').fill('camera');
  await add.getByRole('button', { name: 'Add rule' }).click();
  await page.getByText('The last port comes before the first.').waitFor();
  await add.getByLabel('First port').fill('8080');
  await add.getByLabel('Last port').fill('8081');
  await add.getByRole('button', { name: 'Add rule' }).click();
  await page.getByRole('cell', { name: '8080–8081' }).waitFor();
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Saved. The firewall takes the change').waitFor();
  assert.equal(router.nvram('PortForwardEnable'), '1');
  assert.equal(router.nvram('PortForwardRules'), '192.168.1.20,8080,8081,tcp,camera');
  await screenshot(page, 'forward-with-rule');
});

test('the SIM asks for its PIN: a wrong one costs an attempt, the right one opens it', async () => {
  page.errors = [];
  router.modem('set sim pin');
  await open(page, 'sim');
  await page.getByRole('heading', { name: 'Enter the PIN' }).waitFor();
  assert.equal(await text('pin_state'), 'PIN required');
  const form = page.locator('section', { hasText: 'Enter the PIN' });
  await form.getByLabel('PIN', { exact: true }).fill('12');
  await form.getByRole('button', { name: 'Unlock' }).click();
  await page.getByText('A PIN has 4 to 8 digits.').waitFor();
  await form.getByLabel('PIN', { exact: true }).fill('0000');
  await form.getByRole('button', { name: 'Unlock' }).click();
  await page.getByText('The SIM card refused the PIN').waitFor({ timeout: 30000 });
  assert.equal(await text('pin_retries'), '2');
  await screenshot(page, 'sim-pin');
  await page.locator('section', { hasText: 'Enter the PIN' }).getByLabel('PIN', { exact: true }).fill('1234');
  await page.getByRole('button', { name: 'Unlock' }).click();
  await page.getByText('Enter the PIN: done.').waitFor({ timeout: 30000 });
  assert.equal(await text('pin_state'), 'PIN lock on (unlocked)');
  assert.equal(await text('pin_retries'), '3');
  assert.deepEqual(page.errors, []);
});
