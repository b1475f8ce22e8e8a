// SPDX-License-Identifier: MIT
// The page: files through the cipher in workers (web/worker.js), entirely in
// this browser. This thread only hands out work, writes what comes back and
// draws, so that the page answers however large the files. Where the File
// System Access API exists results stream to the file or folder chosen;
// elsewhere each is gathered in a Blob and offered as a download.
// A classic script, not a module: opened from file://, modules and workers
// cannot load, and this script must still run to say so.
(() => {
  'use strict';

  const $ = (id) => document.getElementById(id);
  const status = $('status');
  const progress = $('progress');
  const list = $('list');
  const cancel = $('cancel');
  const buttons = [$('encrypt'), $('decrypt')];

  const PASSPHRASE_BYTES = 18; // only these count, as in tav
  const SLICE = 1 << 20;
  const SPLIT_MIN = 8 << 20; // smaller block files are not worth splitting between workers
  const SUFFIX = { block: '.tav', expanded: '.tavx' };

  // ?workers=N sets the pool's size (the benchmark compares 1 with all).
  const wanted = Number(new URLSearchParams(location.search).get('workers'));
  const poolSize = Math.max(1, Math.min(16, wanted > 0 ? wanted : navigator.hardwareConcurrency || 2));

  let pool = [];
  let ready = false;
  let loaded = false; // told the person once that the page is ready
  let batch = null; // the run under way
  let chosen = []; // { file, path } picked, dropped or from a folder
  let urls = [];

  function say(text, kind = '') {
    status.textContent = text;
    status.className = kind;
  }

  function setBusy(busy) {
    for (const button of buttons) button.disabled = busy || !ready;
    cancel.disabled = !busy;
  }

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

  // The suffix tells the mode, as tav reads it: an expanded file named .tav
  // would be decrypted by tav in block mode, to garbage. Decrypting, the
  // suffix wins over the mode picked and is stripped.
  function plan(name, action, picked) {
    if (action === 'encrypt') return { mode: picked, name: `${name}${SUFFIX[picked]}`, why: '' };
    for (const [mode, suffix] of Object.entries(SUFFIX)) {
      if (name.endsWith(suffix) && name.length > suffix.length) {
        return { mode, name: name.slice(0, -suffix.length), why: `the name ends in ${suffix}` };
      }
    }
    return { mode: picked, name: `${name}.decrypted`, why: 'as chosen: the name ends in neither .tav nor .tavx' };
  }

  // What went wrong, in words a person can act on.
  function explain(error, action) {
    if (error?.name === 'AbortError') return 'Stopped: nothing was saved.';
    if (error?.name === 'NotReadableError') return 'The file could not be read: it may have been moved or changed.';
    if (error?.name === 'QuotaExceededError') return 'There is not enough room to save the result.';
    if (error?.name === 'TavError' && error.status === 1) return 'These keys cannot do the larger (.tavx) form.';
    return `Could not ${action} it: ${error?.message ?? error}.`;
  }

  // ---- Workers --------------------------------------------------------------

  function spawn() {
    const worker = new Worker('worker.js', { type: 'module' });
    const slot = { worker, task: null, ready: false };
    worker.onmessage = ({ data }) => heard(slot, data);
    worker.onerror = (event) => {
      event.preventDefault();
      if (slot.task) failed(slot, { message: event.message || 'the worker stopped' });
      else if (!ready) say(`The cipher could not be loaded: ${event.message || 'the worker stopped'}.`, 'error');
    };
    return slot;
  }

  function startPool() {
    for (const slot of pool) slot.worker.terminate();
    pool = Array.from({ length: poolSize }, spawn);
  }

  function heard(slot, data) {
    if (data.type === 'ready') {
      slot.ready = true;
      if (!ready) {
        ready = true;
        setBusy(Boolean(batch));
        if (!loaded) say('Ready. Choose files or a folder, type the passphrase, and press Encrypt or Decrypt.');
        loaded = true;
      }
      if (batch) next(slot);
      return;
    }
    const task = slot.task;
    if (!task || task.id !== data.id) return;
    if (data.type === 'chunk') chunk(slot, task, data);
    else if (data.type === 'end') ended(slot, task);
    else if (data.type === 'error') failed(slot, data);
  }

  // ---- A run: tasks handed to idle workers -----------------------------------

  // Every file becomes one task, or, in block mode where workers are spare,
  // ranges of it: block mode starts at any offset at no cost.
  function tasksOf(job, action, alphabet, passphrase) {
    const size = job.file.size;
    const count = job.mode === 'block' && size >= SPLIT_MIN ? Math.min(poolSize, Math.ceil(size / (SPLIT_MIN / 2))) : 1;
    const step = Math.ceil(size / count / SLICE) * SLICE;
    const tasks = [];
    for (let start = 0; start < size || tasks.length === 0; start += step) {
      tasks.push({ job, index: tasks.length, start, end: Math.min(size, start + step), action, alphabet, passphrase,
        mode: job.mode, written: 0, pending: 0, ended: false });
    }
    job.open = tasks.length;
    return tasks;
  }

  let taskIds = 0;

  function next(slot) {
    if (!slot.ready || slot.task || !batch) return;
    let task = batch.queue.shift();
    while (task && task.job.failed) task = batch.queue.shift();
    if (!task) return finishIfDone();
    task.id = ++taskIds;
    slot.task = task;
    task.job.started ??= sinkFor(task.job);
    slot.worker.postMessage({ type: 'task', id: task.id, file: task.job.file, start: task.start, end: task.end,
      action: task.action, alphabet: task.alphabet, mode: task.mode, passphrase: task.passphrase, blobs: !batch.out });
  }

  async function chunk(slot, task, data) {
    const job = task.job;
    job.read += data.read;
    batch.read += data.read;
    draw();
    ++task.pending;
    try {
      const sink = await job.started;
      if (!job.failed && batch?.jobs.includes(job)) {
        await sink.write(task, data.bytes);
      }
    } catch (error) {
      fail(job, error);
    }
    --task.pending;
    // Back to the worker that sent it, which may have gone on to another
    // task; the buffer too, written or copied by now, to be read into again.
    const buffer = data.bytes.buffer;
    slot.worker.postMessage({ type: 'credit', buffer }, buffer ? [buffer] : []);
    if (task.ended) settle(task);
  }

  function ended(slot, task) {
    slot.task = null;
    task.ended = true;
    settle(task);
    next(slot);
  }

  function failed(slot, data) {
    const task = slot.task;
    slot.task = null;
    fail(task.job, data);
    next(slot);
  }

  async function settle(task) {
    if (task.pending > 0 || task.settled) return;
    task.settled = true;
    const job = task.job;
    if (--job.open > 0 || job.failed || job.batch !== batch) return finishIfDone();
    try {
      const sink = await job.started;
      const blob = await sink.finish();
      if (job.batch !== batch) return; // stopped while the last write went out
      job.done = true;
      job.row.progress.value = 1;
      shown(job, blob);
    } catch (error) {
      fail(job, error);
    }
    finishIfDone();
  }

  function fail(job, error) {
    if (job.failed || !batch || job.batch !== batch) return;
    job.failed = true;
    job.started?.then((sink) => sink.abort(), () => {});
    job.row.item.classList.add('failed');
    job.row.text.textContent = explain(error, batch.action);
    finishIfDone();
  }

  function finishIfDone() {
    if (!batch || !batch.jobs.every((job) => job.done || job.failed)) return;
    const { jobs, action } = batch;
    const bad = jobs.filter((job) => job.failed).length;
    const good = jobs.length - bad;
    for (const slot of pool) slot.worker.postMessage({ type: 'forget' });
    batch = null;
    setBusy(false);
    progress.value = bad === jobs.length ? 0 : 1;
    const files = (n) => `${n} file${n === 1 ? '' : 's'}`;
    const failedPart = bad ? ` ${files(bad)} failed: see the list.` : '';
    if (good === 0) return say(`Nothing was ${action}ed.${failedPart}`, 'error');
    const where = jobs[0].saved ? ' and saved where you chose' : ': save the results from the list';
    if (action === 'encrypt') say(`Encrypted ${files(good)}${where}.${failedPart}`, bad ? 'error' : 'done');
    else say(`Decrypted ${files(good)}${where}. If the passphrase, alphabet or mode was wrong, the output is garbage.${failedPart}`, bad ? 'error' : 'done');
  }

  // ---- Where results go -----------------------------------------------------

  // A positioned write where the file is on disk (ranges arrive in any
  // order); in memory, a list of pieces per range, joined in order at the end.
  function diskSink(handle) {
    return handle.createWritable().then((stream) => {
      const writer = stream.getWriter();
      return {
        write(task, bytes) {
          // Block ranges land where they were read; expanded output is one range from 0.
          const position = task.start + task.written;
          task.written += bytes.length;
          return writer.write({ type: 'write', position, data: bytes });
        },
        finish: () => writer.close().then(() => null),
        abort: () => writer.abort().catch(() => {}),
      };
    });
  }

  function memorySink() {
    const pieces = [];
    return Promise.resolve({
      async write(task, bytes) {
        (pieces[task.index] ??= []).push(bytes instanceof Blob ? bytes : new Blob([bytes]));
      },
      finish: async () => new Blob(pieces.flat(), { type: 'application/octet-stream' }),
      abort: async () => {
        pieces.length = 0;
      },
    });
  }

  async function folderFor(root, path) {
    let folder = root;
    for (const name of path.split('/').slice(0, -1)) {
      if (name) folder = await folder.getDirectoryHandle(name, { create: true });
    }
    return folder;
  }

  function sinkFor(job) {
    const out = batch.out;
    if (!out) return memorySink();
    job.saved = true;
    if (out.kind === 'file') return diskSink(out.handle);
    return folderFor(out.handle, job.path)
      .then((folder) => folder.getFileHandle(job.name, { create: true }))
      .then(diskSink);
  }

  // One file: a save picker; more: a folder picker; neither: downloads.
  async function destination(count) {
    if (count === 1 && typeof window.showSaveFilePicker === 'function') return { kind: 'file', handle: null };
    if (count > 1 && typeof window.showDirectoryPicker === 'function') {
      return { kind: 'folder', handle: await window.showDirectoryPicker({ mode: 'readwrite' }) };
    }
    return null;
  }

  // ---- The list -------------------------------------------------------------

  function clearResults() {
    for (const url of urls) URL.revokeObjectURL(url);
    urls = [];
    for (const link of list.querySelectorAll('a')) link.remove();
  }

  function drawList() {
    clearResults();
    list.replaceChildren();
    for (const entry of chosen) {
      const item = document.createElement('li');
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = `${entry.path} (${sizeText(entry.file.size)})`;
      const bar = document.createElement('progress');
      bar.max = 1;
      bar.value = 0;
      bar.setAttribute('aria-label', `Progress of ${entry.path}`);
      const text = document.createElement('span');
      text.className = 'result';
      item.append(name, bar, text);
      list.append(item);
      entry.row = { item, progress: bar, text };
    }
  }

  function choose(entries, replace) {
    chosen = replace ? entries : chosen.concat(entries);
    drawList();
    if (!batch && ready) say(`${chosen.length} file${chosen.length === 1 ? '' : 's'} chosen (${sizeText(chosen.reduce((n, e) => n + e.file.size, 0))}).`);
  }

  function shown(job, blob) {
    const row = job.row;
    const how = `${batch.action === 'encrypt' ? 'encrypted' : 'decrypted'}, ${job.mode === 'block' ? 'same size (.tav)' : 'larger form (.tavx)'}${job.why ? `: ${job.why}` : ''}`;
    if (!blob) {
      row.text.textContent = `Saved as ${job.name} (${how}).`;
      return;
    }
    const url = URL.createObjectURL(blob);
    urls.push(url);
    const link = document.createElement('a');
    link.href = url;
    link.download = job.name;
    link.textContent = `Save ${job.name} (${sizeText(blob.size)})`;
    row.text.textContent = `${how}. `;
    row.text.append(link);
  }

  let drawing = false;
  function draw() {
    if (drawing) return;
    drawing = true;
    requestAnimationFrame(() => {
      drawing = false;
      if (!batch) return;
      for (const job of batch.jobs) if (!job.done && !job.failed) job.row.progress.value = job.file.size ? job.read / job.file.size : 0;
      progress.value = batch.total ? batch.read / batch.total : 0;
      say(`Working… ${sizeText(batch.read)} of ${sizeText(batch.total)}`);
    });
  }

  // ---- Runs -----------------------------------------------------------------

  async function run(action) {
    const passphrase = $('passphrase').value;
    clearResults();
    if (chosen.length === 0) return say('Choose files or a folder first.', 'error');
    if (!passphrase) return say('Type the passphrase first.', 'error');
    if (action === 'encrypt' && $('passphrase2').value !== passphrase) {
      return say('The two passphrases differ: type the same one twice to encrypt.', 'error');
    }
    const alphabet = checked('alphabet');
    const picked = checked('mode');
    let out;
    try {
      out = await destination(chosen.length);
      if (out?.kind === 'file') {
        const only = plan(chosen[0].file.name, action, picked);
        out.handle = await window.showSaveFilePicker({ suggestedName: only.name });
      }
    } catch (error) {
      return say(error?.name === 'AbortError' ? 'Nothing was chosen to save into.' : explain(error, action), 'error');
    }
    drawList();
    const jobs = chosen.map((entry) => ({ ...entry, ...plan(entry.file.name, action, picked), read: 0 }));
    batch = { action, jobs, out, queue: [], read: 0, total: jobs.reduce((n, job) => n + job.file.size, 0) };
    for (const job of jobs) job.batch = batch;
    for (const job of jobs) batch.queue.push(...tasksOf(job, action, alphabet, passphrase));
    progress.value = 0;
    setBusy(true);
    say(`Working… 0 bytes of ${sizeText(batch.total)}`);
    for (const slot of pool) next(slot);
  }

  // Ends the workers at once (a slice in the cipher is not waited for) and
  // discards every result of the run, finished or not.
  function stop() {
    if (!batch) return;
    const { jobs } = batch;
    for (const job of jobs) job.started?.then((sink) => sink.abort(), () => {});
    batch = null;
    ready = false;
    startPool();
    clearResults();
    for (const job of jobs) {
      job.row.progress.value = 0;
      job.row.text.textContent = 'Stopped.';
    }
    progress.value = 0;
    setBusy(false);
    say('Stopped: nothing was saved.', 'error');
  }

  // ---- Picking and dropping -------------------------------------------------

  function fromInput(input) {
    return [...input.files].map((file) => ({ file, path: file.webkitRelativePath || file.name }));
  }

  // A dropped folder, read to the bottom (a reader returns its entries a
  // batch at a time until an empty one).
  async function walk(entry, prefix, into) {
    if (entry.isFile) {
      const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
      into.push({ file, path: `${prefix}${file.name}` });
      return;
    }
    const reader = entry.createReader();
    for (;;) {
      const some = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
      if (some.length === 0) return;
      for (const child of some) await walk(child, `${prefix}${entry.name}/`, into);
    }
  }

  async function dropped(transfer) {
    const found = [];
    // Entries must be taken before the event returns; read afterwards.
    const items = [...(transfer.items ?? [])].map((item) => ({ entry: item.webkitGetAsEntry?.(), file: item.getAsFile() }));
    for (const { entry, file } of items) {
      if (entry) await walk(entry, '', found);
      else if (file) found.push({ file, path: file.name });
    }
    if (items.length === 0) for (const file of transfer.files) found.push({ file, path: file.name });
    return found;
  }

  // ---- Wiring ---------------------------------------------------------------

  for (const button of buttons) button.addEventListener('click', () => { if (!batch && ready) run(button.id); });
  cancel.addEventListener('click', stop);
  $('files').addEventListener('change', (event) => choose(fromInput(event.target), true));
  $('folder').addEventListener('change', (event) => choose(fromInput(event.target), true));
  const drop = $('drop');
  for (const type of ['dragenter', 'dragover']) {
    drop.addEventListener(type, (event) => {
      event.preventDefault();
      drop.classList.add('over');
    });
  }
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const pending = dropped(event.dataTransfer);
    pending.then((found) => choose(found, false), (error) => say(`The dropped items could not be read: ${error.message}.`, 'error'));
  });
  $('passphrase').addEventListener('input', (event) => {
    const bytes = new TextEncoder().encode(event.target.value).length;
    $('length-note').textContent = bytes > PASSPHRASE_BYTES
      ? `Only the first ${PASSPHRASE_BYTES} bytes of the passphrase count (this one has ${bytes}); tav ignores the rest too.`
      : '';
  });

  setBusy(false);
  if (location.protocol === 'file:') {
    say('This page cannot work opened as a file: browsers load its cipher only from a web server. ' +
      'Serve the folder (for example python3 -m http.server) and open it through http://localhost.', 'error');
    return;
  }
  if (typeof Worker !== 'function' || typeof WebAssembly !== 'object') {
    say('This browser lacks Web Workers or WebAssembly, which the page needs.', 'error');
    return;
  }
  if ('serviceWorker' in navigator) navigator.serviceWorker.register('sw.js').catch(() => {});
  startPool();
})();
