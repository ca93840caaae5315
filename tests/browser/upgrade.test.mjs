// The web setup end to end: scripts/web-server starts lighttpd serving web/
// and running flash_x3 against scan_sim's card models and x3_status, the
// status page, as CGI programs.
// Headless Chromium (playwright-core) uses the upgrade page as an operator
// would, with JavaScript on and off, with and without a .s19 MIME mapping;
// playwright's plain HTTP client sends what no page of this server would.
// X3IMAGE makes the firmware files. Screenshots land in ARTIFACT_DIR. Exits
// 0, 1 on a failure, or 77 where Chromium, playwright-core (npm ci here)
// or lighttpd is missing.
//   node upgrade.test.mjs FLASH_X3 X3_STATUS SCAN_SIM X3IMAGE ARTIFACT_DIR
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const WEB_PORT = 8071;
// How long one upgrade may take (the PowerPC build runs under qemu-user).
const UPGRADE_TIMEOUT = 90000;

const [flashX3, x3Status, scanSim, x3image, shots] = process.argv.slice(2).map((p) => path.resolve(p));
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
process.env.PATH = `${process.env.PATH}:/usr/sbin`;

const skip = (why) => { console.log(`SKIP: ${why}`); process.exit(77); };
if (!fs.existsSync(CHROMIUM)) skip(`${CHROMIUM} is missing (scripts/setup installs Debian's chromium)`);
const playwright = await import('playwright-core').catch(() =>
  skip('playwright-core is not installed: run "npm ci" in tests/browser (scripts/test does)'));
const missing = ['lighttpd', 'update-mime-database'].find((tool) =>
  !process.env.PATH.split(':').some((dir) => fs.existsSync(path.join(dir, tool))));
if (missing) skip(`${missing} is not installed (scripts/setup installs it)`);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'x3-browser-'));
const webServer = (...args) => spawnSync(path.join(repo, 'scripts/web-server'),
  [...args, '--dir', path.join(work, 'web')], { encoding: 'utf8' });
