/* SPDX-License-Identifier: MIT */
/* Two builds of the library side by side in one process: each is opened with
 * dlopen (its own copy of every symbol, its own engine path choice from
 * TAVSDK_CPU) and both transform the same buffers, alternately, so that the
 * machine's noise hits them alike. Prints the best rate of each and their
 * ratio (new over old).
 *   compare OLD.so NEW.so [MiB] [repetitions]            block buffers, both alphabets and directions;
 *                                                        64-byte calls; the expanded form of MiB/8,
 *                                                        with a counter's fillers and the default ones
 *                                                        (COMPARE_KEYS=1: key-set creation too)
 *   compare --files OLD.so NEW.so DIR [MiB] [repetitions] binary files in DIR, 1 and 2 worker threads
 *   compare --streams OLD.so NEW.so DIR [MiB] [repetitions] a pipe and a file into /dev/null, a file into
 *                                                        a new file with one worker; against one buffer
 *                                                        call and dd of the same bytes
 * Run it once per engine path (TAVSDK_CPU); compare.sh does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "tavsdk.h"

typedef tav_status (*keys_new_fn)(tav_keys **, tav_alphabet, const void *, size_t);
typedef void (*keys_free_fn)(tav_keys *);
typedef tav_status (*block_fn)(const tav_keys *, uint64_t, const void *, void *, size_t);
typedef tav_status (*encoder_new_fn)(tav_encoder **, const tav_keys *, tav_fill_fn, void *);
typedef tav_status (*encoder_update_fn)(tav_encoder *, const void *, size_t, void *, size_t, size_t *);
typedef size_t (*encoder_size_fn)(const tav_encoder *, size_t);
typedef void (*encoder_free_fn)(tav_encoder *);
typedef tav_status (*decoder_new_fn)(tav_decoder **, const tav_keys *);
typedef tav_status (*decoder_update_fn)(tav_decoder *, const void *, size_t, void *, size_t *);
typedef void (*decoder_free_fn)(tav_decoder *);
typedef tav_status (*file_fn)(const tav_keys *, int, const char *, int, const char *, unsigned, tav_progress_fn,
                              void *, int *);
typedef tav_status (*fd_fn)(const tav_keys *, int, int, unsigned, tav_progress_fn, void *, int *);

struct lib {
  const char *path;
  keys_new_fn keys_new;
  keys_free_fn keys_free;
  encoder_new_fn encoder_new;
  encoder_update_fn encoder_update;
  encoder_size_fn encoder_size;
  encoder_free_fn encoder_free;
  decoder_new_fn decoder_new;
  decoder_update_fn decoder_update;
  decoder_free_fn decoder_free;
  block_fn block[2]; /* encrypt, decrypt */
  file_fn file_encrypt;
  fd_fn fd_encrypt;
  tav_keys *keys[2]; /* text, binary */
};

static const char kPassphrase[] = "compare both builds";

static void *need(void *handle, const char *name, const char *path) {
  void *f = dlsym(handle, name);
  if (f == NULL) {
    fprintf(stderr, "compare: %s has no %s\n", path, name);
    exit(2);
  }
  return f;
}

static void open_lib(struct lib *l, const char *path) {
  /* Local binding: the two copies never resolve to each other. */
  void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (h == NULL) {
    fprintf(stderr, "compare: %s\n", dlerror());
    exit(2);
  }
  l->path = path;
  keys_new_fn keys_new = l->keys_new = (keys_new_fn)need(h, "tav_keys_new", path);
  l->keys_free = (keys_free_fn)need(h, "tav_keys_free", path);
  l->encoder_new = (encoder_new_fn)need(h, "tav_encoder_new", path);
  l->encoder_update = (encoder_update_fn)need(h, "tav_encoder_update", path);
  l->encoder_size = (encoder_size_fn)need(h, "tav_encoder_size", path);
  l->encoder_free = (encoder_free_fn)need(h, "tav_encoder_free", path);
  l->decoder_new = (decoder_new_fn)need(h, "tav_decoder_new", path);
  l->decoder_update = (decoder_update_fn)need(h, "tav_decoder_update", path);
  l->decoder_free = (decoder_free_fn)need(h, "tav_decoder_free", path);
  l->block[0] = (block_fn)need(h, "tav_block_encrypt", path);
  l->block[1] = (block_fn)need(h, "tav_block_decrypt", path);
  l->file_encrypt = (file_fn)need(h, "tav_file_encrypt_at", path);
  l->fd_encrypt = (fd_fn)need(h, "tav_fd_encrypt", path);
  for (int k = 0; k < 2; ++k) {
    if (keys_new(&l->keys[k], k == 0 ? TAV_TEXT : TAV_BINARY, kPassphrase, sizeof kPassphrase - 1) != TAV_OK) {
      fprintf(stderr, "compare: %s: tav_keys_new failed\n", path);
      exit(2);
    }
  }
}

