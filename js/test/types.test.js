// SPDX-License-Identifier: MIT
// The declarations pass tsc --strict, with a typed caller's code.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { root } from './support.js';

const tsc = path.join(root, 'js/node_modules/.bin/tsc');

test('index.d.ts under tsc --strict', { skip: !fs.existsSync(tsc) && 'typescript not installed (npm ci)' }, () => {
  execFileSync(tsc, ['--strict', '--noEmit', '--module', 'nodenext', '--target', 'es2022', '--lib', 'es2022,dom',
    '--types', '', 'test/types/usage.ts'], { cwd: path.join(root, 'js'), stdio: 'inherit' });
});
