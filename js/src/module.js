// SPDX-License-Identifier: MIT
// Loads tavsdk.wasm: its bytes are read here (fetch in browsers, the file
// system in Node) and handed to WebAssembly, so that one module serves both.

const MAX_RANDOM = 65536; // crypto.getRandomValues fills at most this many bytes a call

async function hostCrypto() {
  if (globalThis.crypto?.getRandomValues) return globalThis.crypto;
  // Node 18 keeps Web Crypto out of the global scope. The specifier is
  // computed so that bundlers for browsers leave it alone.
  const name = 'node:crypto';
  return (await import(/* webpackIgnore: true */ /* @vite-ignore */ name)).webcrypto;
}

async function readBytes(url) {
  if (url.protocol === 'file:') {
    const name = 'node:fs/promises';
    const fs = await import(/* webpackIgnore: true */ /* @vite-ignore */ name);
    return fs.readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

// Instantiates the module from `source` (bytes, a WebAssembly.Module, or a
// URL; the default is the tavsdk.wasm shipped with the package).
export async function instantiate(source) {
  const crypto = await hostCrypto();
  let exports;
  const imports = {
    env: {
      tav_random(pointer, length) {
        try {
          const heap = new Uint8Array(exports.memory.buffer, pointer, length);
          for (let at = 0; at < length; at += MAX_RANDOM) {
            crypto.getRandomValues(heap.subarray(at, Math.min(length, at + MAX_RANDOM)));
          }
          return 0;
        } catch {
          return 5; // EIO: the encoder reports TAV_BAD_SOURCE
        }
      },
      // Views of the memory are made afresh at every call.
      emscripten_notify_memory_growth() {},
    },
  };
  let module = source ?? new URL('../dist/tavsdk.wasm', import.meta.url);
  if (typeof module === 'string') module = new URL(module, import.meta.url);
  if (module instanceof URL) module = await readBytes(module);
  const instance = module instanceof WebAssembly.Module
    ? await WebAssembly.instantiate(module, imports)
    : (await WebAssembly.instantiate(module, imports)).instance;
  exports = instance.exports;
  exports._initialize();
  return exports;
}
