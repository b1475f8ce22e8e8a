// SPDX-License-Identifier: MIT
// tavsdk for JavaScript: key sets, block mode at any offset and the expanded
// mode, on the library's core compiled to WebAssembly. Bytes go in and out as
// Uint8Arrays; the module's copies of keys and data are overwritten once used.
import { ALPHABETS, DEFINES, LAYOUT, Status } from './abi.js';
import { instantiate } from './module.js';

export { Status };

let wasm = await instantiate();

/** Loads the module again from other bytes or another URL (bundlers that
 * move tavsdk.wasm elsewhere). Key sets made before stay with the old one. */
export async function load(source) {
  wasm = await instantiate(source);
}

function cString(pointer) {
  const heap = new Uint8Array(wasm.memory.buffer);
  let end = pointer;
  while (heap[end] !== 0) ++end;
  return new TextDecoder().decode(heap.subarray(pointer, end));
}

/** The library's message for a status. */
export function strerror(status) {
  return cString(wasm.tav_strerror(status | 0));
}

/** A refusal or failure of the library: `status` is one of Status; the
 * message says what went wrong (the library's words when there is no more to
 * say). Wrong types of arguments are TypeErrors, values out of range
 * RangeErrors. */
export class TavError extends Error {
  constructor(status, detail) {
    super(detail || strerror(status));
    this.name = 'TavError';
    this.status = status;
  }
}

// Throws for a status other than OK: `details` says what went wrong for the
// statuses the call expects; any other keeps the library's words.
function check(status, details = {}) {
  if (status !== Status.OK) throw new TavError(status, details[status]);
}

function refuse(detail) {
  throw new TavError(Status.BAD_ARGUMENT, detail);
}

// "a string", "an object", "null": what a wrong argument was.
function kind(value) {
  if (value === null || value === undefined) return String(value);
  const type = typeof value;
  return `${/^[aeiou]/.test(type) ? 'an' : 'a'} ${type}`;
}

const { PASSPHRASE_BYTES, KEY_FILES_MAX } = DEFINES;

// Node's warnings can be listened for, silenced or made fatal; elsewhere the console.
function warn(message, code) {
  const node = globalThis.process;
  if (typeof node?.emitWarning === 'function') node.emitWarning(message, { type: 'TavWarning', code });
  else console.warn(`tavsdk: ${message}`);
}

// ---- Memory of the module ---------------------------------------------------

function heap() {
  return new Uint8Array(wasm.memory.buffer);
}

function allocate(bytes) {
  const pointer = wasm.malloc(Math.max(bytes, 1));
  if (pointer === 0) throw new TavError(Status.NO_MEMORY, `out of memory: ${bytes} bytes of module memory were refused`);
  return pointer;
}

function release(pointer, bytes) {
  if (pointer === 0) return;
  heap().fill(0, pointer, pointer + bytes);
  wasm.free(pointer);
}

// Runs fn with `bytes` of module memory, overwritten and freed afterwards.
function withMemory(bytes, fn) {
  const pointer = allocate(bytes);
  try {
    return fn(pointer);
  } finally {
    release(pointer, bytes);
  }
}

// Input and output areas reused by every call, grown on demand.
const scratch = { pointer: 0, bytes: 0, module: null };

function scratchArea(bytes) {
  if (scratch.module !== wasm || scratch.bytes < bytes) {
    if (scratch.module === wasm) release(scratch.pointer, scratch.bytes);
    scratch.pointer = allocate(bytes);
    scratch.bytes = Math.max(bytes, 1);
    scratch.module = wasm;
  }
  return scratch.pointer;
}

function wipeScratch(bytes) {
  heap().fill(0, scratch.pointer, scratch.pointer + Math.min(bytes, scratch.bytes));
}

// Block mode: pieces of 1 MiB; expanded encoding: 64 KiB of input.
const BLOCK_PIECE = 1 << 20;
const ENCODE_PIECE = 1 << 16;
const DECODE_PIECE = 1 << 20;

function bytesOf(data, what = 'data', expected = 'bytes (a Uint8Array, another ArrayBuffer view or an ArrayBuffer)') {
  if (data instanceof Uint8Array) return data;
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  throw new TypeError(`${what} is ${kind(data)}, not ${expected}`);
}

const U64_LIMIT = 1n << 64n;