const state = path.join(work, 'state');
// Slot 5 holds still at its first erase and at its first row write
// (scan_sim stops itself there until it gets SIGCONT), for the page's
// progress to be seen at each.
const sim = spawn(scanSim, ['--state', state, '--cards', '1-5',
  '--fault', 'slot=5 erase#1 freeze', '--fault', 'slot=5 write#1 freeze'],
{ stdio: ['ignore', 'ignore', 'inherit'] });
const simStopped = () => fs.readFileSync(`/proc/${sim.pid}/stat`, 'utf8').split(') ')[1][0] === 'T';
process.on('exit', () => {
  webServer('stop');
  sim.kill('SIGTERM');
  sim.kill('SIGCONT'); // in case a check left it stopped
  fs.rmSync(work, { recursive: true, force: true });
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => process.exit(130));
// scripts/lib.sh waits until scan_sim itself listens, and fails if it exits.
execFileSync('bash', ['-c',
  `. "${repo}/scripts/lib.sh" && wait_listening ${sim.pid} 127.0.0.1 1971 60`]);
const started = webServer('start', '--port', String(WEB_PORT), '--program', flashX3, '--status', x3Status);
assert.equal(started.status, 0, `scripts/web-server start failed: ${started.stderr}`);
const cards = () => Object.fromEntries(JSON.parse(execFileSync(scanSim, ['show', '--state', state, '--json'],
  { encoding: 'utf8' })).map((card) => [card.slot, card]));
const base = `http://127.0.0.1:${WEB_PORT}`;
const formUrl = `${base}/cgi/web.cgi?upgrade_x3`;
// Requests with exactly the headers given: no Origin or Referer of its own.
// Each on a connection of its own: a kept-alive one that the web server
// drops as idle just when the next request goes out fails that request with
// "socket hang up" (seen under qemu, where the steps between requests are
// slow enough to meet the server's 5 s idle limit).
const api = await playwright.request.newContext({ baseURL: base, extraHTTPHeaders: { Connection: 'close' } });

let failed = 0;
async function check(name, body) {
  const error = await body().then(() => null, (e) => e);
  const why = String(error?.stack).split('\n').slice(0, 12).join('\n    ');
  console.log(error ? `FAIL - ${name}\n    ${why}` : `ok - ${name}`);
  failed += Boolean(error);
}

// SIZE pseudo-random bytes of SEED as S3 records of 32 data bytes, with
// data in the sector at 0x10000 and the generation byte's place there
// left erased.
function firmware(name, size, seed) {
  const file = path.join(work, `${name}.s19`);
  execFileSync(x3image, ['firmware', file, '--size', String(size), '--seed', String(seed)]);
  const { crc32 } = JSON.parse(execFileSync(x3image, ['info', file, '--json'], { encoding: 'utf8' }));
  return { file, srec: fs.readFileSync(file), crc32 };
}
const x3 = firmware('x3', 0x18000, 1);
const full = firmware('full', 0x80000, 2);
const low = firmware('low', 0x10000, 3);
// Nothing the switch loads: it skips S1 records and reads nothing after the
// end record.
const blank = path.join(work, 'blank.s19');
fs.writeFileSync(blank, 'S005000058336F\nS107000001020304EE\nS9030000FC\nS3090001002001020304CB\n');
// Not S-records, apart from a record with a wrong checksum that carries
// markup, which the results page repeats as it came.
const notes = path.join(work, 'release-notes.txt');
fs.writeFileSync(notes, 'X3 firmware 4.2\n\nFixes the fan table for the rev C board.\n' +
  'S3050000000000<script>window.injected = 1</script>' +
  '<img src="/none.png" onerror="window.injected = 2">\n');

// Every answer lets a page run only this server's script files, and keeps
// the browser from taking one for script or style unless its type says so.
function expectGuarded(response, what) {
  const { 'content-security-policy': policy = '', 'x-content-type-options': nosniff } = response.headers();
  assert.ok(`${policy};`.includes("script-src 'self';") && policy.includes("default-src 'none'") &&
            !policy.includes('unsafe'), `${what}: Content-Security-Policy "${policy}"`);
  assert.equal(nosniff, 'nosniff', `${what}: X-Content-Type-Options`);
}

// An empty user MIME database for the plain browser, so that the machine's
// own settings cannot decide what it sends; the mapped one has .s19 as
// text/x-srecord, as on an engineer's desktop with S-record tools.
async function launch(name, mapping) {
  const home = path.join(work, name);
  fs.mkdirSync(path.join(home, 'mime/packages'), { recursive: true });
  if (mapping) {
    fs.writeFileSync(path.join(home, 'mime/packages/x3.xml'), '<?xml version="1.0" encoding="UTF-8"?>\n' +
      '<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">\n' +
      '<mime-type type="text/x-srecord"><glob pattern="*.s19"/></mime-type></mime-info>\n');
    execFileSync('update-mime-database', [path.join(home, 'mime')], { stdio: 'ignore' });
  }
  return playwright.chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_FLAGS,
    env: { ...process.env, XDG_DATA_HOME: home } });
}
const browsers = await Promise.all([launch('xdg-plain', false), launch('xdg-mapped', true)]);
fs.mkdirSync(shots, { recursive: true });
for (const old of fs.readdirSync(shots)) if (old.endsWith('.png')) fs.rmSync(path.join(shots, old));
const screenshot = (page, name) => page.locator('body').screenshot({ path: path.join(shots, name) });
// What the pages' script policy blocked, as Chromium reports it.
const blocked = [];
async function openForm(mapping, javaScriptEnabled = true) {
  const context = await browsers[mapping ? 1 : 0].newContext({ javaScriptEnabled, viewport: { width: 860, height: 720 } });
  const page = await context.newPage();
  page.setDefaultTimeout(15000);
  page.on('console', (message) => message.text().includes('Content Security Policy') && blocked.push(message.text()));
  await page.goto(formUrl);
  return page;
}
// Submits the form (unless SUBMITTED) and waits for the results page; the
// text of its outcome.
async function results(page, submitted = false) {
  if (!submitted) await page.locator('button[type="submit"]').click();
  const pre = page.locator('pre').filter({ hasText: /The upgrade (was successful|failed)/ });
  await pre.waitFor({ timeout: UPGRADE_TIMEOUT });
  return (await pre.innerText()).trim();
}

