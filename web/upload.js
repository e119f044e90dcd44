// SPDX-License-Identifier: MIT
// Sends each slot's form with XMLHttpRequest, so that the progress bar can
// follow the upload and the device's one-line JSON answer can be put in words.
'use strict';

var ANSWERS = {
  '0': 'Stored on the device.',
  '-7001': 'Refused: the file is larger than this slot accepts ({limit}). Nothing was changed.',
  '-7002': 'Refused: the device did not recognise the request as a file upload. Nothing was changed.',
  '-7003': 'Refused: the chosen file is empty. Nothing was changed.',
  '-7004': 'The device could not store the file. It normally keeps the file it had; only a file it must write in place (one with a second hard link, or in a folder it may not change) may now be empty. Please upload the file again.',
  '-7005': 'Refused: the request came from another site, not from this page. Nothing was changed.',
  '-7006': 'Refused: the file is not a {kind} the device can use in this slot (PEM or DER). Nothing was changed.',
  '-7007': 'Refused: you are not logged in, or your login has expired. Nothing was changed.'
};

// What each kind of slot takes, as the programs built with the content check
// judge it: the PEM labels of its kind (0 certificates, 1 keys) decide, and
// the DER walk's shapes (derShapes) a DER file may have, or that refuse it.
var KINDS = {
  certificate: { name: 'certificate', kind: 0, der: 3, refuse: 108 },
  key: { name: 'private key', kind: 1, der: 76, refuse: 0 }
};
// Each label's kind and the shapes its body may hold.
var LABELS = { 'CERTIFICATE': [0, 3], 'TRUSTED CERTIFICATE': [0, 3], 'X509 CERTIFICATE': [0, 3],
  'PRIVATE KEY': [1, 16], 'ENCRYPTED PRIVATE KEY': [1, 32], 'RSA PRIVATE KEY': [1, 20],
  'EC PRIVATE KEY': [1, 24], 'DSA PRIVATE KEY': [1, 20] };
// A certificate (of version 1), PKCS#1 or DSA's own key, SEC1, PKCS#8 (encrypted), PKCS#8 or #12.
var SHAPES = ['3030a0023030', '303002303030', '30020202020202', '300204', '30023004', '303006300004', '300230'];
// PEM blocks are looked for in the file's start: a CA bundle with long
// comments still has its first certificate well within it. inspect.js
// describes a larger bundle by its first READ bytes.
var LOOK_AT = 65536, READ = 2097152;
// The device keeps the first 4 KiB for its DER walk, and a PEM line's first
// 40 characters, blanks after them allowed.
var DER_HEAD = 4096, PEM_LINE = 40;

// The device's DER walk: the outer element and its first child, when that
// is a SEQUENCE, entered, every other element passed over, each within its
// parent; '00' ends one entered. BER's indefinite length lasts to the
// parent's end. Answers the shapes its tags start as.
function derShapes(bytes, size) {
  var kept = Math.min(size, DER_HEAD, bytes.length), at = 0, tags = '', ends = [size];
  while (tags.length < 14) {
    var end = ends[ends.length - 1];
    if (at === end) {
      if (ends.length < 2)
        break;
      tags += '00';
      ends.pop();
      continue;
    }
    if ((tags && ends.length < 2) || at + 2 > kept)
      break;
    var tag = bytes[at], form = bytes[at + 1], length = form, n = form & 0x7f;
    at += 2;
    if (form & 0x80) {
      if (n > 4 || at + n > kept)
        break;
      for (length = 0; n--;)
        length = length * 256 + bytes[at++];
      if (form === 0x80)
        length = end - at;
    }
    if (at > end || length > end - at)
      return 0;
    tags += (tag < 16 ? '0' : '') + tag.toString(16);
    if (tags.length === 2 || (tags.length === 4 && tag === 0x30))
      ends.push(at + length);
    else
      at += length;
  }
  return SHAPES.reduce(function (m, s, i) { return tags.indexOf(s) ? m : m | 1 << i; }, 0);
}

