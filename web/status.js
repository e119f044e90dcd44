// SPDX-License-Identifier: MIT
// What the device holds in each slot and what its 802.1X client makes of it
// (cgi-bin/upload-status): on load, and after each upload until the client
// settles. The installed files take part in inspect.js's warnings.
(() => {
'use strict';
const I = window.inspectParts, forms = [...document.querySelectorAll('form.slot')];
const slot = (f) => {
  const m = /upload-(client|ca|priv)\D*(2?)$/.exec(f.getAttribute('action'));
  return [m[1], m[2] || '1'];
};
const bytes = (h) => Uint8Array.from(h.match(/../g) || [], (x) => parseInt(x, 16));
const installed = window.installedSlots = {};
const line = document.createElement('p');
line.className = 'client';
document.querySelector('.intro').after(line);

// A key as inspect.js reads one, from its public half alone.
function key(s) {
  if (s.encrypted || !(s.modulus || s.point))
    return { type: s.form === 'DER' ? '' : s.form.replace(/ ?PRIVATE KEY/, ''), locked: s.encrypted, id: null };
  if (s.point)
    return { type: 'EC ' + (I.NAMES[s.curve] || s.curve), id: s.point };
  const n = s.modulus.replace(/^(00)+/, '');
  return { type: 'RSA ' + ((n.length / 2 - 1) * 8 + parseInt(n.slice(0, 2), 16).toString(2).length),
    id: n + ':' + s.exponent };
}

function words(kind, n, s, r) {
  if (!s.present)
    return 'Empty.';
  if (s.error)
    return `A file the device cannot read (${s.error}).`;
  const mine = r[kind], c = mine.certs[0], k = mine.keys[0], cert = r.client?.certs[0];
  if (kind !== 'priv')
    return c ? `Certificate \u201c${c.subject.cn}\u201d, issued by ${c.issuer.cn}, valid until ${c.to.day}` +
      (mine.certs.length > 1 ? ` and ${mine.certs.length - 1} more.` : '.') : I.about(mine, s.size);
  return `Private key${k.type ? ', ' + k.type : ''}` + (k.locked ? ', encrypted: cannot be compared.' :
    !cert ? '.' : !k.id ? ', cannot be compared with the client certificate.' :
    `, ${k.id === cert.key.id ? 'matches' : 'does not match'} the client certificate in slot ${n}.`);
}

// The client's STATUS lines: authorized, refused, or still at it.
function client(text) {
  const v = Object.fromEntries(text.split('\n').map((l) => l.split('=')));
  const method = /\((.*)\)/.exec(v.selectedMethod || '')?.[1];
  if (!('wpa_state' in v))
    return [true, `802.1X: ${text}.`];
  if (v.suppPortStatus === 'Authorized')
    return [true, `802.1X: authenticated${method ? ` (${method})` : ''}.`];
  if (v['EAP state'] === 'FAILURE' || v['Supplicant PAE state'] === 'HELD')
    return [true, `802.1X: not authenticated${method ? ` (${method})` : ''}: the device or the network refused its files.`];
  return [false, '802.1X: authenticating\u2026'];
}

const session = () => window.loginSession?.() || /(?:^|;\s*)sessionid=([^;]*)/.exec(document.cookie)?.[1] || '';
function load() {
  return fetch('cgi-bin/upload-status?sessionid=' + session(), { cache: 'no-store' })
    .then((a) => a.json()).then((d) => {
      const by = Object.fromEntries(d.slots.map((s) => [s.file, s]));
      for (const f of forms) {
        const [kind, n] = slot(f), s = by['8021x-' + f.getAttribute('action').split('upload-')[1]];
        const r = { certs: [], keys: [], locked: 0, bad: 0 };
        if (s?.head)
          Object.assign(r, I.parse(bytes(s.head)));
        else if (s?.form)
          r.keys.push(key(s));
        f.device = s;
        installed[kind + n] = s?.present && !s.error ? r : undefined;
      }
      for (const f of forms) {
        const [kind, n] = slot(f), r = {};
        for (const k of ['client', 'ca', 'priv'])
          r[k] = installed[k + n];
        const s = f.device, p = f.querySelector('.device') ||
          f.querySelector('h3').insertAdjacentElement('afterend', document.createElement('p'));
        p.className = 'device';
        p.textContent = s ? 'On the device: ' + words(kind, n, s, r) + ' ' +
          (r[kind] ? I.warnings(kind, n, r).join(' ') : '') : '';
      }
      return client(d.client);
    });
}

// After an upload, the slots anew and the client followed for a minute.
window.deviceChanged = () => {
  const until = Date.now() + 60000;
  const poll = () => load().then(([done, text]) => {
    line.textContent = text;
    if (!done && Date.now() < until)
      setTimeout(poll, 1000);
  }).catch(() => {});
  poll();
};
load().then(([, text]) => line.textContent = text).catch(() => {});
})();
