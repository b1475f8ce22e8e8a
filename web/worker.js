// SPDX-License-Identifier: MIT
// The cipher, off the page's thread: one task at a time, a whole file or a
// range of one in block mode, read a slice at a time. Each result slice is
// handed over (moved, not copied) and at most WINDOW of them wait to be
// written, so that a slow disk holds the reading back instead of the memory
// growing. Cancelling ends the worker itself: nothing here checks a flag.
import * as tav from '../js/src/index.js';

const SLICE = 1 << 20;
const WINDOW = 4;

let keys = null; // kept for the tasks of one run: deriving them costs more than a small file
let keysFor = '';
let credits = WINDOW;
let waiting = null;

function keysOf(passphrase, alphabet) {
  const wanted = `${alphabet}\n${passphrase}`;
  if (keys && keysFor === wanted) return keys;
  keys?.free();
  keys = tav.Keys.fromPassphrase(passphrase, alphabet);
  keysFor = wanted;
  return keys;
}

async function credit() {
  while (credits === 0) await new Promise((resolve) => { waiting = resolve; });
  --credits;
}

function coder(task) {
  const set = keysOf(task.passphrase, task.alphabet);
  if (task.mode === 'expanded') {
    return task.action === 'encrypt' ? new tav.Encoder(set) : new tav.Decoder(set);
  }
  const fn = task.action === 'encrypt' ? tav.blockEncryptInPlace : tav.blockDecryptInPlace;
  let at = task.start;
  return {
    update(slice) {
      fn(set, slice, at);
      at += slice.length;
      return slice;
    },
    free() {},
  };
}

async function run(task) {
  const cipher = coder(task);
  try {
    for (let at = task.start; at < task.end; at += SLICE) {
      const input = new Uint8Array(await task.file.slice(at, Math.min(task.end, at + SLICE)).arrayBuffer());
      const out = cipher.update(input);
      await credit();
      postMessage({ type: 'chunk', id: task.id, bytes: out, read: input.length }, [out.buffer]);
    }
  } finally {
    cipher.free();
  }
}

onmessage = async ({ data }) => {
  if (data.type === 'credit') {
    ++credits;
    waiting?.();
    waiting = null;
    return;
  }
  if (data.type === 'forget') {
    keys?.free();
    keys = null;
    keysFor = '';
    return;
  }
  try {
    await run(data);
    postMessage({ type: 'end', id: data.id });
  } catch (error) {
    postMessage({ type: 'error', id: data.id, name: error?.name, status: error?.status, message: String(error?.message ?? error) });
  }
};

postMessage({ type: 'ready' });
