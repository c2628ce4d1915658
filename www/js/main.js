// The interface's frame: navigation between screens, the login screen and
// what happens when the session ends.

import { call, clearSession, LoginNeeded, onLoginNeeded, setSession } from './api.js';
import { md5Hex } from './md5.js';
import { confirmDialog, Form, h } from './ui.js';

// [id, title, group, module, function]
const SCREENS = [
  ['status', 'Status', 'Overview', 'status', 'status'],
  ['clients', 'Clients', 'Overview', 'services', 'clients'],
  ['events', 'Events', 'Overview', 'events', 'events'],
  ['mobile', 'Mobile network', 'Cellular', 'cellular', 'mobile'],
  ['sim', 'SIM card', 'Cellular', 'cellular', 'sim'],
  ['location', 'Location', 'Cellular', 'cellular', 'location'],
  ['lan', 'LAN', 'Network', 'network', 'lan'],
  ['wan', 'WAN', 'Network', 'network', 'wan'],
  ['wifi', 'Wi-Fi', 'Network', 'network', 'wifi'],
  ['forward', 'Port forwarding', 'Firewall', 'firewall', 'forward'],
  ['trigger', 'Port triggering', 'Firewall', 'firewall', 'trigger'],
  ['dmz', 'DMZ', 'Firewall', 'firewall', 'dmz'],
  ['filter', 'IP and port filter', 'Firewall', 'firewall', 'filter'],
  ['macfilter', 'MAC filter', 'Firewall', 'firewall', 'macfilter'],
  ['security', 'Security', 'Firewall', 'firewall', 'security'],
  ['account', 'Account', 'System', 'system', 'account'],
  ['time', 'Time', 'System', 'system', 'time'],
  ['telnet', 'Telnet', 'System', 'system', 'telnet'],
  ['watchdog', 'Connection watchdog', 'System', 'services', 'watchdog'],
  ['reboot', 'Reboot', 'System', 'services', 'reboot'],
  ['upgrade', 'Upgrade', 'System', 'upgrade', 'upgrade'],
  ['dtu', 'Serial DTU', 'Services', 'services', 'dtu'],
  ['diag', 'Diagnostic bridge', 'Services', 'services', 'diag'],
];

const main = document.getElementById('main');
const nav = document.getElementById('nav');
const menuBtn = document.getElementById('menu-btn');
const logoutBtn = document.getElementById('logout');
let leaveHandlers = [];
let guards = [];
let loginShown = false;
let shown = '';

function leave() {
  for (const fn of leaveHandlers) fn();
  leaveHandlers = [];
  guards = [];
}

const unsaved = () => guards.some((g) => g());

// Asks before changes on the screen are dropped; true when they may be.
async function mayLeave() {
  return !unsaved() || confirmDialog('Leave without saving?', 'Your changes on this screen have not been saved. They are lost if you leave it now.', 'Leave without saving');
}

// The group names label the lists rather than head them: the page's own
// heading is the first one.
function buildNav() {
  const groups = new Map();
  for (const [id, title, group] of SCREENS) {
    if (!groups.has(group)) groups.set(group, []);
    groups.get(group).push(h('li', {}, h('a', { href: `#${id}`, 'data-id': id }, title)));
  }
  nav.replaceChildren(
    ...[...groups].map(([g, items]) => {
      const gid = `nav-${g.toLowerCase()}`;
      return h('div', { class: 'group' }, h('p', { class: 'group-name', id: gid }, g), h('ul', { 'aria-labelledby': gid }, items));
    }),
  );
}

function setMenu(open) {
  menuBtn.setAttribute('aria-expanded', String(open));
  document.body.classList.toggle('menu-open', open);
}

const wanted = () => SCREENS.find((s) => s[0] === (location.hash.slice(1) || 'status')) || SCREENS[0];

// While the leave dialog asks, further address changes wait for its
// answer: the screen then shown is the one the address names last.
let asking = false;

