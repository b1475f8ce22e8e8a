/* SPDX-License-Identifier: MIT */
/*
 * tavsdk.h - twenty-wheel rotor substitution cipher for files and strings.
 *
 * A legacy rotor-style cipher kept for compatibility with data and peers of
 * this system. It has no integrity protection and is no replacement for modern
 * authenticated encryption.
 *
 * Two interfaces give the same bytes:
 *  - the core interface (tav_..., below): key sets held in memory, buffers
 *    and streams of any length, descriptors, and files relative to directory
 *    descriptors; re-entrant and thread-safe;
 *  - the process-wide functions (Tav..., declared in tavsdk_legacy.h, which
 *    this header includes): generate the keys of an alphabet from a
 *    passphrase into key files in the current directory, then encrypt or
 *    decrypt strings and files with that alphabet, and finally destroy the
 *    key files with TavShutdown. They are built on the core.
 *
 * Alphabets. The text alphabet has 151 single-byte symbols (double quote, line
 * feed, space, A-Z, a-z, 0-9, 29 punctuation marks, underscore, backquote and
 * 55 ISO 8859-1 letters and signs); text-mode bytes outside it pass through
 * unchanged. The binary alphabet is all 256 byte values.
 *
 * Threads. The block and expanded file operations of both interfaces may run worker threads within a call on sources of
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

/* ==== Core interface ========================================================
 *
 * Keys as values, buffers and streams of any length, descriptors, and paths
 * relative to a directory descriptor. Nothing here touches a process-wide
 * variable, the current directory or cmd: every call works on the objects
 * the caller passes, and any number of threads may call at once on distinct
 * objects (a key set may be shared by any number of threads; an encoder or a
 * decoder belongs to one thread at a time). The output is byte for byte the
 * same as that of the process-wide functions (tavsdk_legacy.h) with the
 * same keys.
 *
 * Memory. Only the *_new and *_load functions and tav_keys_from_files
 * allocate (and say so); every
 * other call works in the objects it is given, on the caller's stack (at
 * most about 200 KiB) and, for large regular files, in worker threads it
 * joins before it returns. The descriptor and file calls in the block mode
 * (tav_fd_*, tav_file_*) also map one private area of at most 4 MiB when they
 * start, so that the kernel gets pieces long enough for its full rate; they
 * overwrite what they stored in it and unmap it before they return (where
 * it cannot be had, they work in their stack space, more slowly). Worker
 * threads take about 1.7 MiB of stack each. (The default filler source,
 * libcrypto's generator, keeps its own state for each thread that asks it.)
 * Objects are freed with their *_free function, which first overwrites every
 * byte of key material they hold.
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

/* A key file held in memory: its name as in a key directory ("k1.bin",
 * "k6.dat", ...) and its `size` bytes of contents (`data` may be NULL when
 * `size` is 0). */
typedef struct tav_key_file {
  const char *name;
  const void *data;
  size_t size;
} tav_key_file;

/* The most key files one set has: k1..k5 of its alphabet and k6.dat. */
#define TAV_KEY_FILES_MAX 6

/* As tav_keys_load, from the `count` key files in `files` instead of a
 * directory (key files received over a network, say): the same rules, the
 * same statuses, the master schedule of `master`. A file is found by its
 * exact name; files of other names (the other alphabet's, anything else) are
 * ignored as a directory's other files are, and a name that is not there is
 * a missing file. The contents are read, never kept: the caller may wipe and
 * free them when the call returns. Allocates as tav_keys_new. Returns TAV_OK;
 * TAV_BAD_ARGUMENT for a null pointer (`files` may be NULL when `count` is
 * 0; an entry's `data` when its `size` is 0), an unknown alphabet, or two
 * files of a name the set reads (a directory never holds both); TAV_NO_KEYS
 * when k1, k3 or k4 is missing or damaged; TAV_NO_MEMORY. */
TAVSDK_API TAV_NODISCARD tav_status tav_keys_from_files(tav_keys **keys, int alphabet, const tav_key_file *files,
                                                        size_t count, const tav_keys *master);

/* The key files of the set, as tav_keys_save would write them, without
 * writing anything: up to TAV_KEY_FILES_MAX entries in the order k1..k5,
 * k6.dat (those it holds) go to `files`, which has room for `capacity`;
 * *count receives their number. The names are static strings; the contents
 * are the set's own bytes, valid while the set lives and overwritten by
 * tav_keys_free. Allocates nothing. Returns TAV_OK; TAV_BAD_ARGUMENT for a
 * null pointer (`files` may be NULL when `capacity` is 0) or too little
 * room (*count still says how many; nothing is written to `files`). */