// The device's reading of PEM, line by line: a block of a label it knows is
// decoded whole, its first lines with a colon being headers up to a blank
// line (its body then encrypted), and where its label decides the slot it
// must hold the label's shape. A key slot's first key block decides.
var B64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{0,3}|[A-Za-z0-9+/]{2}==?|[A-Za-z0-9+/]{3}=)$/;
function pem(lines, rule, whole) {
  var out = { taken: false, key: false, bad: false }, block = null;
  for (var i = 0; i < lines.length && !out.bad && !(out.taken && rule.kind); i++) {
    var line = lines[i], head = (block ? line : line.replace(/^\xef\xbb\xbf/, '')).slice(0, PEM_LINE);
    var match = head[0] === '-' && !/[^\x00-\x20]/.test(line.slice(PEM_LINE)) &&
      /^-----(BEGIN|END) (.*)-----$/.exec(head.replace(/[\x00-\x20]+$/, ''));
    if (block && head[0] === '-') {
      var b = block.b64, data = match && match[1] === 'END' && match[2] === block.label && b.length % 4 === 0 &&
        block.header !== 1 && b && Uint8Array.from(atob(b), function (c) { return c.charCodeAt(0); });
      out.bad = !data || (block.kind === rule.kind && block.header !== 3 && !(derShapes(data, data.length) & block.shapes));
      out.taken = out.taken || block.kind === rule.kind;
      block = null;
    } else if (block) {
      var text = /[^\x00-\x20]/.test(line);
      block.colon = block.colon || /:/.test(line);
      if (block.header !== 1 && !B64.test(block.b64 + line.replace(/[ \t\r]/g, ''))) {
        out.bad = block.header || block.data;
        block.header = 1;
        block.b64 = '';
      } else if (block.header !== 1) {
        block.b64 += line.replace(/[ \t\r]/g, '');
      }
      if (!text) {
        out.bad = out.bad || (block.header === 1 ? !block.colon : block.header || block.data);
        block.header = block.header === 1 ? 3 : 2;
      }
      block.data = block.data || text;
    } else if (match && match[1] === 'BEGIN') {
      var label = LABELS[match[2]] || [/PRIVATE KEY$/.test(match[2]) ? 1 : -1];
      out.key = out.key || label[0] > rule.kind;
      if (label[1])
        block = { label: match[2], kind: label[0], shapes: label[1], b64: '', header: 0 };
    }
  }
  // A block the page read no further is left to the device.
  out.bad = !!out.bad || (whole && !!block);
  out.taken = out.taken || (!!block && block.kind === rule.kind);
  return out;
}

// Why the file will not do for the slot's kind, or '' when it may. An empty
// file is left to the device, which names it as such.
function misfit(bytes, size, kind) {
  if (size === 0)
    return '';
  var rule = KINDS[kind], shapes = derShapes(bytes, size);
  var lines = new TextDecoder('latin1').decode(bytes).split('\n');
  // Only whole lines: the device judges a line at its end.
  lines.pop();
  var r = pem(lines, rule, bytes.length >= size);
  if (r.key || shapes & rule.refuse)
    return 'This file holds a private key, which must never be stored in a certificate slot.';
  if (!r.bad && (r.taken || shapes & rule.der))
    return '';
  return 'This file does not look like a ' + rule.name + ' (PEM or DER), and the device may refuse it.';
}

// Read once for this check and for inspect.js. A file that cannot be read
// (changed since it was chosen, or a browser without Blob.arrayBuffer) goes
// unchecked: the device still judges what it gets.
var starts = new WeakMap();
function readStart(file) {
  if (!starts.has(file)) {
    var start = file.slice(0, READ);
    starts.set(file, (start.arrayBuffer ? start.arrayBuffer() : Promise.reject()).then(function (buffer) {
      return new Uint8Array(buffer);
    }, function () {
      return null;
    }));
  }
  return starts.get(file);
}

// What the file holds, and its warnings beside ours (inspect.js).
function judge(form, file) {
  return readStart(file).then(function (bytes) {
    var text = bytes ? misfit(bytes.subarray(0, LOOK_AT), file.size, form.dataset.kind) : '';
    return window.inspectFile ? inspectFile(form, file, text) : text;
  });
}

// The answer as the device meant it, or a word about why there is none: a
// body the program cannot read gets no answer from it, and the web server
// then sends an error page of its own or closes the connection.
function describe(xhr, limit, kindName) {
  var answer, status = xhr.status;
  try {
    answer = JSON.parse(xhr.responseText);
  } catch (e) {}
  // A cross-site or session refusal is the device's own answer, sent as 403.
  var ours = status === 200 || (status === 403 && answer && (answer.errcode === -7005 || answer.errcode === -7007));
  if (!ours || !answer || typeof answer.errcode !== 'number')
    return ['error', 'The upload failed: the device sent ' + (status === 200 ? 'an answer it could not read' :
      'error ' + status) + ' instead of a result, so the file probably did not arrive whole. Please try again.'];
  var known = ANSWERS[answer.errcode];
  if (!known)
    return ['error', 'The device answered with the unknown result code ' + answer.errcode + '.'];
  return [answer.errcode ? 'error' : 'ok', known.replace('{limit}', limit).replace('{kind}', kindName)];
}

