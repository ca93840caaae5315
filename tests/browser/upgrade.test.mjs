// The upgrade page end to end in headless Chromium: lighttpd configured by
// scripts/web-config serves web/ and runs the real flash_x3 against the card
// models of scan_sim (with state files) on 127.0.0.1:1971, and a browser
// driven by playwright-core fills in and submits the form as an operator
// would, with JavaScript on and off, with and without a MIME mapping for
// .s19 on the browser's side. lighttpd runs flash_x3 through a small script
// that first keeps a copy of the request body, so that the test sees what
// the browser really sent. Screenshots of the form, the upgrade in progress
// and both kinds of results land in ARTIFACT_DIR.
//
//   node upgrade.test.mjs FLASH_X3 SCAN_SIM ARTIFACT_DIR
//
// Prints one line per check and exits 0, 1 on a failure, or 77 (skipped)
// where Chromium, playwright-core (npm ci in tests/browser) or lighttpd is
// missing.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const SCAN_PORT = 1971;
// A fault on the card in slot 3: byte 0x10 of its flash always reads 0xff.
const STUCK_BYTE = 0x10;
const STUCK_FAULT = 'slot=3 stuck=0x00010:ff';
// How long one upgrade may take (the PowerPC build runs under qemu-user).
const UPGRADE_TIMEOUT = 90000;

if (process.argv.length !== 5) {
  console.error('usage: node upgrade.test.mjs FLASH_X3 SCAN_SIM ARTIFACT_DIR');
  process.exit(2);
}
// Debian 12's own Node.js is 18: playwright-core is pinned to a release
// that runs on it (package.json). An older Node fails here, not deep inside.
const NODE_MAJOR_NEEDED = 18;
const nodeMajor = Number(process.versions.node.split('.')[0]);
if (nodeMajor < NODE_MAJOR_NEEDED) {
  console.error(`FAIL: the browser test needs Node.js ${NODE_MAJOR_NEEDED} or newer; ` +
    `${process.execPath} is ${process.version} (scripts/setup installs Debian's nodejs)`);
  process.exit(1);
}
console.log(`node ${process.version}`);
const [flashX3, scanSim, artifactDir] = process.argv.slice(2).map((p) => path.resolve(p));
const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '../..');
process.env.PATH = `${process.env.PATH}:/usr/sbin`;

function skip(why) {
  console.log(`SKIP: ${why}`);
  process.exit(77);
}
function onPath(tool) {
  return process.env.PATH.split(':').some((dir) => {
    try {
      fs.accessSync(path.join(dir, tool), fs.constants.X_OK);
      return true;
    } catch {
      return false;
    }
  });
}
if (!fs.existsSync(CHROMIUM)) skip(`${CHROMIUM} is missing (scripts/setup installs Debian's chromium)`);
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  skip('playwright-core is not installed: run "npm ci" in tests/browser (scripts/test does)');
}
for (const tool of ['lighttpd', 'objcopy', 'update-mime-database']) {
  if (!onPath(tool)) skip(`${tool} is not installed (scripts/setup installs it)`);
}

