/* SPDX-License-Identifier: MIT */
/*
 * tavsdk.h - twenty-wheel rotor substitution cipher for files and strings.
 *
 * A legacy rotor-style cipher kept for compatibility with data and peers of
 * this system. It has no integrity protection and is no replacement for modern
 * authenticated encryption.
 *
 * Two interfaces give the same bytes:
 *  - the core interface (tav_..., at the end of this file): key sets held in
 *    memory, buffers and streams of any length, descriptors, and files
 *    relative to directory descriptors; re-entrant and thread-safe;
 *  - the process-wide functions (Tav...): generate the keys of an alphabet
 *    from a passphrase (TavGenTextKeys or TavGenBinaryKeys), which writes
 *    them to key files in the current directory, then encrypt or decrypt
 *    strings and files with that alphabet, and finally destroy the key files
 *    with TavShutdown. They are built on the core.
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
 * Alphabets. The text alphabet has 151 single-byte symbols (double quote, line
 * feed, space, A-Z, a-z, 0-9, 29 punctuation marks, underscore, backquote and
 * 55 ISO 8859-1 letters and signs); text-mode bytes outside it pass through
 * unchanged. The binary alphabet is all 256 byte values.
 *
 * Threads. The process-wide functions keep their state in fixed
 * process-global storage and allocate nothing on the heap. They are not
 * re-entrant: call them from one thread at a time (and not while another
 * thread uses the core on the same current directory's key files), and let
 * one process at a time use a directory. The block and
 * expanded file operations may run worker threads within a call on sources of
 * a few MiB and more: as many as the CPUs the process may run on, capped by
 * the environment variable TAVSDK_THREADS (a positive number, read at every
 * call; 1 keeps everything on the calling thread; other values are ignored).
 * Workers run with every signal blocked and are joined before the call
 * returns: no thread outlives a call. A worker that cannot be started only
 * means fewer workers. The output does not depend on the number of workers.
 *
 * Engine paths. The cipher runs on the fastest kernel the CPU has: AVX-512
 * VBMI, AVX2 or NEON, else portable code; all give the same bytes. The
 * environment variable TAVSDK_CPU, read once per process at the first
 * operation, selects one: "portable", "avx2", "avx512" or "neon". A path the
 * CPU lacks falls back to the best available below it (avx512, then avx2,
 * then portable; neon, then portable); an unset, empty or unknown value means
 * the fastest.
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
#ifndef TAVSDK_H
#define TAVSDK_H

#include <stddef.h>
#include <stdint.h>

#include "tavsdk_version.h"

#if defined(TAVSDK_BUILDING) && defined(__cplusplus)
/* The standard spelling, so that TAV_NODISCARD may follow it. */
#define TAVSDK_API [[gnu::visibility("default")]]
#elif defined(TAVSDK_BUILDING)
#define TAVSDK_API __attribute__((visibility("default")))
#else
#define TAVSDK_API
#endif

/* Marks the functions whose tav_status result must not be ignored: the
 * compiler warns about a call that drops it. In C++17 and C23 a cast to void
 * says that dropping it is meant; GCC's older attribute (C99) ignores such a
 * cast, so test the result there. */
#if defined(__cplusplus) && __cplusplus >= 201703L
#define TAV_NODISCARD [[nodiscard]]
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 202311L
#define TAV_NODISCARD [[nodiscard]]
#elif defined(__GNUC__)
#define TAV_NODISCARD __attribute__((warn_unused_result))
#else
#define TAV_NODISCARD
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of every operation. The process-wide functions return
 * TAV_OK ... TAV_PAST_END only; the core interface (tav_...) adds the rest. */