function show(form, kind, text) {
  var outcome = form.querySelector('.outcome');
  outcome.className = 'outcome ' + kind;
  outcome.textContent = text;
}

function upload(form) {
  var button = form.querySelector('button'), bar = form.querySelector('progress');
  var limitBytes = +form.dataset.limit, limit = limitBytes / 1048576 + ' MiB';
  var file = form.elements.filedata.files[0];
  // The device judges the whole form, which is a little larger than the
  // file, so this catches only what it would surely refuse. Sending that
  // would waste the link, and a host that closes the connection on an early
  // answer could leave the browser without the refusal.
  if (file && file.size > limitBytes) {
    bar.value = 0;
    show(form, 'error', ANSWERS['-7001'].replace('{limit}', limit));
    return;
  }
  var session = /(?:^|;\s*)sessionid=([^;]*)/.exec(document.cookie);
  form.elements.sessionid.value = (window.loginSession && loginSession()) || (session ? decodeURIComponent(session[1]) : '');
  var xhr = new XMLHttpRequest();
  xhr.open('POST', form.getAttribute('action'));
  xhr.upload.onprogress = function (event) {
    if (event.lengthComputable && event.total > 0) {
      bar.value = Math.floor(100 * event.loaded / event.total);
      show(form, 'busy', 'Sending\u2026 ' + bar.value + ' %');
    }
  };
  xhr.onload = function () {
    var result = describe(xhr, limit, KINDS[form.dataset.kind].name);
    // A full bar means stored, not merely sent.
    bar.value = result[0] === 'ok' ? 100 : 0;
    show(form, result[0], result[1]);
    if (window.loginAgain && /"errcode": -7007\b/.test(xhr.responseText))
      loginAgain();
    if (result[0] === 'ok' && window.deviceChanged)
      window.deviceChanged();
  };
  xhr.onerror = function () {
    var text = 'The upload failed: the connection closed without an answer from the device,' +
      ' so the file probably did not arrive whole. Please try again.';
    // Some web servers close at once when the device refuses a form for
    // its size, and the refusal itself is then lost on the way.
    if (file && file.size + 65536 > limitBytes)
      text += ' The file is close to the largest this slot accepts (' + limit + ') and may be too large.';
    bar.value = 0;
    show(form, 'error', text);
  };
  xhr.onloadend = function () {
    button.disabled = false;
  };

  button.disabled = true;
  button.textContent = 'Upload';
  bar.value = 0;
  show(form, 'busy', 'Sending\u2026');
  xhr.send(new FormData(form));
}

// A file that does not look like the slot's kind is named as such as soon as
// it is chosen, and goes only with a click after that: a click that came
// before the warning was shown never sends it.
function warn(form, file, text) {
  form.warned = file;
  form.querySelector('button').textContent = 'Upload anyway';
  show(form, 'warn', text + ' Press \u201cUpload anyway\u201d to send it all the same.');
}

Array.prototype.forEach.call(document.querySelectorAll('form.slot'), function (form) {
  // Only this script fills in the session and moves the bar, so it adds them
  // and the lines under the bar (the middle one is inspect.js's); without it
  // the form posts as any other.
  form.insertAdjacentHTML('afterbegin', '<input type="hidden" name="sessionid">');
  form.insertAdjacentHTML('beforeend', '<progress max="100" value="0"></progress><p class="about"></p>' +
    '<p class="outcome" role="status"></p>');
  var input = form.elements.filedata, button = form.querySelector('button');
  input.addEventListener('change', function () {
    var file = input.files[0];
    form.warned = null;
    button.textContent = 'Upload';
    show(form, '', '');
    if (file)
      judge(form, file).then(function (text) {
        if (text && input.files[0] === file)
          warn(form, file, text);
      });
  });
  form.addEventListener('submit', function (event) {
    var file = input.files[0];
    event.preventDefault();
    if (!file || form.warned === file)
      return upload(form);
    // Busy while the file is read, so that no earlier outcome stands.
    button.disabled = true;
    show(form, 'busy', 'Reading the file\u2026');
    judge(form, file).then(function (text) {
      button.disabled = false;
      if (text)
        warn(form, file, text);
      else
        upload(form);
    });
  });
});