TAVSDK_API TAV_NODISCARD tav_status tav_keys_files(const tav_keys *keys, tav_key_file *files, size_t capacity,
                                                   size_t *count);

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
 * fillers. The default (NULL) is a cryptographically secure generator seeded
 * by the operating system: OpenSSL libcrypto's RAND_bytes (its public
 * generator, which reseeds after fork and keeps a state per thread) where the
 * library was built with it, else getrandom; crypto.getRandomValues in the
 * WebAssembly build. Fillers stay unpredictable either way: only the speed
 * differs. A source of the caller's own should be as unpredictable. */
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

/* Makes an encoder at the start of a message. `fill` (NULL: the default
 * generator above) and its `context` supply the filler bytes. Allocates the
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
 * SIGPIPE in the process (the thread holds the signal off for each write to a
 * pipe or socket and takes back the one the write raised; a SIGPIPE that was
 * pending before stays pending). In the block mode one thread reads, transforms
 * and writes pieces of up to 4 MiB (see Memory): a stream is read until a
 * piece is full or the input ends before its bytes are written. */
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

/* ---- One file operation, its options, and open descriptors (since 1.4) ------
 * The file operation with every knob in an options object whose layout the
 * caller never sees (new knobs come as new option names), and with explicit
 * ends: the caller opens the source once, checks what it opened, and hands
 * that descriptor over; the library never opens it again by a path. The
 * calls above are this operation with their flags. */
typedef struct tav_options tav_options;

typedef enum tav_option {
  TAV_OPTION_DECRYPT = 1,     /* 0: encrypt (the default); 1: decrypt */
  TAV_OPTION_EXPANDED = 2,    /* 0: the block mode (the default); 1: the expanded mode; 2: folder decryption
                                 takes the mode of each name's suffix (.tavx expanded, .tav block), anything
                                 else the block mode */
  TAV_OPTION_REPLACE = 3,     /* 1: an existing destination is replaced atomically; 0 (the default): TAV_EXISTS */
  TAV_OPTION_SOURCE_MODE = 4, /* 1: the output gets the source's permission bits; 0 (the default): 0666 less the umask */
  TAV_OPTION_KEEP_TIMES = 5,  /* 1: the output gets the source's access and modification times; 0 (the default) */
  TAV_OPTION_WORKERS = 6,     /* threads one file may use: 0 (the default) the CPUs the process may run on, capped
                                 by TAVSDK_THREADS; 1 the caller's thread only; N at most N (1 to 64); no
                                 environment variable is read unless 0 */
  TAV_OPTION_DURABLE = 7,     /* 1 (the default): a new file is flushed to the device before it takes its name
                                 (a folder job flushes its small outputs a batch at a time, with one syncfs of
                                 their file system, then names them; a file of 128 MiB or more is also
                                 flushed while it is written, through the kernel's asynchronous I/O or by the
                                 caller's thread while workers write, starting no thread of its own); 0: it
                                 is not, and the caller flushes (syncfs, fsync) once for many files */
  /* Folder jobs (tav_tree_new) only: */
  TAV_OPTION_FILES = 8,       /* files at once: 0 (the default) the CPUs the process may run on; N (1 to 64) */
  TAV_OPTION_WIPE_SOURCE = 9, /* 1: once an output is complete and on the device, it is read back, decrypted and
                                 compared with its source, and only then is the source wiped as by tav_wipe_fd;
                                 encryption only (decryption has no check that could fail) */
  TAV_OPTION_RESUME = 10,     /* 1: an output already at its name with the size this job would give it counts as
                                 done (skipped; with TAV_OPTION_WIPE_SOURCE checked, then its source wiped) */
  TAV_OPTION_FAIL_FAST = 11   /* 1: the first failure cancels the files in flight and starts no other */
} tav_option;

/* Makes an options object with the defaults above. Allocates it. Returns
 * TAV_OK; TAV_BAD_ARGUMENT (null pointer); TAV_NO_MEMORY. An options object
 * may be used by any number of calls at once while nobody changes it. */
TAVSDK_API TAV_NODISCARD tav_status tav_options_new(tav_options **options);

