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
// With UPLOAD_PAGE_UBUS_LOGIN=USER:PASSWORD (uhttpd, rpcd) it logs in on the
// page, through /ubus, then does the same and reads the target itself.
import { chromium } from 'playwright-core';
import { execFileSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { createServer } from 'node:http';
import { existsSync, mkdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { join, resolve } from 'node:path';

const [pageUrl, targetDir, outDir] = process.argv.slice(2);
if (!outDir) {
  console.error('usage: node upload_page.test.mjs PAGE_URL TARGET_DIR OUT_DIR');
  process.exit(2);
}
// The page judges chosen files also against what the device holds: every
// run starts from a device that holds nothing, whatever ran before it.
if (targetDir !== '-')
  for (const kind of ['client-cert', 'ca-cert', 'priv'])
    for (const number of ['', '2'])
      rmSync(join(targetDir, `8021x-${kind}${number}`), { force: true });
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

// PEM of exactly the given size, made up by newlines after the block: its
// body decodes to random bytes inside the DER elements the label's
// structure starts with (a certificate's or PKCS#8's), so that the page's
// check takes it, and nothing more can be read from it.
function pemFile(name, label, size) {
  const head = `-----BEGIN ${label}-----\n`;
  const foot = `-----END ${label}-----\n`;
  const bytes = Math.max(24, Math.floor((size - head.length - foot.length) * 48 / 65) - 3);
  const der = randomBytes(bytes);
  // An element at `at` that lasts to the end, its length in four bytes.
  const length = (at, tag) => {
    der.set([tag, 0x84], at);
    der.writeUInt32BE(bytes - at - 6, at + 2);
  };
  length(0, 0x30);
  if (label === 'CERTIFICATE') {
    length(6, 0x30);
    der.set([0xa0, 0, 2, 0, 0x30, 0, 0x30, 0], 12);
    length(20, 4);
  } else {
    der.set([2, 0, 0x30, 0], 6);
    length(10, 4);
  }
  const body = der.toString('base64').replace(/(.{64})/g, '$1\n').replace(/\n?$/, '\n');
  const path = join(filesDir, name);
  writeFileSync(path, (head + body + foot).padEnd(size, '\n'));
  return path;
}

function presetTarget(name) {
  const path = join(targetDir, name);
  writeFileSync(path, `previous ${name}\n`, { mode: 0o600 });
  return digest(path);
}

// Certificates and keys made by openssl, and what openssl says of each:
// the oracle for what the page shows and warns of.
const pkiDir = join(filesDir, 'pki');
function openssl(...args) {
  try {
    return execFileSync('openssl', args, { cwd: pkiDir, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
  } catch {
    return null;
  }
}
function makePki() {
  mkdirSync(pkiDir, { recursive: true });
  writeFileSync(join(pkiDir, 'ca.cnf'), `[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .
serial = serial\ndefault_md = sha256\ndefault_days = 365\npolicy = any\nunique_subject = no\nx509_extensions = leaf
[any]\ncommonName = optional\norganizationName = optional\norganizationalUnitName = optional
[leaf]\nbasicConstraints = CA:FALSE\n[root]\nbasicConstraints = critical,CA:TRUE\n[req]\ndistinguished_name = dn\n[dn]\n`);
  writeFileSync(join(pkiDir, 'index.txt'), '');
  writeFileSync(join(pkiDir, 'serial'), '1000\n');
  const rsa = ['-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048'];
  const ec = ['-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256'];
  const sign = (csr, out, ...dates) => ['ca', '-config', 'ca.cnf', '-batch', '-notext', '-cert', 'ca.pem',
    '-keyfile', 'ca.key', '-in', csr, '-out', out, ...dates];
  for (const args of [
    ['genpkey', ...rsa, '-out', 'ca.key'], ['genpkey', ...ec, '-out', 'other-ca.key'],
    ['genpkey', ...rsa, '-out', 'leaf.key'], ['genpkey', ...rsa, '-out', 'other.key'], ['genpkey', ...ec, '-out', 'ec.key'],
    ['req', '-config', 'ca.cnf', '-x509', '-new', '-key', 'ca.key', '-subj', '/O=Nubo Test/CN=Test Root CA',
      '-days', '3650', '-extensions', 'root', '-out', 'ca.pem'],
    ['req', '-config', 'ca.cnf', '-x509', '-new', '-key', 'other-ca.key', '-subj', '/CN=Other Root CA',
      '-days', '3650', '-extensions', 'root', '-out', 'other-ca.pem'],
    ['req', '-config', 'ca.cnf', '-new', '-key', 'leaf.key', '-subj', '/CN=client-rsa', '-out', 'leaf.csr'],
    ['req', '-config', 'ca.cnf', '-new', '-key', 'ec.key', '-subj', '/CN=client-ec', '-out', 'ec.csr'],
    ['req', '-config', 'ca.cnf', '-new', '-key', 'other.key', '-subj', '/O=Nubo Test/OU=Lab', '-out', 'noname.csr'],
    sign('leaf.csr', 'leaf.pem'), sign('ec.csr', 'ec.pem'), sign('noname.csr', 'noname.pem'),
    sign('leaf.csr', 'expired.pem', '-startdate', '20200101000000Z', '-enddate', '20210101000000Z'),
    sign('leaf.csr', 'future.pem', '-startdate', '20400101000000Z', '-enddate', '20510101000000Z'),
    ['x509', '-in', 'ec.pem', '-outform', 'DER', '-out', 'ec.der'],
    ['pkey', '-in', 'leaf.key', '-aes256', '-passout', 'pass:secret', '-out', 'enc.key'],
    ['pkcs12', '-export', '-in', 'leaf.pem', '-inkey', 'leaf.key', '-keypbe', 'NONE', '-certpbe', 'NONE', '-nomac',
      '-passout', 'pass:', '-out', 'leaf.p12']]) {
    if (openssl(...args) === null)
      throw new Error(`openssl ${args.join(' ')} failed`);
  }
  writeFileSync(join(pkiDir, 'bundle.pem'), readFileSync(join(pkiDir, 'ca.pem')) + readFileSync(join(pkiDir, 'other-ca.pem')));
}
const day = (text, field) => new Date(new RegExp(`${field}=(.*)`).exec(text)[1]).toISOString().slice(0, 10);
const keyType = (text) => /NIST CURVE: (\S+)/.exec(text)?.[1].replace(/^/, 'EC ') ?? `RSA ${/\((\d+) bit/.exec(text)[1]}`;
// The files the test makes itself hold no certificate or key; openssl takes
// minutes over one of PEM headers alone.
function oracle(file) {
  if (!resolve(pkiDir, file).startsWith(pkiDir))
    return { file, count: 0 };
  const p12 = openssl('pkcs12', '-in', file, '-passin', 'pass:', '-nodes');
  if (p12)
    writeFileSync(resolve(pkiDir, file += '.pem'), p12);
  const said = { file, count: Number(/Total found: (\d+)/.exec(openssl('storeutl', '-noout', '-passin', 'pass:', '-certs', file))?.[1] ?? 0) };
  const cert = openssl('x509', '-in', file, '-noout', '-subject', '-issuer', '-dates');
  if (cert) {
    const name = (field) => {
      const line = new RegExp(`^${field}=(.*)$`, 'm').exec(cert)[1];
      return /CN = ([^,]+)/.exec(line)?.[1] ?? line;
    };
    const text = openssl('x509', '-in', file, '-noout', '-text');
    Object.assign(said, { subject: name('subject'), issuer: name('issuer'), from: day(cert, 'notBefore'),
      to: day(cert, 'notAfter'), certKey: keyType(text), ca: /CA:TRUE/.test(text),
      expired: openssl('x509', '-in', file, '-noout', '-checkend', '0') === null,
      early: new Date(/notBefore=(.*)/.exec(cert)[1]) > new Date(), pub: openssl('x509', '-in', file, '-noout', '-pubkey') });
  }
  const key = openssl('pkey', '-in', file, '-passin', 'pass:', '-noout', '-text');
  if (key)
    Object.assign(said, { key: keyType(key), keyPub: openssl('pkey', '-in', file, '-passin', 'pass:', '-pubout') });
  said.locked = !key && openssl('pkey', '-in', file, '-passin', 'pass:secret', '-noout') !== null;
  return said;
}
// What a slot of the kind must show and warn of (and must not), given what
// openssl says of the files chosen for the slots of its number.
function expected(kind, said) {
  const own = said[kind], about = [], warn = [], quiet = [];
  if (own.count > 1)
    about.push(`${own.count} certificates: \u201c${own.subject}\u201d until ${own.to}`);
  else if (own.subject)
    about.push(`Certificate \u201c${own.subject}\u201d, issued by ${own.issuer}, valid ${own.from} to ${own.to}, ${own.certKey}.`);
  if (own.key)
    about.push(`Private key: ${own.key}, not encrypted.`);
  if (own.locked)
    about.push('Private key: encrypted.');
  if (!about.length)
    about.push('Not a certificate or key this page can read.');
  // A warning not due is looked for without its date.
  const rule = (when, words, date = '') => (when ? warn.push(words + date) : quiet.push(words));
  const { client, ca, priv } = said;
  rule(own.expired, 'has expired', ` (${own.to})`);
  rule(own.early, 'is not valid yet', ` (from ${own.from})`);
  rule(kind === 'ca' && own.subject && !own.ca, 'is not a CA certificate (basic constraints)');
  rule(kind === 'priv' && own.locked, 'the device needs its passphrase configured');
  rule(kind === 'priv' && own.locked && client?.pub, 'cannot be compared with the client certificate');
  rule(kind !== 'ca' && client?.pub && priv?.keyPub && client.pub !== priv.keyPub, 'does not match the client certificate');
  rule(kind !== 'priv' && client?.subject && ca?.subject &&
    openssl('verify', '-no_check_time', '-CAfile', ca.file, client.file) === null, 'was not issued by the CA certificate');
  return { about, warn, quiet };
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
  // The script adds them: the session field first, the bar and the two lines
  // last, in this order.
  const parts = await page.locator('form.slot').evaluateAll((forms) => forms.map((f) =>
    [f.firstElementChild, ...[...f.children].slice(-3)].map((e) => e.name || e.className || e.localName).join(' ')));
  const sessions = await page.locator('form.slot > input[type=hidden]:first-child').count();
  const statuses = await page.locator('form.slot > .outcome[role=status]').count();
  check('each slot has its session field, bar, description and outcome line',
    parts.every((p) => p === 'sessionid progress about outcome') && sessions === 6 && statuses === 6,
    `${JSON.stringify(parts)}, ${sessions} hidden, ${statuses} status`);

  const ubusLogin = process.env.UPLOAD_PAGE_UBUS_LOGIN;
  if (ubusLogin) {
    const form = page.locator('#login');
    await form.waitFor({ timeout: 10000 }).catch(() => {});
    check('with /ubus the page asks for a login in place of the slots',
      await form.isVisible() && !(await slot(page, 'upload-client-cert').isVisible()));
    await form.locator('[name=username]').fill(ubusLogin.split(':')[0]);
    await form.locator('[name=password]').fill('wrong');
    await form.locator('button').click();
    await page.waitForFunction(() => document.querySelector('#login .outcome').textContent, null, { timeout: 10000 })
      .catch(() => {});
    check('a wrong password is refused', /Login failed/.test(await form.locator('.outcome').textContent()));
    await form.locator('[name=password]').fill(ubusLogin.slice(ubusLogin.indexOf(':') + 1));
    await form.locator('button').click();
    await slot(page, 'upload-client-cert').waitFor({ state: 'visible', timeout: 10000 }).catch(() => {});
    check('after the login the slots are shown', !(await form.isVisible()));
  }
  if (login || ubusLogin) {
    const before = ubusLogin && presetTarget('8021x-client-cert');
    const cert = pemFile('client.pem', 'CERTIFICATE', 1800);
    const result = await upload(page, 'upload-client-cert', cert);
    check('the device says the certificate was stored', /^Stored on the device\./.test(result.text) && /\bok\b/.test(result.kind), result.text);
    if (ubusLogin) {
      check('the target equals the chosen file', digest(join(targetDir, '8021x-client-cert')) === digest(cert));
      // A session rpcd does not know is refused, and the login comes back.
      await page.evaluate(() => sessionStorage.setItem('nubo-upload-session', 'f'.repeat(32)));
      const refused = await upload(page, 'upload-client-cert', pemFile('other.pem', 'CERTIFICATE', 1800));
      check('an unknown session is refused in words', /not logged in/.test(refused.text), refused.text);
      check('the refusal brings the login back', await page.locator('#login').isVisible() &&
        /log in again/.test(await page.locator('#login .outcome').textContent()));
      check('the refused upload leaves the target', digest(join(targetDir, '8021x-client-cert')) === digest(cert) &&
        digest(cert) !== before);
    }
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
  check('without /ubus the page asks for no login', await page.locator('#login').count() === 0);
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
    const POLICY = ['bag.pem', 'combined.pem', 'openssh.pem', 'bom-joined.pem', 'key-then-cert.der'];
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
  await page.evaluate(() => {
    const read = Blob.prototype.arrayBuffer;
    window.reads = 0;
    Blob.prototype.arrayBuffer = function () {
      window.reads++;
      return read.call(this);
    };
  });
  result = await upload(page, 'upload-priv', key);
  check('the page itself still replaces the key', /^Stored on the device\./.test(result.text) &&
    digest(join(targetDir, '8021x-priv')) === digest(key), result.text);
  const reads = await page.evaluate(() => window.reads);
  check('the chosen file is read once, for the check on choosing and on pressing and for its description',
    reads === 1, String(reads));
  // A browser without Blob.arrayBuffer cannot read the chosen file: the page
  // sends it unchecked instead of staying at "Reading the file".
  await page.evaluate(() => { delete Blob.prototype.arrayBuffer; });
  result = await upload(page, 'upload-priv', key);
  check('without Blob.arrayBuffer the file goes unchecked', /^Stored on the device\./.test(result.text), result.text);

  // The oversize refusal last, so the screenshot shows all kinds of outcome.
  result = await upload(page, 'upload-priv', oversize);
  await page.screenshot({ path: join(outDir, 'upload-page.png'), fullPage: true });
  console.log(`# screenshots in ${outDir}`);
  // What the page says of certificates and keys as it reads them, checked
  // against openssl; a screenshot of each kind of warning.
  makePki();
  const unreadable = pemFile('random.pem', 'CERTIFICATE', 1500);
  const unended = join(filesDir, 'unended.pem');
  writeFileSync(unended, '-----BEGIN X-----\n'.repeat(2 * MIB / 18));
  const programs = { client: 'upload-client-cert', ca: 'upload-ca-cert', priv: 'upload-priv' };
  mkdirSync(join(outDir, 'warnings'), { recursive: true });
  for (const [index, [what, files, shows, picture]] of [
    ['a client certificate with its key and its CA', { client: 'leaf.pem', ca: 'ca.pem', priv: 'leaf.key' }],
    ['an EC certificate as DER with its key', { client: 'ec.der', priv: 'ec.key' }],
    ['an unencrypted PKCS#12 file and a CA bundle', { client: 'leaf.p12', ca: 'bundle.pem' }],
    ['a subject without a common name', { client: 'noname.pem', ca: 'ca.pem' }],
    ['an expired certificate', { client: 'expired.pem' }, 'has expired', 'expired'],
    ['a certificate not valid yet', { client: 'future.pem' }, 'is not valid yet', 'not-yet-valid'],
    ['a client certificate chosen for the CA slot', { ca: 'leaf.pem' }, 'is not a CA', 'not-a-ca'],
    ['a key of another certificate', { priv: 'other.key', client: 'leaf.pem' }, 'does not match', 'mismatch'],
    ['an EC key with an RSA certificate', { client: 'leaf.pem', priv: 'ec.key' }, 'does not match'],
    ['a certificate of another CA', { client: 'leaf.pem', ca: 'other-ca.pem' }, 'was not issued by', 'other-ca'],
    ['an encrypted key', { client: 'leaf.pem', priv: 'enc.key' }, 'needs its passphrase', 'encrypted'],
    ['PEM blocks without an end, 2 MiB of them', { ca: unended }, 'Not a certificate or key'],
    ['a file the page cannot read', { client: unreadable }, 'Not a certificate or key', 'unreadable'],
  ].entries()) {
    await page.goto(pageUrl);
    const number = index % 2 ? '2' : '';
    const said = {};
    for (const [kind, file] of Object.entries(files)) {
      said[kind] = oracle(file);
      await slot(page, programs[kind] + number).locator('input[type=file]').setInputFiles(resolve(pkiDir, file));
    }
    // A slot's line is emptied whenever it is judged again, for a file of a
    // slot of the same number, and filled when that is done. The bound is
    // kept here: a page busy reading does not run its own timers.
    const answered = await Promise.race([page.waitForFunction(() => [...document.querySelectorAll('form.slot')]
      .filter((form) => form.elements.filedata.files[0]).every((form) => form.querySelector('.about').textContent),
    null, { timeout: 10000 }).then(() => true, () => false), new Promise((done) => setTimeout(done, 10000, false))]);
    let meant = !shows;
    for (const kind of Object.keys(files)) {
      const form = slot(page, programs[kind] + number);
      const shown = (await form.locator('.about').textContent()) ?? '';
      const warned = (await form.locator('.outcome').textContent()).trim();
      const want = expected(kind, said);
      check(`${what}: the ${kind} slot says what openssl says`, answered && want.about.every((words) => shown.includes(words)),
        answered ? `${JSON.stringify(shown)} lacks ${JSON.stringify(want.about)}` : 'no answer in 10 s');
      check(`${what}: the ${kind} slot warns as openssl says`, want.warn.every((words) => warned.includes(words)) &&
        !want.quiet.some((words) => warned.includes(words)), `${JSON.stringify(warned)}; ${JSON.stringify(want)}`);
      if (!meant && want.warn.concat(want.about).some((words) => words.includes(shows))) {
        meant = true;
        if (picture)
          await form.screenshot({ path: join(outDir, 'warnings', `${picture}.png`) });
      }
    }
    check(`${what}: openssl says what the row is for`, meant, shows);
  }
  // A large bundle is described by its count and its first few, in a line.
  const many = join(pkiDir, 'many.pem');
  writeFileSync(many, readFileSync(join(pkiDir, 'bundle.pem'), 'latin1').repeat(200), 'latin1');
  await slot(page, 'upload-ca-cert').locator('input[type=file]').setInputFiles(many);
  await page.waitForFunction(() => document.querySelector('form[action="cgi-bin/upload-ca-cert"] .about').textContent,
    null, { timeout: 10000 }).catch(() => {});
  const line = await slot(page, 'upload-ca-cert').locator('.about').textContent();
  check('a bundle of 400 certificates is named in a short line', /^400 certificates: /.test(line) && line.length < 300, line);
  // A file the page cannot read still goes, with no second press.
  await slot(page, 'upload-client-cert').locator('button').click();
  result = await outcome(page, 'upload-client-cert');
  check('a file the page cannot read is still sent', /^Stored on the device\./.test(result.text), result.text);
  check('the page raised no script error reading certificates', pageErrors.length === 0, pageErrors.join('; '));

  // What the device holds, on load (upload-status): slot 2 with an RSA
  // certificate, an EC key and an expired CA certificate that is no CA.
  for (const [file, from] of [['8021x-client-cert2', 'leaf.pem'], ['8021x-priv2', 'ec.key'], ['8021x-ca-cert2', 'expired.pem']])
    writeFileSync(join(targetDir, file), readFileSync(join(pkiDir, from)), { mode: 0o600 });
  rmSync(join(targetDir, '8021x-client-cert'), { force: true });
  await page.goto(pageUrl);
  const device = async (program) => {
    const line = slot(page, program).locator('.device');
    await line.waitFor({ timeout: 10000 }).catch(() => {});
    return (await line.textContent().catch(() => '')) ?? '';
  };
  const leaf = oracle('leaf.pem');
  let shown = await device('upload-client-cert2');
  check('on load a certificate slot shows the certificate the device holds', shown.includes(
    `On the device: Certificate \u201c${leaf.subject}\u201d, issued by ${leaf.issuer}, valid until ${leaf.to}.`), shown);
  shown = await device('upload-priv2');
  check('a key slot shows the installed key and that it does not match the installed certificate',
    shown.includes('On the device: Private key, EC P-256, does not match the client certificate in slot 2.'), shown);
  shown = await device('upload-ca-cert2');
  check('an installed CA certificate is warned of as a chosen one', /has expired/.test(shown) && /is not a CA/.test(shown), shown);
  shown = await device('upload-client-cert');
  check('an empty slot says so', shown === 'On the device: Empty. ', shown);
  check('the 802.1X line says the client is not configured here',
    (await page.locator('.client').textContent()) === '802.1X: not configured.');
  // A chosen key is compared with the installed certificate; once stored,
  // the slot shows the device's new key.
  await slot(page, 'upload-priv2').locator('input[type=file]').setInputFiles(join(pkiDir, 'other.key'));
  await page.waitForFunction(() => document.querySelector('form[action$="priv2"] .about').textContent);
  const against = await slot(page, 'upload-priv2').locator('.outcome').textContent();
  check('a chosen key is warned of against the installed certificate', /does not match/.test(against), against);
  result = await upload(page, 'upload-priv2', join(pkiDir, 'leaf.key'));
  await page.waitForFunction(() => /matches/.test(document.querySelector('form[action$="priv2"] .device').textContent) &&
    !/does not/.test(document.querySelector('form[action$="priv2"] .device').textContent), null, { timeout: 10000 }).catch(() => {});
  shown = await device('upload-priv2');
  check('after the upload the slot shows the new key, which matches', /Private key, RSA 2048, matches the client certificate in slot 2/.test(shown), shown);
  await page.screenshot({ path: join(outDir, 'upload-page-installed.png'), fullPage: true });
  check('the page raised no script error showing the device', pageErrors.length === 0, pageErrors.join('; '));
} finally {
  await browser.close();
}
console.log(`browser: ${passed} passed, ${failed} failed`);
// The chosen files are kept for a look only when something failed.
if (failed === 0)
  rmSync(filesDir, { recursive: true, force: true });
process.exit(failed === 0 ? 0 : 1);
