// SPDX-License-Identifier: MIT
// The page in headless Chromium, served from 127.0.0.1: files the native tav
// made are decrypted, files it encrypts tav decrypts, 64 MiB go through the
// streaming path, and the packed package is imported by name from a plain
// <script type="module">. Skipped only where there is no browser.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';

import * as tav from '../src/index.js';
import { bytes, root, same } from './support.js';
import { browserSuite, nativeTool, serve, stubPickers } from './support-browser.js';

const secret = 'browser and native';
const suite = await browserSuite('tavsdk-browser-', { before, after });
const { dir, missing } = suite;
const native = nativeTool(secret, dir);
const shots = process.env.TAVSDK_SCREENSHOT_DIR ?? dir;

const sha256 = (data) => createHash('sha256').update(data).digest('hex');

// Opens the page; `streamed` gives it a save picker backed by the origin's
// private file system, so that the result is written as a stream.
async function openPage(streamed) {
  const page = await suite.browser.newPage();
  await stubPickers(page, streamed ? 'file' : 'none');
  await page.goto(`${suite.server.url}/web/index.html`);
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Ready'));
  return page;
}

// Runs one operation through the form, by keyboard where a person would.
async function operate(page, file, { action, alphabet = 'binary', mode = 'block', passphrase = secret }) {
  await (await page.$('#files')).uploadFile(file);
  for (const field of ['#passphrase', '#passphrase2']) {
    await page.focus(field);
    await page.$eval(field, (input) => { input.value = ''; });
    await page.keyboard.type(passphrase);
  }
  await page.click(`input[name="alphabet"][value="${alphabet}"]`);
  await page.click(`input[name="mode"][value="${mode}"]`);
  await page.focus(`#${action}`);
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('status').className),
    { timeout: 120000 });
  return page.$eval('#status', (s) => ({ kind: s.className, text: `${s.textContent} ${document.querySelector('#list .result').textContent}` }));
}