/* Sets one option (a tav_option; an int, as a caller may pass any number).
 * Returns TAV_OK, or TAV_BAD_ARGUMENT (nothing changed) for a null object,
 * an unknown option or a value outside its range. */
TAVSDK_API TAV_NODISCARD tav_status tav_options_set(tav_options *options, int option, int64_t value);

/* Reads one option into *value; TAV_BAD_ARGUMENT as above. */
TAVSDK_API TAV_NODISCARD tav_status tav_options_get(const tav_options *options, int option, int64_t *value);

/* The progress callback (and cancel: a non-zero return) of the operations run
 * with these options; NULL for none (the default). */
TAVSDK_API TAV_NODISCARD tav_status tav_options_set_progress(tav_options *options, tav_progress_fn progress,
                                                             void *context);

/* Releases the options. NULL is ignored. */
TAVSDK_API void tav_options_free(tav_options *options);

/* Encrypts or decrypts (TAV_OPTION_DECRYPT) what the open descriptor
 * `source_fd` holds into `destination`, a path relative to `dest_dirfd` (or
 * AT_FDCWD), as tav_file_encrypt_at writes it: an unnamed file beside it
 * that takes the name only when complete (and flushed, with
 * TAV_OPTION_DURABLE), replacing an existing file only with
 * TAV_OPTION_REPLACE.
 * The source must be open for reading. A regular file is read from byte
 * `source_offset` to its end with positional reads: the descriptor's own
 * offset does not move, and the bytes from the offset on are the message
 * (they are encrypted as a message that starts there). A pipe, socket or
 * character device is read from where it stands to its end; `source_offset`
 * must then be 0; its output gets mode 0666 less the umask and no times
 * whatever TAV_OPTION_SOURCE_MODE and TAV_OPTION_KEEP_TIMES say. Large
 * regular sources are shared among worker threads (TAV_OPTION_WORKERS).
 * Returns TAV_OK; TAV_BAD_ARGUMENT (null key set, options or destination,
 * an offset past the end of the file, or a non-zero offset on a source that
 * cannot seek); TAV_NO_KEYS (expanded mode without a k5 pad table);
 * TAV_BAD_SOURCE (*error EBADF: not an open descriptor or not open for
 * reading; EISDIR: a directory; or a read error); TAV_BAD_DEST (as
 * tav_file_encrypt_at, also when the destination is the source by any
 * spelling); TAV_EXISTS; TAV_CANCELLED. Nothing is touched when a check
 * fails. */
TAVSDK_API TAV_NODISCARD tav_status tav_file_run(const tav_keys *keys, const tav_options *options, int source_fd,
                                                 uint64_t source_offset, int dest_dirfd, const char *destination,
                                                 int *error);

/* The same into the open descriptor `dest_fd`, written from its current
 * offset (which ends after the output, as with tav_fd_encrypt) and never
 * renamed or replaced: TAV_OPTION_REPLACE does not apply. A regular
 * destination takes the source's permission bits and times with
 * TAV_OPTION_SOURCE_MODE and TAV_OPTION_KEEP_TIMES and is flushed at the end
 * with TAV_OPTION_DURABLE. Returns as tav_file_run; a destination on the
 * source's own file is TAV_BAD_DEST, with nothing written. After a failure
 * the destination holds some prefix of the result. */
TAVSDK_API TAV_NODISCARD tav_status tav_file_run_fd(const tav_keys *keys, const tav_options *options, int source_fd,
                                                    uint64_t source_offset, int dest_fd, int *error);

/* Wipes the regular file open as `fd` (for reading and writing) as
 * tav_wipe_at does, through the descriptor (21 passes, flushed), then
 * removes `name` (relative to `dirfd`) only if that name still leads to this
 * very file: a name that now holds another file, a link or nothing is left
 * as it is, and the call returns TAV_BAD_SOURCE with *error ESTALE after
 * the overwrite. `name` may be NULL: the file is overwritten, no name
 * removed. `fd` stays open; the caller closes it. Returns TAV_OK;
 * TAV_BAD_ARGUMENT (negative fd); TAV_BAD_SOURCE (*error EBADF: not open for
 * writing; EINVAL: not a regular file; or the errno of the write or the
 * removal that failed). */
TAVSDK_API TAV_NODISCARD tav_status tav_wipe_fd(int fd, int dirfd, const char *name, int *error);

