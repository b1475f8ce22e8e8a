// SPDX-License-Identifier: MIT
// Rates of the WebAssembly build in Node (both modules) and in headless
// Chromium beside the native library's portable path on one thread, in one
// run, with the ratios;
// module start-up, key derivation, and the page's memory while it streams a
// large file. Usage: node bench/bench.js [native build dir] [stream MiB]
// [another tavsdk.wasm, e.g. one built with TAVSDK_WASM_SIMD=OFF, for its
// rates in Node beside]
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

// Node 20 and 21 have relaxed SIMD behind a flag: the benchmark runs itself
// again with it, so that the rates of both modules are measured.
const { hasRelaxedSimd } = await import('../src/module.js');
const FLAG = '--experimental-wasm-relaxed-simd';
if (!hasRelaxedSimd() && !process.execArgv.includes(FLAG) && spawnSync(process.execPath, [FLAG, '-e', '0']).status === 0) {
  const again = spawnSync(process.execPath, [FLAG, ...process.execArgv, ...process.argv.slice(1)], { stdio: 'inherit' });
  process.exit(again.status ?? 1);
}

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const build = path.resolve(process.argv[2] ?? path.join(root, 'build'));
const streamMiB = Number(process.argv[3] ?? 1024);
const { launch, puppeteer, serve } = await import('../test/support-browser.js');

const cpu = execFileSync('lscpu').toString().match(/Model name:\s*(.*)/)?.[1] ?? os.cpus()[0].model;
console.log(`CPU: ${cpu}; Node ${process.version}`);

// Module ready: compiling and instantiating from the bytes on disk.
const { instantiate } = await import('../src/module.js');
const ready = [];
for (let i = 0; i < 5; ++i) {
  const start = performance.now();
  await instantiate();
  ready.push(performance.now() - start);
}
const { rates } = await import('./rates.js');

// The native portable path, one thread.
let native = null;
const library = path.join(build, 'libtavsdk.so');
if (fs.existsSync(library)) {
  const program = path.join(os.tmpdir(), `tavsdk-native-rate-${process.pid}`);
  execFileSync('cc', ['-O2', '-o', program, path.join(here, 'native_rate.c'), `-I${root}/include`, `-I${build}/include`,
    `-L${build}`, '-ltavsdk', `-Wl,-rpath,${build}`]);
  const [binary, text] = execFileSync(program, { env: { ...process.env, TAVSDK_CPU: 'portable', TAVSDK_THREADS: '1' } })
    .toString().trim().split(' ').map(Number);
  fs.rmSync(program);
  native = { binary, text };
}

// The module the loader picks, then the other one.
const tav = await import('../src/index.js');
const node = await rates();
const plainName = 'SIMD module (tavsdk.wasm)';
const relaxedName = 'relaxed SIMD module (tavsdk-relaxed.wasm)';
let plain = null;
if (hasRelaxedSimd()) {
  await tav.load(new Uint8Array(fs.readFileSync(path.join(here, '../dist/tavsdk.wasm'))));
  plain = await rates();
}
let other = null;
if (process.argv[4]) {
  await tav.load(new Uint8Array(fs.readFileSync(process.argv[4])));
  other = await rates();
}

// Chromium: the same rates in a page, and the page's streaming path.
let chrome = null;
let memory = null;
const puppet = await puppeteer();
if (puppet && fs.existsSync('/usr/bin/chromium')) {
  const server = await serve(root);
  const browser = await launch(puppet);
  const page = await browser.newPage();
  await page.goto(`${server.url}/js/bench/bench.html`);
  await page.waitForFunction(() => document.title === 'ready');
  chrome = await page.evaluate(() => window.rates());
  chrome.relaxed = await page.evaluate(async () => (await import('../src/module.js')).hasRelaxedSimd());
  await page.close();
  if (streamMiB > 0) memory = await streamInPage(browser, server.url, streamMiB);
  await browser.close();
  await server.close();
}