// Saves the result through the page's link, as a person would, and reads it.
async function downloaded(page) {
  const folder = fs.mkdtempSync(path.join(dir, 'download-'));
  const session = await page.createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: folder, eventsEnabled: true });
  const name = await page.$eval('#list a', (a) => a.download);
  // The file may stand at its name before all of it is written: wait for
  // the browser to say the download is complete.
  const complete = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no download of ${name}`)), 30000);
    session.on('Browser.downloadProgress', (event) => {
      if (event.state === 'inProgress') return;
      clearTimeout(timer);
      if (event.state === 'completed') resolve();
      else reject(new Error(`the download of ${name} was ${event.state}`));
    });
  });
  await page.focus('#list a');
  await page.keyboard.press('Enter');
  await complete;
  const file = path.join(folder, name);
  await session.detach();
  return { name, data: new Uint8Array(fs.readFileSync(file)) };
}

// The suffix tells the mode, as with tav: .tav block, .tavx expanded. The
// page names what it encrypts so; decrypting, it takes the mode from the
// suffix over the one picked and strips it, and without either suffix keeps
// the pick and adds .decrypted.
test('files go between the page and tav, their mode told by the suffix', { skip: missing }, async () => {
  const page = await openPage(false);
  const cases = [
    // alphabet, the file's mode, its name, the mode picked, the name decrypted, what the page says
    ['binary', 'block', 'a.tav', 'expanded', 'a', /same size \(\.tav\): the name ends in \.tav\b/],
    ['text', 'expanded', 'b.tavx', 'block', 'b', /larger form \(\.tavx\): the name ends in \.tavx/],
    ['binary', 'expanded', 'c', 'expanded', 'c.decrypted', /larger form \(\.tavx\): as chosen/],
  ];
  for (const [alphabet, mode, name, picked, plainName, shown] of cases) {
    const plain = bytes(200000, name.length + alphabet.length);
    const folder = fs.mkdtempSync(path.join(dir, 'case-'));
    const plainFile = path.join(folder, 'plain');
    fs.writeFileSync(plainFile, plain);
    // Decrypting a file tav encrypted.
    native('encrypt', alphabet, mode, plainFile, path.join(folder, name));
    let outcome = await operate(page, path.join(folder, name), { action: 'decrypt', alphabet, mode: picked });
    assert.equal(outcome.kind, 'done', outcome.text);
    assert.match(outcome.text, shown);
    let saved = await downloaded(page);
    assert.equal(saved.name, plainName);
    same(saved.data, plain, `${name}: decrypted`);
    // Encrypting a file that tav then decrypts, told the mode by the name alone.
    outcome = await operate(page, plainFile, { action: 'encrypt', alphabet, mode });
    assert.equal(outcome.kind, 'done', outcome.text);
    saved = await downloaded(page);
    assert.equal(saved.name, mode === 'block' ? 'plain.tav' : 'plain.tavx');
    fs.writeFileSync(path.join(folder, saved.name), saved.data);
    native('decrypt', alphabet, undefined, path.join(folder, saved.name), path.join(folder, 'back'));
    same(new Uint8Array(fs.readFileSync(path.join(folder, 'back'))), plain, `${name}: tav decrypted`);
  }
  // Errors in words: an empty passphrase is refused before anything runs.
  await page.$eval('#passphrase', (input) => { input.value = ''; });
  await page.click('#encrypt');
  assert.equal(await page.$eval('#status', (s) => s.textContent), 'Type the passphrase first.');
  await page.close();
});

// Before app.js runs (slow to come, or refused), nothing typed may leave the
// page, by the buttons or by Enter, and the page stays where it is.
test('without its script the page sends nothing typed and stays put', { skip: missing }, async () => {
  const typed = 'leakysecret42';
  const actions = {
    'Enter in the passphrase': (page) => page.keyboard.press('Enter'),
    'click on Encrypt': (page) => page.click('#encrypt'),
    'Enter on Decrypt': (page) => page.focus('#decrypt').then(() => page.keyboard.press('Enter')),
  };
  const url = `${suite.server.url}/web/index.html`;
  const faults = [];
  for (const hold of ['never answered', 'refused']) {
    for (const [name, act] of Object.entries(actions)) {
      const page = await suite.browser.newPage();
      await page.setRequestInterception(true);
      page.on('request', (request) => {
        const sent = `${request.url()} ${request.postData() ?? ''}`;
        if (sent.includes(typed)) faults.push(`${hold}, ${name}: sent ${sent}`);
        if (!request.url().endsWith('/web/app.js')) request.continue();
        else if (hold === 'refused') request.abort();
      });
      page.goto(url).catch(() => {}); // with app.js held, the load never ends
      await page.waitForSelector('#decrypt');
      await page.type('#passphrase', typed);
      await act(page);
      await new Promise((resolve) => setTimeout(resolve, 500));
      if (page.url() !== url) faults.push(`${hold}, ${name}: went to ${page.url()}`);
      await page.close();
    }
  }
  assert.deepEqual(faults, []);
});

test('64 MiB through the streaming path, and a screenshot of the result', { skip: missing }, async () => {
  const data = bytes(64 << 20, 64);
  const file = path.join(dir, 'large.bin');
  fs.writeFileSync(file, data);
  const keys = tav.Keys.fromPassphrase(secret, 'binary');
  const expected = sha256(tav.blockEncrypt(keys, data));
  keys.free();
  const page = await openPage(true);
  const outcome = await operate(page, file, { action: 'encrypt' });
  assert.equal(outcome.kind, 'done', outcome.text);
  assert.match(outcome.text, /saved where you chose/);
  const written = await page.evaluate(async () => {
    const folder = await navigator.storage.getDirectory();
    const stored = await (await folder.getFileHandle('large.bin.tav')).getFile();
    const digest = await crypto.subtle.digest('SHA-256', await stored.arrayBuffer());
    await folder.removeEntry('large.bin.tav');
    return { size: stored.size, digest: [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('') };
  });
  assert.deepEqual(written, { size: data.length, digest: expected });
  assert.equal(await page.$eval('#progress', (p) => p.value), 1);
  const shot = path.join(shots, 'tavsdk-page.png');
  await page.screenshot({ path: shot, fullPage: true });
  assert.ok(fs.statSync(shot).size > 10000, 'screenshot written');
  await page.close();
});

test('the packed package, installed by name, in Node and from <script type="module">', { skip: missing }, async () => {
  const project = path.join(dir, 'project');
  fs.mkdirSync(project);
  const packed = execFileSync('npm', ['pack', '--silent', '--pack-destination', dir], { cwd: path.join(root, 'js') })
    .toString().trim().split('\n').pop();
  fs.writeFileSync(path.join(project, 'package.json'), '{"name": "scratch", "private": true, "type": "module"}');
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(dir, packed)], { cwd: project });
  const check = "import { Keys, blockEncrypt } from 'tavsdk'; const k = Keys.fromPassphrase('Hello');" +
    " process.stdout.write(Buffer.from(blockEncrypt(k, new TextEncoder().encode('by name'))).toString('hex'));";
  const inNode = execFileSync(process.execPath, ['--input-type=module', '-e', check], { cwd: project }).toString();
  const keys = tav.Keys.fromPassphrase('Hello');
  const expected = Buffer.from(tav.blockEncrypt(keys, new TextEncoder().encode('by name'))).toString('hex');
  keys.free();
  assert.equal(inNode, expected);
  fs.writeFileSync(path.join(project, 'index.html'), `<!DOCTYPE html>
<script type="importmap">{"imports": {"tavsdk": "./node_modules/tavsdk/src/index.js"}}</script>
<script type="module">
  import { Keys, blockEncrypt } from 'tavsdk';
  const data = blockEncrypt(Keys.fromPassphrase('Hello'), new TextEncoder().encode('by name'));
  document.title = [...data].map((b) => b.toString(16).padStart(2, '0')).join('');
</script>`);
  const scratch = await serve(project);
  const page = await suite.browser.newPage();
  await page.goto(`${scratch.url}/index.html`);
  await page.waitForFunction(() => document.title.length > 0);
  assert.equal(await page.title(), expected);
  await page.close();
  await scratch.close();
});
