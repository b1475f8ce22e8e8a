// SPDX-License-Identifier: MIT
// Types of the tavsdk package.

/** Bytes as the functions take them. */
export type Bytes = Uint8Array | ArrayBufferView | ArrayBuffer;

/** The two alphabets: 151 text symbols, or all 256 byte values. */
export type Alphabet = 'text' | 'binary';

/** A position in a message: a non-negative safe integer, or a bigint below 2^64. */
export type Offset = number | bigint;

/** Status codes, as in the C library. */
export declare const Status: Readonly<{
  OK: 0;
  NO_KEYS: 1;
  BAD_SOURCE: 2;
  BAD_DEST: 3;
  BAD_BLOCKS: 4;
  PAST_END: 5;
  CANCELLED: 6;
  BAD_ARGUMENT: 7;
  NO_MEMORY: 8;
  EXISTS: 9;
  COPY_KEPT: 10;
}>;

/** The library's message for a status. */
export declare function strerror(status: number): string;

/**
 * A refusal or failure of the library: `status` is one of Status; the message says what went wrong
 * (the library's own words, strerror(status), when no `detail` is given). Arguments of the wrong type
 * throw a TypeError instead, values out of range (offsets, lengths, alphabets) a RangeError.
 */
export declare class TavError extends Error {
  readonly name: 'TavError';
  readonly status: number;
  constructor(status: number, detail?: string);
}

/** Loads the module again from other bytes or another URL. */
export declare function load(source?: BufferSource | WebAssembly.Module | URL | string): Promise<void>;

/** Key files by name: k1.bin ... k5.bin and k6.dat (k1.txt ... for text). */
export type KeyFiles = Record<string, Uint8Array>;

/** A key set of one alphabet; free() overwrites the module's copy. */
export declare class Keys {
  private constructor();
  /**
   * Keys from a passphrase (a string is taken as UTF-8), as key generation makes them. Only the first
   * 18 bytes count: a longer one sets passphraseTruncated and warns once (process.emitWarning, code
   * TAV_PASSPHRASE_TRUNCATED, in Node; console.warn elsewhere).
   */
  static fromPassphrase(passphrase: string | Bytes, alphabet?: Alphabet): Keys;
  /** Keys from key files; `master` gives the master key schedule. */
  static fromFiles(files: KeyFiles | Map<string, Bytes>, alphabet?: Alphabet, master?: Keys): Keys;
  readonly alphabet: Alphabet;
  /** Whether the passphrase had more than the 18 bytes that count (false for keys from files). */
  readonly passphraseTruncated: boolean;
  /** The key files of the set, as key generation writes them. */
  exportFiles(): KeyFiles;
  /** Overwrites and releases the set, with its encoders and decoders. */
  free(): void;
}

export declare function blockEncrypt(keys: Keys, data: Bytes, offset?: Offset): Uint8Array;
export declare function blockDecrypt(keys: Keys, data: Bytes, offset?: Offset): Uint8Array;
/** Encrypts `data` where it lies and returns it as a Uint8Array over the same bytes. */
export declare function blockEncryptInPlace(keys: Keys, data: Bytes, offset?: Offset): Uint8Array;
/** Decrypts `data` where it lies and returns it as a Uint8Array over the same bytes. */
export declare function blockDecryptInPlace(keys: Keys, data: Bytes, offset?: Offset): Uint8Array;

/** The expanded size of a message of `length` plain bytes. */
export declare function expandedSize(keys: Keys, length: Offset): bigint;
export declare function expandedEncode(keys: Keys, data: Bytes): Uint8Array;
export declare function expandedDecode(keys: Keys, data: Bytes): Uint8Array;

/** Chunks of one message in, expanded bytes out. */
export declare class Encoder {
  constructor(keys: Keys);
  update(chunk: Bytes): Uint8Array;
  free(): void;
}

/** Expanded chunks cut anywhere in, plain bytes out. */
export declare class Decoder {
  constructor(keys: Keys);
  update(chunk: Bytes): Uint8Array;
  free(): void;
}

export interface BlockStreamOptions {
  /** Where in the message the stream's first byte stands (default 0). */
  offset?: Offset;
}

export declare function blockEncryptStream(keys: Keys, options?: BlockStreamOptions): TransformStream<Bytes, Uint8Array>;
export declare function blockDecryptStream(keys: Keys, options?: BlockStreamOptions): TransformStream<Bytes, Uint8Array>;
export declare function expandedEncodeStream(keys: Keys): TransformStream<Bytes, Uint8Array>;
export declare function expandedDecodeStream(keys: Keys): TransformStream<Bytes, Uint8Array>;
