// SPDX-License-Identifier: MIT
// The page as a tool: its cipher runs in workers while the page answers and
// Cancel ends them at once; files and folders from the pickers and a drop
// go to tav and back byte for byte; it works offline after one visit, says
// why it cannot work from file://, and passes axe in both colour schemes in
// every state. Skipped only where there is no browser.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';

import * as tav from '../src/index.js';
import { bytes, root, same } from './support.js';
import { browserSuite, nativeTool, serve, stubPickers } from './support-browser.js';

const secret = 'pages and workers';
const suite = await browserSuite('tavsdk-page-', { before, after });
const { dir, missing } = suite;
const native = nativeTool(secret, dir);
const shots = process.env.TAVSDK_SCREENSHOT_DIR ?? dir;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// CPU seconds spent so far by the browser's renderers (the page and its
// workers), found below the browser's process.
function rendererSeconds() {
  const stats = fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name)).map((pid) => {
    try {
      const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
      return { pid: Number(pid), parent: Number(fields[1]), ticks: Number(fields[11]) + Number(fields[12]) };
    } catch {
      return null; // gone meanwhile
    }
  }).filter(Boolean);
  const ours = new Set([suite.browser.process().pid]);
  for (let grew = true; grew;) {
    grew = false;
    for (const { pid, parent } of stats) if (ours.has(parent) && !ours.has(pid)) grew = ours.add(pid);
  }
  const renderers = stats.filter(({ pid }) => ours.has(pid) && fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--type=renderer'));
  return renderers.reduce((sum, { ticks }) => sum + ticks, 0) / 100; // USER_HZ
}

// The page, its pickers answered by the origin's private file system (a
// folder named `out`), or taken away so that results become downloads.
async function openPage({ pickers = true, url = `${suite.server.url}/web/index.html`, bypass = false } = {}) {
  const page = await suite.browser.newPage();
  if (bypass) await page.setBypassCSP(true); // axe is injected as a script
  await stubPickers(page, pickers ? 'folder' : 'none');
  await page.goto(url);
  return page;
}

const ready = (page) => page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Ready'));

async function start(page, action, { alphabet = 'binary', mode = 'block' } = {}) {
  for (const field of ['#passphrase', '#passphrase2']) {
    await page.$eval(field, (input) => { input.value = ''; });
    await page.type(field, secret);
  }
  await page.click(`input[name="alphabet"][value="${alphabet}"]`);
  await page.click(`input[name="mode"][value="${mode}"]`);
  await page.click(`#${action}`);
}

async function finished(page) {
  await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('status').className),
    { timeout: 120000 });
  return page.$eval('#status', (s) => ({ kind: s.className, text: s.textContent }));
}

// Drops paths (files or folders) on the drop area as a person would.
async function drop(page, paths) {
  const box = await (await page.$('#drop')).boundingBox();
  const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  const session = await page.createCDPSession();
  const data = { items: [], files: paths, dragOperationsMask: 1 };
  for (const type of ['dragEnter', 'dragOver', 'drop']) await session.send('Input.dispatchDragEvent', { type, ...at, data });
  await session.detach();
}

// The files the page wrote into `out`, by path, and empties it.
async function written(page) {
  const files = await page.evaluate(async () => {
    const found = {};
    const walk = async (folder, prefix) => {
      for await (const [name, handle] of folder.entries()) {
        if (handle.kind === 'directory') await walk(handle, `${prefix}${name}/`);
        else {
          const data = new Uint8Array(await (await handle.getFile()).arrayBuffer());
          let text = '';
          for (let at = 0; at < data.length; at += 0x8000) text += String.fromCharCode(...data.subarray(at, at + 0x8000));
          found[`${prefix}${name}`] = btoa(text);
        }
      }
    };
    const root = await navigator.storage.getDirectory();
    await walk(await root.getDirectoryHandle('out', { create: true }), '');
    await root.removeEntry('out', { recursive: true });
    return found;
  });
  return Object.fromEntries(Object.entries(files).map(([name, text]) => [name, Buffer.from(text, 'base64')]));
}

