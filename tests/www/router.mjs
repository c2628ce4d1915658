// The simulated router of ./scripts/run for browser tests: a root of its own,
// a free port, and stopped on every way out of the test process.

import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

// ROUTER_TEST_ARCH=mipsel: the router's programs of the mipsel build, under qemu
const arch = process.env.ROUTER_TEST_ARCH;
const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, '../..');
export const artefacts = path.join(repo, arch ? `build/www-test-${arch}` : 'build/www-test');
const bin = path.join(repo, 'build/host/bin');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.unref();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Processes of a router that left its process group (the back end's
// follow-up commands run detached, 2 seconds after their answer): found by
// the root in their environment.
function strays(root) {
  const mark = Buffer.from(`ROUTER_ROOT=${root}\0`);
  const pids = [];
  for (const pid of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      if (fs.readFileSync(`/proc/${pid}/environ`).includes(mark)) pids.push(Number(pid));
    } catch {
      // gone, or not ours to read
    }
  }
  return pids;
}

function kill(pid, signal) {
  try {
    process.kill(pid, signal);
  } catch {
    // already gone
  }
}

const running = new Set();
function killAll(signal) {
  for (const r of running) {
    kill(-r.child.pid, signal);
    for (const pid of strays(r.root)) kill(pid, signal);
    fs.rmSync(r.root, { recursive: true, force: true });
  }
  running.clear();
}
process.on('exit', () => killAll('SIGKILL'));
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(sig, () => {
    killAll('SIGTERM');
    process.exit(128 + os.constants.signals[sig]);
  });
}

async function until(what, fn, ms) {
  const end = Date.now() + ms;
  for (;;) {
    try {
      const v = await fn();
      if (v) return v;
    } catch {
      // not yet
    }
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(200);
  }
}

// Starts ./scripts/run; options: factor (clock speed-up), model.
export async function startRouter({ factor = 1, model = '9025' } = {}) {
  fs.mkdirSync(artefacts, { recursive: true });
  const root = fs.mkdtempSync(path.join(os.tmpdir(), `www-router-${process.pid}-`));
  fs.chmodSync(root, 0o755);
  const port = await freePort();
  const log = path.join(artefacts, `run-${process.pid}-${port}.log`);
  const out = fs.openSync(log, 'w');
  const args = ['--root', root, '--port', String(port), '--fresh', '--model', model, '--factor', String(factor)];
  if (arch) args.push('--arch', arch);
  // its own process group, so that stopping it reaches everything it started
  const child = spawn(path.join(repo, 'scripts/run'), args, { detached: true, stdio: ['ignore', out, out] });
  fs.closeSync(out);
  const r = { child, root };
  running.add(r);
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const url = `http://127.0.0.1:${port}`;
  const router = {
    url,
    root,
    log,
    // a setting of the configuration store, read with the nvram tool
    nvram: (key) => execFileSync(path.join(bin, 'nvram'), ['get', '2860', key], { env: { ...process.env, ROUTER_ROOT: root } }).toString().replace(/\n$/, ''),
    // a command for the modem simulator's control FIFO
    modem: (line) => fs.appendFileSync(path.join(root, 'sim/modem.ctl'), `${line}\n`),
    // the calls of the firmware stand-ins so far
    calls: () => {
      try {
        return fs.readFileSync(path.join(root, 'sim/calls.log'), 'utf8');
      } catch {
        return '';
      }
    },
    file: (p) => fs.readFileSync(path.join(root, p)),
    until,
    async stop() {
      if (!running.has(r)) return;
      running.delete(r);
      kill(-child.pid, 'SIGTERM');
      await Promise.race([exited, sleep(10000)]);
      kill(-child.pid, 'SIGKILL');
      for (const pid of strays(root)) kill(pid, 'SIGKILL');
      fs.rmSync(root, { recursive: true, force: true });
    },
  };
  try {
    await until('the web server', async () => {
      if (child.exitCode !== null) throw new Error('scripts/run ended');
      const page = await fetch(`${url}/`);
      const login = await fetch(`${url}/cgi-bin/login.cgi`);
      return page.ok && (await login.json()).result === 0;
    }, 300000);
    // the modem daemon has found the modem and answers for it
    await until('the modem', () => fs.existsSync(path.join(root, 'var/run/mdm_type')), 60000);
  } catch (e) {
    await router.stop();
    throw new Error(`${e.message}; see ${log}:\n${fs.readFileSync(log, 'utf8').slice(-3000)}`);
  }
  return router;
}

// Debian's chromium, headless; the flags keep it off every network.
export async function startBrowser() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// A page that notes every script error of the interface and every request
// that leaves the router, for the tests to check.
export async function newPage(browser, router, viewport = { width: 1280, height: 900 }) {
  const context = await browser.newContext({ viewport, baseURL: router.url });
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  page.on('console', (m) => m.type() === 'error' && page.errors.push(m.text()));
  // the interface needs nothing but the router
  page.on('request', (r) => /^(data|blob):/.test(r.url()) || r.url().startsWith(`${router.url}/`) || page.errors.push(`fetched from outside the router: ${r.url()}`));
  return page;
}

const axeSource = fs.readFileSync(path.join(here, 'node_modules/axe-core/axe.min.js'), 'utf8');

// The accessibility faults of impact serious or critical that axe-core finds
// on the page as it is now, one line each.
export async function axeFaults(page, what) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(axeSource);
  const found = await page.evaluate(async () => (await window.axe.run(document, { resultTypes: ['violations'] })).violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`));
  return found.map((f) => `${what}: ${f}`);
}

export async function screenshot(page, name) {
  fs.mkdirSync(path.join(artefacts, 'screens'), { recursive: true });
  await page.screenshot({ path: path.join(artefacts, 'screens', `${name}.png`), fullPage: true });
}

// Opens a screen and waits until it has shown the router's values.
export async function open(page, screen) {
  await page.goto(`/#${screen}`);
  await page.waitForSelector(`main[data-screen="${screen}"][data-ready="1"]`, { timeout: 30000 });
}

export async function login(page, user = 'admin', password = 'admin') {
  await page.goto('/');
  await page.waitForSelector('main[data-screen="login"][data-ready="1"]');
  await page.getByLabel('User name').fill(user);
  await page.getByLabel('Password').fill(password);
  await page.getByRole('button', { name: 'Log in' }).click();
}

// A router, a browser and a page logged in as admin on the status screen,
// filled into `held` as they start, so that stopAll ends what did start.
export async function startLoggedIn(held) {
  held.router = await startRouter();
  held.browser = await startBrowser();
  held.page = await newPage(held.browser, held.router);
  await login(held.page);
  await held.page.waitForSelector('main[data-screen="status"][data-ready="1"]');
}

export async function stopAll(held) {
  await held.browser?.close();
  await held.router?.stop();
}