typedef enum tav_status {
  TAV_OK = 0,            /* success */
  TAV_NO_KEYS = 1,       /* no usable keys of the alphabet (k6.dat for TavXScrambleFile) */
  TAV_BAD_SOURCE = 2,    /* source (or the file to scramble or wipe) missing, unusable, or a read error */
  TAV_BAD_DEST = 3,      /* destination missing, unusable, the source itself, or a write error */
  TAV_BAD_BLOCKS = 4,    /* scramblers: block count or size out of range */
  TAV_PAST_END = 5,      /* scramblers: the blocks reach past the end of the file */
  TAV_CANCELLED = 6,     /* the progress callback asked to stop; nothing of the output remains */
  TAV_BAD_ARGUMENT = 7,  /* a null pointer, an unknown flag or alphabet, a refused passphrase, too little room */
  TAV_NO_MEMORY = 8,     /* an object could not be allocated */
  TAV_EXISTS = 9,        /* the destination exists and TAV_REPLACE was not given */
  TAV_COPY_KEPT = 10     /* whole-file reversal: the write-back failed; the complete reversed copy is kept */
} tav_status;

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
 * symbols of the alphabet (from the operating system's random source); the
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

/* ==== Core interface ========================================================
 *
 * Keys as values, buffers and streams of any length, descriptors, and paths
 * relative to a directory descriptor. Nothing here touches a process-wide
 * variable, the current directory or cmd: every call works on the objects
 * the caller passes, and any number of threads may call at once on distinct
 * objects (a key set may be shared by any number of threads; an encoder or a
 * decoder belongs to one thread at a time). The output is byte for byte the
 * same as that of the process-wide functions above with the same keys.
 *
 * Memory. Only the *_new and *_load functions allocate (and say so); every
 * other call works in the objects it is given, on the caller's stack (at
 * most about 200 KiB) and, for large regular files, in worker threads it
 * joins before it returns. Objects are freed with their *_free function,
 * which first overwrites every byte of key material they hold.
 *
 * Errors. Every call returns a tav_status. Calls that make system calls take
 * `int *error` (may be NULL): it receives the errno of the system call that
 * failed, or 0 when the failure was not a system call's. tav_strerror names a
 * status. The core keeps no message buffer and never prints.
 *
 * Signals. Calls may be interrupted by signal handlers (EINTR is retried).
 * Worker threads run with every signal blocked. */

/* The two alphabets: 151 text symbols (bytes outside it pass through
 * unchanged) or all 256 byte values. */
typedef enum tav_alphabet { TAV_TEXT = 1, TAV_BINARY = 2 } tav_alphabet;

/* A short English text for a status ("no usable keys", ...); never NULL, a
 * static string, also for values that are no status. The text of
 * TAV_BAD_ARGUMENT lists its causes, a refused passphrase (empty, or holding
 * a 0 byte) among them. */
TAVSDK_API const char *tav_strerror(int status);

/* ---- Key sets -------------------------------------------------------------
 * A key set holds everything the operations of one alphabet need: the wheels,
 * the stepping parameters, the master key schedule, and the pad tables of the
 * expanded mode (k5) and of the variable-block scrambler (k6.dat). It is
 * immutable once made and may be used by any number of threads at once. It
 * must outlive every encoder and decoder made from it. */
typedef struct tav_keys tav_keys;

/* Only this many leading bytes of a passphrase affect the keys; the rest is
 * ignored (as every implementation of this system does). In UTF-8 a
 * character may take several bytes. */
#define TAV_PASSPHRASE_BYTES 18

/* Derives the key set of `alphabet` (TAV_TEXT or TAV_BINARY) from a passphrase, in memory only: no
 * file is read or written. The result is exactly what TavGenTextKeys /
 * TavGenBinaryKeys would write to the key files, with the master key
 * schedule that generation leaves behind.
 * `passphrase` is `length` bytes (not NUL-terminated; only the first
 * TAV_PASSPHRASE_BYTES count). Allocates the key set (about 250 KiB); on
 * success *keys owns it, else *keys is NULL.
 * Returns TAV_OK; TAV_BAD_ARGUMENT for a null pointer, an unknown alphabet, an
 * empty passphrase or one that holds a 0 byte (no other implementation could
 * derive keys from it); TAV_NO_MEMORY. */
TAVSDK_API TAV_NODISCARD tav_status tav_keys_new(tav_keys **keys, int alphabet, const void *passphrase, size_t length);

/* Reads the key files of `alphabet` (k1..k5 of it and k6.dat) from the
 * directory `dirfd` (AT_FDCWD: the current directory) with the rules of the
 * process-wide functions: k1 must be a complete wheel file; a missing k3 or
 * k4 gives the built-in stepping defaults; a k5 or k6.dat that is missing or
 * damaged leaves that pad table out (the operations that need it then return
 * TAV_NO_KEYS); anything that exists but is not a readable regular file is
 * damaged. Key files are never written.
 * The master key schedule is in no key file: it lives only in the memory of
 * whoever generated the keys. The loaded set takes the schedule of `master`
 * (a key set made by tav_keys_new from the same passphrase, of either
 * alphabet, or any other), or, with NULL, the all-zero schedule of a process
 * that has generated nothing (which encrypts differently from the keys that
 * were generated: only the schedule of the generation reproduces them).
 * Allocates as tav_keys_new. Returns TAV_OK; TAV_BAD_ARGUMENT; TAV_NO_KEYS
 * when k1, k3 or k4 is missing or damaged (*error: the errno of the failed
 * open or read, EISDIR for a directory, 0 for a file of the wrong size or
 * content and for anything else that is not a regular file, such as a FIFO
 * or a device); TAV_NO_MEMORY. */
TAVSDK_API TAV_NODISCARD tav_status tav_keys_load(tav_keys **keys, int alphabet, int dirfd, const tav_keys *master,
                                                  int *error);

/* Writes the key files of the set into the directory `dirfd`, as key
 * generation does: k1..k5 of its alphabet and k6.dat (those it holds), each
 * a new file of mode 0600 that replaces the name (a symbolic link at a name is
 * replaced, never followed). All of them are written and flushed before the
 * first takes its name, and each name passes from the old file to the new one
 * in one step. Returns TAV_OK; TAV_BAD_ARGUMENT for a null key set;
 * TAV_BAD_DEST when a file cannot be created, fully written or named (*error
 * says why). A failure while writing (a full file system, say) leaves every
 * old key file as it was; one while naming (a directory at a name) leaves
 * the files before it in the order above new and the rest old. No name ever
 * holds a partial key file. */
TAVSDK_API TAV_NODISCARD tav_status tav_keys_save(const tav_keys *keys, int dirfd, int *error);

/* The alphabet of a key set (0 for NULL). */
TAVSDK_API tav_alphabet tav_keys_alphabet(const tav_keys *keys);

/* Overwrites every byte of the key set and releases it. NULL is ignored. */
TAVSDK_API void tav_keys_free(tav_keys *keys);

/* ---- Block mode on buffers --------------------------------------------------
 * Encrypts or decrypts `length` bytes that stand at byte `offset` of a
 * message: the stepping of the cipher depends only on the position, so one
 * call may transform a whole message, or the caller may cut a message into
 * pieces of any size and pass each with its offset, in any order and on any
 * threads. `in` and `out` may be the same buffer (in place); other overlaps
 * are not allowed. Any length, 0 included. Allocates nothing.
 * Positions end at 2^64 - 1: a piece may end there, not beyond.
 * Returns TAV_OK, or TAV_BAD_ARGUMENT (nothing written) for a null key set, a
 * null buffer with a non-zero length, or offset + length above 2^64. */
TAVSDK_API TAV_NODISCARD tav_status tav_block_encrypt(const tav_keys *keys, uint64_t offset, const void *in, void *out,
                                                      size_t length);
TAVSDK_API TAV_NODISCARD tav_status tav_block_decrypt(const tav_keys *keys, uint64_t offset, const void *in, void *out,
                                                      size_t length);

/* ---- Expanded mode as a stream ----------------------------------------------
 * The expanded layout: each ciphertext byte is followed by a run of random
 * filler symbols whose length comes from the key set's k5 pad table. */

/* A source of random bytes for the fillers: fills `length` bytes (never 0)
 * and returns 0, or returns an errno value to fail the call. The encoder
 * turns the bytes into filler symbols of the alphabet; whatever bytes the
 * source gives, the call ends, though only uniform bytes give uniform
 * fillers. The default is the operating system's random source (getrandom). */
typedef int (*tav_fill_fn)(void *context, void *buffer, size_t length);

/* The size of the expanded form of a message of `plain_length` bytes, in
 * *expanded_length. Returns TAV_OK; TAV_NO_KEYS when the key set has no k5
 * pad table; TAV_BAD_ARGUMENT (null pointers, or a size past 2^64). */
TAVSDK_API TAV_NODISCARD tav_status tav_expanded_size(const tav_keys *keys, uint64_t plain_length,
                                                      uint64_t *expanded_length);

/* Encoder: plain chunks of any size in, expanded bytes out, as one message.
 * Encoders and decoders keep a pointer to their key set and a copy of the
 * cipher's position; free them with their *_free function (which overwrites
 * them). */
typedef struct tav_encoder tav_encoder;

/* Makes an encoder at the start of a message. `fill` (NULL: the system's
 * random source) and its `context` supply the filler bytes. Allocates the
 * encoder. Returns TAV_OK; TAV_BAD_ARGUMENT; TAV_NO_KEYS without a k5 pad
 * table; TAV_NO_MEMORY. */
TAVSDK_API TAV_NODISCARD tav_status tav_encoder_new(tav_encoder **encoder, const tav_keys *keys, tav_fill_fn fill,
                                                    void *context);

/* The exact number of bytes the next tav_encoder_update with `in_length`
 * bytes writes (SIZE_MAX when that does not fit a size_t). */
TAVSDK_API size_t tav_encoder_size(const tav_encoder *encoder, size_t in_length);

/* Encodes `in_length` bytes into `out`, which has room for `out_capacity`
 * bytes; *out_length receives tav_encoder_size(encoder, in_length). Every
 * unit is written whole: no final call is needed. Returns TAV_OK;
 * TAV_BAD_ARGUMENT (null pointers, or less room than needed: nothing is
 * consumed); TAV_BAD_SOURCE when the filler source fails (the encoder is
 * then unusable). */
TAVSDK_API TAV_NODISCARD tav_status tav_encoder_update(tav_encoder *encoder, const void *in, size_t in_length,
                                                       void *out, size_t out_capacity, size_t *out_length);

TAVSDK_API void tav_encoder_free(tav_encoder *encoder);

/* Decoder: expanded chunks cut anywhere (inside a filler run too) in, plain
 * bytes out. A message that ends inside a filler run has given every byte. */
typedef struct tav_decoder tav_decoder;

/* Makes a decoder at the start of a message. Allocates the decoder. Returns
 * TAV_OK; TAV_BAD_ARGUMENT; TAV_NO_KEYS without a k5 pad table;
 * TAV_NO_MEMORY. */
TAVSDK_API TAV_NODISCARD tav_status tav_decoder_new(tav_decoder **decoder, const tav_keys *keys);

/* Decodes `in_length` expanded bytes into `out`, which must have room for
 * `in_length` bytes (the plain bytes are always fewer); *out_length receives
 * their number. Returns TAV_OK or TAV_BAD_ARGUMENT. */
TAVSDK_API TAV_NODISCARD tav_status tav_decoder_update(tav_decoder *decoder, const void *in, size_t in_length,
                                                       void *out, size_t *out_length);

TAVSDK_API void tav_decoder_free(tav_decoder *decoder);

/* ---- Descriptors and files --------------------------------------------------*/

/* Flags of the descriptor and file operations. */
#define TAV_EXPANDED 0x1u    /* the expanded mode instead of the block mode */
#define TAV_REPLACE 0x2u     /* files: an existing destination is replaced atomically */
#define TAV_SOURCE_MODE 0x4u /* files: the destination gets the source's permission bits */

/* Total of a progress report when the size is not known (pipes). */
#define TAV_SIZE_UNKNOWN UINT64_MAX

/* Progress: `done` input bytes of `total` (TAV_SIZE_UNKNOWN when unknown).
 * Called on the caller's thread, about ten times a second at most, and once
 * at the end; a non-zero return stops the call with TAV_CANCELLED. */
typedef int (*tav_progress_fn)(void *context, uint64_t done, uint64_t total);

/* Encrypts or decrypts everything `in_fd` gives until its end into `out_fd`,
 * in the block mode or (TAV_EXPANDED) the expanded mode. Pipes, sockets,
 * terminals and regular files; descriptors in non-blocking mode are waited
 * for. Reading starts at the input's current offset and writing at the
 * output's; both offsets end after what was read and written. Regular files
 * of a few MiB or more are shared among worker threads, as in the
 * process-wide functions (TAVSDK_THREADS).
 * `progress` may be NULL. Returns TAV_OK; TAV_BAD_ARGUMENT (null key set,
 * unknown flag: TAV_REPLACE and TAV_SOURCE_MODE do not apply here; or both
 * descriptors on one regular file, which is then left untouched);
 * TAV_NO_KEYS (expanded mode without a k5 pad table); TAV_BAD_SOURCE (a read
 * error); TAV_BAD_DEST (a write error); TAV_CANCELLED. After a failure the
 * output holds some prefix of the result.
 * A pipe or socket whose reader has gone gives TAV_BAD_DEST with *error EPIPE,
 * whatever the mode and the number of threads; the library's writes raise no
 * SIGPIPE in the process (the thread holds the signal off for each write and
 * takes back the one the write raised; a SIGPIPE that was pending before
 * stays pending). */
TAVSDK_API TAV_NODISCARD tav_status tav_fd_encrypt(const tav_keys *keys, int in_fd, int out_fd, unsigned flags,
                                                   tav_progress_fn progress, void *context, int *error);
TAVSDK_API TAV_NODISCARD tav_status tav_fd_decrypt(const tav_keys *keys, int in_fd, int out_fd, unsigned flags,
                                                   tav_progress_fn progress, void *context, int *error);

/* Encrypts or decrypts the file `source` (relative to `source_dirfd`, or
 * AT_FDCWD) into `destination` (relative to `dest_dirfd`). The source must be
 * a regular file (links are followed to read). The output is written to an
 * unnamed file in the destination's directory and takes the name only when
 * it is complete and flushed: after any failure, signal or crash nothing new
 * is at the name. (On a file system without unnamed files it is written
 * under a hidden name ".tav-" and 16 hex digits there instead, which only a
 * crash or SIGKILL can leave behind.) Without TAV_REPLACE an existing destination is refused
 * (TAV_EXISTS, nothing touched); with it, an existing regular file is
 * replaced in one step, and stays whole until then. No system call gives an
 * unnamed file a name that exists: to replace one, the finished file is linked
 * under such a hidden name and at once renamed over the destination. The
 * thread holds off every signal it can for those two system calls; a SIGKILL
 * or crash between them leaves the old destination and the complete new file
 * under the hidden name (find such files with the pattern
 * ".tav-????????????????"). A free name is taken directly. A destination that is a
 * symbolic link is replaced as a name (its target never opened) when the link
 * leads to a regular file or nowhere; a link to anything else, or anything
 * else but a regular file at the name, is refused (TAV_BAD_DEST). New files
 * get mode 0666 less the umask, or the source's permission bits with
 * TAV_SOURCE_MODE.
 * Returns TAV_OK; TAV_BAD_ARGUMENT; TAV_NO_KEYS; TAV_BAD_SOURCE; TAV_BAD_DEST
 * (also when the destination is the source by any spelling); TAV_EXISTS;
 * TAV_CANCELLED. */
TAVSDK_API TAV_NODISCARD tav_status tav_file_encrypt_at(const tav_keys *keys, int source_dirfd, const char *source,
                                                        int dest_dirfd, const char *destination, unsigned flags,
                                                        tav_progress_fn progress, void *context, int *error);
TAVSDK_API TAV_NODISCARD tav_status tav_file_decrypt_at(const tav_keys *keys, int source_dirfd, const char *source,
                                                        int dest_dirfd, const char *destination, unsigned flags,
                                                        tav_progress_fn progress, void *context, int *error);

/* The scramblers and the wipe of the process-wide functions, relative to a
 * directory descriptor. tav_scramble_at: as TavScrambleFile, except that the
 * whole-file reversal (count 1) keeps its scratch copy in the file's own
 * directory under the file's name followed by ".reversed"; when the
 * write-back fails, the copy is kept there, complete, and the result is
 * TAV_COPY_KEPT. The copy is always a new file: when anything stands at that
 * name the call returns TAV_EXISTS (*error EEXIST) and touches nothing; when
 * the name would be too long, TAV_BAD_SOURCE (ENAMETOOLONG). The block
 * reversal makes no copy. tav_xscramble_at: as TavXScrambleFile with the k6.dat pad
 * table of `keys` (TAV_NO_KEYS without one). tav_wipe_at: as TavKillFile,
 * except that once the file's own bytes are overwritten, a full file system
 * does not stop the passes over the rest of the last block or the removal. */
TAVSDK_API TAV_NODISCARD tav_status tav_scramble_at(int dirfd, const char *path, int count, int size, int *error);
TAVSDK_API TAV_NODISCARD tav_status tav_xscramble_at(const tav_keys *keys, int dirfd, const char *path, int *error);
TAVSDK_API TAV_NODISCARD tav_status tav_wipe_at(int dirfd, const char *path, int *error);

#ifdef __cplusplus
}
#endif

#endif /* TAVSDK_H */
