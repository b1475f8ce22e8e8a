/* SPDX-License-Identifier: MIT */
/*
 * tavsdk_legacy.h - the process-wide functions of tavsdk (Tav...).
 *
 * Included by tavsdk.h, which is the header to include; it declares the
 * core interface (tav_...) these functions are built on, the status codes
 * and the alphabets. Generate the keys of an alphabet from a passphrase
 * (TavGenTextKeys or TavGenBinaryKeys), which writes them to key files in the
 * current directory, then encrypt or decrypt strings and files with that
 * alphabet, and finally destroy the key files with TavShutdown.
 *
 * Threads. The process-wide functions keep their state in fixed
 * process-global storage and allocate nothing on the heap. They are not
 * re-entrant: call them from one thread at a time (and not while another
 * thread uses the core on the same current directory's key files), and let
 * one process at a time use a directory.
 *
 * Key files. Key generation writes the key material to fixed names in the
 * process's current working directory, and every operation reads it back from
 * there at the start of each call:
 *   k1.txt k2.txt k3.txt k4.txt k5.txt   text alphabet   (TavGenTextKeys)
 *   k1.bin k2.bin k3.bin k4.bin k5.bin   binary alphabet (TavGenBinaryKeys)
 *   k6.dat                               shared pad keys (both; the later wins)
 * k1 holds the wheels, k3 and k4 the stepping parameters, k5 and k6.dat the pad
 * keys; k2 is written and never read. Key files are created with mode 0600.
 * A missing k3 or k4 gives built-in stepping defaults; any other key file that
 * exists but is not a regular file or cannot be read counts as damaged: the
 * operations refuse to run with it (status 1), never fall back to defaults.
 * A process must generate the keys of an alphabet (with the same passphrase, to
 * reach existing ciphertext) before it can encrypt or decrypt with it: the key
 * flags TextSys and BinSys live in memory only.
 *
 * Status codes of the file operations (the TAV_OK ... TAV_BAD_DEST constants
 * below; the scramblers add TAV_BAD_BLOCKS and TAV_PAST_END):
 *   0  success; cmd is left unchanged
 *   1  no usable keys of the operation's alphabet in this process (keys not
 *      generated, destroyed by TavShutdown, a wheel or pad key file that is
 *      missing or damaged, or a damaged k3 or k4); cmd holds
 *      TAV_MSG_NO_TEXT_KEYS or TAV_MSG_NO_BINARY_KEYS
 *   2  source path null, not readable, not a regular file, or a read error;
 *      cmd holds TAV_MSG_BAD_SOURCE
 *   3  destination path null, not creatable, the same file as the source,
 *      replaced by something else during the call, or a write error; cmd
 *      holds TAV_MSG_BAD_DEST
 * The output is written beside the destination and takes its name only when
 * complete: a failure never leaves a partial destination behind and leaves an
 * existing destination as it was; the source is never modified.
 *
 * Global names. Besides its functions the library exports four variables
 * with plain global names: cmd, OutString, TextSys and BinSys. They share the
 * program's global namespace: a program (or another library it links) that
 * defines a global of one of these names takes the library's place, and the
 * library then reads and writes that object instead. Do not define them.
 */
#ifndef TAVSDK_LEGACY_H
#define TAVSDK_LEGACY_H

#include "tavsdk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The exact texts copied into cmd. There are two spaces after "data.". */
#define TAV_MSG_NO_TEXT_KEYS "Missing System data.  Issue TavGenTextKeys."
#define TAV_MSG_NO_BINARY_KEYS "Missing System data.  Issue TavGenBinaryKeys."
#define TAV_MSG_BAD_SOURCE "Missing or invalid sourcefile."
#define TAV_MSG_BAD_DEST "Missing or invalid cryptfile."

/* Message of the last failing file operation or TavKillFile (NUL-terminated).
 * Successful calls leave it unchanged. */
TAVSDK_API extern char cmd[500];

/* Result of the last successful string operation: at most 8191 bytes and a
 * terminating 0 byte. Valid until the next string operation. */
TAVSDK_API extern char OutString[8192];

/* Key flags: 1 once TavGenTextKeys / TavGenBinaryKeys succeeded in this
 * process, 0 at load, after TavShutdown, and after a failed generation. */
