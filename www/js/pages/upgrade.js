// Firmware and boot-loader upgrade: the file is checked here as the router
// will check it, uploaded with a progress bar, written to flash, and the
// router reboots.

import { call, LoginNeeded, upload } from '../api.js';
import { firmwareProblem, imageName, MAX_UPLOAD } from '../image.js';
import { waitForReboot, waitForRestart } from '../settings.js';
import { confirmDialog, Form, h } from '../ui.js';

// Room for the multipart headers around the file.
const MAX_FILE = MAX_UPLOAD - 4096;

function uploader(ctx, { page, title, intro, warning, verify, stops, risky }) {
  const file = h('input', { type: 'file', id: `${page}-file`, name: 'file', 'aria-describedby': `${page}-err` });
  const err = h('p', { class: 'err', id: `${page}-err` });
  const bar = h('progress', { max: '100', value: '0', 'aria-label': `Upload of the ${title.toLowerCase()}` });
  const pct = h('span', { 'aria-live': 'off' });
  const progress = h('div', { class: 'progress', hidden: true }, bar, pct);
  const form = new Form([], {
    submit: `Upgrade the ${title.toLowerCase()}`,
    extra: [h('p', { class: 'warning' }, warning), h('div', { class: 'field' }, h('label', { for: file.id }, `${title} file`), file, err), progress],
    onSubmit: async () => {
      const f = file.files[0];
      err.textContent = '';
      file.removeAttribute('aria-invalid');
      let problem = !f ? 'Choose a file.' : f.size === 0 ? 'The file is empty.' : f.size > MAX_FILE ? 'The file is larger than the router accepts (6 MiB).' : '';
      let bytes;
      if (!problem) {
        bytes = new Uint8Array(await f.arrayBuffer());
        problem = verify ? verify(bytes) : '';
      }
      if (problem) {
        err.textContent = problem;
        file.setAttribute('aria-invalid', 'true');
        file.focus();
        return form.say('The file cannot be used.', 'err');
      }
      const name = verify ? imageName(bytes) : '';
      const ok = await confirmDialog(
        `Write this ${title.toLowerCase()} to flash?`,
        `${f.name}${name ? ` (${name})` : ''}, ${f.size} bytes. The router ${stops ? 'stops its services now, ' : ''}writes the file to flash and reboots. Do not switch it off until it is back.`,
        'Write to flash',
      );
      if (!ok) return form.say('Nothing was written.', 'info');
      progress.hidden = false;
      const show = (x) => {
        bar.value = Math.round(x * 100);
        pct.textContent = x < 1 ? `Uploading: ${bar.value} %` : 'Uploaded. Writing to flash… do not switch the router off.';
      };
      show(0);
      form.say('');
      const ans = await upload(page, f, show);
      if (ans.result === 0) {
        pct.textContent = 'Written to flash.';
        await waitForReboot(`The ${title.toLowerCase()} was written to flash.`);
        ctx.go('status');
        return;
      }
      progress.hidden = true;
      form.say(`The router refused the ${title.toLowerCase()}; nothing was written.${stops ? ' It restarts its services now.' : ''}`, 'err');
      if (stops) await waitForRestart().catch(() => {});
    },
  });
  if (risky) form.btn.className = 'caution';
  return h('section', { class: 'card', 'aria-label': title }, h('h2', {}, title), h('p', {}, intro), form.el);
}

export async function upgrade(ctx) {
  const running = h('p', { 'data-k': 'firmwareversion' }, 'Running firmware: asking the router…');
  const boot = uploader(ctx, {
    page: 'upgradebootloader.cgi',
    title: 'Boot loader',
    intro: 'A raw boot-loader image. The router does not check it: a wrong file leaves the router unable to start. Only for service staff.',
    warning: 'Writing a wrong boot loader makes the router unusable until it is repaired with special equipment.',
    risky: true,
  });
  boot.hidden = true;
  const advanced = h('input', { type: 'checkbox', id: 'show-bootloader' });
  advanced.addEventListener('change', () => (boot.hidden = !advanced.checked));
  ctx.main.append(
    running,
    uploader(ctx, {
      page: 'upgradefirmware.cgi',
      title: 'Firmware',
      intro: 'A firmware image for this router (an image file with its header).',
      warning: 'Upgrading stops the router\'s services at once and reboots it afterwards. A power cut while the image is written can make the router unusable.',
      verify: firmwareProblem,
      stops: true,
    }),
    h('div', { class: 'field check' }, advanced, h('label', { for: advanced.id }, 'Advanced: show the boot-loader upgrade (service staff only)')),
    boot,
  );
  try {
    const a = await call('home.cgi');
    running.textContent = `Running firmware: ${a.firmwareversion || 'not known'}.`;
  } catch (e) {
    if (e instanceof LoginNeeded) throw e;
    running.textContent = 'Running firmware: not known (the router did not say).';
  }
}