// A position or length: a whole number a double holds exactly, or a bigint
// below 2^64.
function offsetOf(value, what = 'offset') {
  if (typeof value === 'number') {
    if (!Number.isInteger(value)) throw new RangeError(`${what} ${value} is not a whole number`);
    if (value < 0) throw new RangeError(`${what} ${value} is negative`);
    if (!Number.isSafeInteger(value)) throw new RangeError(`${what} ${value} is past 2^53 - 1, beyond exact numbers; pass a bigint`);
    return BigInt(value);
  }
  if (typeof value === 'bigint') {
    if (value < 0n) throw new RangeError(`${what} ${value} is negative`);
    if (value >= U64_LIMIT) throw new RangeError(`${what} ${value} is past 2^64 - 1`);
    return value;
  }
  throw new TypeError(`${what} is ${kind(value)}, not a number or a bigint`);
}

// ---- Key sets ---------------------------------------------------------------

const KEY_FILES = {
  text: ['k1.txt', 'k2.txt', 'k3.txt', 'k4.txt', 'k5.txt', 'k6.dat'],
  binary: ['k1.bin', 'k2.bin', 'k3.bin', 'k4.bin', 'k5.bin', 'k6.dat'],
};

// What a Keys object holds, out of reach of its users.
const sets = new WeakMap();
const forgotten = new FinalizationRegistry(({ module, pointer }) => module.tav_keys_free(pointer));
const token = Symbol('tavsdk key set');

function alphabetCode(alphabet) {
  if (typeof alphabet !== 'string') throw new TypeError(`alphabet is ${kind(alphabet)}, not 'text' or 'binary'`);
  if (!Object.hasOwn(ALPHABETS, alphabet)) throw new RangeError(`unknown alphabet ${alphabet}: 'text' or 'binary'`);
  return ALPHABETS[alphabet];
}

const NO_K5 = 'the key set has no k5 pad table, which the expanded mode needs';

function made(pointer, truncated = false) {
  return new Keys(token, pointer, truncated);
}

function keysPointer(keys, what = 'keys') {
  const set = sets.get(keys);
  if (set === undefined) throw new TypeError(`${what} is ${kind(keys)}, not a Keys object`);
  if (set.pointer === 0) refuse('the key set was freed');
  if (set.module !== wasm) refuse('the key set belongs to a module replaced by load()');
  return set.pointer;
}

/** A key set of one alphabet. Free it (or let `using` do so) to overwrite
 * the module's copy at once. */
export class Keys {
  constructor(from, pointer, truncated) {
    if (from !== token) throw new TypeError('Keys are made by Keys.fromPassphrase or Keys.fromFiles, not by new Keys');
    sets.set(this, { pointer, module: wasm, users: new Set(), truncated });
    forgotten.register(this, { module: wasm, pointer }, this);
  }

  /** Keys derived from a passphrase (a string, taken as UTF-8, or bytes), as
   * key generation of that alphabet makes them. Only the first 18 bytes
   * count: a longer passphrase gives a warning and passphraseTruncated. */
  static fromPassphrase(passphrase, alphabet = 'binary') {
    const code = alphabetCode(alphabet);
    const owned = typeof passphrase === 'string';
    const bytes = owned ? new TextEncoder().encode(passphrase) : bytesOf(passphrase, 'passphrase', 'a string or bytes');
    try {
      if (bytes.length === 0) refuse('the passphrase is empty');
      // Other implementations stop at a 0 byte: nobody else could derive these keys.
      if (bytes.includes(0)) refuse('the passphrase holds a 0 byte');
      const keys = withMemory(LAYOUT.pointer + bytes.length, (pointer) => {
        heap().set(bytes, pointer + LAYOUT.pointer);
        check(wasm.tav_keys_new(pointer, code, pointer + LAYOUT.pointer, bytes.length),
          { [Status.BAD_ARGUMENT]: 'the passphrase was refused' });
        return made(new Uint32Array(wasm.memory.buffer, pointer, 1)[0], bytes.length > PASSPHRASE_BYTES);
      });
      if (keys.passphraseTruncated) {
        warn(`the passphrase is ${bytes.length} bytes long; only its first ${PASSPHRASE_BYTES} bytes count`,
          'TAV_PASSPHRASE_TRUNCATED');
      }
      return keys;
    } finally {
      if (owned) bytes.fill(0);
    }
  }