TAVSDK_API extern int TextSys;
TAVSDK_API extern int BinSys;

/* ---- Key generation --------------------------------------------------------
 * Digest the passphrase (a NUL-terminated byte string; only its first 18
 * characters matter) into the key material of one alphabet, write k1..k5 of
 * that alphabet and k6.dat in the current directory (mode 0600, replacing any
 * existing files), rebuild the in-memory master key schedule shared by both
 * alphabets, and raise the alphabet's key flag.
 * Returns TAV_OK (0) on success; 1 for an empty or null passphrase (nothing is written,
 * no flag changes); 2 when a key file cannot be created or fully written (no
 * file is written through a failed open, the alphabet's flag is lowered, and
 * the key files on disk may mix old and new keys until a generation succeeds).
 * Deterministic: the same passphrase gives the same files in any process. */
TAVSDK_API int TavGenTextKeys(const char *passphrase);
TAVSDK_API int TavGenBinaryKeys(const char *passphrase);

/* ---- String operations -----------------------------------------------------
 * Encrypt (TavTEnc, TavBEnc) or decrypt (TavTDec, TavBDec) a NUL-terminated
 * string of at most 8191 bytes (longer input is refused, not cut) with the
 * text (T) or binary (B) alphabet; read k1, k3, k4 of that alphabet (damaged
 * key files count as no keys).
 * The input must be writable: without keys the call writes text[0] = 0, so
 * passing a string literal or other read-only memory can crash the program.
 * Each call restarts the cipher, so one call's
 * result is undone by one call of the opposite operation.
 * Returns OutString holding exactly as many bytes as the input, NUL-terminated.
 * The input may be OutString itself.
 * Failures:
 *  - null text: returns NULL, touches nothing;
 *  - no usable keys of the alphabet: sets text[0] = 0 and returns text;
 *    OutString is not touched;
 *  - input of 8192 bytes or more: returns text unchanged; OutString is not
 *    touched.
 * So a result != OutString means failure.
 * Binary results may contain 0 bytes; read as C strings they then look
 * shorter, and TavBDec of such a string decrypts only the bytes before the
 * first 0. Text results never contain a 0 byte. */
TAVSDK_API char *TavTEnc(char *text);
TAVSDK_API char *TavTDec(char *text);
TAVSDK_API char *TavBEnc(char *text);
TAVSDK_API char *TavBDec(char *text);

/* ---- Block file operations -------------------------------------------------
 * Encrypt or decrypt the whole file `source` into `destination` (same length,
 * byte for byte, one continuous cipher stream). Text: reads k1.txt, k3.txt,
 * k4.txt; binary: k1.bin, k3.bin, k4.bin. Checks, in this order: key flag and
 * key files (1), source path null (2), destination path null (3), source not
 * readable or not a regular file (2; FIFOs and devices are refused at once),
 * destination naming the source file by any spelling or link, an existing
 * destination that is not a regular file, or a symbolic link to anything but
 * a regular file (3), an existing destination that cannot be opened for
 * writing, or a directory where the new file cannot be created (3, nothing
 * written). The new file is written under no name in the destination's
 * directory and replaces the destination in one step when complete; an
 * existing destination file is then cut to "@@@" through its descriptor, so
 * that other links to it see "@@@" as before. A destination that is a
 * symbolic link is replaced as a link, and its target is never opened or
 * written. The source is read to its end, whatever size it reported (procfs
 * files, files growing during the call). A read error returns 2, a write error
 * 3; in both cases nothing new is left and the old destination is intact.
 * See the status codes above.
 * Files of any size that the file system supports are handled. */
TAVSDK_API int TavTextFileEnc(const char *source, const char *destination);
TAVSDK_API int TavTextFileDec(const char *source, const char *destination);
TAVSDK_API int TavBinaryFileEnc(const char *source, const char *destination);
TAVSDK_API int TavBinaryFileDec(const char *source, const char *destination);

/* ---- Expanded file operations ----------------------------------------------
 * The encoders write each ciphertext byte followed by a run of random filler
 * symbols of the alphabet (from the default generator of tav_fill_fn); the
 * run lengths come from the pad table built from k5.txt (T) or k5.bin (B).
 * The expanded file is about 21 to 48 times the plain file. The decoders
 * restore the plain file and never look at filler values; a truncated expanded
 * file decodes every unit whose ciphertext byte is present.
 * Reads k1, k3, k4 and k5 of the alphabet. Status codes and checks as for the
 * block file operations; a missing or damaged k5 file returns 1 with the key
 * message, before anything is created or changed.
 * Two encryptions of the same file have equal sizes and equal ciphertext
 * bytes and differ in their fillers. */
