// The interface through the router's host name (the store's HostName,
// "LTE-Router" from the factory), and what a foreign name that resolves to
// the router's address gets: the files, but no answer from the back end.
// chromium resolves both names to 127.0.0.1 itself; nothing else is asked.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { chromium } from 'playwright-core';
import { login, newPage, screenshot, startRouter } from './router.mjs';

let router, browser;

before(async () => {
  router = await startRouter();
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--host-resolver-rules=MAP lte-router 127.0.0.1, MAP rebind.attacker.example 127.0.0.1, EXCLUDE localhost',
    ],
  });
});

after(async () => {
  await browser?.close();
  await router?.stop();
});

// The router as reached by that name.
const named = (name) => ({ ...router, url: router.url.replace('127.0.0.1', name) });

test('the router by its host name: log in, see the status, save a setting', async () => {
  const page = await newPage(browser, named('lte-router'));
  await login(page);
  await page.waitForSelector('main[data-screen="status"][data-ready="1"]');
  await screenshot(page, 'status-by-host-name');
  // a POST of the page carries its origin, which names the same host
  const saved = await page.evaluate(() =>
    fetch('/cgi-bin/telnetd.cgi', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"telnetd":0}' }).then((r) => r.json()));
  assert.deepEqual(saved, { result: 0 });
  assert.equal(router.nvram('telnetdEnabled'), '0');
  assert.deepEqual(page.errors, []);
});

test('a foreign name re-pointed at the router gets no answer from the back end', async () => {
  const page = await newPage(browser, named('rebind.attacker.example'));
  await page.goto('/');
  const answer = await page.evaluate(async () => {
    const body = JSON.stringify({ username: 'admin', password: '21232f297a57a5a743894a0e4a801fc3' });
    const r = await fetch('/cgi-bin/login.cgi', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body });
    return { status: r.status, text: await r.text() };
  });
  assert.deepEqual(answer, { status: 403, text: 'unknown host name\n' });
});