/* ---- A new file that appears only when complete (since 1.4) -----------------
 * The step under every file operation, for callers that write a file
 * themselves (a stream written piece by piece): an unnamed file in the
 * destination's directory (or, where the file system has none, one under a
 * hidden name ".tav-" and 16 hex digits there) that takes its name in one
 * step once complete. Until then the name keeps whatever it held; after a
 * failure, a signal or a crash nothing of the new file is at the name. */
typedef struct tav_newfile tav_newfile;

/* Opens a new file beside `path` (relative to `dirfd`, or AT_FDCWD), for
 * reading and writing, with `mode` less the umask. Allocates the object.
 * Returns TAV_OK; TAV_BAD_ARGUMENT (null pointers); TAV_BAD_DEST (*error:
 * the directory cannot be opened or written, or the name is unusable);
 * TAV_NO_MEMORY. */
TAVSDK_API TAV_NODISCARD tav_status tav_newfile_open(tav_newfile **file, int dirfd, const char *path,
                                                     unsigned mode, int *error);

/* The descriptor to write the contents through (valid until the object is
 * freed; the caller does not close it), or -1 for NULL. */
TAVSDK_API int tav_newfile_fd(const tav_newfile *file);

/* Gives the complete file its name: flushed to the device first unless
 * `flush` is 0; an existing name is replaced in one step only with `replace`
 * (else TAV_EXISTS, nothing named). Returns TAV_OK; TAV_BAD_ARGUMENT (NULL,
 * or committed already); TAV_EXISTS; TAV_BAD_DEST (*error says why; the new
 * file is discarded). */
TAVSDK_API TAV_NODISCARD tav_status tav_newfile_commit(tav_newfile *file, int replace, int flush, int *error);

/* Releases the object; a file not committed is discarded (nothing at the
 * name). Only the process that opened it may call this: a copy in a forked
 * child must simply be left alone. NULL is ignored. */
TAVSDK_API void tav_newfile_free(tav_newfile *file);

/* ---- Folders (since 1.4) ------------------------------------------------------
 * Every regular file below the folders named (or each file named), many at
 * once: outputs beside their sources, or mirrored under an output folder
 * OUT, where each folder named appears as OUT/its last name (its contents
 * straight in OUT for ".", ".." and "/", and a file named on its own goes
 * straight into OUT). Encryption writes NAME.tav (NAME.tavx expanded) and,
 * in place, leaves names that already end in either alone; decryption takes
 * only NAME.tav and NAME.tavx (the suffix gives the mode unless
 * TAV_OPTION_EXPANDED is 1) and writes NAME.
 * Each folder is opened from its parent without following a link and
 * checked to be the one the walk found; at most a few dozen descriptors are
 * open at a time, whatever the size or depth of the tree, besides up to 64
 * complete outputs waiting for their flush (TAV_OPTION_DURABLE; fewer under
 * a low RLIMIT_NOFILE). Links, FIFOs,
 * sockets and devices are skipped; a folder or file reached twice (through
 * overlapping inputs) is taken once; OUT inside a folder walked is not
 * walked into. The whole job is planned before anything is written: two
 * inputs that would give one output, an output that is an input of the job,
 * or a mirror folder that is a folder being walked refuse the job. */
typedef struct tav_tree tav_tree;

typedef enum tav_tree_event {
  TAV_TREE_WRITTEN = 1, /* an output was written (and, with TAV_OPTION_WIPE_SOURCE, its source wiped unless
                           `why` says why it was kept) */
  TAV_TREE_SKIPPED = 2, /* a name the job leaves alone; `why` says why */
  TAV_TREE_FAILED = 3,  /* a file or folder that failed: `status`, `error` and `why`; nothing is at its output
                           name (a source that was to be wiped is kept) */
  TAV_TREE_REFUSED = 4  /* tav_tree_new: the job would lose data; nothing is written */
} tav_tree_event;