TAVSDK_API int TavTExpandFileEnc(const char *source, const char *destination);
TAVSDK_API int TavTExpandFileDec(const char *source, const char *destination);
TAVSDK_API int TavBExpandFileEnc(const char *source, const char *destination);
TAVSDK_API int TavBExpandFileDec(const char *source, const char *destination);

/* ---- Scramblers (no key flag, no cipher, cmd untouched) --------------------
 * TavScrambleFile: with count 1, reverse the whole file (through the scratch
 * file turnabot.dat in the current directory, created 0600 and removed once
 * the file is rewritten); otherwise reverse `count` consecutive blocks of
 * `size` bytes at the start of the file in place. Calling it twice restores
 * the file. The file is opened once, following a symbolic link, and checked
 * and rewritten through that one descriptor.
 * Returns TAV_OK done (also for a negative count, which reverses nothing);
 * TAV_BAD_SOURCE path null, not a regular file, not readable or not writable,
 * or an I/O error; TAV_BAD_BLOCKS count 0, size above 5000, or size 0 or
 * negative with a count other than 1; TAV_PAST_END count * size greater than
 * the file's length. The file is left unchanged on 4, 5, and on 2 except for
 * an I/O error while writing:
 *  - whole file: the reversed copy is complete in turnabot.dat before the
 *    file is written; when writing it back fails, the call returns 2 and keeps
 *    turnabot.dat, which then holds the whole reversed content (byte k is byte
 *    L-1-k of the original file of L bytes); copy it over the file to finish;
 *  - blocks: the file is rewritten in chunks of 1 MiB, each a whole number of
 *    blocks; after a failed write the chunks before the failing one are
 *    reversed, the failing chunk may be reversed in part (from its start, not
 *    ending on a block boundary), and the rest is unchanged. A second call
 *    does not repair that. TavXScrambleFile fails the same way.
 *
 * TavXScrambleFile: cut the file into consecutive blocks whose lengths come
 * from the pad table built from k6.dat and reverse each block that fits whole.
 * Calling it twice with the same k6.dat restores the file.
 * Returns 0 done; 1 k6.dat missing or damaged (nothing changed); 2 path null,
 * file not readable or not writable, or an I/O error. */
TAVSDK_API int TavScrambleFile(const char *path, int count, int size);
TAVSDK_API int TavXScrambleFile(const char *path);

/* ---- Destruction -----------------------------------------------------------
 * TavKillFile: overwrite the file in place 21 times with blocks of 8192
 * backquotes (L / 8192 + 1 blocks for a file of L bytes), flushing each pass to
 * the device, then remove it. Once the file's own L bytes are written, a full
 * file system (no room for the rest of the last block) does not stop the
 * passes or the removal. Returns 0; or 2 with TAV_MSG_BAD_SOURCE in cmd
 * for a null path, a symbolic link, a directory or other non-regular file, a
 * file that cannot be opened for reading and writing (nothing touched), or a
 * write error (the file is then left in place, so that the call can be
 * repeated), or when the name no longer refers to the wiped file (it is not
 * removed then).
 *
 * TavShutdown: overwrite each existing key file of both alphabets and k6.dat in
 * place with '@' characters (3020 bytes for .txt files, 5120 for .bin files and
 * k6.dat), flush it, delete it; clear all key material held in memory; lower
 * TextSys and BinSys. A key file name that is a symbolic link, a FIFO or
 * anything else but a regular file is deleted without writing (a link's
 * target is never touched). Returns 0.
 *
 * KillTheFile: remove the named file without overwriting it. Returns 0 when it
 * was removed, 2 for a null path or a failed removal.
 *
 * UpdateDecFile: does nothing. */
TAVSDK_API int TavKillFile(const char *path);
TAVSDK_API int TavShutdown(void);
TAVSDK_API int KillTheFile(const char *path);
TAVSDK_API void UpdateDecFile(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVSDK_LEGACY_H */
