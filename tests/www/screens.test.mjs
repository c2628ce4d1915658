// Every screen of the web interface against the simulated router, on a
// desktop and on a phone: it loads the router's values, every field has a
// label, nothing scrolls sideways, the phone's menu works from the keyboard,
// and every settings form, saved as loaded, is accepted by the router.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { newPage, open, screenshot, startLoggedIn, stopAll } from './router.mjs';

const held = {};
let router, browser, page;

before(async () => {
  await startLoggedIn(held);
  ({ router, browser, page } = held);
});

after(() => stopAll(held));

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