// --- bookkeeping --------------------------------------------------------------
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'x3-browser-'));
let simPid = null;
let webPid = null;
process.on('exit', () => {
  for (const pid of [webPid, simPid]) {
    if (pid === null) continue;
    try {
      process.kill(pid, 'SIGTERM');
      process.kill(pid, 'SIGCONT'); // in case a check left it stopped
    } catch {
      // already gone
    }
  }
  fs.rmSync(work, { recursive: true, force: true });
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => process.exit(130));

let passed = 0;
let failed = 0;
async function check(name, body) {
  const start = Date.now();
  try {
    await body();
    console.log(`ok - ${name} (${((Date.now() - start) / 1000).toFixed(1)} s)`);
    passed++;
  } catch (error) {
    console.log(`FAIL - ${name}`);
    for (const line of String(error && error.stack ? error.stack : error).split('\n').slice(0, 12)) {
      console.log(`    ${line}`);
    }
    failed++;
  }
}
function abort(why) {
  console.log(`FAIL - ${why}`);
  for (const log of ['sim.out', 'web/error.log', 'web/lighttpd.out', 'web/cgi.log']) {
    const file = path.join(work, log);
    if (fs.existsSync(file) && fs.statSync(file).size > 0) {
      console.log(`--- ${log}`);
      console.log(fs.readFileSync(file, 'utf8').split('\n').slice(-20).join('\n'));
    }
  }
  console.log(`${passed} passed, ${failed + 1} failed`);
  process.exit(1);
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// --- processes and ports --------------------------------------------------------
function tcpTable() {
  return ['/proc/net/tcp', '/proc/net/tcp6'].flatMap((file) => {
    try {
      return fs.readFileSync(file, 'utf8').trim().split('\n').slice(1).map((line) => line.trim().split(/\s+/));
    } catch {
      return [];
    }
  });
}
const portHex = (port) => port.toString(16).toUpperCase().padStart(4, '0');
function portInUse(port) {
  return tcpTable().some((f) => f[1].endsWith(`:${portHex(port)}`) && f[3] === '0A');
}
function holdsListener(pid, port) {
  const entry = tcpTable().find((f) => f[1] === `0100007F:${portHex(port)}` && f[3] === '0A');
  if (!entry) return false;
  try {
    return fs.readdirSync(`/proc/${pid}/fd`).some((fd) => {
      try {
        return fs.readlinkSync(`/proc/${pid}/fd/${fd}`) === `socket:[${entry[9]}]`;
      } catch {
        return false;
      }
    });
  } catch {
    return false;
  }
}
function alive(pid) {
  try {
    const state = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '')[0];
    return state !== 'Z';
  } catch {
    return false;
  }
}
// Starts COMMAND and waits up to a minute until it listens on
// 127.0.0.1:PORT; its PID, or null when it exited or did not listen.
async function startListener(command, args, port, log) {
  const child = spawn(command, args, { stdio: ['ignore', fs.openSync(log, 'w'), fs.openSync(log, 'a')] });
  child.on('error', () => {});
  for (let tries = 1200; tries > 0; tries--) {
    if (child.pid === undefined || !alive(child.pid)) return null;
    if (holdsListener(child.pid, port)) return child.pid;
    await sleep(50);
  }
  await stop(child.pid);
  return null;
}
async function stop(pid) {
  try {
    process.kill(pid, 'SIGTERM');
  } catch {
    return;
  }
  for (let tries = 200; tries > 0 && alive(pid); tries--) await sleep(50);
}
// A port below the ephemeral range (where the upgrade's many short
// connections take theirs) that no socket uses.
function freePort() {
  let [low] = fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/).map(Number);
  if (!(low > 12000)) low = 32768;
  const used = new Set(tcpTable().map((f) => f[1].split(':')[1]));
  for (let tries = 0; tries < 100; tries++) {
    const port = 10000 + Math.floor(Math.random() * (low - 10000));
    if (port !== 8071 && !used.has(portHex(port))) return port;
  }
  return null;
}

// --- firmware --------------------------------------------------------------
// 96 KiB of pseudo-random bytes with data in the sector at 0x10000, where
// the generation byte's place is left erased; byte 0x10 is 0x5a, which the
// stuck card cannot hold.
const firmware = Buffer.alloc(0x18000);
let seed = 0x1234567;
for (let i = 0; i < firmware.length; i++) {
  seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
  firmware[i] = seed >>> 24;
}
firmware[STUCK_BYTE] = 0x5a;
firmware[0x10000] = 0xff;
fs.writeFileSync(path.join(work, 'x3.bin'), firmware);
const image = path.join(work, 'x3.s19');
execFileSync('objcopy', ['-I', 'binary', '-O', 'srec', '--srec-forceS3', '--srec-len=32',
  path.join(work, 'x3.bin'), image]);
