// SPDX-License-Identifier: MIT
// Rewrites the relaxed SIMD instructions of a module from the provisional
// opcodes that older LLVM releases write (engines no longer accept them) to
// the standard ones. Both encodings of each instruction have the same length,
// so only those bytes change. The instructions are located by the LLVM that
// compiled the module (llvm-objdump), never by searching for the bytes, which
// may as well be part of a constant. Usage:
//   node relaxed_opcodes.mjs LLVM_OBJDUMP IN.wasm OUT.wasm
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';

// Provisional opcode after the 0xfd prefix (LEB128 bytes) -> standard one.
const OPCODES = new Map([
  ['a2 01', [0x80, 0x02]], // i8x16.relaxed_swizzle
  ['b2 01', [0x89, 0x02]], // i8x16.relaxed_laneselect (written i8x16.laneselect)
]);

const [objdump, input, output] = process.argv.slice(2);
const bytes = new Uint8Array(fs.readFileSync(input));

// Start of the code section's contents: llvm-objdump counts from there.
function codeStart() {
  let at = 8;
  const leb = () => {
    let value = 0;
    for (let shift = 0; ; shift += 7) {
      const b = bytes[at++];
      value += (b & 0x7f) * 2 ** shift;
      if (b < 0x80) return value;
    }
  };
  while (at < bytes.length) {
    const id = bytes[at++];
    const size = leb();
    if (id === 10) return at;
    at += size;
  }
  throw new Error(`${input}: no code section`);
}

const start = codeStart();
const listing = execFileSync(objdump, ['-d', input], { maxBuffer: 1 << 30 }).toString();
let rewritten = 0;
for (const line of listing.split('\n')) {
  const m = line.match(/^\s*([0-9a-f]+):\s+fd ([0-9a-f]{2} [0-9a-f]{2})\s+i8x16\.(relaxed_|laneselect)/);
  if (!m || !OPCODES.has(m[2])) continue;
  const at = start + parseInt(m[1], 16);
  const [b1, b2] = m[2].split(' ').map((h) => parseInt(h, 16));
  if (bytes[at] !== 0xfd || bytes[at + 1] !== b1 || bytes[at + 2] !== b2) {
    throw new Error(`${input}: expected ${line.trim()} at byte ${at}`);
  }
  bytes.set(OPCODES.get(m[2]), at + 1);
  ++rewritten;
}
// A compiler that writes the standard opcodes leaves nothing to do; one that
// writes none at all means the kernel lost its relaxed lookups.
if (rewritten === 0 && !/i8x16\.relaxed_/.test(listing) && !listing.includes('fd 80 02')) {
  throw new Error(`${input}: no relaxed SIMD instructions`);
}
fs.writeFileSync(output, bytes);
console.log(`${output}: ${rewritten} relaxed SIMD instructions in the standard encoding`);
