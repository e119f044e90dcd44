// SPDX-License-Identifier: MIT
// Sends each slot's form with XMLHttpRequest, so that the progress bar can
// follow the upload and the device's one-line JSON answer can be put in words.
'use strict';

var ANSWERS = {
  '0': ['ok', 'Stored on the device.'],
  '-7001': ['error', 'Refused: the file is larger than this slot accepts ({limit}). Nothing was changed.'],
  '-7002': ['error', 'Refused: the device did not recognise the request as a file upload. Nothing was changed.'],
  '-7003': ['error', 'Refused: the chosen file is empty. Nothing was changed.'],
  '-7004': ['error', 'The device could not store the file. It normally keeps the file it had; only a file it must write in place (one with a second hard link, or in a folder it may not change) may now be empty. Please upload the file again.'],
  '-7005': ['error', 'Refused: the request came from another site, not from this page. Nothing was changed.'],
  '-7006': ['error', 'Refused: the file is not a {kind} the device can use in this slot (PEM or DER). Nothing was changed.']
};

// The device's 802.1X client reads PEM or DER. What each kind of slot takes,
// by PEM label and by the start of the DER walk's tags (derTags); a
// certificate slot refuses a file with any private key in it. Programs built
// with the content check refuse the same files.
var KINDS = {
  certificate: { name: 'certificate', labels: ['CERTIFICATE', 'TRUSTED CERTIFICATE', 'X509 CERTIFICATE'],
    der: ['3030a0', '303002303030'] },
  key: { name: 'private key', labels: ['PRIVATE KEY', 'ENCRYPTED PRIVATE KEY', 'RSA PRIVATE KEY',
    'EC PRIVATE KEY', 'DSA PRIVATE KEY'], der: ['3002020202', '300204', '300230'] }
};
// PEM blocks are looked for in the file's start: a CA bundle with long
// comments still has its first certificate well within it.
var LOOK_AT = 65536;
// The device keeps the first 4 KiB for its DER walk, and a PEM line's first
// 40 characters, blanks after them allowed.
var DER_HEAD = 4096, PEM_LINE = 40;

// The device's DER walk: the outer SEQUENCE and its first element, when that
// is a SEQUENCE, are entered, every other element passed over, six steps at
// most, within the head. Its tags in hex, or '' when a definite outer
// length runs past the file. BER's indefinite length counts as empty.
function derTags(bytes, size) {
  var kept = Math.min(size, DER_HEAD, bytes.length), at = 0, tags = '';
  for (var count = 0; count < 6 && at + 2 <= kept; count++) {
    var tag = bytes[at], form = bytes[at + 1], length = form, n = form & 0x7f;
    at += 2;
    if (form & 0x80) {
      if (n > 3 || at + n > kept)
        break;
      for (length = 0; n--;)
        length = length * 256 + bytes[at++];
    }
    tags += (tag < 16 ? '0' : '') + tag.toString(16);
    if (count === 0 && form !== 0x80 && size < at + length)
      return '';
    if (count > 1 || tag !== 0x30)
      at += length;
  }
  return tags;
}

// Why the file will not do for the slot's kind, or '' when it may. An empty
// file is left to the device, which names it as such.
function misfit(bytes, size, kind) {
  if (size === 0)
    return '';
  var taken = false, key = false;
  var text = new TextDecoder('latin1').decode(bytes);
  // A byte-order mark, as some editors save, before the first line.
  if (bytes[0] === 0xef && bytes[1] === 0xbb && bytes[2] === 0xbf && bytes[3] === 0x2d)
    text = text.slice(3);
  // Only whole lines: the device judges a line at its end.
  var lines = text.split('\n');
  lines.pop();
  lines.forEach(function (line) {
    if (/[^\x00-\x20]/.test(line.slice(PEM_LINE)))
      return;
    var match = /^-----BEGIN (.*)-----$/.exec(line.slice(0, PEM_LINE).replace(/[\x00-\x20]+$/, ''));
    if (!match)
      return;
    taken = taken || KINDS[kind].labels.indexOf(match[1]) >= 0;
    key = key || /PRIVATE KEY$/.test(match[1]);
  });
  if (kind === 'certificate' && key)
    return 'This file holds a private key, which must never be stored in a certificate slot.';
  var tags = derTags(bytes, size);
  var der = tags !== '' && KINDS[kind].der.some(function (start) {
    return tags.indexOf(start) === 0;
  });
  if (taken || der)
    return '';
  return 'This file does not look like a ' + KINDS[kind].name + ' (PEM or DER), and the device may refuse it.';
}