const imageBytes = fs.readFileSync(image);

// The same file with one record's checksum off by one.
const lines = imageBytes.toString('latin1').split('\r\n');
const badLineIndex = 100;
const badLine = lines[badLineIndex];
const goodSum = parseInt(badLine.slice(-2), 16);
lines[badLineIndex] = badLine.slice(0, -2) + ((goodSum + 1) & 0xff).toString(16).toUpperCase().padStart(2, '0');
const badImage = path.join(work, 'bad-checksum.s19');
fs.writeFileSync(badImage, lines.join('\r\n'), 'latin1');
// A record with a wrong checksum that carries markup, which the results
// page repeats as it came.
const hostileImage = path.join(work, 'hostile.s19');
fs.writeFileSync(hostileImage, 'S3050000000000<script>window.injected = 1</script>' +
  '<img src="/none.png" onerror="window.injected = 2">\r\nS70500000000FA\r\n', 'latin1');

const notes = path.join(work, 'release-notes.txt');
fs.writeFileSync(notes, 'X3 firmware 4.2\n\nFixes the fan table for the rev C board.\n');

// CRC-32 (IEEE) of a bank as the card model reports it.
const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8);
  return ((c ^ 0xffffffff) >>> 0).toString(16).padStart(8, '0');
}
// A 512 KiB bank holding the firmware and generation GENERATION.
function bankCrc(generation) {
  const bank = Buffer.alloc(0x80000, 0xff);
  firmware.copy(bank);
  bank[0x10000] = generation;
  return crc32(bank);
}

// --- scan_sim and lighttpd ------------------------------------------------------
const state = path.join(work, 'state');
for (let attempt = 0; attempt < 3 && simPid === null; attempt++) {
  // Another test run on this machine may hold the scan port for a while.
  for (let tries = 600; tries > 0 && portInUse(SCAN_PORT); tries--) await sleep(50);
  if (portInUse(SCAN_PORT)) abort(`port ${SCAN_PORT} stays in use by another process`);
  simPid = await startListener(scanSim, ['--state', state, '--cards', '1-4', '--fault', STUCK_FAULT],
    SCAN_PORT, path.join(work, 'sim.out'));
}
if (simPid === null) abort(`scan_sim did not listen on 127.0.0.1:${SCAN_PORT}`);

function cards() {
  const out = execFileSync(scanSim, ['show', '--state', state, '--json'], { encoding: 'utf8' });
  return Object.fromEntries(JSON.parse(out).map((card) => [card.slot, card]));
}

// flash_x3 behind a script that keeps the request body first.
const lastBody = path.join(work, 'last-body');
const recorder = path.join(work, 'flash_x3.recording');
const sh = (text) => `'${text.replace(/'/g, `'\\''`)}'`;
fs.writeFileSync(recorder, `#!/bin/sh\ncat >${sh(lastBody)}.part && mv ${sh(lastBody)}.part ${sh(lastBody)} || exit 1\n` +
  `exec ${sh(flashX3)} <${sh(lastBody)}\n`, { mode: 0o755 });

let base = null;
for (let attempt = 0; attempt < 5 && webPid === null; attempt++) {
  const port = freePort();
  if (port === null) abort('no free port found');
  try {
    execFileSync(path.join(repo, 'scripts/web-config'), [path.join(work, 'web'), String(port), recorder],
      { stdio: ['ignore', 'ignore', 'inherit'] });
  } catch {
    abort('scripts/web-config failed');
  }
  webPid = await startListener('lighttpd', ['-D', '-f', path.join(work, 'web/lighttpd.conf')], port,
    path.join(work, 'web/lighttpd.out'));
  base = `http://127.0.0.1:${port}`;
}
if (webPid === null) abort('lighttpd did not start');
const formUrl = `${base}/cgi/web.cgi?upgrade_x3`;

