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
const declarations = fs.readFileSync(path.join(root, 'js/src/index.d.ts'), 'utf8');

// NAME: value pairs of a C enum (names without TAV_) or of a declared object.
function pairs(text, pattern) {
  return Object.fromEntries([...text.matchAll(pattern)].map(([, name, value]) => [name, Number(value)]));
}

function enumeration(name) {
  return pairs(header.match(new RegExp(`typedef enum ${name} \\{([^}]*)\\}`))[1], /\bTAV_(\w+) = (\d+)/g);
}

test('statuses, alphabets and defines are those of tavsdk.h', () => {
  const defines = pairs(header, /^#define TAV_(\w+) +(0x[0-9a-fA-F]+|\d+)u?\b/gm);
  assert.deepEqual({ ...Status }, enumeration('tav_status'));
  assert.deepEqual(pairs(declarations.match(/const Status: Readonly<\{([^}]*)\}>/)[1], /(\w+): (\d+);/g), { ...Status });
  assert.deepEqual({ TEXT: ALPHABETS.text, BINARY: ALPHABETS.binary }, enumeration('tav_alphabet'));
  for (const [name, value] of Object.entries(DEFINES)) assert.equal(value, defines[name], `TAV_${name}`);
});

test('sizes and offsets are those the module was compiled with', async () => {
  const chosen = process.env.TAVSDK_TEST_MODULE;
  const wasm = await instantiate(chosen && new Uint8Array(fs.readFileSync(chosen)));
  const words = new DataView(wasm.memory.buffer);
  const bytes = new Uint8Array(wasm.memory.buffer);
  const found = {};
  // Entries of a name pointer and a 32-bit value, to one with a null name.
  for (let at = wasm.tavjs_layout(); words.getUint32(at, true) !== 0; at += 8) {
    const name = words.getUint32(at, true);
    found[new TextDecoder().decode(bytes.subarray(name, bytes.indexOf(0, name)))] = words.getUint32(at + 4, true);
  }
  assert.deepEqual({ ...LAYOUT }, found);
});
