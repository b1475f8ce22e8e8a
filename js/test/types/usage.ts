// SPDX-License-Identifier: MIT
// Compiled with tsc --strict only: the declarations describe what a typed
// caller writes.
import {
  Decoder, Encoder, Keys, Status, TavError, blockDecrypt, blockDecryptInPlace, blockEncrypt, blockEncryptStream,
  expandedDecodeStream, expandedEncode, expandedSize, strerror,
} from 'tavsdk';

const keys: Keys = Keys.fromPassphrase('passphrase', 'text');
const truncated: boolean = keys.passphraseTruncated;
const files = keys.exportFiles();
const again = Keys.fromFiles(files, 'text', keys);
const cipher: Uint8Array = blockEncrypt(keys, new Uint8Array(16), 10n);
const plain: Uint8Array = blockDecrypt(again, cipher, 10);
blockDecryptInPlace(again, new DataView(cipher.slice().buffer), 10n);
const size: bigint = expandedSize(keys, plain.length);
const encoder = new Encoder(keys);
const decoder = new Decoder(keys);
const out: Uint8Array = decoder.update(encoder.update(expandedEncode(keys, plain)));
const streams: TransformStream<ArrayBufferView | ArrayBuffer, Uint8Array>[] = [
  blockEncryptStream(keys, { offset: size }),
  expandedDecodeStream(keys),
];
try {
  Keys.fromPassphrase('');
} catch (e) {
  if (e instanceof TavError && e.status === Status.BAD_ARGUMENT) console.log(strerror(e.status), out, streams, truncated);
}
keys.free();
