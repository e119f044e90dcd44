// SPDX-License-Identifier: MIT
// Drives the upload page in headless Chromium the way an administrator
// would: choose a file in a slot, press Upload, read the words shown.
//
// Usage: node upload_page.test.mjs PAGE_URL TARGET_DIR OUT_DIR
// With UPLOAD_PAGE_LOGIN=USER:PASSWORD (the emulated device) it logs in,
// uploads one certificate and lets forged posts try the private key;
// TARGET_DIR is then not read, since the device's disk is not this
// machine's, and the caller compares the stored bytes with
// OUT_DIR/client.pem.sha256 and checks that no private key was written.
import { chromium } from 'playwright-core';
import { createHash, randomBytes } from 'node:crypto';
import { createServer } from 'node:http';
import { existsSync, mkdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [pageUrl, targetDir, outDir] = process.argv.slice(2);
if (!outDir) {
  console.error('usage: node upload_page.test.mjs PAGE_URL TARGET_DIR OUT_DIR');
  process.exit(2);
}
const filesDir = join(outDir, 'files');
mkdirSync(filesDir, { recursive: true });

const MIB = 1024 * 1024;
let passed = 0;
let failed = 0;
function check(what, ok, detail = '') {
  if (ok) {
    passed++;
    console.log(`ok - ${what}`);
  } else {
    failed++;
    console.log(`not ok - ${what}${detail ? `: ${detail}` : ''}`);
  }
}

function digest(path) {
  return createHash('sha256').update(readFileSync(path)).digest('hex');
}

// PEM-looking text of exactly the given size.
function pemFile(name, label, size) {
  const head = `-----BEGIN ${label}-----\n`;
  const foot = `\n-----END ${label}-----\n`;
  const room = Math.max(0, size - head.length - foot.length);
  const body = randomBytes(room).toString('base64').replace(/(.{64})/g, '$1\n').slice(0, room);
  const path = join(filesDir, name);
  writeFileSync(path, head + body + foot);
  return path;
}

function presetTarget(name) {
  const path = join(targetDir, name);
  writeFileSync(path, `previous ${name}\n`, { mode: 0o600 });
  return digest(path);
}

const slot = (page, program) => page.locator(`form[action="cgi-bin/${program}"]`);

// Chooses the file and presses Upload.
async function press(page, program, file) {
  const form = slot(page, program);
  await form.locator('input[type=file]').setInputFiles(file);
  await form.locator('button').click();
}

// Waits until the slot shows an outcome and the button is free again.
async function outcome(page, program) {
  const form = slot(page, program);
  await page.waitForFunction(
    (el) => /\b(ok|error)\b/.test(el.querySelector('.outcome').className) &&
      !el.querySelector('button').disabled,
    await form.elementHandle(),
    { timeout: 30000 });
  return {
    text: (await form.locator('.outcome').textContent()).trim(),
    kind: await form.locator('.outcome').getAttribute('class'),
    progress: Number(await form.locator('progress').getAttribute('value')),
  };
}

async function upload(page, program, file) {
  await press(page, program, file);
  return outcome(page, program);
}

// A page of another site posts a key to the device by itself, the classic
// forgery: the browser marks the post, and the device refuses it. Another
// port of the same host is another origin of the same site, refused too.
// Without a target folder here (the device's disk), the caller checks that
// the key was never written.
async function forgedPostsAreRefused(context) {
  const hostile = createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end(`<!doctype html><form method="post" enctype="multipart/form-data"
      action="${pageUrl}cgi-bin/upload-priv"><input type="hidden" name="sessionid" value="forged">
      <textarea name="filedata">attacker's key</textarea></form><script>document.forms[0].submit()</script>`);
  });
  await new Promise((resolve) => hostile.listen(0, '127.0.0.1', resolve));
  const hostilePort = hostile.address().port;
  for (const [what, url, site] of [
    ['another site', `http://localhost:${hostilePort}/`, 'cross-site'],
    ['another port of this host', `http://127.0.0.1:${hostilePort}/`, 'same-site']]) {
    const before = targetDir !== '-' && presetTarget('8021x-priv');
    const tab = await context.newPage();
    const answered = tab.waitForResponse((r) => r.url().endsWith('/cgi-bin/upload-priv'), { timeout: 30000 });
    await tab.goto(url);
    const response = await answered;
    const headers = await response.request().allHeaders();
    check(`a post from ${what} is marked ${site}`, headers['sec-fetch-site'] === site, headers['sec-fetch-site']);
    const text = await response.text();
    check(`a post from ${what} is refused`, response.status() === 403 && /"errcode": -7005/.test(text),
      `${response.status()} ${text}`);
    if (before)
      check(`a post from ${what} leaves the target`, digest(join(targetDir, '8021x-priv')) === before);
    await tab.close();
  }
  hostile.close();
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const login = process.env.UPLOAD_PAGE_LOGIN;
  const context = await browser.newContext({
    viewport: { width: 1000, height: 900 },
    ...(login && { httpCredentials: { username: login.split(':')[0], password: login.slice(login.indexOf(':') + 1) } }),
  });
  await context.addCookies([{ name: 'sessionid', value: 'browser-e2e-session', url: pageUrl }]);
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  await page.goto(pageUrl);

  const actions = await page.locator('form.slot').evaluateAll((forms) => forms.map((f) => f.getAttribute('action')));
  check('the page has one slot per program', JSON.stringify(actions) === JSON.stringify([
    'cgi-bin/upload-client-cert', 'cgi-bin/upload-client-cert2', 'cgi-bin/upload-ca-cert',
    'cgi-bin/upload-ca-cert2', 'cgi-bin/upload-priv', 'cgi-bin/upload-priv2']), JSON.stringify(actions));

  if (login) {
    const cert = pemFile('client.pem', 'CERTIFICATE', 1800);
    const result = await upload(page, 'upload-client-cert', cert);
    check('the device says the certificate was stored', /^Stored on the device\./.test(result.text) && /\bok\b/.test(result.kind), result.text);
    check('the page raised no script error', pageErrors.length === 0, pageErrors.join('; '));
    writeFileSync(join(outDir, 'client.pem.sha256'), `${digest(cert)}\n`);
    await forgedPostsAreRefused(context);
    await page.screenshot({ path: join(outDir, 'upload-page-device.png'), fullPage: true });
    console.log(`# screenshot in ${outDir}`);
    await browser.close();
    console.log(`browser: ${passed} passed, ${failed} failed`);
    if (failed === 0)
      rmSync(filesDir, { recursive: true, force: true });
    process.exit(failed === 0 ? 0 : 1);
  }

  // A certificate through the real program.
  const before = presetTarget('8021x-client-cert');
  const cert = pemFile('client.pem', 'CERTIFICATE', 1800);
  let result = await upload(page, 'upload-client-cert', cert);
  check('a certificate upload reports success', /^Stored on the device\./.test(result.text) && /\bok\b/.test(result.kind), result.text);
  check('after success the progress bar is full', result.progress === 100, String(result.progress));
  const certTarget = join(targetDir, '8021x-client-cert');
  check('the target equals the chosen file', digest(certTarget) === digest(cert) && digest(certTarget) !== before);
  check('the target has mode 0600', (statSync(certTarget).mode & 0o777) === 0o600,
    (statSync(certTarget).mode & 0o777).toString(8));

  // A CA bundle over a slow link: the bar must move while the bytes go out.
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  await cdp.send('Network.emulateNetworkConditions',
    { offline: false, latency: 20, downloadThroughput: -1, uploadThroughput: 2 * MIB });
  await slot(page, 'upload-ca-cert').evaluate((form) => {
    window.progressSeen = [];
    new MutationObserver(() => window.progressSeen.push(Number(form.querySelector('progress').value)))
      .observe(form.querySelector('progress'), { attributes: true });
  });
  const bundle = pemFile('ca-bundle.pem', 'CERTIFICATE', 3 * MIB);
  await press(page, 'upload-ca-cert', bundle);
  await page.waitForFunction(() => window.progressSeen.some((v) => v > 0 && v < 100), null, { timeout: 20000 })
    .catch(() => {});
  await page.screenshot({ path: join(outDir, 'upload-page-progress.png'), fullPage: true });
  result = await outcome(page, 'upload-ca-cert');
  const seen = await page.evaluate(() => window.progressSeen);
  check('the progress bar moves during a slow upload', seen.some((v) => v > 0 && v < 100), JSON.stringify(seen));
  check('the CA bundle upload reports success', /^Stored on the device\./.test(result.text), result.text);
  check('the CA target equals the bundle', digest(join(targetDir, '8021x-ca-cert')) === digest(bundle));
  await cdp.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });

  // Size refusals: a file above the slot's limit is refused by the page
  // without being sent; a file just below it makes a form body above it,
  // which only the program can refuse.
  const posted = [];
  page.on('request', (request) => posted.push(request.url()));
  const keyBefore = presetTarget('8021x-priv');
  const oversize = pemFile('too-large.pem', 'PRIVATE KEY', 8 * MIB + 4096);
  result = await upload(page, 'upload-priv', oversize);
  check('an oversize key shows the size refusal', /larger than this slot accepts \(8 MiB\)/.test(result.text), result.text);
  check('an oversize key is not sent', !posted.some((url) => url.endsWith('/upload-priv')), JSON.stringify(posted));
  const nearLimit = pemFile('near-limit.pem', 'PRIVATE KEY', 8 * MIB - 200);
  check('the near-limit key itself fits the slot', statSync(nearLimit).size < 8 * MIB);
  result = await upload(page, 'upload-priv', nearLimit);
  check('a form body above the limit is sent', posted.some((url) => url.endsWith('/upload-priv')));
  check('the device\'s size refusal is put in words', /larger than this slot accepts \(8 MiB\)/.test(result.text), result.text);
  check('after a refusal the progress bar is empty', result.progress === 0, String(result.progress));
  check('size refusals leave the target', digest(join(targetDir, '8021x-priv')) === keyBefore);

  const emptyBefore = presetTarget('8021x-client-cert2');
  const empty = join(filesDir, 'empty.pem');
  writeFileSync(empty, '');
  result = await upload(page, 'upload-client-cert2', empty);
  check('an empty file shows the empty-file refusal', /chosen file is empty/.test(result.text), result.text);
  check('an empty file leaves the target', digest(join(targetDir, '8021x-client-cert2')) === emptyBefore);

  // The page reads the chosen file and names one that does not look like
  // the slot's kind before anything is sent; a second click sends it anyway.
  const warning = async (program) => {
    const form = slot(page, program);
    await page.waitForFunction((el) => /\bwarn\b/.test(el.querySelector('.outcome').className),
      await form.elementHandle(), { timeout: 5000 }).catch(() => {});
    return { text: (await form.locator('.outcome').textContent()).trim(),
      button: (await form.locator('button').textContent()).trim() };
  };
  const caKey = pemFile('ca-slot-key.pem', 'PRIVATE KEY', 1700);
  await slot(page, 'upload-ca-cert2').locator('input[type=file]').setInputFiles(caKey);
  let warned = await warning('upload-ca-cert2');
  check('a key chosen for the CA slot is flagged', /holds a private key/.test(warned.text) &&
    warned.button === 'Upload anyway', JSON.stringify(warned));
  check('a flagged key is not sent on choosing', !posted.some((url) => url.endsWith('/upload-ca-cert2')));
  const caCert = pemFile('ca-slot-cert.pem', 'CERTIFICATE', 1200);
  await slot(page, 'upload-ca-cert2').locator('input[type=file]').setInputFiles(caCert);
  warned = await warning('upload-ca-cert2');
  check('a certificate chosen for the CA slot is not flagged', warned.text === '' && warned.button === 'Upload',
    JSON.stringify(warned));
  const notes = join(filesDir, 'notes.txt');
  writeFileSync(notes, 'Network: office\n');
  await slot(page, 'upload-priv2').locator('input[type=file]').setInputFiles(notes);
  warned = await warning('upload-priv2');
  check('a text file chosen for a key slot is flagged', /does not look like a private key/.test(warned.text),
    JSON.stringify(warned));
  await slot(page, 'upload-ca-cert2').locator('input[type=file]').setInputFiles(caKey);
  await warning('upload-ca-cert2');
  await slot(page, 'upload-ca-cert2').locator('button').click();
  result = await outcome(page, 'upload-ca-cert2');
  check('the second click sends the flagged key', posted.some((url) => url.endsWith('/upload-ca-cert2')) &&
    /^(Stored on the device\.|Refused: the file is not a certificate)/.test(result.text), result.text);

  // The content check's table (UPLOAD_KEY_FILES, with the 802.1X client's
  // answers in UPLOAD_CLIENT_ANSWERS): the page judges each file in each kind
  // of slot as the programs built with the check do, which is the client's
  // answer but for the policy rows, a key beside a certificate.
  const keyFiles = process.env.UPLOAD_KEY_FILES, clientAnswers = process.env.UPLOAD_CLIENT_ANSWERS;
  if (keyFiles && clientAnswers && existsSync(clientAnswers)) {
    const POLICY = ['bag.pem', 'combined.pem', 'openssh.pem'];
    const rows = readFileSync(clientAnswers, 'utf8').trim().split('\n').map((line) => line.split(' '));
    const differ = [];
    for (const [name, certificate, key] of rows) {
      const data = [...readFileSync(join(keyFiles, name))];
      for (const [kind, answer] of [['certificate', POLICY.includes(name) ? '-7006' : certificate], ['key', key]]) {
        const text = await page.evaluate(({ name, data, kind }) =>
          judge(document.querySelector(`form.slot[data-kind="${kind}"]`), new File([new Uint8Array(data)], name)),
        { name, data, kind });
        if ((text === '') !== (answer === '0'))
          differ.push(`${name} in a ${kind} slot: ${text || 'taken'}`);
      }
    }
    check(`the page judges the ${rows.length} files of the content table as the programs do`,
      rows.length > 40 && differ.length === 0, differ.join('; '));
  }

  // Answers the real program gives only when something is wrong with the
  // request or the device, and answers that are not the program's at all.
  const key = pemFile('key.pem', 'PRIVATE KEY', 900);
  const sent = [];
  const answers = [
    ['-7002', (route) => route.fulfill({ status: 200, contentType: 'application/json', body: '{ "errcode": -7002 }\r\n\r\n' }),
      /did not recognise the request as a file upload/],
    ['-7004', (route) => route.fulfill({ status: 200, contentType: 'application/json', body: '{ "errcode": -7004 }\r\n\r\n' }),
      /could not store the file\. It normally keeps the file it had/],
    ['-7005', (route) => route.fulfill({ status: 403, contentType: 'application/json', body: '{ "errcode": -7005 }\r\n\r\n' }),
      /came from another site/],
    ['-7006', (route) => route.fulfill({ status: 200, contentType: 'application/json', body: '{ "errcode": -7006 }\r\n\r\n' }),
      /not a private key the device can use in this slot/],
    ['an unknown code', (route) => route.fulfill({ status: 200, contentType: 'application/json', body: '{ "errcode": -1 }' }),
      /unknown result code -1/],
    ['a server error page', (route) => route.fulfill({ status: 500, contentType: 'text/html', body: '<h1>500 Internal Server Error</h1>' }),
      /sent error 500 instead of a result/],
    ['a 200 that is not JSON', (route) => route.fulfill({ status: 200, contentType: 'text/html', body: '<p>hello</p>' }),
      /an answer it could not read/],
    ['a closed connection', (route) => route.abort('connectionclosed'), /connection closed without an answer/],
  ];
  for (const [what, answer, words] of answers) {
    await page.route('**/cgi-bin/upload-priv2', async (route) => {
      sent.push(route.request().postDataBuffer() ?? Buffer.alloc(0));
      await answer(route);
    });
    result = await upload(page, 'upload-priv2', key);
    await page.unroute('**/cgi-bin/upload-priv2');
    check(`${what} is put in words`, words.test(result.text) && /\berror\b/.test(result.kind), result.text);
  }
  const body = sent[0]?.toString('latin1') ?? '';
  check('the form sends the session cookie as "sessionid"',
    body.includes('name="sessionid"\r\n\r\nbrowser-e2e-session\r\n'), body.slice(0, 300));
  // (Chromium leaves the file's bytes out of an intercepted body; the real
  // uploads above show that they arrive.)
  check('the form sends the file as "filedata"',
    body.includes('name="filedata"; filename="key.pem"'), JSON.stringify(body.slice(0, 400)));
  check('the page raised no script error', pageErrors.length === 0, pageErrors.join('; '));

  await forgedPostsAreRefused(context);
  result = await upload(page, 'upload-priv', key);
  check('the page itself still replaces the key', /^Stored on the device\./.test(result.text) &&
    digest(join(targetDir, '8021x-priv')) === digest(key), result.text);

  // The oversize refusal last, so the screenshot shows all kinds of outcome.
  result = await upload(page, 'upload-priv', oversize);
  await page.screenshot({ path: join(outDir, 'upload-page.png'), fullPage: true });
  console.log(`# screenshots in ${outDir}`);
} finally {
  await browser.close();
}
console.log(`browser: ${passed} passed, ${failed} failed`);
// The chosen files are kept for a look only when something failed.
if (failed === 0)
  rmSync(filesDir, { recursive: true, force: true });
process.exit(failed === 0 ? 0 : 1);