static double clock_seconds(clockid_t id) {
  struct timespec t;
  clock_gettime(id, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Wall time, for the file rows (their workers and the kernel's copies). */
static double now(void) { return clock_seconds(CLOCK_MONOTONIC); }

/* The buffer rows run on the calling thread alone: its CPU time leaves out
 * the time other processes on a shared machine took the core. */
static double cpu_now(void) { return clock_seconds(CLOCK_THREAD_CPUTIME_ID); }

/* The text buffer holds alphabet symbols and, like real text, a few bytes
 * outside it (tabs, carriage returns). */
static void fill(uint8_t *buf, size_t n, int text, uint64_t seed) {
  static const char kSymbols[] = "\"\n ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@#$%&*()-+=!:;,.?'<>";
  uint64_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const uint32_t v = (uint32_t)(x >> 32);
    buf[i] = text ? (v % 64 == 0 ? '\t' : (uint8_t)kSymbols[v % (sizeof kSymbols - 1)]) : (uint8_t)v;
  }
}

static void buffers(struct lib *libs, size_t bytes, int reps) {
  uint8_t *in = malloc(bytes), *out[2] = {malloc(bytes), malloc(bytes)};
  if (in == NULL || out[0] == NULL || out[1] == NULL) exit(2);
  for (int k = 0; k < 2; ++k) {
    fill(in, bytes, k == 0, 88172645463325252ull + (uint64_t)k);
    for (int d = 0; d < 2; ++d) {
      double best[2] = {1e30, 1e30};
      for (int r = 0; r < reps; ++r) {
        for (int i = 0; i < 2; ++i) {
          const double t0 = cpu_now();
          if (libs[i].block[d](libs[i].keys[k], 0, in, out[i], bytes) != TAV_OK) exit(2);
          const double t = cpu_now() - t0;
          if (t < best[i]) best[i] = t;
        }
      }
      if (memcmp(out[0], out[1], bytes) != 0) {
        fprintf(stderr, "compare: the two builds disagree (%s %s)\n", k == 0 ? "text" : "binary",
                d == 0 ? "encrypt" : "decrypt");
        exit(1);
      }
      const double mb = (double)bytes / 1e6;
      printf("%-8s %-8s old %8.1f MB/s   new %8.1f MB/s   new/old %5.2f\n", k == 0 ? "text" : "binary",
             d == 0 ? "encrypt" : "decrypt", mb / best[0], mb / best[1], best[0] / best[1]);
    }
  }
  /* The fixed cost of a call: 64-byte messages at running offsets. */
  for (int k = 0; k < 2; ++k) {
    enum { kMessage = 64, kCalls = 20000 };
    double best[2] = {1e30, 1e30};
    for (int r = 0; r < reps; ++r) {
      for (int i = 0; i < 2; ++i) {
        const double t0 = cpu_now();
        for (int m = 0; m < kCalls; ++m) {
          const size_t at = (size_t)m * kMessage % (bytes - kMessage);
          if (libs[i].block[0](libs[i].keys[k], at, in + at, out[i] + at, kMessage) != TAV_OK) exit(2);
        }
        const double t = cpu_now() - t0;
        if (t < best[i]) best[i] = t;
      }
    }
    printf("%-8s 64-byte calls  old %8.0f ns       new %8.0f ns       old/new %5.2f\n", k == 0 ? "text" : "binary",
           best[0] / kCalls * 1e9, best[1] / kCalls * 1e9, best[0] / best[1]);
  }
  free(in);
  free(out[0]);
  free(out[1]);
}

/* The same filler bytes for both builds. */
static int counter_fill(void *context, void *buffer, size_t length) {
  uint64_t *x = context;
  uint8_t *b = buffer;
  for (size_t i = 0; i < length; i += 4) {
    *x = *x * 6364136223846793005ull + 1442695040888963407ull;
    const uint32_t v = (uint32_t)(*x >> 32);
    memcpy(b + i, &v, length - i < 4 ? length - i : 4);
  }
  return 0;
}

/* Expanded mode: one encoder call, then the decoder in one call and fed
 * 4 KiB at a time; rates in MB of the expanded form per second. The fillers
 * come from a counter, so that both builds must give the same bytes, and
 * then once more from each library's default source (which is where most of
 * an expanded encoding's time went). */
static void expanded(struct lib *libs, size_t bytes, int reps) {
  enum { kPiece = 4096 };
  for (int k = 0; k < 2; ++k) {
    uint8_t *plain = malloc(bytes), *back = malloc(bytes), *wide[2] = {NULL, NULL}, *own = NULL;
    size_t wide_length[2] = {0, 0};
    if (plain == NULL || back == NULL) exit(2);
    fill(plain, bytes, k == 0, 42u + (uint64_t)k);
    double best[4][2] = {{1e30, 1e30}, {1e30, 1e30}, {1e30, 1e30}, {1e30, 1e30}};
    for (int r = 0; r < reps; ++r) {
      for (int i = 0; i < 2; ++i) {
        const struct lib *l = &libs[i];
        uint64_t seed = 1;
        tav_encoder *e;
        if (l->encoder_new(&e, l->keys[k], counter_fill, &seed) != TAV_OK) exit(2);
        const size_t need_out = l->encoder_size(e, bytes);
        if (wide[i] == NULL && (wide[i] = malloc(need_out)) == NULL) exit(2);
        if (own == NULL && (own = malloc(need_out)) == NULL) exit(2);
        double t0 = cpu_now();
        if (l->encoder_update(e, plain, bytes, wide[i], need_out, &wide_length[i]) != TAV_OK) exit(2);
        double t = cpu_now() - t0;
        l->encoder_free(e);
        if (t < best[0][i]) best[0][i] = t;
        for (int piecewise = 0; piecewise < 2; ++piecewise) {
          tav_decoder *d;
          if (l->decoder_new(&d, l->keys[k]) != TAV_OK) exit(2);
          size_t got = 0;
          t0 = cpu_now();
          for (size_t at = 0; at < wide_length[i];) {
            const size_t n = piecewise ? (wide_length[i] - at < kPiece ? wide_length[i] - at : kPiece)
                                       : wide_length[i];
            size_t produced;
            if (l->decoder_update(d, wide[i] + at, n, back + got, &produced) != TAV_OK) exit(2);
            got += produced;
            at += n;
          }
          t = cpu_now() - t0;
          l->decoder_free(d);
          if (got != bytes || memcmp(back, plain, bytes) != 0) {
            fprintf(stderr, "compare: %s does not decode its own expanded form\n", l->path);
            exit(1);
          }
          if (t < best[1 + piecewise][i]) best[1 + piecewise][i] = t;
        }
        /* The default fillers differ from call to call: the decoder checks them. */
        if (l->encoder_new(&e, l->keys[k], NULL, NULL) != TAV_OK) exit(2);
        t0 = cpu_now();
        size_t own_length;
        if (l->encoder_update(e, plain, bytes, own, need_out, &own_length) != TAV_OK) exit(2);
        t = cpu_now() - t0;
        l->encoder_free(e);
        if (t < best[3][i]) best[3][i] = t;
        tav_decoder *d;
        size_t got;
        if (l->decoder_new(&d, l->keys[k]) != TAV_OK ||
            l->decoder_update(d, own, own_length, back, &got) != TAV_OK || got != bytes ||
            memcmp(back, plain, bytes) != 0) {
          fprintf(stderr, "compare: %s does not decode its own expanded form\n", l->path);
          exit(1);
        }
        l->decoder_free(d);
      }
    }
    if (wide_length[0] != wide_length[1] || memcmp(wide[0], wide[1], wide_length[0]) != 0) {
      fprintf(stderr, "compare: the two builds disagree (%s expanded)\n", k == 0 ? "text" : "binary");
      exit(1);
    }
    static const char *const kRows[] = {"expand", "unexpand", "unexpand 4K", "expand sys"};
    const double mb = (double)wide_length[0] / 1e6;
    for (int row = 0; row < 4; ++row) {
      printf("%-8s %-11s old %8.1f MB/s   new %8.1f MB/s   new/old %5.2f\n", k == 0 ? "text" : "binary", kRows[row],
             mb / best[row][0], mb / best[row][1], best[row][0] / best[row][1]);
    }
    free(plain);
    free(back);
    free(wide[0]);
    free(wide[1]);
    free(own);
  }
}

/* Key-set creation from a passphrase (the engine path does not enter it). */
static void key_sets(struct lib *libs, int reps) {
  for (int k = 0; k < 2; ++k) {
    double best[2] = {1e30, 1e30};
    for (int r = 0; r < reps; ++r) {
      for (int i = 0; i < 2; ++i) {
        tav_keys *keys;
        const double t0 = cpu_now();
        if (libs[i].keys_new(&keys, k == 0 ? TAV_TEXT : TAV_BINARY, kPassphrase, sizeof kPassphrase - 1) != TAV_OK)
          exit(2);
        const double t = cpu_now() - t0;
        libs[i].keys_free(keys);
        if (t < best[i]) best[i] = t;
      }
    }
    printf("%-8s key set        old %8.2f ms       new %8.2f ms       old/new %5.2f\n", k == 0 ? "text" : "binary",
           best[0] * 1e3, best[1] * 1e3, best[0] / best[1]);
  }
}

/* Block files of the binary alphabet with 1 and 2 workers (TAVSDK_THREADS is
 * read at every call). */
static void files(struct lib *libs, const char *dir, size_t bytes, int reps) {
  int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) exit(2);
  uint8_t *buf = malloc(bytes);
  if (buf == NULL) exit(2);
  fill(buf, bytes, 0, 7);
  int fd = openat(dfd, "plain", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, buf, bytes) != (ssize_t)bytes || close(fd) != 0) exit(2);
  free(buf);
  double best[2][2] = {{1e30, 1e30}, {1e30, 1e30}};
  for (int r = 0; r < reps; ++r) {
    for (int w = 0; w < 2; ++w) {
      setenv("TAVSDK_THREADS", w == 0 ? "1" : "2", 1);
      for (int i = 0; i < 2; ++i) {
        int error = 0;
        const double t0 = now();
        if (libs[i].file_encrypt(libs[i].keys[1], dfd, "plain", dfd, "out", TAV_REPLACE, NULL, NULL, &error) !=
            TAV_OK)
          exit(2);
        const double t = now() - t0;
        if (t < best[i][w]) best[i][w] = t;
      }
    }
  }
  unlinkat(dfd, "plain", 0);
  unlinkat(dfd, "out", 0);
  close(dfd);
  const double mb = (double)bytes / 1e6;
  for (int i = 0; i < 2; ++i) {
    printf("file %-3s 1 worker %8.1f MB/s   2 workers %8.1f MB/s   2/1 %5.2f\n", i == 0 ? "old" : "new",
           mb / best[i][0], mb / best[i][1], best[i][0] / best[i][1]);
  }
  printf("file     new/old: 1 worker %5.2f   2 workers %5.2f\n", best[0][0] / best[1][0], best[0][1] / best[1][1]);
}