// Reads the file's start in the browser; the answer comes as a promise. A
// file that cannot be read (changed since it was chosen, or a browser
// without Blob.arrayBuffer) goes without the check: the device still judges
// what it gets.
function judge(form, file) {
  var start = file.slice(0, LOOK_AT);
  var reading = start.arrayBuffer ? start.arrayBuffer() : Promise.reject(new Error('no Blob.arrayBuffer'));
  return reading.then(function (buffer) {
    return misfit(new Uint8Array(buffer), file.size, form.getAttribute('data-kind'));
  }, function () {
    return '';
  }).then(function (text) {
    // What the file holds, and its warnings beside ours (inspect.js).
    return window.inspectFile ? inspectFile(form, file, text) : text;
  });
}

function sessionCookie() {
  var match = document.cookie.match(/(?:^|;\s*)sessionid=([^;]*)/);
  return match ? decodeURIComponent(match[1]) : '';
}

// The answer as the device meant it, or a word about why there is none: a
// body the program cannot read gets no answer from it, and the web server
// then sends an error page of its own or closes the connection.
function describe(xhr, limit, kindName) {
  var answer = null;
  try {
    answer = JSON.parse(xhr.responseText);
  } catch (e) {
    answer = null;
  }
  // A cross-site refusal is the device's own answer, sent as 403.
  var ours = xhr.status === 200 || (xhr.status === 403 && answer && answer.errcode === -7005);
  if (!ours || !answer || typeof answer.errcode !== 'number') {
    var what = xhr.status === 200 ? 'an answer it could not read' : 'error ' + xhr.status;
    return ['error', 'The upload failed: the device sent ' + what +
      ' instead of a result, so the file probably did not arrive whole. Please try again.'];
  }
  var known = ANSWERS[String(answer.errcode)];
  if (!known)
    return ['error', 'The device answered with the unknown result code ' + answer.errcode + '.'];
  return [known[0], known[1].replace('{limit}', limit).replace('{kind}', kindName)];
}

function show(form, kind, text) {
  var outcome = form.querySelector('.outcome');
  outcome.className = 'outcome ' + kind;
  outcome.textContent = text;
}

function upload(form) {
  var button = form.querySelector('button');
  var bar = form.querySelector('progress');
  var limitBytes = Number(form.getAttribute('data-limit'));
  var limit = limitBytes / 1048576 + ' MiB';
  var file = form.elements.filedata.files[0];
  // The device judges the whole form, which is a little larger than the
  // file, so this catches only what it would surely refuse. Sending that
  // would waste the link, and a host that closes the connection on an early
  // answer could leave the browser without the refusal.
  if (file && file.size > limitBytes) {
    bar.value = 0;
    show(form, 'error', ANSWERS['-7001'][1].replace('{limit}', limit));
    return;
  }
  form.elements.sessionid.value = sessionCookie();
  var data = new FormData(form);

  var xhr = new XMLHttpRequest();
  xhr.open('POST', form.getAttribute('action'));
  xhr.upload.onprogress = function (event) {
    if (event.lengthComputable && event.total > 0) {
      var percent = Math.floor(100 * event.loaded / event.total);
      bar.value = percent;
      show(form, 'busy', 'Sending\u2026 ' + percent + ' %');
    }
  };
  xhr.onload = function () {
    var result = describe(xhr, limit, KINDS[form.getAttribute('data-kind')].name);
    // A full bar means stored, not merely sent.
    bar.value = result[0] === 'ok' ? 100 : 0;
    show(form, result[0], result[1]);
  };
  xhr.onerror = function () {
    bar.value = 0;
    var text = 'The upload failed: the connection closed without an answer from the device,' +
      ' so the file probably did not arrive whole. Please try again.';
    // Some web servers close at once when the device refuses a form for
    // its size, and the refusal itself is then lost on the way.
    if (file && file.size + 65536 > limitBytes)
      text += ' The file is close to the largest this slot accepts (' + limit + ') and may be too large.';
    show(form, 'error', text);
  };
  xhr.onloadend = function () {
    button.disabled = false;
  };

  button.disabled = true;
  button.textContent = 'Upload';
  bar.value = 0;
  show(form, 'busy', 'Sending\u2026');
  xhr.send(data);
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
  var input = form.elements.filedata;
  input.addEventListener('change', function () {
    var file = input.files[0];
    form.warned = null;
    form.querySelector('button').textContent = 'Upload';
    show(form, '', '');
    if (file)
      judge(form, file).then(function (text) {
        if (text && input.files[0] === file)
          warn(form, file, text);
      });
  });
  form.addEventListener('submit', function (event) {
    event.preventDefault();
    var file = input.files[0];
    if (!file || form.warned === file) {
      upload(form);
      return;
    }
    // Busy while the file is read, so that no earlier outcome stands.
    var button = form.querySelector('button');
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
