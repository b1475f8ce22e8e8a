// SPDX-License-Identifier: MIT
// The page: a file through the cipher, read and written as a stream, entirely
// in this browser. Where the File System Access API exists the result goes
// straight to the file chosen; elsewhere it is gathered in a Blob.
const $ = (id) => document.getElementById(id);
const status = $('status');
const progress = $('progress');
const result = $('result');
const download = $('download');
const cancel = $('cancel');

let tav;
let running = null; // the AbortController of the operation under way
let lastUrl = null;

function say(text, kind = '') {
  status.textContent = text;
  status.className = kind;
}

// The value of the radio group `name` that is checked.
function checked(name) {
  return document.querySelector(`input[name="${name}"]:checked`).value;
}

function sizeText(bytes) {
  if (bytes < 1024) return `${bytes} bytes`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let value = bytes;
  let unit = -1;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    ++unit;
  }
  return `${value.toFixed(1)} ${units[unit]}`;
}

// What went wrong, in words a person can act on.
function explain(error, action) {
  if (error?.name === 'AbortError') return 'Stopped: nothing was saved.';
  if (error instanceof tav.TavError) {
    if (error.status === tav.Status.BAD_ARGUMENT) return `The passphrase cannot be used (${error.message}).`;
    if (error.status === tav.Status.NO_KEYS) return `These keys have no table for the expanded mode (${error.message}).`;
    return `Could not ${action} the file: ${error.message}.`;
  }
  if (error?.name === 'NotReadableError') return 'The file could not be read: it may have been moved or changed.';
  if (error?.name === 'QuotaExceededError') return 'There is not enough room to save the result.';
  return `Could not ${action} the file: ${error?.message ?? error}.`;
}

// The suffix tells the mode, as tav reads it: an expanded file named .tav
// would be decrypted by tav in block mode, to garbage. Decrypting, the
// suffix wins over the mode picked and is stripped.
const SUFFIX = { block: '.tav', expanded: '.tavx' };

function plan(name, action, picked) {
  if (action === 'encrypt') return { mode: picked, name: `${name}${SUFFIX[picked]}`, why: '' };
  for (const [mode, suffix] of Object.entries(SUFFIX)) {
    if (name.endsWith(suffix) && name.length > suffix.length) {
      return { mode, name: name.slice(0, -suffix.length), why: ` (the name ends in ${suffix})` };
    }
  }
  return { mode: picked, name: `${name}.decrypted`, why: ' (as chosen: the name ends in neither .tav nor .tavx)' };
}

// The size of the slices the file is read and written in: one buffer of
// this size serves from the first slice to the last, so that the page's
// memory stays flat however large the file (a fresh buffer for every chunk
// of the file's stream left some 80 MiB for the collector).
const SLICE = 1 << 20;

// What one slice goes through: block mode works in place on the buffer; the
// expanded coders return bytes of their own, a few MiB at most a slice.
function cipherFor(keys, mode, action) {
  if (mode === 'expanded') return action === 'encrypt' ? new tav.Encoder(keys) : new tav.Decoder(keys);
  const fn = action === 'encrypt' ? tav.blockEncryptInPlace : tav.blockDecryptInPlace;
  let at = 0;
  return {
    update(slice) {
      fn(keys, slice, at);
      at += slice.length;
      return slice;
    },
    free() {},
  };
}

// Reads the file into `buffer` a slice at a time and awaits fn(slice) for
// each; the slice is read into again once fn's promise settles. The
// stream's reader fills the buffer given where the browser has one; file
// slices copied into it elsewhere.
async function eachSlice(file, buffer, signal, fn) {
  let reader = null;
  try {
    reader = file.stream().getReader({ mode: 'byob' });
  } catch {
    reader = null;
  }
  if (reader) {
    try {
      for (;;) {
        signal.throwIfAborted();
        const { value, done } = await reader.read(new Uint8Array(buffer, 0, SLICE));
        if (done) return;
        buffer = value.buffer; // the read moved the buffer; its memory comes back here
        await fn(value);
      }
    } catch (error) {
      await reader.cancel().catch(() => {});
      throw error;
    } finally {
      reader.releaseLock();
    }
  }
  const view = new Uint8Array(buffer);
  for (let at = 0; at < file.size; at += SLICE) {
    signal.throwIfAborted();
    const bytes = new Uint8Array(await file.slice(at, at + SLICE).arrayBuffer());
    view.set(bytes);
    await fn(view.subarray(0, bytes.length));
  }
}