  /** Keys from key files: an object or Map from names (k1.bin, k3.bin, ...,
   * k6.dat; k1.txt ... for the text alphabet) to their bytes. k1 is
   * required; k3 and k4 default as in the library; k5 gives the expanded
   * mode. `master` supplies the master key schedule, as tav_keys_load's. */
  static fromFiles(files, alphabet = 'binary', master = undefined) {
    const code = alphabetCode(alphabet);
    if (files === null || typeof files !== 'object') {
      throw new TypeError(`files is ${kind(files)}, not an object or a Map of key file names to bytes`);
    }
    const get = files instanceof Map ? (name) => files.get(name) : (name) => files[name];
    const given = [];
    for (const name of KEY_FILES[alphabet]) {
      const image = get(name);
      if (image === undefined || image === null) continue;
      given.push({ name: new TextEncoder().encode(`${name}\0`), image: bytesOf(image, name) });
    }
    const masterPointer = master === undefined || master === null ? 0 : keysPointer(master, 'master');
    // The new set's pointer, the tav_key_file entries, then their names and contents.
    const table = LAYOUT.pointer;
    const total = given.reduce((sum, file) => sum + file.name.length + file.image.length,
      table + given.length * LAYOUT.tav_key_file);
    return withMemory(total, (pointer) => {
      const words = new DataView(wasm.memory.buffer);
      let at = pointer + table + given.length * LAYOUT.tav_key_file;
      given.forEach(({ name, image }, i) => {
        const entry = pointer + table + i * LAYOUT.tav_key_file;
        heap().set(name, at);
        words.setUint32(entry + LAYOUT['tav_key_file.name'], at, true);
        at += name.length;
        heap().set(image, at);
        words.setUint32(entry + LAYOUT['tav_key_file.data'], at, true);
        words.setUint32(entry + LAYOUT['tav_key_file.size'], image.length, true);
        at += image.length;
      });
      check(wasm.tav_keys_from_files(pointer, code, pointer + table, given.length, masterPointer), {
        [Status.NO_KEYS]: `no usable ${alphabet} keys among the files given (k1 missing, or k1, k3 or k4 damaged)`,
        [Status.BAD_ARGUMENT]: 'the key files were refused',
      });
      return made(new DataView(wasm.memory.buffer).getUint32(pointer, true));
    });
  }

  /** Whether the passphrase was longer than the 18 bytes that count (false
   * for keys from files). */
  get passphraseTruncated() {
    return sets.get(this)?.truncated === true;
  }

  /** 'text' or 'binary'. */
  get alphabet() {
    return wasm.tav_keys_alphabet(keysPointer(this)) === ALPHABETS.text ? 'text' : 'binary';
  }

  /** The key files of the set, by name, as tav_keys_save writes them. */
  exportFiles() {
    const pointer = keysPointer(this);
    // The count, then room for every entry.
    const table = LAYOUT.size_t;
    return withMemory(table + KEY_FILES_MAX * LAYOUT.tav_key_file, (area) => {
      check(wasm.tav_keys_files(pointer, area + table, KEY_FILES_MAX, area));
      const words = new DataView(wasm.memory.buffer);
      const files = {};
      for (let i = 0; i < words.getUint32(area, true); ++i) {
        const entry = area + table + i * LAYOUT.tav_key_file;
        const data = words.getUint32(entry + LAYOUT['tav_key_file.data'], true);
        files[cString(words.getUint32(entry + LAYOUT['tav_key_file.name'], true))] =
          heap().slice(data, data + words.getUint32(entry + LAYOUT['tav_key_file.size'], true));
      }
      return files;
    });
  }

  /** Overwrites and releases the module's copy; encoders and decoders made
   * from the set are freed with it. Calling it again does nothing. */
  free() {
    const set = sets.get(this);
    if (set === undefined || set.pointer === 0) return;
    for (const user of set.users) user.free();
    forgotten.unregister(this);
    set.module.tav_keys_free(set.pointer);
    set.pointer = 0;
  }
}

function attach(keys, user) {
  sets.get(keys).users.add(user);
}

function detach(keys, user) {
  sets.get(keys).users.delete(user);
}

