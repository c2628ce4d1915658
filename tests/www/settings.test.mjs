// Settings screens that restart the router's services or reload its
// firewall: checked in the browser, stored, and the wait for the router;
// changes that would be lost, do nothing or lock everyone out are not made
// without a word.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { axeFaults, open, screenshot, startLoggedIn, stopAll } from './router.mjs';

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
  // forwarded traffic must reach a device of the LAN
  for (const [ip, why] of [['8.8.8.8', 'Not a device of the LAN'], ['192.168.1.1', 'This is the router itself']]) {
    await add.getByLabel('Device address').fill(ip);
    await add.getByRole('button', { name: 'Add port range' }).click();
    await add.getByText(why).waitFor();
  }
  await add.getByLabel('Device address').fill('192.168.1.20');
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


test('a rule not saved is not lost by leaving, and one saved with its switch off says so', async () => {
  await open(page, 'forward');
  const add = page.locator('fieldset', { hasText: 'New port range' });
  await add.getByLabel('Device address').fill('192.168.1.30');
  await add.getByLabel('First port').fill('9000');
  await add.getByLabel('Last port').fill('9001');
  await add.getByRole('button', { name: 'Add port range' }).click();
  await page.getByRole('cell', { name: '9000–9001' }).waitFor();
  await page.getByRole('link', { name: 'Status', exact: true }).click();
  const dialog = page.getByRole('dialog', { name: 'Leave without saving?' });
  await dialog.waitFor();
  assert.deepEqual(await axeFaults(page, 'leave dialog'), []);
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  assert.equal(await page.locator('main').getAttribute('data-screen'), 'forward');
  assert.match(page.url(), /#forward$/);
  await page.getByRole('cell', { name: '9000–9001' }).waitFor();
  await page.getByLabel('Forward port ranges').uncheck();
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Saved, but forwarding of port ranges is off').waitFor();
  assert.equal(router.nvram('PortForwardEnable'), '0');
  assert.match(router.nvram('PortForwardRules'), /192\.168\.1\.30,9000,9001,/);
  // saved: leaving asks nothing
  await page.getByRole('link', { name: 'Status', exact: true }).click();
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]');
  // nor does leaving a screen whose settings could not be read
  const refuse = (r) => r.fulfill({ status: 500, body: '' });
  await page.route('**/cgi-bin/dmz.cgi', refuse);
  await page.goto('/#dmz');
  await page.waitForSelector('main[data-screen="dmz"][data-ready="error"]');
  await page.getByRole('link', { name: 'Status', exact: true }).click();
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]');
  await page.unroute('**/cgi-bin/dmz.cgi', refuse);
});

test('an allow-list of no device is saved only when the person confirms it', async () => {
  await open(page, 'macfilter');
  await page.getByLabel('MAC filter').selectOption({ label: 'Allow only the listed devices' });
  await page.getByRole('button', { name: 'Save' }).click();
  const dialog = page.getByRole('dialog', { name: 'Lock out every device?' });
  await dialog.waitFor();
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  await page.getByText('Nothing was saved.').waitFor();
  assert.equal(router.nvram('AccessPolicy0'), '0');
  await page.getByLabel('MAC filter').selectOption({ label: 'Off' });
});

// Last: it moves the router to another network.
test('a new router address moves the DHCP range, gateway and DNS server along', async () => {
  await open(page, 'lan');
  await page.getByLabel('Router address').fill('192.168.3.1');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Please correct the marked fields.').waitFor();
  assert.equal(await page.getByLabel('Gateway handed out').getAttribute('aria-invalid'), 'true');
  assert.equal(await page.getByLabel('DNS server', { exact: true }).getAttribute('aria-invalid'), 'true');
  await page.getByText('must reconnect').waitFor();
  await screenshot(page, 'lan-move');
  await page.getByRole('button', { name: 'Move them to the new network' }).click();
  assert.equal(await page.getByLabel('Gateway handed out').inputValue(), '192.168.3.1');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.getByText('Saved and applied.').waitFor({ timeout: 60000 });
  assert.equal(router.nvram('lan_ipaddr'), '192.168.3.1');
  assert.equal(router.nvram('dhcpGateway'), '192.168.3.1');
  assert.equal(router.nvram('dhcpPriDns'), '192.168.3.1');
  assert.equal(router.nvram('dhcpStart'), '192.168.3.100');
  assert.equal(router.nvram('dhcpEnd'), '192.168.3.150');
});
