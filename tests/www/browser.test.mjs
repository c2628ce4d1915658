// The web interface in Debian's chromium against the simulated router of
// ./scripts/run: login, live status, the SIM PIN, settings that reach the
// store and the modem daemon.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { login, open, screenshot, startLoggedIn, stopAll } from './router.mjs';

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