struct feed {
  int fd;
  const uint8_t *buf;
  size_t bytes;
};

static void *feed_pipe(void *context) {
  const struct feed *f = context;
  for (size_t at = 0; at < f->bytes;) {
    const ssize_t put = write(f->fd, f->buf + at, f->bytes - at);
    if (put <= 0) break;
    at += (size_t)put;
  }
  close(f->fd);
  return NULL;
}

/* tav_fd_encrypt from a pipe that another thread fills (widened to 1 MiB, as
 * tav widens its own) into /dev/null; seconds, or a negative number. A thread
 * rather than a child process: after a fork every page of the buffers is
 * copied on its next write, which cost the buffer rows a fault per page. */
static double from_pipe(const struct lib *l, const uint8_t *buf, size_t bytes, int null_fd) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  (void)fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
  struct feed f = {p[1], buf, bytes};
  pthread_t feeder;
  if (pthread_create(&feeder, NULL, feed_pipe, &f) != 0) return -1;
  const double t0 = now();
  const tav_status s = l->fd_encrypt(l->keys[1], p[0], null_fd, 0, NULL, NULL, NULL);
  const double t = now() - t0;
  close(p[0]);
  pthread_join(feeder, NULL);
  return s == TAV_OK ? t : -1;
}

/* The sequential paths that tav and the descriptor calls take, at wall time,
 * binary alphabet: a pipe into /dev/null and a file into /dev/null (what
 * `tav encrypt -c F > /dev/null` runs) with 1 and 2 workers, against one
 * tav_block_encrypt call on the same bytes (wall time too); a file into a new
 * file with one worker, flushed, against `dd bs=1M conv=fsync` copying the
 * same file. Every output file is removed before its run, untimed. */