await check('every answer has the script policy and nosniff; under /cgi/ only flash_x3 and x3_status run; ' +
            'posts from foreign pages or from nowhere get the refusal page and touch no card',
async () => {
  for (const [url, status] of [['/', 200], ['/upgrade.js', 200], ['/cgi/web.cgi?upgrade_x3', 200],
    ['/cgi/web.cgi?status', 403], ['/cgi/flash_x3/x', 403], ['/lighttpd.conf.in', 403],
    ['/cgi/x3_status', 200], ['/cgi/x3_status?format=json', 200], ['/cgi/x3_status?slot=1', 400],
    ['/cgi/x3_status/x', 403]]) {
    const response = await api.get(url);
    assert.equal(response.status(), status, url);
    expectGuarded(response, `GET ${url}`);
  }
  const refusal = fs.readFileSync(path.join(repo, 'web/errors/cross-site-403.html'), 'utf8');
  // The form as a browser sends it.
  const data = Buffer.concat([Buffer.from('--x3-form\r\nContent-Disposition: form-data; ' +
    'name="slot3"\r\n\r\non\r\n--x3-form\r\nContent-Disposition: form-data; name="image"; ' +
    'filename="x3.s19"\r\nContent-Type: application/octet-stream\r\n\r\n'), x3.srec,
  Buffer.from('\r\n--x3-form--\r\n')]);
  // method, Origin, Referer (null: none), status
  for (const [method, origin, referer, status] of [
    ['POST', 'null', null, 403], ['POST', `${base}.evil.example`, null, 403],
    ['POST', `http://127.0.0.1:${WEB_PORT + 1}`, null, 403], ['POST', 'http://evil.example', formUrl, 403],
    ['POST', null, 'http://evil.example/upgrade.html', 403], ['POST', null, `${base}.evil.example/`, 403],
    ['POST', null, null, 403], ['PUT', null, null, 403],
    ['POST', `http://localhost:${WEB_PORT}`, null, 200], ['POST', null, formUrl, 200]]) {
    const what = `${method}, Origin ${origin}, Referer ${referer}`;
    const before = cards();
    const response = await api.fetch('/cgi/flash_x3', { method, data, timeout: UPGRADE_TIMEOUT, headers: {
      'Content-Type': 'multipart/form-data; boundary=x3-form', ...(origin && { Origin: origin }),
      ...(referer && { Referer: referer }) } });
    assert.equal(response.status(), status, what);
    expectGuarded(response, what);
    if (status === 403) {
      assert.equal(await response.text(), refusal, `${what}: the refusal page`);
      assert.deepEqual(cards(), before, `${what}: no card changed`);
    } else {
      assert.match(await response.text(), /The upgrade was successful\. 1 card re-flashed\./, what);
      assert.equal(cards()[3].boot_count, before[3].boot_count + 1, `${what}: slot 3 restarted`);
    }
  }
});