// The parts of the last request body flash_x3 got, in order: name, the
// Content-Type line's value (null without one) and the content.
function sentParts() {
  const text = fs.readFileSync(lastBody).toString('latin1');
  const delimiter = text.slice(0, text.indexOf('\r\n'));
  return text.split(delimiter).slice(1, -1).map((chunk) => {
    const headEnd = chunk.indexOf('\r\n\r\n');
    const head = chunk.slice(2, headEnd);
    const type = /^Content-Type: (.*)$/im.exec(head);
    return { name: /; name="([^"]*)"/.exec(head)[1], type: type ? type[1] : null,
             content: Buffer.from(chunk.slice(headEnd + 4, -2), 'latin1') };
  });
}
function expectSent(names, fileType) {
  const parts = sentParts();
  assert.deepEqual(parts.map((p) => p.name), names, 'the parts of the body, in order');
  const file = parts[parts.length - 1];
  assert.equal(file.type, fileType, 'the Content-Type of the file part');
  assert.ok(file.content.equals(imageBytes), 'the file part holds the firmware file byte for byte');
}

// --- the browser ------------------------------------------------------------
const shots = path.resolve(artifactDir);
fs.mkdirSync(shots, { recursive: true });
for (const old of fs.readdirSync(shots)) if (old.endsWith('.png')) fs.rmSync(path.join(shots, old));
const screenshot = (page, name) => page.locator('body').screenshot({ path: path.join(shots, name) });

// An empty user MIME database for the plain browser, so that the machine's
// own settings cannot decide what it sends; the mapped one has .s19 as
// text/x-srecord, as on an engineer's desktop with S-record tools.
function mimeHome(name, mapping) {
  const home = path.join(work, name);
  fs.mkdirSync(path.join(home, 'mime/packages'), { recursive: true });
  if (mapping) {
    fs.writeFileSync(path.join(home, 'mime/packages/x3.xml'), `<?xml version="1.0" encoding="UTF-8"?>
<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
  <mime-type type="text/x-srecord">
    <comment>Motorola S-record file</comment>
    <glob pattern="*.s19"/>
  </mime-type>
</mime-info>
`);
    execFileSync('update-mime-database', [path.join(home, 'mime')], { stdio: 'ignore' });
  }
  return home;
}
async function launch(xdgDataHome) {
  return chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_FLAGS,
    env: { ...process.env, XDG_DATA_HOME: xdgDataHome } });
}
let plain;
let mapped;
try {
  plain = await launch(mimeHome('xdg-plain', false));
  mapped = await launch(mimeHome('xdg-mapped', true));
} catch (error) {
  abort(`Chromium did not start: ${error.message.split('\n')[0]}`);
}
// One page for each browser with JavaScript on and one with it off (a
// page takes the better part of a second to make); each check loads the
// form afresh.
const pages = new Map();
async function openForm(browser, javaScriptEnabled = true) {
  const key = `${browser === mapped ? 'mapped' : 'plain'} ${javaScriptEnabled}`;
  let page = pages.get(key);
  if (!page || page.isClosed()) {
    const context = await browser.newContext({ javaScriptEnabled, viewport: { width: 860, height: 720 } });
    page = await context.newPage();
    page.setDefaultTimeout(15000);
    pages.set(key, page);
  }
  page.removeAllListeners('request');
  await page.goto(formUrl);
  return page;
}
const checked = (page, id) => page.locator(`#${id}`).isChecked();
const focused = (page) => page.evaluate(() => document.activeElement && document.activeElement.id);
async function tick(page, ...slots) {
  for (const slot of slots) await page.locator(`#slot${slot}`).check();
}
// Submits the form and waits for the results page; its preformatted text
// and HTML.
async function submit(page) {
  fs.rmSync(lastBody, { force: true });
  await page.locator('button[type="submit"]').click();
  return results(page);
}
async function results(page) {
  const pre = page.locator('pre').filter({ hasText: /The upgrade (was successful|failed)/ });
  await pre.waitFor({ timeout: UPGRADE_TIMEOUT });
  return { text: await pre.textContent(), html: await page.content() };
}
function expectUnchanged(before, why) {
  assert.deepEqual(cards(), before, `the cards are as before ${why}`);
}

