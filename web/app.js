// SPDX-License-Identifier: MIT
// The page: a file through the cipher, read and written as a stream, entirely
// in this browser. Where the File System Access API exists the result goes
// straight to the file chosen; elsewhere it is gathered in a Blob.
const $ = (id) => document.getElementById(id);
const form = $('form');
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

function outputName(name, action) {
  if (action === 'encrypt') return `${name}.tav`;
  return name.endsWith('.tav') && name.length > 4 ? name.slice(0, -4) : `${name}.decrypted`;
}

function transformFor(keys, mode, action) {
  if (mode === 'expanded') return action === 'encrypt' ? tav.expandedEncodeStream(keys) : tav.expandedDecodeStream(keys);
  return action === 'encrypt' ? tav.blockEncryptStream(keys) : tav.blockDecryptStream(keys);
}

// Counts the input as it passes, for the progress bar.
function counter(total) {
  let seen = 0;
  let shown = 0;
  return new TransformStream({
    transform(chunk, controller) {
      seen += chunk.byteLength;
      if (seen - shown >= total / 200 || seen === total) {
        shown = seen;
        progress.value = total > 0 ? seen / total : 1;
        say(`Working… ${sizeText(seen)} of ${sizeText(total)}`);
      }
      controller.enqueue(chunk);
    },
  });
}

// Where the result goes: a file the person picks (streamed to disk), or a
// Blob offered as a download.
async function destination(name) {
  if (typeof window.showSaveFilePicker === 'function') {
    const handle = await window.showSaveFilePicker({ suggestedName: name });
    return { stream: await handle.createWritable(), finish: async () => null };
  }
  const parts = [];
  const stream = new WritableStream({
    write(chunk) {
      parts.push(chunk);
    },
  });
  return { stream, finish: async () => new Blob(parts, { type: 'application/octet-stream' }) };
}

async function run(action) {
  const file = $('file').files[0];
  const passphrase = $('passphrase').value;
  if (!file) return say('Choose a file first.', 'error');
  if (!passphrase) return say('Type the passphrase first.', 'error');
  const alphabet = form.elements.alphabet.value;
  const mode = form.elements.mode.value;
  const name = outputName(file.name, action);
  if (lastUrl) URL.revokeObjectURL(lastUrl);
  lastUrl = null;
  result.hidden = true;
  progress.value = 0;
  let keys = null;
  running = new AbortController();
  setBusy(true);
  try {
    keys = tav.Keys.fromPassphrase(passphrase, alphabet);
    const out = await destination(name);
    say(`Working… 0 bytes of ${sizeText(file.size)}`);
    await file.stream()
      .pipeThrough(counter(file.size), { signal: running.signal })
      .pipeThrough(transformFor(keys, mode, action), { signal: running.signal })
      .pipeTo(out.stream, { signal: running.signal });
    const blob = await out.finish();
    progress.value = 1;
    if (blob) {
      lastUrl = URL.createObjectURL(blob);
      download.href = lastUrl;
      download.download = name;
      download.textContent = `Save ${name} (${sizeText(blob.size)})`;
      result.hidden = false;
      say(`Done: ${file.name} ${action}ed, ${sizeText(blob.size)}.`, 'done');
      download.focus();
    } else {
      say(`Done: ${file.name} ${action}ed and saved as you chose.`, 'done');
    }
  } catch (error) {
    progress.value = 0;
    say(explain(error, action), 'error');
  } finally {
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

form.addEventListener('submit', (event) => {
  event.preventDefault();
  if (running) return;
  run(event.submitter?.value === 'decrypt' ? 'decrypt' : 'encrypt');
});
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