await check('the upgrade in the browser: only without the script does a .s19 type mapping reach flash_x3; ' +
            'the results page is styled', async () => {
  let resultsPage;
  // .s19 mapped to text/x-srecord, JavaScript, slots, the file (a whole
  // bank is a 1.3 MB upload), the outcome, and the [bank, generation] each
  // re-flashed slot then boots
  for (const [mapping, script, slots, file, outcome, boots] of [
    [false, true, [1, 2], x3, 'The upgrade was successful. 2 cards re-flashed.', { 1: [0, 1], 2: [0, 1] }],
    [false, false, [4], full, 'The upgrade was successful. 1 card re-flashed.', { 4: [0, 1] }],
    [true, true, [1, 2], x3, 'The upgrade was successful. 2 cards re-flashed.', { 1: [1, 2], 2: [1, 2] }],
    [true, false, [4], x3, 'The upgrade failed.\nmalformed upload stream', {}]]) {
    const what = `.s19 ${mapping ? 'mapped to text/x-srecord' : 'unmapped'}, JavaScript ${script ? 'on' : 'off'}`;
    const before = cards();
    const page = await openForm(mapping, script);
    for (const slot of slots) await page.locator(`#slot${slot}`).check();
    await page.setInputFiles('#image', file.file);
    if (script) {
      // The scan service held still: the cards wait, and so does the page.
      sim.kill('SIGSTOP');
      try {
        await page.locator('button[type="submit"]').click();
        await page.locator('#progress').waitFor();
        assert.equal(await page.locator('form').isVisible(), false, 'the form is put away');
        assert.equal(await page.locator('#progress-title').textContent(), `Upgrading ${slots.length} cards`);
        assert.match(await page.locator('#progress-detail').textContent(),
          new RegExp(`^Slots ${slots.join(' and ')}, firmware x3\\.s19 \\([\\d,]+ bytes\\)`));
        await screenshot(page, 'progress.png');
      } finally {
        sim.kill('SIGCONT');
      }
    }
    assert.equal(await results(page, script), outcome, what);
    assert.equal(page.url(), script ? formUrl : `${base}/cgi/flash_x3`, `${what}: the results page's address`);
    const now = cards();
    for (const slot of [1, 2, 3, 4]) {
      const { bank, generation } = now[slot].last_boot || {};
      if (boots[slot]) assert.deepEqual([bank, generation], boots[slot], `${what}: slot ${slot} boots`);
      else assert.deepEqual(now[slot], before[slot], `${what}: slot ${slot} untouched`);
    }
    resultsPage = resultsPage || page;
  }
  await screenshot(resultsPage, 'results-success.png');
  const page = resultsPage;
  assert.notEqual(await page.locator('h1').evaluate((h1) => getComputedStyle(h1).backgroundColor),
    'rgba(0, 0, 0, 0)', '/style.css styles the title bar');
  assert.deepEqual(blocked, [], 'no page of the server trips its own script policy');
});

await check('the status page, from the form\'s link, shows what each slot was last re-flashed with; ' +
            'so does its JSON', async () => {
  const page = await openForm(false);
  await page.getByRole('link', { name: 'Firmware per slot and past upgrades' }).click();
  await page.waitForURL(`${base}/cgi/x3_status`);
  await screenshot(page, 'status.png');
  const { slots, runs } = await (await api.get('/cgi/x3_status?format=json')).json();
  const now = cards();
  // slot, the image it was last re-flashed with
  for (const [slot, image] of [[1, x3], [2, x3], [3, x3], [4, full]]) {
    const { bank, generation } = now[slot].last_boot;
    const row = page.locator('table.status tbody tr').filter({ has: page.locator(`td:first-child:text-is("${slot}")`) });
    assert.match(await row.innerText(), new RegExp(`^${slot}\\s+${image.crc32}\\b[^]*?\\t${bank}\\t${generation}\\t` +
      '[^]*\\tre-flashed\\s*$'), `slot ${slot} on the page`);
    const json = slots.find((s) => s.slot === slot);
    assert.deepEqual([json.runs.crc32, json.runs.bank, json.runs.generation, json.last_run.result],
      [image.crc32, bank, generation, 're-flashed'], `slot ${slot} in the JSON`);
  }
  assert.deepEqual([runs[0].slots, runs[0].image.crc32, runs[0].address, runs[0].outcome],
    [[1, 2], x3.crc32, '127.0.0.1', 'The upgrade was successful. 2 cards re-flashed.'], 'the newest run');
  assert.match(await page.locator('div.run').first().innerText(),
    /flash_x3 · 127\.0\.0\.1[^]*Slot 1: re-flashed, bank 1, generation 2\s+Slot 2: re-flashed/);
  assert.deepEqual(blocked, [], 'the status page keeps to the script policy');
});