typedef enum tav_tree_why {
  TAV_WHY_NONE = 0,
  TAV_WHY_LINK = 1,          /* skipped: a symbolic link */
  TAV_WHY_SPECIAL = 2,       /* skipped: a FIFO, socket or device */
  TAV_WHY_TWICE = 3,         /* skipped: already in this job (`other` names it there) */
  TAV_WHY_NOT_FOR_JOB = 4,   /* skipped: no suffix to decrypt, or already one to encrypt */
  TAV_WHY_DONE = 5,          /* skipped: a complete output is there (TAV_OPTION_RESUME) */
  TAV_WHY_HARD_LINKS = 6,    /* written: the source has other hard links and is kept, not wiped */
  TAV_WHY_MISMATCH = 7,      /* failed: the output does not give back the source; output removed, source kept */
  TAV_WHY_READ_BACK = 8,     /* failed: the output could not be read back; both kept */
  TAV_WHY_REPLACED = 9,      /* failed: the source was replaced during the job; not wiped */
  TAV_WHY_WIPE = 10,         /* failed: the source could not be wiped */
  TAV_WHY_STOPPED = 11,      /* written: stopped before the check ended; source kept */
  TAV_WHY_FOLDER = 12,       /* failed: a folder that could not be opened, read or made */
  TAV_WHY_CHANGED = 13,      /* failed: a folder or file that changed during the job; not followed */
  TAV_WHY_TWIN = 14,         /* refused: `source` and `other` would both be written to `output` */
  TAV_WHY_INPUT_OUTPUT = 15, /* refused: `output` is an input of the job and the output of `source` */
  TAV_WHY_MIRROR_WALKED = 16 /* refused: the mirror folder `output` is one of the folders walked */
} tav_tree_why;

typedef struct tav_tree_report {
  tav_tree_event event;
  tav_tree_why why;
  const char *source; /* the file or folder: the input as named, then the path below it */
  const char *other;  /* the other input for TAV_WHY_TWICE, TAV_WHY_TWIN; else NULL */
  const char *output; /* its output's path, or NULL */
  tav_status status;  /* TAV_OK for written and skipped files */
  int error;          /* the errno of the system call that failed, or 0 */
  uint64_t bytes;     /* the source's size */
} tav_tree_report;

/* Called once for every name the job reports, on the thread that called
 * tav_tree_new or tav_tree_run, one report at a time; the strings are valid
 * during the call only. */
typedef void (*tav_tree_fn)(void *context, const tav_tree_report *report);

/* Walks and plans a folder job; writes nothing. `inputs`: `count` paths of
 * folders or regular files (a path that is itself a symbolic link is refused).
 * `output_dir`: NULL for outputs beside their sources, else OUT (made, once
 * the job runs, when missing). The options (copied: they may be freed or
 * changed afterwards) are those of tav_file_run and the folder options; the
 * progress callback of the options reports the job's bytes. `report` (may be
 * NULL) hears of skips, folders that could not be read, and refusals.
 * Allocates the job. Returns TAV_OK; TAV_BAD_ARGUMENT (null pointers, no
 * input, TAV_OPTION_WIPE_SOURCE with TAV_OPTION_DECRYPT); TAV_BAD_SOURCE (an
 * input that is missing, a link, or neither a file nor a folder: *error, and
 * a TAV_TREE_FAILED report); TAV_BAD_DEST (OUT cannot be opened, or the job
 * was refused); TAV_NO_MEMORY. On failure *tree is NULL. */
TAVSDK_API TAV_NODISCARD tav_status tav_tree_new(tav_tree **tree, const tav_options *options,
                                                 const char *const *inputs, size_t count, const char *output_dir,
                                                 tav_tree_fn report, void *context, int *error);

/* The files the job will write, and their bytes in *bytes (may be NULL). */
TAVSDK_API size_t tav_tree_files(const tav_tree *tree, uint64_t *bytes);

/* Runs the planned job once, with `keys` (the alphabet of the key set; the
 * mode from the options or each name's suffix). Reports every file as it
 * ends. Returns TAV_OK when every file was written and every folder read;
 * else the status of the first failure (TAV_BAD_SOURCE for a folder the walk
 * could not read); TAV_CANCELLED when the progress callback asked to stop
 * (the files in flight leave nothing, no other starts, no unchecked source
 * is wiped); TAV_BAD_ARGUMENT (null pointers, a job that ran already);
 * TAV_BAD_DEST (OUT cannot be made). Threads: as TAV_OPTION_FILES says, and
 * a large file alone on TAV_OPTION_WORKERS threads (0: as many as files at
 * once), all joined before the call returns. */
TAVSDK_API TAV_NODISCARD tav_status tav_tree_run(tav_tree *tree, const tav_keys *keys, int *error);

/* Releases the job. NULL is ignored. */
TAVSDK_API void tav_tree_free(tav_tree *tree);

#ifdef __cplusplus
}
#endif

/* The process-wide functions: existing programs include only this header. */
#include "tavsdk_legacy.h"

#endif /* TAVSDK_H */