static void streams(struct lib *libs, const char *dir, size_t bytes, int reps) {
  int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC), null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  uint8_t *buf = malloc(bytes), *out = malloc(bytes);
  if (dfd < 0 || null_fd < 0 || buf == NULL || out == NULL) exit(2);
  fill(buf, bytes, 0, 11);
  int fd = openat(dfd, "plain", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, buf, bytes) != (ssize_t)bytes || fsync(fd) != 0 || close(fd) != 0) exit(2);
  char dd[4096];
  if (snprintf(dd, sizeof dd, "dd if='%s/plain' of='%s/copy' bs=1M conv=fsync status=none", dir, dir) >= (int)sizeof dd)
    exit(2);
  enum { kCall, kPipe1, kPipe2, kNull1, kNull2, kFile1, kRows };
  static const char *const kNames[] = {"one buffer call", "pipe, 1 worker", "pipe, 2 workers", "file>null, 1 worker",
                                       "file>null, 2 workers", "file>file, 1 worker"};
  double best[kRows][2], best_dd = 1e30;
  for (int row = 0; row < kRows; ++row) best[row][0] = best[row][1] = 1e30;
  for (int r = 0; r < reps; ++r) {
    for (int i = 0; i < 2; ++i) {
      const struct lib *l = &libs[i];
      double t[kRows];
      double t0 = now();
      if (l->block[0](l->keys[1], 0, buf, out, bytes) != TAV_OK) exit(2);
      t[kCall] = now() - t0;
      for (int w = 0; w < 2; ++w) {
        setenv("TAVSDK_THREADS", w == 0 ? "1" : "2", 1);
        if ((t[kPipe1 + w] = from_pipe(l, buf, bytes, null_fd)) < 0) exit(2);
        if ((fd = openat(dfd, "plain", O_RDONLY | O_CLOEXEC)) < 0) exit(2);
        t0 = now();
        if (l->fd_encrypt(l->keys[1], fd, null_fd, 0, NULL, NULL, NULL) != TAV_OK) exit(2);
        t[kNull1 + w] = now() - t0;
        close(fd);
      }
      setenv("TAVSDK_THREADS", "1", 1);
      unlinkat(dfd, "out", 0);
      t0 = now();
      if (l->file_encrypt(l->keys[1], dfd, "plain", dfd, "out", 0, NULL, NULL, NULL) != TAV_OK) exit(2);
      t[kFile1] = now() - t0;
      for (int row = 0; row < kRows; ++row)
        if (t[row] < best[row][i]) best[row][i] = t[row];
    }
    unlinkat(dfd, "copy", 0);
    const double t0 = now();
    if (system(dd) != 0) exit(2);
    const double t = now() - t0;
    if (t < best_dd) best_dd = t;
  }
  unsetenv("TAVSDK_THREADS");
  unlinkat(dfd, "plain", 0);
  unlinkat(dfd, "out", 0);
  unlinkat(dfd, "copy", 0);
  close(dfd);
  close(null_fd);
  free(buf);
  free(out);
  const double mb = (double)bytes / 1e6;
  for (int row = 0; row < kRows; ++row) {
    printf("%-22s old %7.1f MB/s  new %7.1f MB/s  new/old %5.2f", kNames[row], mb / best[row][0], mb / best[row][1],
           best[row][0] / best[row][1]);
    if (row == kFile1) {
      printf("  dd %7.1f MB/s  new/dd %5.2f\n", mb / best_dd, best_dd / best[row][1]);
    } else if (row != kCall) {
      printf("  new/call %5.2f\n", best[kCall][1] / best[row][1]);
    } else {
      printf("\n");
    }
  }
}