async function route() {
  if (loginShown || asking) return;
  if (shown) {
    asking = true;
    const may = await mayLeave();
    asking = false;
    if (loginShown) return;
    if (!may) {
      // stay, and let the address say so again without a new history entry
      history.replaceState(null, '', `#${shown}`);
      return;
    }
  }
  const screen = wanted();
  shown = screen[0];
  leave();
  setMenu(false);
  for (const a of nav.querySelectorAll('a')) {
    if (a.dataset.id === screen[0]) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  document.title = `${screen[1]} · LTE Router`;
  const title = h('h1', { tabindex: '-1' }, screen[1]);
  main.replaceChildren(title);
  main.dataset.screen = screen[0];
  main.dataset.ready = '0';
  const mine = leaveHandlers;
  // a screen left while it loaded guards nothing on the next one
  const guard = (fn) => mine === leaveHandlers && guards.push(fn);
  const ctx = { main, onLeave: (fn) => leaveHandlers.push(fn), guard, go: (to) => (location.hash = to) };
  try {
    const mod = await import(`./pages/${screen[3]}.js`);
    await mod[screen[4]](ctx);
    if (mine === leaveHandlers) main.dataset.ready = '1';
  } catch (e) {
    if (e instanceof LoginNeeded || mine !== leaveHandlers) return;
    main.append(h('p', { class: 'msg err', role: 'alert' }, e.message));
    main.dataset.ready = 'error';
  }
  // the new screen's heading takes the focus, unless the user went on already
  if (!main.contains(document.activeElement) || document.activeElement === main) title.focus({ preventScroll: true });
}

// The login screen; shown at start without a session and whenever the router
// asks for a new login.
async function showLogin() {
  if (loginShown) return;
  loginShown = true;
  shown = '';
  leave();
  document.body.classList.add('logged-out');
  nav.hidden = true;
  logoutBtn.hidden = true;
  document.title = 'Log in · LTE Router';
  main.dataset.screen = 'login';
  main.dataset.ready = '0';
  const clock = h('p', { class: 'countdown', 'aria-live': 'off' });
  let timer = 0;
  const form = new Form(
    [
      { key: 'username', label: 'User name', autocomplete: 'username', maxlen: 64 },
      { key: 'password', label: 'Password', type: 'password', autocomplete: 'current-password', optional: true, maxlen: 128 },
    ],
    {
      submit: 'Log in',
      extra: clock,
      onSubmit: async (v) => {
        // the screen's code comes while the router checks the password
        import(`./pages/${wanted()[3]}.js`).catch(() => {});
        const ans = await call('login.cgi', { username: v.username, password: md5Hex(v.password) });
        if (typeof ans.session === 'string' && ans.session) {
          setSession(ans.session);
          sessionStorage.setItem('user', v.username);
          loginShown = false;
          document.body.classList.remove('logged-out');
          nav.hidden = false;
          logoutBtn.hidden = false;
          route();
        } else if (ans.disabledTime > 0) lockOut(ans.disabledTime);
        else {
          form.say('Wrong user name or password.', 'err');
          form.field('password').input.select();
        }
      },
    },
  );
  function lockOut(seconds) {
    const end = Date.now() + seconds * 1000;
    for (const f of form.fields) f.input.disabled = true;
    form.locked = true;
    form.busy(false);
    form.say(`Too many failed logins: logging in is blocked for ${seconds} seconds.`, 'err');
    const tick = () => {
      const left = Math.ceil((end - Date.now()) / 1000);
      if (left > 0) {
        clock.textContent = `You can try again in ${Math.floor(left / 60)}:${String(left % 60).padStart(2, '0')}.`;
        timer = setTimeout(tick, (end - Date.now()) % 1000 || 1000);
        return;
      }
      clock.textContent = '';
      for (const f of form.fields) f.input.disabled = false;
      form.locked = false;
      form.busy(false);
      form.say('You can log in again.');
      form.field('password').input.focus();
    };
    tick();
  }
  leaveHandlers.push(() => clearTimeout(timer));
  const user = sessionStorage.getItem('user');
  if (user) form.set({ username: user });
  main.replaceChildren(h('div', { class: 'login' }, h('h1', { tabindex: '-1' }, 'Log in to the router'), form.el));
  (user ? form.field('password') : form.field('username')).input.focus();
  try {
    const ans = await call('login.cgi');
    if (ans.disabledTime > 0) lockOut(ans.disabledTime);
  } catch (e) {
    form.say(e.message, 'err');
  }
  main.dataset.ready = '1';
}

onLoginNeeded(showLogin);
menuBtn.addEventListener('click', () => setMenu(menuBtn.getAttribute('aria-expanded') !== 'true'));
nav.addEventListener('keydown', (e) => {
  if (e.key === 'Escape' && document.body.classList.contains('menu-open')) {
    setMenu(false);
    menuBtn.focus();
  }
});
logoutBtn.addEventListener('click', async () => {
  if (!(await mayLeave())) return;
  clearSession();
  showLogin();
});
window.addEventListener('beforeunload', (e) => {
  if (unsaved()) e.preventDefault();
});
window.addEventListener('hashchange', route);
buildNav();
if (/(^|;\s*)session=./.test(document.cookie)) {
  nav.hidden = false;
  logoutBtn.hidden = false;
  route();
} else showLogin();
