// SPDX-License-Identifier: MIT
// The WebAssembly package of an earlier release beside this one, in one Node,
// alternating, best of N: block mode on 16 MiB and in 64-byte calls, the
// expanded coders, key sets. bench/compare.sh runs it with COMPARE_WASM=1.
//   node js/bench/compare.js OLD_ROOT NEW_ROOT [repetitions]
// Each root is a source tree whose js/dist holds its built modules.
import { hasRelaxedSimd } from '../src/module.js';

const [oldRoot, newRoot, reps = '5'] = process.argv.slice(2);
if (!oldRoot || !newRoot) throw new Error('usage: node js/bench/compare.js OLD_ROOT NEW_ROOT [repetitions]');
const libs = [await import(`${oldRoot}/js/src/index.js`), await import(`${newRoot}/js/src/index.js`)];
const MiB = 1 << 20;
console.log(`WebAssembly, Node ${process.version}, ${hasRelaxedSimd() ? 'relaxed SIMD module' : 'SIMD module'}; best of ${reps}`);

// Milliseconds of the fastest of `reps` runs of f, the two builds in turn.
function best(fs) {
  const times = fs.map(() => Infinity);
  for (let r = 0; r < Number(reps); ++r) {
    fs.forEach((f, i) => {
      const t = performance.now();
      f();
      times[i] = Math.min(times[i], performance.now() - t);
    });
  }
  return times;
}

for (const alphabet of ['text', 'binary']) {
  const keys = libs.map((l) => l.Keys.fromPassphrase('compare', alphabet));
  const big = new Uint8Array(16 * MiB).map((_, i) => ((i * 7) & 0x5f) + 0x20);
  const small = big.subarray(0, 64);
  const plain = big.subarray(0, MiB / 4);
  const encoded = libs.map((l, i) => l.expandedEncode(keys[i], plain));
  const rows = [
    ['block 16 MiB', 'MiB/s', (t) => 16000 / t, libs.map((l, i) => () => l.blockEncrypt(keys[i], big, 0))],
    ['64-byte calls', 'ns', (t) => t * 100, libs.map((l, i) => () => { for (let j = 0; j < 10000; ++j) l.blockEncrypt(keys[i], small, 0); })],
    ['expand', 'MiB/s', (t) => encoded[0].length / MiB / t * 1000, libs.map((l, i) => () => l.expandedEncode(keys[i], plain))],
    ['unexpand', 'MiB/s', (t) => encoded[0].length / MiB / t * 1000, libs.map((l, i) => () => l.expandedDecode(keys[i], encoded[i]))],
    ['key set', 'us', (t) => t * 50, libs.map((l) => () => { for (let j = 0; j < 20; ++j) l.Keys.fromPassphrase(`compare${j}`, alphabet).free(); })],
  ];
  for (const [name, unit, value, fs] of rows) {
    const [o, n] = best(fs).map(value);
    const gain = unit === 'MiB/s' ? n / o : o / n; // above 1: the new build is faster
    console.log(`${alphabet.padEnd(7)} ${name.padEnd(14)} old ${o.toFixed(1).padStart(8)} ${unit.padEnd(5)} new ${n.toFixed(1).padStart(8)} ${unit.padEnd(5)} gain ${gain.toFixed(2)}`);
  }
  for (const k of keys) k.free();
}
