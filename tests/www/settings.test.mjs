// Settings screens that restart the router's services or reload its
// firewall: checked in the browser, stored, and the wait for the router.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { open, screenshot, startLoggedIn, stopAll } from './router.mjs';

const held = {};
let router, browser, page;

before(async () => {
  await startLoggedIn(held);
  ({ router, browser, page } = held);
});

after(() => stopAll(held));

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
  const add = page.locator('fieldset', { hasText: 'New port range' });
  await add.getByLabel('Device address').fill('192.168.1.20');
  await add.getByLabel('First port').fill('8081');
  await add.getByLabel('Last port').fill('8080');
  await add.getByLabel('Protocol').selectOption('tcp');
  await add.getByLabel('Comment').fill('camera');
  await add.getByRole('button', { name: 'Add port range' }).click();
  await page.getByText('The last port comes before the first.').waitFor();
  await add.getByLabel('First port').fill('8080');
  await add.getByLabel('Last port').fill('8081');
  await add.getByRole('button', { name: 'Add port range' }).click();
  await page.getByRole('cell', { name: '8080–8081' }).waitFor();
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Saved. The firewall takes the change').waitFor();
  assert.equal(router.nvram('PortForwardEnable'), '1');
  assert.equal(router.nvram('PortForwardRules'), '192.168.1.20,8080,8081,tcp,camera');
  await screenshot(page, 'forward-with-rule');
});