// --- the checks ------------------------------------------------------------------
await check('the form: slot 0 not selectable with its reason, "select all" ticks slots 1-31, ' +
            'keyboard and labels tick slots', async () => {
  const page = await openForm(plain);
  assert.equal(await page.locator('#slot0').isDisabled(), true, 'slot 0 is disabled');
  const reason = await page.locator('#slot0').getAttribute('aria-describedby');
  assert.equal(await page.locator(`#${reason}`).textContent(), 'holds no X3 card');

  const selectAll = page.getByLabel('Select all (slots 1 to 31)');
  await selectAll.check();
  const ticked = await page.evaluate(() =>
    Array.from(document.querySelectorAll('input[name^="slot"]:checked'), (box) => box.name));
  assert.deepEqual(ticked, Array.from({ length: 31 }, (_, i) => `slot${i + 1}`));
  await selectAll.uncheck();
  assert.equal(await page.locator('input[name^="slot"]:checked').count(), 0, 'clearing it unticks them');

  // Tab from the top of the page reaches slot 1, never the disabled slot 0;
  // Space ticks the focused box.
  const seen = [];
  for (let i = 0; i < 6 && (await focused(page)) !== 'slot1'; i++) {
    await page.keyboard.press('Tab');
    seen.push(await focused(page));
  }
  assert.equal(await focused(page), 'slot1', `Tab reached ${seen.join(', ')}`);
  assert.ok(!seen.includes('slot0'));
  await page.keyboard.press('Space');
  await page.keyboard.press('Tab');
  assert.equal(await focused(page), 'slot2');
  assert.equal(await checked(page, 'slot1'), true, 'Space ticked slot 1');
  await page.locator('label[for="slot5"]').click();
  assert.equal(await checked(page, 'slot5'), true, 'its label ticks slot 5');
  assert.equal(await page.locator('#select-all').evaluate((box) => box.indeterminate && !box.checked), true,
    '"select all" shows that some slots are ticked');
});

await check('before sending: no slot, no file and a file that is not S-records are stopped with a ' +
            'message; sent anyway, flash_x3 rejects it and no card is touched', async () => {
  const before = cards();
  const page = await openForm(plain);
  let posts = 0;
  page.on('request', (request) => { if (request.method() === 'POST') posts++; });
  const message = page.locator('#form-message');
  const upgrade = page.locator('button[type="submit"]');

  await upgrade.click();
  assert.match(await message.textContent(), /Tick the slot of at least one card/);
  assert.equal(await focused(page), 'slot1');
  await tick(page, 4);
  await upgrade.click();
  assert.match(await message.textContent(), /Choose the firmware file/);
  assert.equal(await focused(page), 'image');
  await page.setInputFiles('#image', notes);
  await upgrade.click();
  await page.locator('#form-message.warning').waitFor();
  assert.match(await message.textContent(),
    /^release-notes\.txt does not look like S-records: it starts with "X3 firmware 4\.2".*press Upgrade again/);
  assert.equal(posts, 0, 'nothing was sent');
  await screenshot(page, 'form-warning.png');

  const page2 = await submit(page);
  assert.equal(posts, 1);
  assert.equal(page2.text.trim(), 'Missing S7/S9 termination record\nThe upgrade failed.');
  expectUnchanged(before, 'a file without S-records');
});

