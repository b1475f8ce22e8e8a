// SPDX-License-Identifier: MIT
// The page in headless Chromium: many files through one worker against all
// the workers the machine offers, the two pages side by side and taking
// turns, so that a noisy machine slows both alike; then, with `memory`, one
// large file streamed to disk while the tab's memory is sampled.
//
//   node js/bench/page.js [files] [MiB each] [rounds]
//   node js/bench/page.js memory [MiB]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { root } from '../test/support.js';
import { launch, puppeteer, serve, stubPickers } from '../test/support-browser.js';

const cpu = fs.readFileSync('/proc/cpuinfo', 'utf8').match(/model name\s*:\s*(.*)/)?.[1] ?? os.cpus()[0]?.model;
const family = fs.readFileSync('/proc/cpuinfo', 'utf8').match(/cpu family\s*:\s*(\d+)[\s\S]*?model\s*:\s*(\d+)/);
console.log(`CPU: ${cpu}${family ? ` (family ${family[1]} model ${family[2]})` : ''}, ${os.cpus().length} logical CPUs`);

const puppet = await puppeteer();
if (!puppet) throw new Error('puppeteer-core is missing: npm ci in js/');
const browser = await launch(puppet);
const server = await serve(root);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tavsdk-page-bench-'));
const MiB = 1 << 20;

async function open(query, disk) {
  const page = await browser.newPage();
  await stubPickers(page, disk ? 'file' : 'none');
  await page.goto(`${server.url}/web/index.html${query}`);
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Ready'));
  await page.type('#passphrase', 'bench');
  await page.type('#passphrase2', 'bench');
  return page;
}

// CPU seconds the renderers have spent (the pages and their workers).
function rendererCpu() {
  let ticks = 0;
  for (const pid of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      if (!fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--type=renderer')) continue;
      const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
      ticks += Number(fields[11]) + Number(fields[12]);
    } catch {
      // gone meanwhile
    }
  }
  return ticks / 100;
}

const cpuShare = { one: [], all: [] };

// Seconds from the click to the end of the run.
async function timed(page, name) {
  const cpuBefore = rendererCpu();
  await page.bringToFront(); // a tab behind another draws nothing, and a click on it waits for a frame
  const started = Date.now();
  await page.click('#encrypt');
  await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('status').className),
    { timeout: 0, polling: 20 });
  const outcome = await page.$eval('#status', (s) => s.className);
  if (outcome !== 'done') throw new Error(await page.$eval('#status', (s) => s.textContent));
  const seconds = (Date.now() - started) / 1000;
  if (name) cpuShare[name].push((rendererCpu() - cpuBefore) / seconds);
  return seconds;
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function workers(count, each, rounds) {
  const files = [];
  for (let i = 0; i < count; ++i) {
    const file = path.join(dir, `f${i}.bin`);
    fs.writeFileSync(file, Buffer.alloc(each * MiB, i));
    files.push(file);
  }
  const one = await open('?workers=1', false);
  const all = await open('', false);
  const pool = await all.evaluate(() => navigator.hardwareConcurrency);
  for (const page of [one, all]) await (await page.$('#files')).uploadFile(...files);
  const times = { one: [], all: [] };
  await timed(one); // warm: the modules compiled, the files read once
  await timed(all);
  for (let round = 0; round < rounds; ++round) {
    const order = round % 2 ? [['all', all], ['one', one]] : [['one', one], ['all', all]];
    for (const [name, page] of order) times[name].push(await timed(page, name));
  }
  const total = count * each;
  const rate = (name) => total / median(times[name]);
  console.log(`${count} files of ${each} MiB, block mode into downloads, median of ${rounds} alternating rounds:`);
  console.log(`  1 worker:  ${rate('one').toFixed(1)} MiB/s (${times.one.map((t) => t.toFixed(2)).join(' ')} s)`);
  console.log(`  ${pool} workers: ${rate('all').toFixed(1)} MiB/s (${times.all.map((t) => t.toFixed(2)).join(' ')} s)`);
  console.log(`  ratio: ${(rate('all') / rate('one')).toFixed(2)}x`);
  // Below 2 with all workers: the machine's other load held them to less than a CPU each.
  console.log(`  CPUs the renderers kept busy: 1 worker ${median(cpuShare.one).toFixed(2)}, ${pool} workers ${median(cpuShare.all).toFixed(2)}`);
  console.log(`  load average at the end: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
}

// The renderer's resident memory (all of this browser's tabs: one here).
function rendererRss() {
  let kib = 0;
  for (const pid of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      if (!fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--type=renderer')) continue;
      kib += Number(fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s*(\d+)/)[1]);
    } catch {
      // gone meanwhile
    }
  }
  return kib / 1024;
}

async function memory(size) {
  const file = path.join(dir, 'large.bin');
  const handle = fs.openSync(file, 'w');
  const block = Buffer.alloc(64 * MiB, 0x61);
  for (let done = 0; done < size; done += 64) fs.writeSync(handle, block, 0, Math.min(64, size - done) * MiB);
  fs.closeSync(handle);
  const page = await open('', true);
  await (await page.$('#files')).uploadFile(file);
  const heaps = async () => {
    let used = (await page.metrics()).JSHeapUsedSize;
    for (const worker of page.workers()) {
      used += (await worker.client.send('Runtime.getHeapUsage').catch(() => ({ usedSize: 0 }))).usedSize;
    }
    return used / MiB;
  };
  const before = { heap: await heaps(), rss: rendererRss() };
  const peak = { ...before };
  let running = true;
  const sampler = (async () => {
    while (running) {
      peak.heap = Math.max(peak.heap, await heaps());
      peak.rss = Math.max(peak.rss, rendererRss());
      await new Promise((resolve) => setTimeout(resolve, 250));
    }
  })();
  const seconds = await timed(page);
  running = false;
  await sampler;
  const stored = await page.evaluate(async () => {
    const folder = await navigator.storage.getDirectory();
    const got = (await (await folder.getFileHandle('large.bin.tav')).getFile()).size;
    await folder.removeEntry('large.bin.tav');
    return got;
  });
  console.log(`${size} MiB streamed to disk (block mode) in ${seconds.toFixed(1)} s, ${(size / seconds).toFixed(0)} MiB/s; ${stored / MiB} MiB written`);
  console.log(`  JS heaps (page + workers): ${before.heap.toFixed(1)} MiB before, ${peak.heap.toFixed(1)} MiB at most`);
  console.log(`  renderer resident memory: ${before.rss.toFixed(0)} MiB before, ${peak.rss.toFixed(0)} MiB at most`);
}

try {
  if (process.argv[2] === 'memory') await memory(Number(process.argv[3] ?? 1024));
  else await workers(Number(process.argv[2] ?? 48), Number(process.argv[3] ?? 2), Number(process.argv[4] ?? 5));
} finally {
  await browser.close();
  await server.close();
  fs.rmSync(dir, { recursive: true, force: true });
}