int main(int argc, char **argv) {
  const int stream_mode = argc > 1 && strcmp(argv[1], "--streams") == 0;
  const int file_mode = stream_mode || (argc > 1 && strcmp(argv[1], "--files") == 0);
  const int first = file_mode ? 2 : 1;
  if (argc < first + 2 + file_mode) {
    fprintf(stderr, "usage: compare OLD.so NEW.so [MiB] [repetitions]\n"
                    "       compare --files|--streams OLD.so NEW.so DIR [MiB] [repetitions]\n");
    return 2;
  }
  struct lib libs[2];
  open_lib(&libs[0], argv[first]);
  open_lib(&libs[1], argv[first + 1]);
  const int rest = first + 2 + file_mode;
  const size_t mib = argc > rest ? (size_t)atoi(argv[rest]) : (stream_mode ? 256 : file_mode ? 64 : 32);
  const int reps = argc > rest + 1 ? atoi(argv[rest + 1]) : 5;
  if (mib == 0 || reps <= 0) return 2;
  if (stream_mode) {
    streams(libs, argv[first + 2], mib << 20, reps);
  } else if (file_mode) {
    files(libs, argv[first + 2], mib << 20, reps);
  } else {
    buffers(libs, mib << 20, reps);
    expanded(libs, mib << 17, reps);
    const char *keys = getenv("COMPARE_KEYS");
    if (keys != NULL && *keys != '\0') key_sets(libs, reps);
  }
  for (int i = 0; i < 2; ++i) {
    libs[i].keys_free(libs[i].keys[0]);
    libs[i].keys_free(libs[i].keys[1]);
  }
  return 0;
}
