// Three wrong passwords lock the browser out; the lock-out holds across a
// reload and ends. The router's clock runs 20 times faster here, so its
// 180-second lock-out passes in 9 seconds.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { login, newPage, screenshot, startBrowser, startRouter } from './router.mjs';

let router, browser;

before(async () => {
  router = await startRouter({ factor: 20 });
  browser = await startBrowser();
});

after(async () => {
  await browser?.close();
  await router?.stop();
});

test('a wrong password three times locks the login, which then counts down', async () => {
  const page = await newPage(browser, router);
  await page.goto('/');
  await page.waitForSelector('main[data-screen="login"][data-ready="1"]');
  await screenshot(page, 'login');
  await login(page, 'admin', 'wrong1');
  await page.getByText('Wrong user name or password.').waitFor();
  await page.getByLabel('Password').fill('wrong2');
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.getByLabel('Password').fill('wrong3');
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.getByText('Too many failed logins').waitFor();
  assert.match(await page.locator('.countdown').textContent(), /try again in [23]:\d\d/);
  assert.equal(await page.getByLabel('Password').isDisabled(), true);
  assert.equal(await page.getByRole('button', { name: 'Log in' }).isDisabled(), true);
  await screenshot(page, 'login-locked');
  // the router says so again to a fresh page
  await page.reload();
  await page.getByText('Too many failed logins').waitFor();
  // and lets the right password in once its lock-out has passed
  await router.until('the end of the lock-out', async () => {
    await page.reload();
    await page.waitForSelector('main[data-screen="login"][data-ready="1"]');
    return !(await page.getByLabel('Password').isDisabled());
  }, 30000);
  await login(page);
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]');
  assert.deepEqual(page.errors, []);
});