// `using` frees what it holds, where the runtime has it.
function disposable(type) {
  if (typeof Symbol.dispose === 'symbol') {
    Object.defineProperty(type.prototype, Symbol.dispose, {
      value() {
        this.free();
      },
    });
  }
}

// ---- Block mode -------------------------------------------------------------

// Block mode from `input` into `output` (the same array or one as long),
// through the module's scratch area a piece at a time.
const BLOCK_REFUSED = Object.freeze({ [Status.BAD_ARGUMENT]: 'block mode refused the data' });

function block(keys, input, output, offset, decrypt) {
  const pointer = keysPointer(keys);
  let at = offsetOf(offset);
  if (at + BigInt(input.length) > U64_LIMIT) throw new RangeError(`offset ${at} plus ${input.length} bytes passes 2^64`);
  const piece = Math.min(BLOCK_PIECE, input.length);
  const area = scratchArea(piece);
  const run = decrypt ? wasm.tav_block_decrypt : wasm.tav_block_encrypt;
  try {
    for (let done = 0; done < input.length; done += piece) {
      const part = input.subarray(done, done + piece);
      heap().set(part, area);
      check(run(pointer, at, area, area, part.length), BLOCK_REFUSED);
      output.set(heap().subarray(area, area + part.length), done);
      at += BigInt(part.length);
    }
  } finally {
    wipeScratch(piece);
  }
  return output;
}

function newBlock(keys, data, offset, decrypt) {
  const input = bytesOf(data);
  return block(keys, input, new Uint8Array(input.length), offset, decrypt);
}

/** Block-mode encryption of `data` as bytes `offset` .. of a message. */
export function blockEncrypt(keys, data, offset = 0) {
  return newBlock(keys, data, offset, false);
}

/** Block-mode decryption of `data` as bytes `offset` .. of a message. */
export function blockDecrypt(keys, data, offset = 0) {
  return newBlock(keys, data, offset, true);
}

/** blockEncrypt over `data` itself, which it returns: no new buffer. */
export function blockEncryptInPlace(keys, data, offset = 0) {
  const bytes = bytesOf(data);
  return block(keys, bytes, bytes, offset, false);
}

/** blockDecrypt over `data` itself, which it returns: no new buffer. */
export function blockDecryptInPlace(keys, data, offset = 0) {
  const bytes = bytesOf(data);
  return block(keys, bytes, bytes, offset, true);
}

// ---- Expanded mode ----------------------------------------------------------

/** The expanded size (a bigint) of a message of `length` plain bytes. */
export function expandedSize(keys, length) {
  const pointer = keysPointer(keys);
  const plain = offsetOf(length, 'length');
  return withMemory(LAYOUT.uint64_t, (out) => {
    const status = wasm.tav_expanded_size(pointer, plain, out);
    if (status === Status.BAD_ARGUMENT) throw new RangeError(`the expanded size of ${plain} bytes passes 2^64`);
    check(status, { [Status.NO_KEYS]: NO_K5 });
    return new BigUint64Array(wasm.memory.buffer, out, 1)[0];
  });
}

function newObject(make, details) {
  return withMemory(LAYOUT.pointer, (slot) => {
    check(make(slot), details);
    return new Uint32Array(wasm.memory.buffer, slot, 1)[0];
  });
}

// What encoders and decoders share: the object in the module, tied to its
// key set, and the pieces a chunk goes through it in.
class Coder {
  #keys;
  #pointer;
  #kind;

  constructor(keys, kind) {
    const pointer = keysPointer(keys);
    this.#pointer = newObject((slot) => kind.make(slot, pointer), { [Status.NO_KEYS]: NO_K5 });
    this.#keys = keys;
    this.#kind = kind;
    attach(keys, this);
  }