let successPage;
await check('with the script: slots 1 and 2 and an objcopy image are sent with the file as ' +
            'application/octet-stream; "Upgrading 2 cards" with the time until the results page', async () => {
  const page = await openForm(plain);
  await tick(page, 1, 2);
  await page.setInputFiles('#image', image);
  await screenshot(page, 'form.png');

  // The scan service held still: the cards wait, and so does the page.
  process.kill(simPid, 'SIGSTOP');
  try {
    fs.rmSync(lastBody, { force: true });
    await page.locator('button[type="submit"]').click();
    const progress = page.locator('#progress');
    await progress.waitFor();
    assert.equal(await page.locator('form').isVisible(), false, 'the form is put away');
    assert.equal(await page.locator('#progress-title').textContent(), 'Upgrading 2 cards');
    assert.match(await progress.textContent(), /Do not power off the switch/);
    assert.match(await progress.textContent(), /Slots 1 and 2, firmware x3\.s19 \([\d,]+ bytes\)/);
    // The service stays stopped until the clock has counted two seconds,
    // however long a busy machine takes to show them.
    await page.waitForFunction(() => /^0:0[2-9]$/.test(document.getElementById('progress-elapsed').textContent),
      null, { timeout: 60000 });
    assert.match(await page.title(), /^0:0\d Upgrading 2 cards/);
    await screenshot(page, 'progress.png');
    for (let tries = 1200; tries > 0 && !fs.existsSync(lastBody); tries--) await sleep(50);
    expectSent(['slot1', 'slot2', 'image'], 'application/octet-stream');
  } finally {
    process.kill(simPid, 'SIGCONT');
  }
  const { text } = await results(page);
  assert.equal(text.trim(), 'The upgrade was successful. 2 cards re-flashed.');
  assert.equal(page.url(), formUrl, 'the results replace the form page in place');
  await screenshot(page, 'results-success.png');

  const now = cards();
  for (const slot of [1, 2]) {
    assert.equal(now[slot].generation_0x10000, 1, `slot ${slot}: bank 0 has generation 1`);
    assert.deepEqual(now[slot].last_boot, { bank: 0, generation: 1, crc32: bankCrc(1) },
      `slot ${slot} restarted with the new firmware`);
  }
  for (const slot of [3, 4]) assert.equal(now[slot].boot_count, 0, `slot ${slot} untouched`);
  successPage = page;
});

await check('the results page\'s stylesheet applies and its links lead to the landing page and the form',
  async () => {
    assert.ok(successPage, 'needs the results page of the check before');
    const page = successPage;
    assert.equal(await page.locator('h1').evaluate((h1) => getComputedStyle(h1).backgroundColor),
      'rgb(36, 71, 107)', '/style.css styles the title bar');
    const links = await page.locator('a').evaluateAll((as) => as.map((a) => a.getAttribute('href')));
    assert.deepEqual(links, ['/index.html', '/cgi/web.cgi?upgrade_x3']);
    const landing = await page.request.get(`${base}/index.html`);
    assert.equal(landing.status(), 200);
    assert.match(await landing.text(), /<a href="\/cgi\/web\.cgi\?upgrade_x3">Upgrade X3 Firmware<\/a>/);
    await page.getByRole('link', { name: 'Upgrade X3 Firmware' }).click();
    await page.waitForURL(formUrl);
    await page.locator('#image').waitFor();
    assert.equal(await page.locator('input[name^="slot"]:checked').count(), 0, 'an empty form');
    await page.getByRole('link', { name: 'Telvane Switch' }).click();
    await page.waitForURL(`${base}/index.html`);
    });

await check('JavaScript off, no MIME mapping: Chromium sends application/octet-stream and the plain ' +
            'post re-flashes slot 4', async () => {
  const page = await openForm(plain, false);
  assert.equal(await page.locator('.select-all').isVisible(), false, 'no "select all" without the script');
  await page.locator('label[for="slot4"]').click();
  await page.setInputFiles('#image', image);
  const { text } = await submit(page);
  assert.equal(page.url(), `${base}/cgi/flash_x3`, 'a plain form post');
  expectSent(['slot4', 'image'], 'application/octet-stream');
  assert.equal(text.trim(), 'The upgrade was successful. 1 card re-flashed.');
  assert.deepEqual(cards()[4].last_boot, { bank: 0, generation: 1, crc32: bankCrc(1) });
});

