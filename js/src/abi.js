// SPDX-License-Identifier: MIT
// What the package takes from the C library: the values of include/tavsdk.h
// and the layout of the C types it writes and reads in the module's memory
// (wasm32). test/abi.test.js holds them against the header and the module.

/** Status codes, as in the C library (tav_status). */
export const Status = Object.freeze({
  OK: 0,
  NO_KEYS: 1,
  BAD_SOURCE: 2,
  BAD_DEST: 3,
  BAD_BLOCKS: 4,
  PAST_END: 5,
  CANCELLED: 6,
  BAD_ARGUMENT: 7,
  NO_MEMORY: 8,
  EXISTS: 9,
  COPY_KEPT: 10,
});

// TAV_TEXT and TAV_BINARY.
export const ALPHABETS = Object.freeze({ text: 1, binary: 2 });

// The other #defines the package uses, under their names without TAV_.
export const DEFINES = Object.freeze({
  PASSPHRASE_BYTES: 18, // only so many leading bytes of a passphrase count
  KEY_FILES_MAX: 6, // key files of one set: k1..k5 and k6.dat
});

// Sizes and offsets in bytes. Pointers and size_t values are read and
// written as 32-bit words, uint64_t ones as 64-bit words.
export const LAYOUT = Object.freeze({
  pointer: 4,
  size_t: 4,
  uint64_t: 8,
  tav_key_file: 12,
  'tav_key_file.name': 0,
  'tav_key_file.data': 4,
  'tav_key_file.size': 8,
});
