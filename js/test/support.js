// SPDX-License-Identifier: MIT
// Shared by the tests: the conformance data, reproducible bytes and cuts.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const vectors = path.join(root, 'tests/data/vectors');

// TAVSDK_TEST_MODULE names the module under test in place of the one the
// loader picks for this engine (tests/check_js.sh runs the tests with each).
if (process.env.TAVSDK_TEST_MODULE) {
  const tav = await import('../src/index.js');
  await tav.load(new Uint8Array(fs.readFileSync(process.env.TAVSDK_TEST_MODULE)));
}

export function read(...parts) {
  return new Uint8Array(fs.readFileSync(path.join(vectors, ...parts)));
}

export function list(folder) {
  return fs.readdirSync(path.join(vectors, folder)).sort();
}

export function passphrase(set) {
  return read('keys', set, 'passphrase');
}

// xorshift32: the same bytes and cuts at every run.
export function random(seed) {
  let x = seed >>> 0 || 1;
  return () => {
    x ^= x << 13;
    x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5;
    x >>>= 0;
    return x;
  };
}

export function bytes(n, seed) {
  const next = random(seed);
  const out = new Uint8Array(n);
  for (let i = 0; i < n; ++i) out[i] = next() & 0xff;
  return out;
}

// `data` cut at `count` places chosen by `seed` (empty pieces included).
export function cuts(data, count, seed) {
  const next = random(seed);
  const at = Array.from({ length: count }, () => next() % (data.length + 1)).sort((a, b) => a - b);
  return [0, ...at, data.length].slice(1).map((end, i, ends) => data.subarray(i === 0 ? 0 : ends[i - 1], end));
}

export function concat(parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}

export async function through(stream, parts) {
  const source = new ReadableStream({
    start(controller) {
      for (const p of parts) controller.enqueue(p);
      controller.close();
    },
  });
  const out = [];
  for await (const chunk of source.pipeThrough(stream)) out.push(chunk);
  return concat(out);
}

// Byte arrays equal, or a failure naming the first difference (a diff of
// megabytes would take longer than the test).
export function same(actual, expected, what = 'bytes') {
  const a = Buffer.from(actual.buffer, actual.byteOffset, actual.byteLength);
  const b = Buffer.from(expected.buffer, expected.byteOffset, expected.byteLength);
  if (a.equals(b)) return;
  let at = 0;
  while (at < a.length && at < b.length && a[at] === b[at]) ++at;
  throw new Error(`${what}: ${a.length} bytes against ${b.length}, first difference at byte ${at}`);
}
