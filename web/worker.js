// SPDX-License-Identifier: MIT
// The cipher, off the page's thread: one task at a time, a whole file or a
// range of one in block mode, read a slice at a time. Each result slice is
// handed over (moved, not copied) and at most WINDOW of them wait to be
// written, so that a slow disk holds the reading back instead of the memory
// growing; the page hands each buffer back once written, and block mode
// reads into it again (a fresh buffer a slice left some 150 MiB for the
// collector over 1 GiB). Cancelling ends the worker itself: nothing here
// checks a flag.
import * as tav from '../js/src/index.js';

const SLICE = 1 << 20;
const WINDOW = 4;

let keys = null; // kept for the tasks of one run: deriving them costs more than a small file
let keysFor = '';
let credits = WINDOW;
let waiting = null;
const spare = []; // buffers handed back, to be read into again

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

// The range's bytes, a slice at a time, into buffers handed back where the
// browser's file streams take one; fresh ones elsewhere.
async function* slices(blob) {
  let reader = null;
  try {
    reader = blob.stream().getReader({ mode: 'byob' });
  } catch {
    for (let at = 0; at < blob.size; at += SLICE) yield new Uint8Array(await blob.slice(at, at + SLICE).arrayBuffer());
    return;
  }
  try {
    for (;;) {
      const { value, done } = await reader.read(new Uint8Array(spare.pop() ?? new ArrayBuffer(SLICE), 0, SLICE));
      if (done) {
        if (value) spare.push(value.buffer);
        return;
      }
      yield value;
    }
  } finally {
    reader.releaseLock();
  }
}

async function run(task) {
  const cipher = coder(task);
  try {
    for await (const input of slices(task.file.slice(task.start, task.end))) {
      const read = input.length;
      const out = cipher.update(input);
      if (out !== input) spare.push(input.buffer);
      await credit();
      if (task.blobs) {
        // Kept by the browser as a download: made here, where the copy it
        // takes runs beside the other workers' instead of on the page's thread.
        postMessage({ type: 'chunk', id: task.id, bytes: new Blob([out]), read });
        if (out === input) spare.push(out.buffer);
      } else {
        postMessage({ type: 'chunk', id: task.id, bytes: out, read }, [out.buffer]);
      }
    }
  } finally {
    cipher.free();
  }
}

onmessage = async ({ data }) => {
  if (data.type === 'credit') {
    if (data.buffer?.byteLength === SLICE && spare.length < WINDOW) spare.push(data.buffer);
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
