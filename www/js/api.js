// The router's back end: one page per script at /cgi-bin/<page>, JSON in and
// JSON out. An answer {"redirectLogin":1} means the session is gone.

export class LoginNeeded extends Error {}
export class RouterDown extends Error {
  constructor(message, status = 0) {
    super(message);
    this.status = status; // the HTTP status of an answer that was no JSON
  }
}

let loginHandler = () => {};
export function onLoginNeeded(fn) {
  loginHandler = fn;
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function checked(ans) {
  if (ans === null || typeof ans !== 'object' || Array.isArray(ans)) {
    throw new RouterDown('The router gave an answer this page cannot read.');
  }
  if (ans.redirectLogin === 1) {
    loginHandler();
    throw new LoginNeeded('Your session has ended. Please log in again.');
  }
  return ans;
}

// GET without a body, POST with one. Resolves to the answer object.
export async function call(page, body, { timeout = 30000 } = {}) {
  const init = { credentials: 'same-origin', cache: 'no-store', signal: AbortSignal.timeout(timeout) };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers = { 'Content-Type': 'application/json' };
    init.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(`/cgi-bin/${page}`, init);
  } catch {
    throw new RouterDown('The router did not answer. Check the connection and try again.');
  }
  let ans;
  try {
    ans = await res.json();
  } catch {
    throw new RouterDown(`The router could not carry out this request (HTTP ${res.status}).`, res.status);
  }
  return checked(ans);
}

// A file as an HTML form upload, with progress reports (0 to 1).
export function upload(page, file, onProgress) {
  return new Promise((resolve, reject) => {
    const x = new XMLHttpRequest();
    x.open('POST', `/cgi-bin/${page}`);
    x.responseType = 'json';
    x.upload.onprogress = (e) => e.lengthComputable && onProgress(e.loaded / e.total);
    x.upload.onload = () => onProgress(1);
    x.onload = () => {
      try {
        resolve(checked(x.response));
      } catch (e) {
        reject(e);
      }
    };
    x.onerror = x.ontimeout = () => reject(new RouterDown('The upload broke off: the router stopped answering.'));
    const form = new FormData();
    form.append('file', file, file.name);
    x.send(form);
  });
}

export function setSession(id) {
  document.cookie = `session=${encodeURIComponent(id)}; path=/; SameSite=Strict`;
}

export function clearSession() {
  document.cookie = 'session=; path=/; max-age=0; SameSite=Strict';
}

// True when the router answers at all; the login page needs no session.
export async function alive(timeout = 3000) {
  try {
    const r = await fetch('/cgi-bin/login.cgi', { cache: 'no-store', signal: AbortSignal.timeout(timeout) });
    await r.json();
    return true;
  } catch {
    return false;
  }
}
