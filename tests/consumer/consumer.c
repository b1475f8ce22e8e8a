/* SPDX-License-Identifier: MIT */
/* An installed library's first user: round-trips a string with keys made in a
 * temporary directory and prints the header's and the version macros'
 * version. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <tavsdk.h>

int main(void) {
  char dir[] = "/tmp/tavsdk-consumer-XXXXXX";
  char text[] = "installed and found";
  int ok;
  if (mkdtemp(dir) == NULL || chdir(dir) != 0) return 2;
  ok = TavGenTextKeys("consumer") == TAV_OK && TavTEnc(text) == OutString && strcmp(OutString, text) != 0 &&
       TavTDec(OutString) == OutString && strcmp(OutString, text) == 0;
  TavShutdown();
  if (chdir("/") != 0 || rmdir(dir) != 0) return 2;
  printf("%s %d.%d.%d\n", TAVSDK_VERSION_STRING, TAVSDK_VERSION_MAJOR, TAVSDK_VERSION_MINOR, TAVSDK_VERSION_PATCH);
  return ok ? 0 : 1;
}
