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

function refused(fn, status, what) {
  assert.throws(fn, (e) => e instanceof tav.TavError && e.status === status && e.message.startsWith(tav.strerror(status)), what);
}

test('refusals, as the library makes them', () => {
  const freed = tav.Keys.fromPassphrase('x');
  freed.free();
  freed.free();
  const damaged = binary.exportFiles();
  damaged['k1.bin'] = damaged['k1.bin'].slice();
  damaged['k1.bin'][1] = damaged['k1.bin'][0];  // no longer a permutation
  const cases = [
    [() => tav.Keys.fromPassphrase(''), tav.Status.BAD_ARGUMENT, 'empty passphrase'],
    [() => tav.Keys.fromPassphrase(new Uint8Array([65, 0, 66])), tav.Status.BAD_ARGUMENT, 'NUL in the passphrase'],
    [() => tav.Keys.fromPassphrase('x', 'latin'), tav.Status.BAD_ARGUMENT, 'unknown alphabet'],
    [() => tav.Keys.fromPassphrase(42), tav.Status.BAD_ARGUMENT, 'passphrase neither string nor bytes'],
    [() => new tav.Keys(), tav.Status.BAD_ARGUMENT, 'constructor'],
    [() => tav.Keys.fromFiles({}, 'binary'), tav.Status.NO_KEYS, 'no k1'],
    [() => tav.Keys.fromFiles(damaged, 'binary'), tav.Status.NO_KEYS, 'damaged k1'],
    [() => tav.Keys.fromFiles(binary.exportFiles(), 'text'), tav.Status.NO_KEYS, 'files of the other alphabet'],
    [() => tav.blockEncrypt(freed, new Uint8Array(1)), tav.Status.BAD_ARGUMENT, 'freed keys'],
    [() => tav.blockEncrypt({}, new Uint8Array(1)), tav.Status.BAD_ARGUMENT, 'no key set'],
    [() => tav.blockEncrypt(binary, 'text'), tav.Status.BAD_ARGUMENT, 'data not bytes'],
    [() => tav.blockEncrypt(binary, new Uint8Array(1), -1), tav.Status.BAD_ARGUMENT, 'negative offset'],
    [() => tav.blockEncrypt(binary, new Uint8Array(1), 0.5), tav.Status.BAD_ARGUMENT, 'fractional offset'],
    [() => tav.blockEncrypt(binary, new Uint8Array(1), 2 ** 64), tav.Status.BAD_ARGUMENT, 'unsafe offset'],
    [() => tav.blockEncrypt(binary, new Uint8Array(2), (1n << 64n) - 1n), tav.Status.BAD_ARGUMENT, 'past 2^64'],
    [() => tav.expandedSize(noPad, 1), tav.Status.NO_KEYS, 'size without k5'],
    [() => new tav.Encoder(noPad), tav.Status.NO_KEYS, 'encoder without k5'],
    [() => tav.expandedDecode(noPad, new Uint8Array(1)), tav.Status.NO_KEYS, 'decoder without k5'],
    [() => tav.expandedSize(binary, 1n << 64n), tav.Status.BAD_ARGUMENT, 'size of 2^64'],
    [() => tav.expandedSize(binary, (1n << 64n) - 1n), tav.Status.BAD_ARGUMENT, 'expanded size past 2^64'],
  ];
  for (const [fn, status, what] of cases) refused(fn, status, what);
  assert.equal(tav.strerror(12345), 'unknown status');
  assert.equal(text.alphabet, 'text');
  assert.equal(binary.alphabet, 'binary');
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
  refused(() => encoder.update(new Uint8Array(1)), tav.Status.BAD_ARGUMENT, 'encoder');
  refused(() => decoder.update(new Uint8Array(1)), tav.Status.BAD_ARGUMENT, 'decoder');
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