await check('the form: slot 0 cannot be ticked, "select all" ticks slots 1-31; no slot, ' +
            'no file, a file that is not S-records and images that cannot be right are stopped ' +
            'with a message, the files sent at a second press; markup in a rejected line is ' +
            'shown as it came but does not run; the images do on the card what the page warned',
async () => {
  const page = await openForm(false);
  assert.equal(await page.locator('#slot0').isDisabled(), true, 'slot 0 is disabled');
  const ticked = () => page.locator('input[name^="slot"]:checked').evaluateAll((boxes) => boxes.map((b) => b.name));
  await page.getByLabel('Select all (slots 1 to 31)').check();
  assert.deepEqual(await ticked(), Array.from({ length: 31 }, (_, i) => `slot${i + 1}`));
  await page.getByLabel('Select all (slots 1 to 31)').uncheck();
  let posts = 0;
  page.on('request', (request) => { posts += request.method() === 'POST'; });
  // what the operator does, what the page then says and where it puts the focus
  for (const [act, says, focus] of [
    [() => {}, /^Tick the slot of at least one card/, 'slot1'],
    [() => page.locator('label[for="slot4"]').click(), /^Choose the firmware file/, 'image'],
    [() => page.setInputFiles('#image', blank), new RegExp('^blank\\.s19 holds no firmware data: every ' +
      'ticked card would be restarted with nothing written.* Press Upgrade again to send this file anyway\\.$'), 'image'],
    [() => page.setInputFiles('#image', low.file), new RegExp('^low\\.s19 has data only at 0x00000-0x0FFFF, ' +
      'nothing at 0x10000 or above.*keep starting their previous firmware.* Press Upgrade again'), 'image'],
    [() => page.setInputFiles('#image', full.file), new RegExp('^full\\.s19 has data at 0x70000-0x7FFFF.*' +
      'erase the start of the previous firmware.* Press Upgrade again'), 'image'],
    [() => page.setInputFiles('#image', notes), new RegExp('^release-notes\\.txt does not look like ' +
      'S-records: it starts with "X3 firmware 4\\.2".*press Upgrade again'), 'image']]) {
    await act();
    await page.locator('button[type="submit"]').click();
    await page.locator('#form-message:not([hidden])').waitFor();
    assert.match(await page.locator('#form-message').textContent(), says);
    assert.equal(await page.evaluate(() => document.activeElement.id), focus);
  }
  assert.equal(posts, 0, 'nothing was sent');
  const refused = Promise.all(['inline script', 'inline event handler'].map((what) =>
    page.waitForEvent('console', (message) => message.text().includes(`${what} `) &&
      message.text().includes('Content Security Policy'))));
  refused.catch(() => {}); // awaited below, unless an earlier assertion fails
  assert.match(await results(page), /^Checksum error on line:\nS3050{10}\s+The upgrade failed\.$/);
  assert.equal(posts, 1, 'a second press sends the file anyway');
  assert.match(await page.content(), /<script>window\.injected = 1<\/script>/, 'the line is on the page as sent');
  await refused;
  assert.equal(await page.evaluate(() => window.injected), undefined, 'neither the script nor the handler ran');
  await screenshot(page, 'results-failure.png');
  // Sent anyway, slot 3 is restarted and keeps starting what it had.
  for (const image of [blank, low.file]) {
    const form = await openForm(false);
    await form.locator('#slot3').check();
    await form.setInputFiles('#image', image);
    await form.locator('button[type="submit"]').click();
    await form.locator('#form-message.warning').waitFor();
    const before = cards()[3];
    assert.equal(await results(form), 'The upgrade was successful. 1 card re-flashed.', image);
    const { boot_count: count, last_boot: boot } = cards()[3];
    assert.deepEqual([count, boot], [before.boot_count + 1, before.last_boot], `${image}: slot 3 starts as before`);
  }
});