test('the page answers while workers run, and Cancel ends them at once with nothing offered', { skip: missing }, async () => {
  const big = path.join(dir, 'big.tav');
  fs.writeFileSync(big, Buffer.alloc(256 << 20, 0x5a)); // any bytes decrypt in block mode
  const plain = path.join(dir, 'plain');
  fs.writeFileSync(plain, bytes(5 << 19, 7));
  native('encrypt', 'binary', 'expanded', plain, path.join(dir, 'x.tavx')); // some 27 times as large: 68 MiB
  assert.ok(fs.statSync(path.join(dir, 'x.tavx')).size > 64 << 20);
  const page = await openPage({ pickers: false });
  await ready(page);
  await (await page.$('#files')).uploadFile(big, path.join(dir, 'x.tavx'));
  await page.evaluate(() => {
    window.gaps = { last: performance.now(), worst: 0 };
    setInterval(() => {
      const now = performance.now();
      window.gaps.worst = Math.max(window.gaps.worst, now - window.gaps.last);
      window.gaps.last = now;
    }, 100);
  });
  await start(page, 'decrypt');
  await page.waitForFunction(() => document.getElementById('progress').value > 0.05, { timeout: 60000 });
  await sleep(1500);
  const progress = await page.$eval('#progress', (p) => p.value);
  assert.ok(progress < 1, `still working when cancelled (${progress})`);
  const worst = await page.evaluate(() => window.gaps.worst);
  assert.ok(worst < 250, `the longest gap between 100 ms ticks was ${worst.toFixed(0)} ms`);
  const busy = rendererSeconds();
  await sleep(1000);
  const working = rendererSeconds() - busy;
  await page.click('#cancel');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Stopped'), { timeout: 500 });
  // From half a second after the click the workers' CPU is free: what the
  // renderers spend in the next second is the page idling and new workers starting.
  await sleep(500);
  const idle = rendererSeconds();
  await sleep(1000); // a result that was on its way would show by now
  const after = rendererSeconds() - idle;
  assert.ok(after < 0.3 && after < working / 2, `renderers spent ${working.toFixed(2)} CPU s in a second before Cancel, ${after.toFixed(2)} from 0.5 s after`);
  assert.equal(await page.$$eval('#list a', (links) => links.length), 0, 'no result offered after Cancel');
  assert.match(await page.$eval('#status', (s) => s.textContent), /^Stopped: nothing was saved/);
  await page.close();
});

test('ten files and a dropped folder go to tav and back, both modes and alphabets', { skip: missing }, async () => {
  const src = fs.mkdtempSync(path.join(dir, 'src-'));
  const sizes = [0, 1, 17, 4096, 65537, 1 << 20, (1 << 20) + 3, 3 << 20, 9 << 20, 12345];
  const page = await openPage();
  await ready(page);
  const failures = [];
  // The page encrypts in the row's mode; tav encrypts every other file the
  // other way. Expanded files are some 27 times as large: smaller files there.
  for (const [alphabet, mode, most] of [['binary', 'block', Infinity], ['text', 'expanded', 256 << 10]]) {
    const other = mode === 'block' ? 'expanded' : 'block';
    const plain = {};
    sizes.forEach((size, i) => { plain[`f${i}.bin`] = bytes(Math.min(size, most), i + 1); });
    plain['tree/a.txt'] = bytes(5000, 50);
    plain['tree/deep/b.bin'] = bytes(Math.min(9 << 20, most), 51); // large enough to be split between workers
    fs.rmSync(src, { recursive: true, force: true });
    for (const [name, data] of Object.entries(plain)) {
      fs.mkdirSync(path.dirname(path.join(src, name)), { recursive: true });
      fs.writeFileSync(path.join(src, name), data);
    }
    const loose = sizes.map((_, i) => path.join(src, `f${i}.bin`));
    await (await page.$('#files')).uploadFile(...loose);
    await drop(page, [path.join(src, 'tree')]);
    await page.waitForFunction(() => document.querySelectorAll('#list li').length === 12); // folders are read after the drop
    await start(page, 'encrypt', { alphabet, mode });
    let outcome = await finished(page);
    assert.equal(outcome.kind, 'done', outcome.text);
    const encrypted = await written(page);
    const back = fs.mkdtempSync(path.join(dir, 'back-'));
    const made = fs.mkdtempSync(path.join(dir, 'made-'));
    for (const [name, data] of Object.entries(plain)) {
      const out = `${name}${mode === 'block' ? '.tav' : '.tavx'}`;
      if (!encrypted[out]) { failures.push(`${alphabet}: no ${out}`); continue; }
      const file = path.join(back, out.replaceAll('/', '_'));
      fs.writeFileSync(file, encrypted[out]);
      native('decrypt', alphabet, undefined, file, `${file}.plain`);
      if (!fs.readFileSync(`${file}.plain`).equals(Buffer.from(data))) failures.push(`${alphabet}: tav read ${out} wrong`);
      // And tav's own, alternately block and expanded, for the page to decrypt.
      const theirs = Object.keys(plain).indexOf(name) % 2 ? other : mode;
      fs.mkdirSync(path.dirname(path.join(made, name)), { recursive: true });
      native('encrypt', alphabet, theirs, path.join(src, name), path.join(made, `${name}${theirs === 'block' ? '.tav' : '.tavx'}`));
    }
    const madeFiles = fs.readdirSync(made).filter((name) => name !== 'tree').map((name) => path.join(made, name));
    await (await page.$('#files')).uploadFile(...madeFiles);
    await drop(page, [path.join(made, 'tree')]);
    await page.waitForFunction(() => document.querySelectorAll('#list li').length === 12);
    await start(page, 'decrypt', { alphabet, mode: 'block' });
    outcome = await finished(page);
    assert.equal(outcome.kind, 'done', outcome.text);
    assert.match(outcome.text, /output is garbage/);
    const decrypted = await written(page);
    for (const [name, data] of Object.entries(plain)) {
      if (!decrypted[name]) failures.push(`${alphabet}: the page wrote no ${name}`);
      else if (!decrypted[name].equals(Buffer.from(data))) failures.push(`${alphabet}: the page read tav's ${name} wrong`);
    }
  }
  assert.deepEqual(failures, []);
  await page.close();
});

