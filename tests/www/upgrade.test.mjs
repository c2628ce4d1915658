// A firmware upgrade from the browser: the image is checked before it leaves,
// uploaded with a progress bar, written to the flash stand-in, and the
// interface waits for the router to reboot. Its own router: the upgrade stops
// the router's services.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { login, newPage, open, screenshot, startBrowser, startRouter } from './router.mjs';

let router, browser, page, dir;

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), `www-upgrade-${process.pid}-`));
  router = await startRouter();
  browser = await startBrowser();
  page = await newPage(browser, router);
  await login(page);
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]');
});

after(async () => {
  await browser?.close();
  await router?.stop();
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

test('a damaged image stays in the browser; a good one is flashed and the router reboots', async () => {
  fs.writeFileSync(path.join(dir, 'kernel.bin'), randomBytes(300000));
  const good = path.join(dir, 'fw.img');
  execFileSync('mkimage', ['-A', 'mips', '-O', 'linux', '-T', 'kernel', '-C', 'none', '-a', '0x80000000', '-e', '0x80000000', '-n', 'browser test', '-d', path.join(dir, 'kernel.bin'), good], {
    env: { ...process.env, SOURCE_DATE_EPOCH: '0' },
    stdio: 'ignore',
  });
  const bad = path.join(dir, 'fw-extra-byte.img');
  fs.writeFileSync(bad, Buffer.concat([fs.readFileSync(good), Buffer.from([0])]));

  await open(page, 'upgrade');
  const uploads = [];
  page.on('request', (r) => r.url().includes('upgradefirmware.cgi') && uploads.push(r.url()));
  await page.getByLabel('Firmware file').setInputFiles(bad);
  await page.getByRole('button', { name: 'Upgrade the firmware' }).click();
  await page.getByText('data checksum mismatch').waitFor();
  assert.deepEqual(uploads, []);
  assert.doesNotMatch(router.calls(), /killall/, 'the services still run');

  await page.getByLabel('Firmware file').setInputFiles(good);
  await page.getByRole('button', { name: 'Upgrade the firmware' }).click();
  await page.getByRole('dialog').getByText('fw.img (browser test)').waitFor();
  await page.getByRole('button', { name: 'Write to flash' }).click();
  await page.getByRole('dialog', { name: 'The router is rebooting' }).waitFor({ timeout: 60000 });
  assert.equal(await page.getByRole('progressbar', { name: 'Upload of the firmware' }).evaluate((p) => p.value), 100);
  await screenshot(page, 'upgrade-rebooting');
  assert.ok(router.file('sim/mtd/Kernel').equals(fs.readFileSync(good)), 'the flash holds the image');
  await router.until('the reboot', () => /^reboot/m.test(router.calls()), 20000);
  // the interface comes back by itself once the router answers again
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]', { timeout: 120000 });
  assert.deepEqual(page.errors, []);
});
