// The web interface in Debian's chromium against the simulated router of
// ./scripts/run: login, live status and the signal history, the SIM PIN,
// settings that reach the store and the modem daemon, the event history, and
// the status while the modem is silent.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { axeFaults, login, open, screenshot, startLoggedIn, stopAll } from './router.mjs';

const held = {};
let router, browser, page;

before(async () => {
  await startLoggedIn(held);
  ({ router, browser, page } = held);
});

after(() => stopAll(held));

const text = (k) => page.locator(`[data-k="${k}"]`).textContent();

test('the status shows the live values of the simulated modem', async () => {
  await open(page, 'status');
  // the modem may still be starting: the refresh brings its values
  await page.waitForFunction(() => document.querySelector('[data-k="imei"]').textContent !== '—', null, { timeout: 60000 });
  assert.equal(await text('imei'), '861234567890123');
  assert.match(await text('modemversion'), /^SIM9025/);
  // the network's answer comes on its own, and may first find the modem initialising
  await page.waitForFunction(() => /Simulated Network · LTE/.test(document.querySelector('[data-k="summary"]').textContent), null, { timeout: 30000 }).catch(() => {});
  assert.match(await text('summary'), /Simulated Network · LTE/);
  assert.equal(await text('lanip'), '192.168.1.1');
  assert.equal(await text('ssid'), 'LTE-Router');
  assert.match(await text('memory'), /of/);
  // the refresh shows what the modem reports now
  router.modem('set csq 15');
  await page.waitForFunction(() => document.querySelector('.bars')?.dataset.bars === '2', null, { timeout: 20000 });
  assert.match(await text('rssi'), /CSQ index 15/);
  // antenna alignment: once a second, the value large, the history growing
  await page.getByRole('button', { name: 'Align antenna' }).click();
  for (const v of [-112, -104, -96, -88]) {
    router.modem(`set rsrp ${v}`);
    await page.waitForFunction((want) => document.querySelector('[data-k="align"]').textContent === want, `${v} dBm`, { timeout: 20000 });
  }
  assert.equal(await page.locator('[data-k="verdict"]').getAttribute('data-verdict'), 'good');
  assert.ok(Number(await page.locator('svg.chart').getAttribute('data-samples')) >= 4);
  assert.deepEqual(await axeFaults(page, 'aligning'), []);
  await page.getByRole('button', { name: 'Stop aligning' }).click();
  await screenshot(page, 'status-signal-history');
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

test('the SIM asks for its PIN: a wrong one costs an attempt, the right one opens it', async () => {
  page.errors = [];
  router.modem('set sim pin');
  // the status says so at its next refresh, and leads to the PIN entry
  await open(page, 'status');
  await page.waitForSelector('[data-k="notice"][data-state="pin"]', { timeout: 20000 });
  assert.equal(await text('simstate'), 'PIN required');
  await screenshot(page, 'status-sim-pin');
  await page.getByRole('link', { name: 'Enter the PIN on the SIM card screen' }).click();
  await page.waitForSelector('main[data-screen="sim"][data-ready="1"]');
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

test('a scheduled reboot is checked in the browser, stored, and signalled to the daemon', async () => {
  page.errors = [];
  await open(page, 'reboot');
  const posts = [];
  page.on('request', (r) => r.method() === 'POST' && posts.push(r.url()));
  await page.getByLabel('Reboot on a schedule').selectOption({ label: 'Every few hours' });
  await page.getByLabel('Every (hours of uptime)').fill('0');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Enter a number from 1 to 8760.').waitFor();
  assert.deepEqual(posts, [], 'nothing is sent while a field is wrong');
  await page.getByLabel('Reboot on a schedule').selectOption({ label: 'Every day at a set time' });
  await page.getByLabel('At (router time)').fill('03:30');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Saved.', { exact: true }).waitFor();
  assert.equal(router.nvram('auto_reboot_mode'), '2');
  assert.equal(router.nvram('auto_reboot_time'), '210');
  assert.match(router.calls(), /killall -SIGUSR2 lted/);
  // the saved values come back into the form
  await open(page, 'reboot');
  assert.equal(await page.getByLabel('At (router time)').inputValue(), '03:30');
  assert.deepEqual(page.errors, []);
});

test('the events screen shows the history and the last restart', async () => {
  page.errors = [];
  await open(page, 'events');
  // the daemon notes its own start, after a power loss as far as it knows
  await page.getByRole('cell', { name: /restarted after/ }).first().waitFor();
  assert.equal(await text('lastrestart'), 'A power loss or an outside reboot');
  await open(page, 'status');
  assert.match(await text('lastrestart'), /power loss/);
  await open(page, 'events');
  await screenshot(page, 'events');
  assert.deepEqual(page.errors, []);
});

test('a silent modem: the status says the router is restarting it and shows nothing stale', async () => {
  page.errors = [];
  await open(page, 'status');
  await page.waitForFunction(() => document.querySelector('[data-k="imei"]').textContent !== '—', null, { timeout: 60000 });
  router.modem('silent on');
  await page.waitForSelector('[data-k="notice"][data-state="silent"]', { timeout: 90000 });
  assert.equal(await text('notice'), 'Modem not answering; the router is restarting it.');
  assert.equal(await page.locator('.bars').getAttribute('data-bars'), '-1');
  assert.equal(await text('online'), 'Offline');
  for (const k of ['netip', 'netgateway', 'operator', 'rsrp']) assert.equal(await text(k), '—', k);
  assert.deepEqual(await axeFaults(page, 'modem silent'), []);
  await screenshot(page, 'status-modem-restarting');
  router.modem('silent off');
  // and once the modem answers again, so does the status (the SIM, whose PIN
  // lock an earlier test turned on, may then ask for its PIN)
  await page.waitForFunction(() => document.querySelector('[data-k="notice"]').dataset.state !== 'silent' && document.querySelector('[data-k="modemversion"]').textContent !== '—', null, { timeout: 180000 });
  assert.deepEqual(page.errors, []);
});
