// SPDX-License-Identifier: MIT
// Loads tavsdk.wasm: its bytes are read here (fetch in browsers, the file
// system in Node) and handed to WebAssembly, so that one module serves both.
// Where the engine has relaxed SIMD, tavsdk-relaxed.wasm instead: the same
// library whose kernel uses the relaxed byte shuffle, with the same results.

const MAX_RANDOM = 65536; // crypto.getRandomValues fills at most this many bytes a call

async function hostCrypto() {
  if (globalThis.crypto?.getRandomValues) return globalThis.crypto;
  // Node 18 keeps Web Crypto out of the global scope. The specifier is
  // computed so that bundlers for browsers leave it alone.
  const name = 'node:crypto';
  return (await import(/* webpackIgnore: true */ /* @vite-ignore */ name)).webcrypto;
}

// A small module with the two relaxed instructions that tavsdk-relaxed.wasm
// uses: a function that returns i8x16.relaxed_laneselect of
// i8x16.relaxed_swizzle of two constants and two more constants.
const V128_ZERO = [0xfd, 0x0c, ...new Array(16).fill(0)]; // v128.const 0
const RELAXED_PROBE = new Uint8Array([
  0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, // magic, version
  0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b, // type: () -> v128
  0x03, 0x02, 0x01, 0x00, // one function of that type
  0x0a, 0x52, 0x01, 0x50, 0x00, // code: one body of 80 bytes, no locals
  ...V128_ZERO, ...V128_ZERO,
  0xfd, 0x80, 0x02, // i8x16.relaxed_swizzle
  ...V128_ZERO, ...V128_ZERO,
  0xfd, 0x89, 0x02, // i8x16.relaxed_laneselect
  0x0b, // end
]);

export function hasRelaxedSimd() {
  try {
    return WebAssembly.validate(RELAXED_PROBE);
  } catch {
    return false;
  }
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
// URL; the default is the module shipped with the package that this engine
// runs best).
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
  // Both URLs written out in full, so that bundlers see and copy both files.
  let module = source ?? (hasRelaxedSimd()
    ? new URL('../dist/tavsdk-relaxed.wasm', import.meta.url)
    : new URL('../dist/tavsdk.wasm', import.meta.url));
  if (typeof module === 'string') module = new URL(module, import.meta.url);
  if (module instanceof URL) module = await readBytes(module);
  const instance = module instanceof WebAssembly.Module
    ? await WebAssembly.instantiate(module, imports)
    : (await WebAssembly.instantiate(module, imports)).instance;
  exports = instance.exports;
  exports._initialize();
  return exports;
}
