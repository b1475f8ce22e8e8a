// SPDX-License-Identifier: MIT
// The package's interface: refusals, offsets, chunkings, and streams against
// the one-shot calls.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import * as tav from '../src/index.js';
import { hasRelaxedSimd } from '../src/module.js';
import { bytes, concat, cuts, passphrase, same, through } from './support.js';

const binary = tav.Keys.fromPassphrase(passphrase('hello'), 'binary');
const text = tav.Keys.fromPassphrase('Hello', 'text');
const noPad = tav.Keys.fromFiles({ 'k1.bin': binary.exportFiles()['k1.bin'] }, 'binary');

// What fn threw: its class (TypeError for the argument's type, RangeError
// for its value, TavError for the library's refusals), status and message,
// which starts with what went wrong.
function thrown(fn) {
  try {
    fn();
  } catch (e) {
    return `${e.constructor.name}${e.status === undefined ? '' : ` ${e.status}`}: ${e.message}`;
  }
  return 'nothing';
}

test('errors, by cause, say what went wrong first', async () => {
  const freed = tav.Keys.fromPassphrase('x');
  freed.free();
  freed.free();
  const damaged = binary.exportFiles();
  damaged['k1.bin'] = damaged['k1.bin'].slice();
  damaged['k1.bin'][1] = damaged['k1.bin'][0];  // no longer a permutation
  const one = new Uint8Array(1);
  const cases = [
    [() => tav.Keys.fromPassphrase(''), 'TavError 7: the passphrase is empty'],
    [() => tav.Keys.fromPassphrase(new Uint8Array([65, 0, 66])), 'TavError 7: the passphrase holds a 0 byte'],
    [() => tav.Keys.fromPassphrase('x', 'latin'), 'RangeError: unknown alphabet latin'],
    [() => tav.Keys.fromPassphrase('x', 2), 'TypeError: alphabet is a number'],
    [() => tav.Keys.fromPassphrase(42), 'TypeError: passphrase is a number'],
    [() => new tav.Keys(), 'TypeError: Keys are made by Keys.fromPassphrase'],
    [() => tav.Keys.fromFiles(null), 'TypeError: files is null'],
    [() => tav.Keys.fromFiles({ 'k1.bin': 'abc' }), 'TypeError: k1.bin is a string'],
    [() => tav.Keys.fromFiles(damaged, 'binary', {}), 'TypeError: master is an object, not a Keys'],
    [() => tav.Keys.fromFiles({}, 'binary'), 'TavError 1: no usable binary keys'],
    [() => tav.Keys.fromFiles(damaged, 'binary'), 'TavError 1: no usable binary keys'],
    [() => tav.Keys.fromFiles(binary.exportFiles(), 'text'), 'TavError 1: no usable text keys'],
    [() => tav.blockEncrypt(freed, one), 'TavError 7: the key set was freed'],
    [() => tav.blockEncrypt({}, one), 'TypeError: keys is an object, not a Keys'],
    [() => tav.blockEncrypt(binary, 'text'), 'TypeError: data is a string, not bytes'],
    [() => tav.blockEncrypt(binary, one, '1'), 'TypeError: offset is a string'],
    [() => tav.blockEncrypt(binary, one, -1), 'RangeError: offset -1 is negative'],
    [() => tav.blockEncrypt(binary, one, -1n), 'RangeError: offset -1 is negative'],
    [() => tav.blockEncrypt(binary, one, 0.5), 'RangeError: offset 0.5 is not a whole number'],
    [() => tav.blockEncrypt(binary, one, 2 ** 64), 'RangeError: offset 18446744073709552000 is past 2^53 - 1'],
    [() => tav.blockEncrypt(binary, new Uint8Array(2), (1n << 64n) - 1n),
      'RangeError: offset 18446744073709551615 plus 2 bytes passes 2^64'],
    [() => tav.expandedSize(noPad, 1), 'TavError 1: the key set has no k5 pad table'],
    [() => new tav.Encoder(noPad), 'TavError 1: the key set has no k5 pad table'],
    [() => tav.expandedDecode(noPad, one), 'TavError 1: the key set has no k5 pad table'],
    [() => tav.expandedSize(binary, 1n << 64n), 'RangeError: length 18446744073709551616 is past 2^64 - 1'],
    [() => tav.expandedSize(binary, (1n << 64n) - 1n), 'RangeError: the expanded size of 18446744073709551615 bytes passes 2^64'],
  ];
  assert.deepEqual(cases.map(([fn, want]) => [want, thrown(fn)]).filter(([want, got]) => !got.startsWith(want)), []);
  await assert.rejects(through(tav.expandedEncodeStream(binary), ['abc']), /^TypeError: chunk is a string/);
  assert.ok(new tav.TavError(1) instanceof Error);
  assert.equal(new tav.TavError(1).message, tav.strerror(1));
  assert.equal(tav.strerror(12345), 'unknown status');
  assert.equal(text.alphabet, 'text');
  assert.equal(binary.alphabet, 'binary');
});

