/* SPDX-License-Identifier: MIT */
/* The native library's block-mode rate on 16 MiB, for the package's
 * benchmark: run with TAVSDK_CPU=portable TAVSDK_THREADS=1 to compare with
 * the portable path. Prints "binary MB/s text MB/s". */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "tavsdk.h"

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double rate(tav_alphabet alphabet, uint8_t *data, size_t size) {
  tav_keys *keys = NULL;
  if (tav_keys_new(&keys, alphabet, "benchmark", 9) != TAV_OK) exit(1);
  double best = 0;
  for (int run = 0; run < 3; ++run) {
    const double start = now();
    if (tav_block_encrypt(keys, 0, data, data, size) != TAV_OK) exit(1);
    const double mbs = (double)size / 1e6 / (now() - start);
    if (mbs > best) best = mbs;
  }
  tav_keys_free(keys);
  return best;
}

int main(void) {
  const size_t size = (size_t)16 << 20;
  uint8_t *data = malloc(size);
  if (data == NULL) return 1;
  for (size_t i = 0; i < size; ++i) data[i] = (uint8_t)(32 + (i * 2654435761u >> 13) % 95);
  const double binary = rate(TAV_BINARY, data, size);
  for (size_t i = 0; i < size; ++i) data[i] = (uint8_t)(32 + (i * 2654435761u >> 13) % 95);
  const double text = rate(TAV_TEXT, data, size);
  printf("%.1f %.1f\n", binary, text);
  free(data);
  return 0;
}
