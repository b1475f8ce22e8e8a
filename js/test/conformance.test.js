// SPDX-License-Identifier: MIT
// Every file of the conformance data, byte for byte.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import * as tav from '../src/index.js';
import { cuts, list, passphrase, read, vectors } from './support.js';
import fs from 'node:fs';
import path from 'node:path';

const keysOf = new Map();
function keys(set, alphabet) {
  const name = `${set}/${alphabet}`;
  if (!keysOf.has(name)) keysOf.set(name, tav.Keys.fromPassphrase(passphrase(set), alphabet));
  return keysOf.get(name);
}

test('key files of every key set and alphabet, and key sets from them', () => {
  for (const set of list('keys')) {
    for (const alphabet of ['text', 'binary']) {
      const files = keys(set, alphabet).exportFiles();
      const folder = path.join(vectors, 'keys', set, alphabet);
      const names = fs.readdirSync(folder).filter((n) => /^k[1-6]\./.test(n)).sort();
      assert.deepEqual(Object.keys(files).sort(), names, `${set} ${alphabet}`);
      for (const name of names) assert.deepEqual(files[name], read('keys', set, alphabet, name), `${set} ${alphabet} ${name}`);
      // With the generation's schedule the files give the same cipher.
      const loaded = tav.Keys.fromFiles(files, alphabet, keys(set, alphabet));
      const sample = read('files', list('files').find((n) => n.endsWith('.plain')));
      assert.deepEqual(tav.blockEncrypt(loaded, sample), tav.blockEncrypt(keys(set, alphabet), sample));
      loaded.free();
    }
  }
});

test('block files, whole and cut into chunks at their offsets', () => {
  for (const name of list('files').filter((n) => n.endsWith('.plain'))) {
    const [set, alphabet] = name.split('-');
    const plain = read('files', name);
    const cipher = read('files', name.replace(/\.plain$/, '.cipher'));
    const k = keys(set, alphabet);
    assert.deepEqual(tav.blockEncrypt(k, plain), cipher, name);
    assert.deepEqual(tav.blockDecrypt(k, cipher), plain, name);
    let at = 0;
    for (const piece of cuts(cipher, 3, plain.length + 7)) {
      assert.deepEqual(tav.blockDecrypt(k, piece, at), plain.subarray(at, at + piece.length), `${name} at ${at}`);
      at += piece.length;
    }
  }
});

test('strings', () => {
  const rows = fs.readFileSync(path.join(vectors, 'strings.tsv'), 'utf8').trim().split('\n').slice(1);
  for (const row of rows) {
    const [alphabet, set, plainHex, cipherHex] = row.split('\t');
    const plain = Uint8Array.from(Buffer.from(plainHex, 'hex'));
    assert.equal(Buffer.from(tav.blockEncrypt(keys(set, alphabet), plain)).toString('hex'), cipherHex, row);
  }
});

test('expanded files decode whole and in chunks cut anywhere', async () => {
  for (const name of list('expanded').filter((n) => n.endsWith('.expanded'))) {
    const [set, alphabet] = name.replace(/\.expanded$/, '').split('-');
    const expanded = read('expanded', name);
    const plain = read('expanded', name.replace(/\.expanded$/, '.plain'));
    const k = keys(set, alphabet);
    assert.deepEqual(tav.expandedDecode(k, expanded), plain, name);
    assert.equal(tav.expandedSize(k, plain.length), BigInt(expanded.length), name);
    const decoder = new tav.Decoder(k);
    const parts = cuts(expanded, 40, expanded.length).map((p) => decoder.update(p));
    decoder.free();
    assert.deepEqual(Buffer.concat(parts), Buffer.from(plain), `${name} in chunks`);
  }
});

test('pad tables, as the sizes of expanded messages', () => {
  const wheels = keys('hello', 'binary').exportFiles()['k1.bin'];
  for (const name of list('padtables').filter((n) => n.endsWith('.fields'))) {
    const table = fs.readFileSync(path.join(vectors, 'padtables', name.replace(/\.fields$/, '.table')), 'utf8')
      .trim().split('\n').map(Number);
    const k = tav.Keys.fromFiles({ 'k1.bin': wheels, 'k5.bin': read('padtables', name) }, 'binary');
    let bytes = 0n;
    table.forEach((entry, i) => {
      bytes += BigInt(1 + entry);
      if (i % 997 === 0 || i === table.length - 1) assert.equal(tav.expandedSize(k, i + 1), bytes, `${name} ${i + 1}`);
    });
    // A second round repeats the first.
    assert.equal(tav.expandedSize(k, 2 * table.length + 1), 2n * bytes + BigInt(1 + table[0]), name);
    k.free();
  }
});