// Only the first 18 bytes count: each key set made from a longer passphrase
// warns once (process.emitWarning, or console.warn where there is no Node)
// and says so.
test('a passphrase past 18 bytes warns once per key set and is flagged', () => {
  const seen = [];
  const saved = [process.emitWarning, console.warn];
  process.emitWarning = (message, options) => seen.push(`${options?.code}: ${message}`);
  console.warn = (message) => seen.push(`console: ${message}`);
  try {
    const cases = [  // passphrase, its length if it warns, where it warns
      ['x'.repeat(18), 0, 'TAV_PASSPHRASE_TRUNCATED: '],
      ['é'.repeat(9), 0, 'TAV_PASSPHRASE_TRUNCATED: '],  // 18 bytes in UTF-8
      ['é'.repeat(9) + 'x', 19, 'TAV_PASSPHRASE_TRUNCATED: '],
      ['x'.repeat(19), 19, 'TAV_PASSPHRASE_TRUNCATED: '],
      ['x'.repeat(19), 19, 'TAV_PASSPHRASE_TRUNCATED: '],  // a new set warns again
      [new Uint8Array(40).fill(65), 40, 'console: tavsdk: '],
    ];
    for (const [passphrase, bytes, where] of cases) {
      if (where.startsWith('console')) process.emitWarning = undefined;
      seen.length = 0;
      const keys = tav.Keys.fromPassphrase(passphrase, 'text');
      tav.blockEncrypt(keys, new Uint8Array(4));
      keys.free();
      assert.deepEqual([keys.passphraseTruncated, ...seen], [bytes > 0,
        ...(bytes ? [`${where}the passphrase is ${bytes} bytes long; only its first 18 bytes count`] : [])]);
    }
  } finally {
    [process.emitWarning, console.warn] = saved;
  }
  assert.equal(noPad.passphraseTruncated, false);
});

test('the loader takes the relaxed module exactly where this engine accepts it', () => {
  const relaxed = fs.readFileSync(new URL('../dist/tavsdk-relaxed.wasm', import.meta.url));
  assert.equal(hasRelaxedSimd(), WebAssembly.validate(relaxed));
});

test('a freed key set frees its encoders and decoders', () => {
  const keys = tav.Keys.fromPassphrase('Hello');
  const encoder = new tav.Encoder(keys);
  const decoder = new tav.Decoder(keys);
  keys.free();
  assert.match(thrown(() => encoder.update(new Uint8Array(1))), /^TavError 7: the encoder was freed/);
  assert.match(thrown(() => decoder.update(new Uint8Array(1))), /^TavError 7: the decoder was freed/);
});

test('block mode at any offset equals the same bytes of the whole message', () => {
  const data = bytes(3 << 20, 7);  // past the 1 MiB pieces
  for (const keys of [binary, text]) {
    const whole = tav.blockEncrypt(keys, data);
    for (const [at, n] of [[0, 0], [1, 1], [4095, 70000], [(1 << 20) - 3, 5], [(3 << 20) - 100, 100]]) {
      for (const offset of [at, BigInt(at)]) {
        same(tav.blockEncrypt(keys, data.subarray(at, at + n), offset), whole.subarray(at, at + n));
        same(tav.blockDecrypt(keys, whole.subarray(at, at + n), offset), data.subarray(at, at + n));
      }
      // In place: the same bytes, in the caller's buffer, whatever its view.
      const copy = new DataView(data.slice(at, at + n).buffer);
      const inPlace = tav.blockEncryptInPlace(keys, copy, at);
      assert.equal(inPlace.buffer, copy.buffer);
      same(inPlace, whole.subarray(at, at + n));
      same(tav.blockDecryptInPlace(keys, inPlace, BigInt(at)), data.subarray(at, at + n));
    }
    // Far offsets: the number and the bigint agree, and round trip.
    const far = 2 ** 53 - 10;
    const piece = tav.blockEncrypt(keys, data.subarray(0, 64), far);
    same(tav.blockEncrypt(keys, data.subarray(0, 64), BigInt(far)), piece);
    const top = (1n << 64n) - 64n;
    same(tav.blockDecrypt(keys, tav.blockEncrypt(keys, data.subarray(0, 64), top), top), data.subarray(0, 64));
  }
});

test('chunks and streams give what the one-shot calls give', async () => {
  const data = bytes(300000, 11);
  for (const keys of [binary, text]) {
    const cipher = tav.blockEncrypt(keys, data);
    const chunks = cuts(data, 20, 3);
    same(await through(tav.blockEncryptStream(keys), chunks), cipher);
    same(await through(tav.blockDecryptStream(keys), cuts(cipher, 20, 4)), data);
    same(await through(tav.blockEncryptStream(keys, { offset: 1000n }), [data.subarray(1000)]),
      cipher.subarray(1000));
    // Expanded: encoder chunks of any size make one message of the exact size.
    const encoder = new tav.Encoder(keys);
    const expanded = concat(chunks.map((c) => encoder.update(c)));
    encoder.free();
    assert.equal(BigInt(expanded.length), tav.expandedSize(keys, data.length));
    same(tav.expandedDecode(keys, expanded), data);
    same(await through(tav.expandedDecodeStream(keys), cuts(expanded, 50, 5)), data);
    const streamed = await through(tav.expandedEncodeStream(keys), chunks);
    assert.equal(streamed.length, expanded.length);
    same(tav.expandedDecode(keys, streamed), data);
  }
});