// A file encrypted offline must match Node's result for the same passphrase.
test('after one visit the page loads and encrypts offline; from file:// it says why it cannot', { skip: missing }, async () => {
  const own = await serve(root); // closed before going offline, so nothing can come from it
  let page;
  try {
    page = await openPage({ url: `${own.url}/web/index.html` });
    await ready(page);
    await page.waitForFunction(() => navigator.serviceWorker.ready.then(() => true));
    const cached = await page.evaluate(async () => (await (await caches.open((await caches.keys())[0])).keys())
      .map((request) => new URL(request.url).pathname).sort());
    assert.deepEqual(cached, ['/js/dist/tavsdk-relaxed.wasm', '/js/dist/tavsdk.wasm', '/js/src/abi.js', '/js/src/index.js',
      '/js/src/module.js', '/web/app.js', '/web/icon.svg', '/web/index.html', '/web/manifest.webmanifest',
      '/web/style.css', '/web/worker.js']);
  } finally {
    await own.close();
  }
  await page.setOfflineMode(true);
  await page.reload();
  await ready(page);
  const data = bytes(300000, 9);
  const file = path.join(dir, 'offline.bin');
  fs.writeFileSync(file, data);
  await (await page.$('#files')).uploadFile(file);
  await start(page, 'encrypt');
  const outcome = await finished(page);
  assert.equal(outcome.kind, 'done', outcome.text);
  const keys = tav.Keys.fromPassphrase(secret, 'binary');
  same((await written(page))['offline.bin.tav'], tav.blockEncrypt(keys, data), 'encrypted offline');
  keys.free();
  await page.close();

  const local = await suite.browser.newPage();
  await local.goto(`file://${root}/web/index.html`);
  await local.waitForFunction(() => document.getElementById('status').className === 'error');
  assert.match(await local.$eval('#status', (s) => s.textContent), /opened as a file/);
  assert.deepEqual(await local.$$eval('button', (all) => all.map((b) => b.disabled)), [true, true, true]);
  await local.close();
});

test('no WCAG A/AA violations in either scheme in any state, the passphrase note shown; screenshots show the status', { skip: missing }, async () => {
  const axe = fs.readFileSync(path.join(root, 'js/node_modules/axe-core/axe.min.js'), 'utf8');
  const file = path.join(dir, 'state.bin');
  fs.writeFileSync(file, bytes(4 << 20, 3));
  const note = (page) => page.$eval('#length-note', (n) => n.textContent);
  const states = {
    ready: async (page) => {
      // Bytes count, as in tav, not characters: nine é are 18 bytes, ten 20.
      await page.type('#passphrase', 'é'.repeat(9));
      assert.equal(await note(page), '');
      await page.type('#passphrase', 'é');
      assert.match(await note(page), /first 18 bytes .*has 20\)/);
    },
    working: async (page) => {
      await (await page.$('#files')).uploadFile(file);
      await start(page, 'encrypt', { mode: 'expanded' });
      await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Working'));
    },
    done: async (page) => {
      await page.click('#cancel');
      await page.waitForFunction(() => !document.getElementById('decrypt').disabled);
      await (await page.$('#files')).uploadFile(path.join(root, 'web/icon.svg'));
      await start(page, 'decrypt');
      await finished(page);
    },
    error: async (page) => {
      await page.type('#passphrase2', 'x');
      await page.click('#encrypt');
      assert.equal(await page.$$eval('#list a', (links) => links.length), 0, 'an error takes the last result away');
    },
  };
  const problems = [];
  for (const scheme of ['light', 'dark']) {
    const page = await openPage({ pickers: false, bypass: true });
    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
    await ready(page);
    await page.addScriptTag({ content: axe });
    for (const [state, reach] of Object.entries(states)) {
      await reach(page);
      const found = await page.evaluate(async () => (await window.axe.run(document, {
        runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21aa', 'wcag22aa'] },
      })).violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`));
      problems.push(...found.map((v) => `${scheme} ${state}: ${v}`));
      for (const [width, height] of [[1280, 800], [390, 844]]) {
        await page.setViewport({ width, height });
        await page.evaluate(() => window.scrollTo(0, 0));
        const shot = path.join(shots, `tavsdk-page-${scheme}-${state}-${width}.png`);
        await page.screenshot({ path: shot });
        const box = await (await page.$('#status')).boundingBox();
        const seen = box && box.width > 0 && box.y >= 0 && box.y + box.height <= height;
        if (!seen) problems.push(`${scheme} ${state} ${width}: status out of view`);
        if (fs.statSync(shot).size < 8000) problems.push(`${scheme} ${state} ${width}: blank screenshot`);
      }
    }
    await page.close();
  }
  assert.deepEqual(problems, []);
});