await check('.s19 mapped to text/x-srecord, with the script: the file still goes as ' +
            'application/octet-stream, slots 1 and 2 move to bank 1 with generation 2', async () => {
  const page = await openForm(mapped);
  await tick(page, 1, 2);
  await page.setInputFiles('#image', image);
  assert.equal(await page.locator('#image').evaluate((input) => input.files[0].type), 'text/x-srecord',
    'the browser takes .s19 for text/x-srecord');
  const { text } = await submit(page);
  expectSent(['slot1', 'slot2', 'image'], 'application/octet-stream');
  assert.equal(text.trim(), 'The upgrade was successful. 2 cards re-flashed.');
  const now = cards();
  for (const slot of [1, 2]) {
    assert.equal(now[slot].generation_0x80000, 2, `slot ${slot}: bank 1 has generation 2`);
    assert.deepEqual(now[slot].last_boot, { bank: 1, generation: 2, crc32: bankCrc(2) });
  }
});

await check('.s19 mapped to text/x-srecord, JavaScript off: Chromium sends text/x-srecord and ' +
            'flash_x3 answers "malformed upload stream"; no card is touched', async () => {
  const before = cards();
  const page = await openForm(mapped, false);
  await tick(page, 4);
  await page.setInputFiles('#image', image);
  const { html } = await submit(page);
  expectSent(['slot4', 'image'], 'text/x-srecord');
  assert.match(html, /The upgrade failed\.<br>malformed upload stream\n/);
  expectUnchanged(before, 'a body without an application/octet-stream part');
});

await check('a checksum error in the file: the page names the line, the upgrade failed, no card is touched; ' +
            'markup in the line does not run', async () => {
    const before = cards();
    let page = await openForm(plain);
    await tick(page, 2);
    await page.setInputFiles('#image', badImage);
    const { text, html } = await submit(page);
    // The page's text has its line ends as LF alone.
    assert.ok(text.startsWith(`Checksum error on line:\n${lines[badLineIndex]}\n`), text.slice(0, 200));
    assert.match(html, /\nThe upgrade failed\.<br>\s*<\/pre>/);

    // The switch's content security policy blocks the script and the
    // handler that the line brings into the page.
    page = await openForm(plain);
    await tick(page, 2);
    await page.setInputFiles('#image', hostileImage);
    const refused = Promise.all(['inline script', 'inline event handler'].map((what) =>
      page.waitForEvent('console', (message) =>
        message.text().includes(`${what} `) && message.text().includes('Content Security Policy'))));
    refused.catch(() => {}); // awaited below, unless an earlier assertion fails
    const hostile = await submit(page);
    assert.match(hostile.html, /<script>window\.injected = 1<\/script>/, 'the line is on the page as sent');
    assert.equal(await page.evaluate(() => window.injected), undefined, 'the script in the line did not run');
    await refused;
    assert.equal(await page.evaluate(() => window.injected), undefined, 'the handler in the line did not run');
    expectUnchanged(before, 'files with checksum errors');
  });

await check('a card whose byte 0x10 stays 0xff: the page shows "buf: 5a != flash: ff" and that the ' +
            'upgrade failed; the card is not restarted', async () => {
  const before = cards();
  const page = await openForm(plain);
  await tick(page, 3);
  await page.setInputFiles('#image', image);
  const { text, html } = await submit(page);
  assert.equal(text.trim(), 'buf: 5a != flash: ff\nThe upgrade failed.');
  assert.match(html, /\nThe upgrade failed\.<br>\s*<\/pre>/);
  await screenshot(page, 'results-failure.png');
  const now = cards();
  assert.equal(now[3].boot_count, 0, 'slot 3 was not restarted');
  assert.equal(now[3].generation_0x10000, null, 'no generation byte was written');
  assert.equal(now[3].generation_0x80000, null);
  for (const slot of [1, 2, 4]) assert.deepEqual(now[slot], before[slot], `slot ${slot} untouched`);
});

await plain.close();
await mapped.close();
console.log(`screenshots in ${shots}`);
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
