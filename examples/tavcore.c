/* SPDX-License-Identifier: MIT */
/*
 * tavcore.c - the core interface: a key set held in memory, a message of any
 * bytes encrypted in pieces at their offsets, an expanded stream, and a file
 * encrypted from one directory into another with an atomic replace. No key
 * file is written and the current directory is never used.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tavsdk.h"

static int check(tav_status status, int error, const char *what) {
  if (status == TAV_OK) return 0;
  fprintf(stderr, "tavcore: %s: %s%s%s\n", what, tav_strerror(status), error ? ": " : "",
          error ? strerror(error) : "");
  return 1;
}

static void hex(const char *label, const unsigned char *data, size_t len) {
  size_t i;
  printf("%-10s", label);
  for (i = 0; i < len; ++i) printf("%02x", data[i]);
  printf("\n");
}

int main(void) {
  static const char passphrase[] = "a passphrase, kept in memory";
  /* Binary data with 0 bytes, longer than any string call would take. */
  static unsigned char message[10000], encrypted[10000], back[10000];
  unsigned char expanded[4096], decoded[4096];
  char dir[] = "/tmp/tavcore-XXXXXX";
  tav_keys *keys = NULL;
  tav_encoder *encoder = NULL;
  tav_decoder *decoder = NULL;
  size_t i, n = 0, got = 0;
  int error = 0, dirfd, fd, failed = 0;

  for (i = 0; i < sizeof message; ++i) message[i] = (unsigned char)(i * 37 % 256);
  if (check(tav_keys_new(&keys, TAV_BINARY, passphrase, strlen(passphrase)), 0, "keys")) return 1;

  /* The whole message at once, and the same in pieces of 1000 at their offsets. */
  failed |= check(tav_block_encrypt(keys, 0, message, encrypted, sizeof message), 0, "encrypt");
  for (i = 0; i < sizeof message; i += 1000)
    failed |= check(tav_block_decrypt(keys, i, encrypted + i, back + i, 1000), 0, "decrypt");
  hex("message", message, 16);
  hex("encrypted", encrypted, 16);
  printf("pieces decrypt to the message: %s\n", memcmp(back, message, sizeof message) == 0 ? "yes" : "NO");

  /* An expanded stream: 64 bytes in, each followed by its filler run. */
  failed |= check(tav_encoder_new(&encoder, keys, NULL, NULL), 0, "encoder");
  n = tav_encoder_size(encoder, 64);
  if (!failed && n <= sizeof expanded) {
    failed |= check(tav_encoder_update(encoder, message, 64, expanded, sizeof expanded, &n), 0, "encode");
    failed |= check(tav_decoder_new(&decoder, keys), 0, "decoder");
    if (!failed) failed |= check(tav_decoder_update(decoder, expanded, n, decoded, &got), 0, "decode");
    printf("expanded: 64 bytes -> %zu bytes -> %zu bytes, %s\n", n, got,
           got == 64 && memcmp(decoded, message, 64) == 0 ? "the same" : "DIFFERENT");
  }

  /* A file encrypted into a directory of its own, replacing an older copy in one step. */
  if (mkdtemp(dir) == NULL) return 1;
  dirfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  fd = openat(dirfd, "plain", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (dirfd < 0 || fd < 0 || write(fd, message, sizeof message) != (ssize_t)sizeof message || close(fd) != 0) return 1;
  failed |= check(tav_file_encrypt_at(keys, dirfd, "plain", dirfd, "plain.tav", 0, NULL, NULL, &error), error,
                  "plain.tav");
  failed |= check(tav_file_encrypt_at(keys, dirfd, "plain", dirfd, "plain.tav", TAV_REPLACE, NULL, NULL, &error),
                  error, "plain.tav");
  printf("without TAV_REPLACE an existing file is refused: %s\n",
         tav_file_encrypt_at(keys, dirfd, "plain", dirfd, "plain.tav", 0, NULL, NULL, NULL) == TAV_EXISTS ? "yes"
                                                                                                       : "NO");
  unlinkat(dirfd, "plain", 0);
  unlinkat(dirfd, "plain.tav", 0);
  close(dirfd);
  rmdir(dir);

  tav_decoder_free(decoder);
  tav_encoder_free(encoder);
  tav_keys_free(keys); /* overwrites the key material, then releases it */
  return failed;
}
