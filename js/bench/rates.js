// SPDX-License-Identifier: MIT
// The package's rates, the same in Node and in a browser page.
import * as tav from 'tavsdk';

const MB = 1e6;

function best(runs, fn) {
  let fastest = Infinity;
  for (let i = 0; i < runs; ++i) {
    const start = performance.now();
    fn();
    fastest = Math.min(fastest, performance.now() - start);
  }
  return fastest / 1000;
}

// Printable bytes, all in the text alphabet, as in the native program.
function sample(size) {
  const data = new Uint8Array(size);
  for (let i = 0; i < size; ++i) data[i] = 32 + (Math.imul(i, 2654435761) >>> 13) % 95;
  return data;
}

export async function rates() {
  const size = 16 << 20;
  const data = sample(size);
  const binary = tav.Keys.fromPassphrase('benchmark', 'binary');
  const text = tav.Keys.fromPassphrase('benchmark', 'text');
  const result = {};
  result.binaryBlock = size / MB / best(3, () => tav.blockEncrypt(binary, data));
  result.textBlock = size / MB / best(3, () => tav.blockEncrypt(text, data));
  const plain = data.subarray(0, 4 << 20);
  let expanded;
  const encode = best(3, () => { expanded = tav.expandedEncode(binary, plain); });
  result.expandedEncodeOut = expanded.length / MB / encode;
  result.expandedDecodeIn = expanded.length / MB / best(3, () => tav.expandedDecode(binary, expanded));
  const derive = [];
  for (let i = 0; i < 30; ++i) {
    const start = performance.now();
    tav.Keys.fromPassphrase(`passphrase ${i}`, 'binary').free();
    derive.push(performance.now() - start);
  }
  derive.sort((a, b) => a - b);
  result.keysMs = derive[15];
  binary.free();
  text.free();
  return result;
}