// Shows how much of the input has gone through.
function counter(total) {
  let seen = 0;
  let shown = 0;
  return (bytes) => {
    seen += bytes;
    if (seen - shown >= total / 200 || seen === total) {
      shown = seen;
      progress.value = total > 0 ? seen / total : 1;
      say(`Working… ${sizeText(seen)} of ${sizeText(total)}`);
    }
  };
}

// Where the result goes: a file the person picks (streamed to disk, and
// left as it was unless the whole result was written), or a Blob offered as
// a download. A write may hold on to its bytes until its promise settles.
async function destination(name) {
  if (typeof window.showSaveFilePicker === 'function') {
    const handle = await window.showSaveFilePicker({ suggestedName: name });
    const writer = (await handle.createWritable()).getWriter();
    return {
      write: (bytes) => writer.write(bytes),
      finish: async () => {
        await writer.close();
        return null;
      },
      abort: (reason) => writer.abort(reason).catch(() => {}),
    };
  }
  const parts = [];
  return {
    write: async (bytes) => {
      parts.push(new Blob([bytes])); // a copy: the buffer is read into again
    },
    finish: async () => new Blob(parts, { type: 'application/octet-stream' }),
    abort: async () => {
      parts.length = 0;
    },
  };
}

// The file through the cipher into the destination, a slice at a time, each
// written (and the writer's backpressure awaited) before the next is read.
async function pass(file, cipher, out, signal) {
  const count = counter(file.size);
  await eachSlice(file, new ArrayBuffer(SLICE), signal, async (slice) => {
    const bytes = slice.length;
    const result = cipher.update(slice);
    if (result.length > 0) await out.write(result);
    count(bytes);
  });
}

async function run(action) {
  const file = $('file').files[0];
  const passphrase = $('passphrase').value;
  if (!file) return say('Choose a file first.', 'error');
  if (!passphrase) return say('Type the passphrase first.', 'error');
  const alphabet = checked('alphabet');
  const { mode, name, why } = plan(file.name, action, checked('mode'));
  const done = `Done: ${file.name} ${action}ed in the ${mode} mode${why}`;
  if (lastUrl) URL.revokeObjectURL(lastUrl);
  lastUrl = null;
  result.hidden = true;
  progress.value = 0;
  let keys = null;
  let cipher = null;
  let out = null;
  running = new AbortController();
  setBusy(true);
  try {
    keys = tav.Keys.fromPassphrase(passphrase, alphabet);
    cipher = cipherFor(keys, mode, action);
    out = await destination(name);
    say(`Working… 0 bytes of ${sizeText(file.size)}`);
    await pass(file, cipher, out, running.signal);
    const blob = await out.finish();
    out = null;
    progress.value = 1;
    if (blob) {
      lastUrl = URL.createObjectURL(blob);
      download.href = lastUrl;
      download.download = name;
      download.textContent = `Save ${name} (${sizeText(blob.size)})`;
      result.hidden = false;
      say(`${done}, ${sizeText(blob.size)}.`, 'done');
      download.focus();
    } else {
      say(`${done} and saved as you chose.`, 'done');
    }
  } catch (error) {
    await out?.abort(error);
    progress.value = 0;
    say(explain(error, action), 'error');
  } finally {
    cipher?.free();
    keys?.free();
    running = null;
    setBusy(false);
  }
}

function setBusy(busy) {
  $('encrypt').disabled = busy;
  $('decrypt').disabled = busy;
  cancel.disabled = !busy;
}

for (const action of ['encrypt', 'decrypt']) {
  $(action).addEventListener('click', () => {
    if (!running) run(action);
  });
}
cancel.addEventListener('click', () => running?.abort());

setBusy(true);
import('tavsdk')
  .then((module) => {
    tav = module;
    setBusy(false);
    cancel.disabled = true;
    say('Ready. Choose a file, type the passphrase, and press Encrypt or Decrypt.');
  })
  .catch((error) => say(`The cipher module could not be loaded: ${error.message}`, 'error'));
