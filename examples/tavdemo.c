/* SPDX-License-Identifier: MIT */
/* Generates keys from a passphrase, then round-trips a string, a file in
 * block mode and a file in the expanded mode, printing what it does. It works
 * in a fresh temporary directory, because the key files are written to the
 * current directory, and destroys the keys at the end. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tavsdk.h"

static long file_size(const char *path) {
  FILE *f = fopen(path, "rb");
  long size = -1;
  if (f != NULL) {
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    fclose(f);
  }
  return size;
}

static int same_files(const char *a, const char *b) {
  FILE *fa = fopen(a, "rb");
  FILE *fb = fopen(b, "rb");
  int same = fa != NULL && fb != NULL;
  while (same) {
    const int ca = fgetc(fa);
    const int cb = fgetc(fb);
    if (ca != cb) same = 0;
    if (ca == EOF || cb == EOF) break;
  }
  if (fa != NULL) fclose(fa);
  if (fb != NULL) fclose(fb);
  return same;
}

/* Ciphertext can hold any byte, quotes and line feeds included: shown as hex. */
static void print_hex(const char *label, const char *bytes) {
  printf("%s", label);
  for (; *bytes != 0; ++bytes) printf("%02x", (unsigned)(unsigned char)*bytes);
  printf("\n");
}

static int check(int status, const char *what) {
  if (status != TAV_OK) {
    fprintf(stderr, "%s failed with status %d: %s\n", what, status, cmd);
    return 0;
  }
  return 1;
}

int main(void) {
  char dir[] = "/tmp/tavdemo-XXXXXX";
  char text[256];
  char cipher[256];
  FILE *f;
  int ok = 1;
  int i;

  if (mkdtemp(dir) == NULL || chdir(dir) != 0) {
    perror("temporary directory");
    return 1;
  }
  printf("tavsdk %s, working in %s\n", TAVSDK_VERSION_STRING, dir);

  if (!check(TavGenTextKeys("correct horse battery"), "TavGenTextKeys")) return 1;
  if (!check(TavGenBinaryKeys("correct horse battery"), "TavGenBinaryKeys")) return 1;
  printf("generated text and binary keys (k1..k5 .txt/.bin and k6.dat)\n");

  strcpy(text, "Attack at dawn, 06:30 - bring the maps!");
  /* The string functions write into their input on failure: pass writable copies. */
  if (TavTEnc(text) != OutString) return 1;
  strcpy(cipher, OutString);
  printf("TavTEnc: \"%s\"\n", text);
  print_hex("     -> hex ", cipher);
  printf("TavTDec:  -> \"%s\"\n", TavTDec(cipher));
  ok &= strcmp(OutString, text) == 0;

  f = fopen("plain.txt", "w");
  if (f == NULL) return 1;
  for (i = 0; i < 200; ++i) fprintf(f, "Line %d of a small report.\n", i);
  if (fclose(f) != 0) return 1;

  ok &= check(TavTextFileEnc("plain.txt", "plain.enc"), "TavTextFileEnc");
  ok &= check(TavTextFileDec("plain.enc", "plain.dec"), "TavTextFileDec");
  printf("block mode: plain.txt (%ld bytes) -> plain.enc (%ld bytes) -> plain.dec: %s\n", file_size("plain.txt"),
         file_size("plain.enc"), same_files("plain.txt", "plain.dec") ? "identical" : "DIFFERENT");
  ok &= same_files("plain.txt", "plain.dec");

  ok &= check(TavBExpandFileEnc("plain.txt", "plain.exp"), "TavBExpandFileEnc");
  ok &= check(TavBExpandFileDec("plain.exp", "plain.out"), "TavBExpandFileDec");
  printf("expanded mode: plain.txt (%ld bytes) -> plain.exp (%ld bytes) -> plain.out: %s\n", file_size("plain.txt"),
         file_size("plain.exp"), same_files("plain.txt", "plain.out") ? "identical" : "DIFFERENT");
  ok &= same_files("plain.txt", "plain.out");

  ok &= check(TavKillFile("plain.txt"), "TavKillFile");
  printf("TavKillFile(plain.txt): plain.txt overwritten and deleted\n");
  remove("plain.enc");
  remove("plain.dec");
  remove("plain.exp");
  remove("plain.out");
  printf("TavShutdown: %d (key files overwritten and deleted)\n", TavShutdown());
  if (chdir("/") != 0 || rmdir(dir) != 0) perror("removing the temporary directory");
  printf(ok ? "all round trips succeeded\n" : "A ROUND TRIP FAILED\n");
  return ok ? 0 : 1;
}