  update(chunk) {
    const kind = this.#kind;
    if (this.#pointer === 0) refuse(`the ${kind.name} was freed`);
    const input = bytesOf(chunk, 'chunk');
    const parts = [];
    let total = 0;
    for (let done = 0; done < input.length; done += kind.piece) {
      const part = input.subarray(done, done + kind.piece);
      const room = kind.room(this.#pointer, part.length);
      // The output length, then the input, then the output.
      const bytes = 8 + part.length + room;
      const area = scratchArea(bytes);
      const out = area + 8 + part.length;
      try {
        heap().set(part, area + 8);
        check(kind.code(this.#pointer, area + 8, part.length, out, room, area), kind.failures);
        const got = new Uint32Array(wasm.memory.buffer, area, 1)[0];
        parts.push(heap().slice(out, out + got));
        total += got;
      } finally {
        wipeScratch(bytes);
      }
    }
    return parts.length === 1 ? parts[0] : concat(parts, total);
  }

  free() {
    if (this.#pointer === 0) return;
    this.#kind.release(this.#pointer);
    this.#pointer = 0;
    detach(this.#keys, this);
  }
}

const ENCODER = {
  name: 'encoder',
  piece: ENCODE_PIECE,
  failures: {
    [Status.BAD_SOURCE]: 'the random source for the fillers failed',
    [Status.BAD_ARGUMENT]: 'the encoder refused the chunk',
  },
  make: (slot, keys) => wasm.tav_encoder_new(slot, keys, 0, 0),
  room: (encoder, n) => wasm.tav_encoder_size(encoder, n),
  code: (encoder, input, n, out, room, length) => wasm.tav_encoder_update(encoder, input, n, out, room, length),
  release: (encoder) => wasm.tav_encoder_free(encoder),
};

const DECODER = {
  name: 'decoder',
  piece: DECODE_PIECE,
  failures: { [Status.BAD_ARGUMENT]: 'the decoder refused the chunk' },
  make: (slot, keys) => wasm.tav_decoder_new(slot, keys),
  room: (decoder, n) => n,
  code: (decoder, input, n, out, room, length) => wasm.tav_decoder_update(decoder, input, n, out, length),
  release: (decoder) => wasm.tav_decoder_free(decoder),
};

/** An expanded encoder: chunks of one message in, expanded bytes out. */
export class Encoder extends Coder {
  constructor(keys) {
    super(keys, ENCODER);
  }
}

/** An expanded decoder: chunks cut anywhere in, plain bytes out. */
export class Decoder extends Coder {
  constructor(keys) {
    super(keys, DECODER);
  }
}

disposable(Keys);
disposable(Encoder);
disposable(Decoder);

function concat(parts, total) {
  const out = new Uint8Array(total);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}

function whole(coder, data) {
  try {
    return coder.update(data);
  } finally {
    coder.free();
  }
}

/** The expanded form of a whole message. */
export function expandedEncode(keys, data) {
  return whole(new Encoder(keys), data);
}

/** The plain message of a whole expanded one. */
export function expandedDecode(keys, data) {
  return whole(new Decoder(keys), data);
}

// ---- Streams ----------------------------------------------------------------

// Chunks of any size in; out, pieces of at most a few MiB each, so that the
// memory a stream holds stays bounded whatever the chunks.
function pieces(chunk, size, controller, fn) {
  const input = bytesOf(chunk, 'chunk');
  for (let done = 0; done < input.length; done += size) {
    const out = fn(input.subarray(done, done + size));
    if (out.length > 0) controller.enqueue(out);
  }
}

function blockStream(keys, offset, decrypt) {
  keysPointer(keys);
  let at = offsetOf(offset);
  return new TransformStream({
    transform(chunk, controller) {
      pieces(chunk, BLOCK_PIECE, controller, (part) => {
        const out = newBlock(keys, part, at, decrypt);
        at += BigInt(part.length);
        return out;
      });
    },
  });
}

/** A TransformStream encrypting in block mode from byte `offset` on. */
export function blockEncryptStream(keys, { offset = 0 } = {}) {
  return blockStream(keys, offset, false);
}

/** A TransformStream decrypting in block mode from byte `offset` on. */
export function blockDecryptStream(keys, { offset = 0 } = {}) {
  return blockStream(keys, offset, true);
}

function objectStream(object, size) {
  return new TransformStream({
    transform(chunk, controller) {
      pieces(chunk, size, controller, (part) => object.update(part));
    },
    flush() {
      object.free();
    },
    cancel() {
      object.free();
    },
  });
}

/** A TransformStream from a plain message to its expanded form. */
export function expandedEncodeStream(keys) {
  return objectStream(new Encoder(keys), ENCODE_PIECE);
}

/** A TransformStream from an expanded message to the plain one. */
export function expandedDecodeStream(keys) {
  return objectStream(new Decoder(keys), DECODE_PIECE);
}
