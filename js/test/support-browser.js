// SPDX-License-Identifier: MIT
// A static file server on 127.0.0.1 and headless Chromium, for the browser
// tests and the benchmark; what the files of browser tests share.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

import * as tav from '../src/index.js';
import { root } from './support.js';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.json': 'application/json',
  '.webmanifest': 'application/manifest+json',
  '.svg': 'image/svg+xml',
};

export const chromium = process.env.TAVSDK_CHROMIUM ?? '/usr/bin/chromium';

// Serves `folder` read-only; resolves to { url, close }.
export function serve(folder) {
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    const file = path.join(folder, path.normalize(name).replace(/^(\.\.[/\\])+/, ''));
    if (!file.startsWith(folder) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      resolve({ url: `http://127.0.0.1:${server.address().port}`, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

// puppeteer-core, when the development dependencies are installed.
export async function puppeteer() {
  try {
    return (await import('puppeteer-core')).default;
  } catch {
    return null;
  }
}

export async function launch(puppet) {
  return puppet.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
}

// A file of browser tests: the browser and a server of the source tree
// (started before its tests, stopped after), a scratch folder, and
// `missing`, why the tests skip where there is no browser. `hooks` are
// node:test's before and after.
export async function browserSuite(prefix, { before, after }) {
  const puppet = await puppeteer();
  const suite = {
    missing: !fs.existsSync(chromium) ? `no browser at ${chromium}` : !puppet && 'puppeteer-core not installed (npm ci)',
    dir: fs.mkdtempSync(path.join(os.tmpdir(), prefix)),
    browser: null,
    server: null,
  };
  before(async () => {
    if (suite.missing) return;
    suite.browser = await launch(puppet);
    suite.server = await serve(root);
  });
  after(async () => {
    await suite.browser?.close();
    await suite.server?.close();
    fs.rmSync(suite.dir, { recursive: true, force: true });
  });
  return suite;
}

// (verb, alphabet, mode, from, to) through tav where it is built, the package
// in Node otherwise, with `secret` as the passphrase (its file in `dir`);
// with no `mode`, decryption takes it from the suffix, as tav does.
export function nativeTool(secret, dir) {
  const tool = path.join(process.env.TAVSDK_NATIVE_BUILD ?? path.join(root, 'build'), 'tools/tav/tav');
  return (verb, alphabet, mode, from, to) => {
    if (!fs.existsSync(tool)) {
      const keys = tav.Keys.fromPassphrase(secret, alphabet);
      const expanded = (mode ?? (from.endsWith('.tavx') ? 'expanded' : 'block')) === 'expanded';
      const fn = { encrypt: [tav.blockEncrypt, tav.expandedEncode], decrypt: [tav.blockDecrypt, tav.expandedDecode] };
      fs.writeFileSync(to, fn[verb][expanded ? 1 : 0](keys, fs.readFileSync(from)));
      keys.free();
      return;
    }
    fs.writeFileSync(path.join(dir, 'passphrase'), `${secret}\n`, { mode: 0o600 });
    execFileSync(tool, [verb, `--${alphabet}`, ...(mode ? [`--${mode}`] : []), '-q', '-f',
      '--passphrase-file', path.join(dir, 'passphrase'), '-o', to, from]);
  };
}

// Before the page loads: the File System Access pickers taken away, so that
// results become downloads ('none'); a save picker only, into the origin's
// private file system ('file'); or both, into its folder `out` ('folder').
export function stubPickers(page, kind) {
  return page.evaluateOnNewDocument((which) => {
    if (which !== 'folder') delete window.showDirectoryPicker;
    if (which === 'none') {
      delete window.showSaveFilePicker;
      return;
    }
    const out = async () => {
      const origin = await navigator.storage.getDirectory();
      return which === 'folder' ? origin.getDirectoryHandle('out', { create: true }) : origin;
    };
    if (which === 'folder') window.showDirectoryPicker = out;
    window.showSaveFilePicker = async ({ suggestedName }) => (await out()).getFileHandle(suggestedName, { create: true });
  }, kind);
}