// Calls WHAT until CHECK holds for what it returns; that.
async function eventually(what, check, timeout = UPGRADE_TIMEOUT) {
  const end = Date.now() + timeout;
  for (let value = await what(); ; value = await what()) {
    if (check(value)) return value;
    if (Date.now() > end) throw new assert.AssertionError({ message: `still ${JSON.stringify(value)}` });
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}
// What the upgrade page shows of the progress: whether the moving bar is
// up, each card's line with its bar's value (null while the cards' bars
// are not shown) and the time left (null when not shown).
const progressShown = (page) => page.evaluate(() => {
  const shown = (id) => !document.getElementById(id).hidden;
  return { moving: shown('progress-busy'),
    cards: shown('progress-cards') ? Array.from(document.querySelectorAll('#progress-cards li'), (li) =>
      [li.querySelector('span').textContent, Math.round(li.querySelector('progress').value)]) : null,
    left: shown('progress-left') ? document.getElementById('progress-left').textContent : null };
});
// Holds the page's upgrade post until the function returned is called.
async function holdPost(page) {
  let release;
  const released = new Promise((resolve) => { release = resolve; });
  await page.route('**/cgi/flash_x3', async (route) => { await released; await route.continue(); });
  return release;
}
// Answers the page's progress requests with ANSWER() ([status, body]); the
// number of requests so far.
async function fakeProgress(page, answer) {
  let asked = 0;
  await page.route((url) => url.pathname === '/cgi/x3_status' && url.search === '?progress', (route) => {
    asked++;
    const [status, body] = answer();
    return route.fulfill({ status, contentType: 'application/json', body });
  });
  return () => asked;
}
// SLOTS ticked, x3.s19 chosen, Upgrade pressed with the post held.
async function heldUpgrade(answer, slots) {
  const page = await openForm(false);
  const asked = await fakeProgress(page, answer);
  const release = await holdPost(page);
  for (const slot of slots) await page.locator(`#slot${slot}`).check();
  await page.setInputFiles('#image', x3.file);
  await page.locator('button[type="submit"]').click();
  return { page, asked, release };
}

await check('the switch\'s progress reports as the page shows them: an earlier run\'s or another run\'s ' +
            'only keep the moving bar; then a bar per card, the card in hand by its step and units, the ' +
            'time left once there is a rate', async () => {
  const report = (fields) => [200, JSON.stringify({ progress: { program: 'flash_x3', run: 'R2', slots: [1, 2],
    slot: null, index: null, step: null, done: null, total: null, unit: null, step_seconds: 0, run_seconds: 0,
    updated: '2026-12-07T15:13:36Z', finished: false, outcome: null, ...fields }, error: null })];
  const inHand = (index, step, done, total, unit, stepSeconds, runSeconds) => ({ slot: index + 1, index, step,
    done, total, unit, step_seconds: stepSeconds, run_seconds: runSeconds });
  let answer = report({ run: 'R1', ...inHand(1, 'reboot_card', null, null, null, 0, 40), finished: true,
    outcome: 'The upgrade was successful. 2 cards re-flashed.' });
  const { page, asked, release } = await heldUpgrade(() => answer, [1, 2]);
  // an answer that is not this run's: the earlier one, finished, then another run's slots
  for (const other of [answer, report({ run: 'R0', slots: [1, 3] })]) {
    answer = other;
    const now = asked();
    await eventually(asked, (n) => n >= now + 2);
    assert.deepEqual(await progressShown(page), { moving: true, cards: null, left: null }, other[1]);
  }
  // the report, then the card lines, their bars (of 100) and the time left
  for (const [fields, cards, left] of [
    [{}, [['Slot 1: waiting', 0], ['Slot 2: waiting', 0]], null],
    [inHand(0, 'grab_flash', null, null, null, 0, 0.4), [['Slot 1: taking the flash', 0], ['Slot 2: waiting', 0]], null],
    [inHand(0, 'select_bank', null, null, null, 0, 0.5), [['Slot 1: choosing the bank', 1], ['Slot 2: waiting', 0]], null],
    [inHand(0, 'erase_flash', 0, 3, 'sectors', 0.1, 0.6), [['Slot 1: erasing, 0 of 3 sectors', 2], ['Slot 2: waiting', 0]],
      null],
    [inHand(0, 'erase_flash', 1, 3, 'sectors', 4, 4.5), [['Slot 1: erasing, 1 of 3 sectors', 10], ['Slot 2: waiting', 0]],
      'Time left in this step: about 0:08'],
    [inHand(0, 'program_flash', 1204, 2048, 'rows', 12.5, 15), [['Slot 1: programming, 1,204 of 2,048 rows', 53],
      ['Slot 2: waiting', 0]], 'Time left in this step: about 0:08'],
    [inHand(0, 'write_bootval', null, null, null, 0, 19), [['Slot 1: writing the generation byte', 97],
      ['Slot 2: waiting', 0]], null],
    [inHand(0, 'reboot_card', null, null, null, 0.5, 19.5), [['Slot 1: restarting the card', 98], ['Slot 2: waiting', 0]],
      null],
    [inHand(1, 'grab_flash', null, null, null, 0, 20), [['Slot 1: done', 100], ['Slot 2: taking the flash', 0]],
      'Time left: about 0:20'],
    [inHand(1, 'verify_flash', 100, 400, 'rows', 2, 30), [['Slot 1: done', 100], ['Slot 2: verifying, 100 of 400 rows', 78]],
      'Time left: about 0:10'],
    // slower than the card before: the step's own rate
    [inHand(1, 'verify_flash', 300, 400, 'rows', 6, 45), [['Slot 1: done', 100], ['Slot 2: verifying, 300 of 400 rows', 91]],
      'Time left in this step: about 0:02'],
    [{ ...inHand(1, 'reboot_card', null, null, null, 0.5, 47), finished: true,
      outcome: 'The upgrade was successful. 2 cards re-flashed.' }, [['Slot 1: done', 100], ['Slot 2: done', 100]], null]]) {
    answer = report(fields);
    const shown = await eventually(() => progressShown(page), (s) => JSON.stringify(s.cards) === JSON.stringify(cards));
    assert.deepEqual(shown, { moving: false, cards, left }, answer[1]);
  }
  release();
  assert.equal(await results(page, true), 'The upgrade was successful. 2 cards re-flashed.');
});

await check('where the progress cannot be had the page keeps the moving bar and shows no card bars; ' +
            'the results come all the same', async () => {
  for (const answer of [[500, 'Internal Server Error'], [200, '{"progress": {"run": '],
    [200, '{"progress": null, "error": null}'],
    [200, '{"progress": null, "error": "cannot read /var/lib/x3-flash/progress.json: Permission denied"}']]) {
    const { page, asked, release } = await heldUpgrade(() => answer, [1]);
    await eventually(asked, (n) => n >= 3);
    assert.deepEqual(await progressShown(page), { moving: true, cards: null, left: null }, answer[1]);
    assert.equal(await page.getByRole('progressbar').count(), 0, `${answer[1]}: no progress bar`);
    release();
    assert.equal(await results(page, true), 'The upgrade was successful. 1 card re-flashed.', answer[1]);
  }
});

await check('an upgrade of slots 3 and 5 held at slot 5\'s first erase and first row write: the page shows ' +
            'slot 3 done and slot 5 at the step and units the switch reports, its bar moving from one ' +
            'to the other; then the results', async () => {
  const policyBlocked = blocked.length;
  const page = await openForm(false);
  for (const slot of [3, 5]) await page.locator(`#slot${slot}`).check();
  await page.setInputFiles('#image', x3.file);
  await page.locator('button[type="submit"]').click();
  const values = [];
  for (const [step, name] of [['erase_flash', 'erasing'], ['program_flash', 'programming']]) {
    await eventually(simStopped, Boolean);
    const response = await api.get('/cgi/x3_status?progress');
    expectGuarded(response, 'GET /cgi/x3_status?progress');
    const { progress } = await response.json();
    assert.deepEqual([progress.slots, progress.slot, progress.step, progress.finished], [[3, 5], 5, step, false]);
    const line = `Slot 5: ${name}, ${progress.done} of ${progress.total} ${progress.unit}`;
    const { cards } = await eventually(() => progressShown(page), (shown) => shown.cards?.[1]?.[0] === line);
    assert.deepEqual(cards[0], ['Slot 3: done', 100]);
    const bar = page.getByRole('progressbar', { name: line });
    values.push(await bar.evaluate((element) => element.value));
    if (step === 'program_flash') await screenshot(page, 'progress-cards.png');
    sim.kill('SIGCONT');
  }
  assert.ok(values[1] > values[0], `the bar moves: ${values}`);
  assert.equal(await results(page, true), 'The upgrade was successful. 2 cards re-flashed.');
  assert.deepEqual(blocked.slice(policyBlocked), [], 'polling the progress keeps to the script policy');
});

await Promise.all(browsers.map((browser) => browser.close()));
console.log(`screenshots in ${shots}`);
process.exit(failed ? 1 : 0);
