// SPDX-License-Identifier: MIT
// Against the native library, through its tav tool, when a native build is
// there (TAVSDK_NATIVE_BUILD names its directory; build/ by default).

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import * as tav from '../src/index.js';
import { bytes, root, same } from './support.js';

const tool = path.join(process.env.TAVSDK_NATIVE_BUILD ?? path.join(root, 'build'), 'tools/tav/tav');
const present = fs.existsSync(tool);

test('16 MiB against the native library, expanded output cross-decoded both ways', { skip: !present && `no ${tool}` }, () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tavsdk-js-'));
  try {
    const secret = path.join(dir, 'passphrase');
    fs.writeFileSync(secret, 'native and wasm\n', { mode: 0o600 });
    const run = (verb, alphabet, expanded, from, to) =>
      execFileSync(tool, [verb, `--${alphabet}`, ...(expanded ? ['--expanded'] : []), '-q', '--passphrase-file', secret,
        '-o', path.join(dir, to), path.join(dir, from)]);
    const file = (name) => new Uint8Array(fs.readFileSync(path.join(dir, name)));
    for (const [alphabet, size] of [['binary', 16 << 20], ['text', 1 << 20]]) {
      const keys = tav.Keys.fromPassphrase('native and wasm', alphabet);
      const data = bytes(size, size + 1);
      fs.writeFileSync(path.join(dir, 'plain'), data);
      run('encrypt', alphabet, false, 'plain', `${alphabet}.block`);
      same(tav.blockEncrypt(keys, data), file(`${alphabet}.block`), `${alphabet} block`);
      // Expanded: native to wasm on the first MiB, wasm to native.
      const some = data.subarray(0, 1 << 20);
      fs.writeFileSync(path.join(dir, 'some'), some);
      run('encrypt', alphabet, true, 'some', `${alphabet}.native`);
      same(tav.expandedDecode(keys, file(`${alphabet}.native`)), some, `${alphabet} native to wasm`);
      fs.writeFileSync(path.join(dir, `${alphabet}.wasm`), tav.expandedEncode(keys, some));
      run('decrypt', alphabet, true, `${alphabet}.wasm`, `${alphabet}.back`);
      same(file(`${alphabet}.back`), some, `${alphabet} wasm to native`);
      keys.free();
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
