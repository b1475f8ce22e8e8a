// SPDX-License-Identifier: MIT
// The package's copies of the C library's values (src/abi.js, index.d.ts)
// against include/tavsdk.h, and its layouts against the module's own.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { ALPHABETS, DEFINES, LAYOUT, Status } from '../src/abi.js';
import { instantiate } from '../src/module.js';
import { root } from './support.js';

const header = fs.readFileSync(path.join(root, 'include/tavsdk.h'), 'utf8');

// NAME: value pairs that `pattern` finds in `text`.
const pairs = (text, pattern) => Object.fromEntries([...text.matchAll(pattern)].map(([, n, v]) => [n, Number(v)]));
const enumeration = (name) => pairs(header.match(new RegExp(`enum ${name} \\{([^}]*)\\}`))[1], /\bTAV_(\w+) = (\d+)/g);

test('statuses, alphabets and defines are those of tavsdk.h', () => {
  const declared = fs.readFileSync(path.join(root, 'js/src/index.d.ts'), 'utf8').match(/Status: Readonly<\{([^}]*)\}>/)[1];
  const defines = pairs(header, /^#define TAV_(\w+) +(0x[0-9a-fA-F]+|\d+)u?\b/gm);
  assert.deepEqual({ ...Status }, enumeration('tav_status'));
  assert.deepEqual(pairs(declared, /(\w+): (\d+);/g), { ...Status });
  assert.deepEqual({ TEXT: ALPHABETS.text, BINARY: ALPHABETS.binary }, enumeration('tav_alphabet'));
  for (const [name, value] of Object.entries(DEFINES)) assert.equal(value, defines[name], `TAV_${name}`);
});

test('sizes and offsets are those the module was compiled with', async () => {
  const chosen = process.env.TAVSDK_TEST_MODULE;
  const wasm = await instantiate(chosen && new Uint8Array(fs.readFileSync(chosen)));
  const [words, bytes] = [new DataView(wasm.memory.buffer), new Uint8Array(wasm.memory.buffer)];
  const found = {};
  // Entries of a name pointer and a 32-bit value, to one with a null name.
  for (let at = wasm.tavjs_layout(), name; (name = words.getUint32(at, true)) !== 0; at += 8) {
    found[new TextDecoder().decode(bytes.subarray(name, bytes.indexOf(0, name)))] = words.getUint32(at + 4, true);
  }
  assert.deepEqual({ ...LAYOUT }, found);
});
