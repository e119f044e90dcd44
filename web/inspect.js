// SPDX-License-Identifier: MIT
// What a chosen file holds and what would fail with it, said before it is
// sent; never blocking, since the program judges. Small: it lives in flash.
(() => {
'use strict';

const NAMES = {
  '2a864886f70d010101': 'RSA', '2a8648ce3d0201': 'EC', '2b6570': 'Ed25519',
  '2a8648ce3d030107': 'P-256', '2b81040022': 'P-384', '2b81040023': 'P-521',
  '550403': 'CN', '550406': 'C', '550407': 'L', '550408': 'ST', '55040a': 'O', '55040b': 'OU',
  '2a864886f70d010901': 'emailAddress'
};

// The DER value being read: parse sets it for each PEM block, or the whole
// file, and what does not fit throws, the file (or block) being one the page
// cannot read.
let der;
function tlv(i, end) {
  let n = der[i + 1], s = i + 2;
  if (n & 0x80) {
    let count = n & 0x7f;
    if (count < 1 || count > 4)
      throw 0;
    for (n = 0; count--; )
      n = n * 256 + der[s++];
  }
  if (i + 2 > end || !(s + n <= end))
    throw 0;
  return { t: der[i], s, e: s + n };
}
function kids(v) {
  const out = [];
  for (let i = v.s; i < v.e; i = out[out.length - 1].e)
    out.push(tlv(i, v.e));
  return out;
}
const inside = (v) => tlv(v.s, v.e);
const bits = (v) => ({ s: v.s + 1, e: v.e });
function want(v, t) {
  if (!v || v.t !== t)
    throw 0;
  return v;
}
const hex = (v) => Array.from(der.subarray(v.s, v.e), (x) => (x + 256).toString(16).slice(1)).join('');
// Other OIDs are rare here, and shown in hex.
const named = (v) => NAMES[hex(v)] || hex(v);
const str = (v) => new TextDecoder(v.t === 0x0c ? 'utf-8' : v.t === 0x1e ? 'utf-16be' : 'latin1')
  .decode(der.subarray(v.s, v.e));

// As openssl prints it: "O = Example, CN = name".
function name(v) {
  let cn = '';
  const text = kids(want(v, 0x30)).map((rdn) => kids(rdn).map((pair) => {
    const [type, value] = kids(pair);
    if (hex(type) === '550403')
      cn = str(value);
    return named(type) + ' = ' + str(value);
  }).join(' + ')).join(', ');
  return { cn: cn || text, same: text.toLowerCase().replace(/\s+/g, ' ') };
}
function time(v) {
  const m = /^(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)Z$/.exec((v.t === 0x17 ? str(v) < '5' ? '20' : '19' : '') + str(v));
  if (!m)
    throw 0;
  return { day: m[1] + '-' + m[2] + '-' + m[3], at: Date.UTC(m[1], m[2] - 1, m[3], m[4], m[5], m[6]) };
}

// A key's public half is its id, to match it with a certificate's.
function rsa(n, e) {
  let i = want(n, 2).s;
  while (i < n.e - 1 && !der[i])
    i++;
  return { type: 'RSA ' + ((n.e - i - 1) * 8 + der[i].toString(2).length), id: hex({ s: i, e: n.e }) + ':' + hex(e) };
}
function algorithm(v) {
  const [id, curve] = kids(want(v, 0x30)), type = named(want(id, 6));
  return type === 'EC' && curve?.t === 6 ? 'EC ' + named(curve) : type;
}
function spki(v) {
  const [alg, key] = kids(v), type = algorithm(alg), point = bits(want(key, 3));
  if (type !== 'RSA')
    return { type, id: hex(point) };
  const [n, e] = kids(inside(point));
  return rsa(n, e);
}
function sec1(k, type) {
  const key = { type, id: null };
  for (const v of k) {
    if (v.t === 0xa0 && type === 'EC')
      key.type += ' ' + named(inside(v));
    if (v.t === 0xa1)
      key.id = hex(bits(want(inside(v), 3)));
  }
  return key;
}
function pkcs8(k) {
  const type = algorithm(k[1]), secret = want(k[2], 4), last = k[k.length - 1];
  if (type === 'RSA')
    return rsa(...kids(inside(secret)).slice(1, 3));
  if (/^EC/.test(type))
    return sec1(kids(inside(secret)), type);
  return { type, id: last.t === 0x81 ? hex(bits(last)) : null };
}

function certificate(tbs) {
  const k = kids(tbs);
  if (k[0].t === 0xa0)
    k.shift();
  const [from, to] = kids(k[3]);
  const c = { issuer: name(k[2]), subject: name(k[4]), from: time(from), to: time(to),
    key: spki(k[5]), ca: false };
  for (const v of k.slice(6))
    if (v.t === 0xa3)
      for (const x of kids(inside(v))) {
        const [id, ...rest] = kids(x);
        const flag = hex(id) === '551d13' && kids(inside(want(rest.pop(), 4)))[0];
        if (flag?.t === 1)
          c.ca = der[flag.s] !== 0;
      }
  return c;
}

const wrapped = (v) => inside(want(inside(want(kids(v)[1], 0xa0)), 4));
function pkcs12(authSafe, out) {
  for (const info of kids(wrapped(authSafe))) {
    if (hex(kids(info)[0]) !== '2a864886f70d010701') {
      out.locked++;
      continue;
    }
    for (const bag of kids(wrapped(info))) {
      const [type, value] = kids(bag), id = hex(type);
      if (id === '2a864886f70d010c0a0103')
        read(wrapped(inside(value)), out);
      else if (/^2a864886f70d010c0a010[12]$/.test(id))
        read(inside(value), out);
    }
  }
}

function read(v, out) {
  const k = kids(want(v, 0x30)), n = k.length, t = k.map((x) => x.t);
  const version = t[0] === 2 && k[0].e - k[0].s === 1 ? der[k[0].s] : -1;
  if (n === 3 && t[0] === 0x30 && t[2] === 3)
    out.certs.push(certificate(k[0]));
  else if (n === 2 && t[0] === 0x30 && t[1] === 4)
    out.keys.push({ type: '', locked: true });
  else if (version === 3 && t[1] === 0x30)
    pkcs12(k[1], out);
  else if (n >= 3 && version >= 0 && t[1] === 0x30 && t[2] === 4)
    out.keys.push(pkcs8(k));
  else if (n >= 9 && version === 0)
    out.keys.push(rsa(k[1], k[2]));
  else if (version === 1 && t[1] === 4)
    out.keys.push(sec1(k, 'EC'));
  else
    throw 0;
}

// Every PEM block in the file, or the file as one DER value. A body ends at
// the next five dashes, so that many a BEGIN without its END takes no longer
// than one.
function parse(b) {
  const out = { certs: [], keys: [], locked: 0, bad: 0 };
  const blocks = [...new TextDecoder('latin1').decode(b)
    .matchAll(/-----BEGIN ([^-\n]+)-----((?:[^-]|-(?!----))*)-----END \1-----/g)];
  for (const [, label, body] of blocks.length ? blocks : [[]]) {
    try {
      if (/Proc-Type: *4,ENCRYPTED/.test(body)) {
        out.keys.push({ type: label.split(' ')[0], locked: true });
        continue;
      }
      der = body === undefined ? b :
        Uint8Array.from(atob(body.replace(/^.*:.*$/mg, '').replace(/\s/g, '')), (c) => c.charCodeAt(0));
      read(tlv(0, der.length), out);
    } catch (e) {
      out.bad++;
    }
  }
  return out;
}

const who = (c) => '\u201c' + c.subject.cn + '\u201d';
// A bundle is named by its count and its first three.
function about(r, size) {
  const words = [], c = r.certs[0];
  if (r.certs.length === 1)
    words.push(`Certificate ${who(c)}, issued by ${c.issuer.cn}, valid ${c.from.day} to ${c.to.day}, ${c.key.type}.`);
  else if (c)
    words.push(`${r.certs.length} certificates: ${r.certs.slice(0, 3).map((c) => who(c) + ' until ' + c.to.day).join('; ')}${r.certs.length > 3 ? '; \u2026' : ''}.`);
  for (const k of r.keys)
    words.push(`Private key: ${k.type ? k.type + ', ' : ''}${k.locked ? '' : 'not '}encrypted.`);
  if (r.locked)
    words.push('Some of it is encrypted.');
  if (r.bad && words.length)
    words.push('Some of it cannot be read here.');
  if (size > READ && words.length)
    words.push('(Its first 2 MiB.)');
  return words.join(' ') || 'Not a certificate or key this page can read.';
}

// Whether the chain leads by issuer names to a CA's.
function issued(chain, cas) {
  for (let issuer = chain[0].issuer.same, hops = 0; hops++ <= chain.length; ) {
    if (cas.some((c) => c.subject.same === issuer))
      return true;
    const up = chain.find((c) => c.subject.same === issuer);
    if (!up)
      return false;
    issuer = up.issuer.same;
  }
  return false;
}

// By what the slots of its number hold: r.client, r.ca, r.priv.
function warnings(kind, n, r) {
  const out = [], now = Date.now(), cert = r.client?.certs[0], key = r.priv?.keys[0];
  const client = `the client certificate chosen for slot ${n}`;
  for (const c of r[kind].certs) {
    if (c.to.at < now)
      out.push(`The certificate ${who(c)} has expired (${c.to.day}).`);
    else if (c.from.at > now)
      out.push(`The certificate ${who(c)} is not valid yet (from ${c.from.day}).`);
    if (kind === 'ca' && !c.ca)
      out.push(`${who(c)} is not a CA certificate (basic constraints).`);
  }
  if (kind === 'priv' && key?.locked)
    out.push('The key is encrypted: the device needs its passphrase configured.');
  if (kind !== 'ca' && cert && key?.id && key.id !== cert.key.id)
    out.push(`The private key chosen for slot ${n} does not match ${client}.`);
  else if (kind === 'priv' && cert && key && !key.id)
    out.push(`This key cannot be compared with ${client}.`);
  if (kind !== 'priv' && cert && r.ca?.certs.length && !issued(r.client.certs, r.ca.certs))
    out.push(`The ${client.slice(4)} was not issued by the CA certificate chosen for slot ${n}.`);
  return out;
}

const cache = new WeakMap();
let relaying = false;
function slot(form) {
  const m = /upload-(client|ca|priv)\D*(2?)$/.exec(form.getAttribute('action'));
  return m && { kind: m[1], n: m[2] || '1' };
}
const chosen = (form) => form.elements.filedata.files[0];
const partners = (form) => [...document.querySelectorAll('form.slot')]
  .filter((f) => f !== form && slot(f)?.n === slot(form).n);
// upload.js reads each file once; its parse is kept as well.
const load = (file) => cache.get(file) || cache.set(file, readStart(file).then((b) => b && parse(b))).get(file);

// Answers with upload.js's warning (text) and ours.
window.inspectFile = function inspect(form, file, text) {
  const me = slot(form);
  if (!me)
    return text;
  const others = partners(form), files = others.map(chosen);
  return Promise.all([file, ...files].map((f) => f && load(f))).then(([mine, ...theirs]) => {
    // Another file chosen meanwhile: anew, lest a late answer undo a newer.
    if (others.some((f, i) => chosen(f) !== files[i]))
      return inspect(form, file, text);
    if (chosen(form) !== file)
      return text;
    const r = { [me.kind]: mine };
    others.forEach((f, i) => r[slot(f).kind] = theirs[i] || window.installedSlots?.[slot(f).kind + me.n]);
    form.querySelector('.about').textContent = mine ? about(mine, file.size) : '';
    return [text, ...(mine ? warnings(me.kind, me.n, r) : [])].filter(Boolean).join(' ');
  }).catch(() => text);
};

window.inspectParts = { parse, warnings, about, NAMES };

// A file changes what the slots of its number warn of, unless they show an
// upload's outcome.
for (const form of document.querySelectorAll('form.slot'))
  form.elements.filedata.addEventListener('change', () => {
    form.querySelector('.about').textContent = '';
    if (relaying || !slot(form))
      return;
    relaying = true;
    for (const f of partners(form))
      if (chosen(f) && !/ok|error|busy/.test(f.querySelector('.outcome').className))
        f.elements.filedata.dispatchEvent(new Event('change'));
    relaying = false;
  });
})();