// Streams a file of `mib` MiB through the page to its private file system,
// sampling the resident memory of the browser's renderers.
async function streamInPage(browser, url, mib) {
  const file = path.join(os.tmpdir(), `tavsdk-stream-${process.pid}.bin`);
  const chunk = new Uint8Array(1 << 20).map((_, i) => (i * 131) & 0xff);
  const fd = fs.openSync(file, 'w');
  for (let i = 0; i < mib; ++i) fs.writeSync(fd, chunk);
  fs.closeSync(fd);
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(() => {
    window.showSaveFilePicker = async ({ suggestedName }) =>
      (await navigator.storage.getDirectory()).getFileHandle(suggestedName, { create: true });
  });
  await page.goto(`${url}/web/index.html`);
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Ready'));
  // This browser's renderers only: other browsers may run on the machine.
  const ours = browser.process().pid;
  const parent = (p) => {
    try {
      return Number(fs.readFileSync(`/proc/${p}/status`, 'utf8').match(/PPid:\s*(\d+)/)[1]);
    } catch {
      return 0;
    }
  };
  const descends = (p) => {
    for (let q = p; q > 1; q = parent(q)) if (q === ours) return true;
    return false;
  };
  const renderers = () => fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p)).filter((p) => {
    try {
      return fs.readFileSync(`/proc/${p}/cmdline`).includes('--type=renderer') && descends(Number(p));
    } catch {
      return false;
    }
  });
  const rss = () => renderers().reduce((sum, p) => {
    try {
      return sum + Number(fs.readFileSync(`/proc/${p}/status`, 'utf8').match(/VmRSS:\s*(\d+)/)[1]) * 1024;
    } catch {
      return sum;
    }
  }, 0);
  await (await page.$('#file')).uploadFile(file);
  await page.type('#passphrase', 'benchmark');
  const before = rss();
  let peak = before;
  const sampler = setInterval(() => { peak = Math.max(peak, rss()); }, 100);
  const start = performance.now();
  await page.click('#encrypt');
  await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('status').className),
    { timeout: 0, polling: 500 });
  const seconds = (performance.now() - start) / 1000;
  clearInterval(sampler);
  const status = await page.$eval('#status', (s) => s.textContent);
  await page.evaluate(async (name) => (await navigator.storage.getDirectory()).removeEntry(name), `${path.basename(file)}.tav`);
  await page.close();
  fs.rmSync(file);
  return { mib, seconds, growthMiB: (peak - before) / 2 ** 20, status };
}

const f = (x) => x.toFixed(1);
const ratio = (x, y) => (y ? ` (${(x / y).toFixed(2)} of native portable)` : '');
console.log(`native portable, 1 thread: binary ${native ? f(native.binary) : '-'} MB/s, text ${native ? f(native.text) : '-'} MB/s`);
const nodeName = `Node, ${hasRelaxedSimd() ? relaxedName : plainName}${process.execArgv.includes(FLAG) ? ` (${FLAG})` : ''}`;
for (const [name, r] of [[nodeName, node], [`Node, ${plainName}`, plain], [`Node, ${process.argv[4]}`, other],
  [`Chromium, ${chrome?.relaxed ? relaxedName : plainName}`, chrome]]) {
  if (!r) continue;
  console.log(`${name}: binary block ${f(r.binaryBlock)} MB/s${ratio(r.binaryBlock, native?.binary)}, ` +
    `text block ${f(r.textBlock)} MB/s${ratio(r.textBlock, native?.text)}`);
  console.log(`${name}: expanded encoding ${f(r.expandedEncodeOut)} MB/s of output, decoding ${f(r.expandedDecodeIn)} MB/s of input; ` +
    `keys from a passphrase ${r.keysMs.toFixed(2)} ms (median, warm)`);
}
ready.sort((a, b) => a - b);
console.log(`module ready in Node: first ${f(ready[0])} ms of 5 (median ${f(ready[2])} ms)`);
if (memory) {
  console.log(`page streaming ${memory.mib} MiB: ${f(memory.seconds)} s, renderer memory growth ${f(memory.growthMiB)} MiB (${memory.status})`);
}
