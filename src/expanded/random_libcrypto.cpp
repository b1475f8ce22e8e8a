// SPDX-License-Identifier: MIT
// Fillers from OpenSSL's libcrypto: RAND_bytes, its public generator (a
// CTR-DRBG on AES-256), seeded from the system and reseeded after fork. The
// kernel's getrandom made filler generation most of the expanded encoder's
// time; this one runs in user space, several times as fast. The private
// generator (RAND_priv_bytes) is left to the host's keys: fillers are written
// out for anyone to read.
#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "expanded/random.hpp"

namespace tav::expanded {

bool SystemRandom(void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  // A failure leaves entries on the thread's OpenSSL error queue, which
  // belongs to the host program: they are popped again, the host's own kept.
  ERR_set_mark();
  while (n > 0) {
    const size_t len = std::min<size_t>(n, INT_MAX);
    if (RAND_bytes(p, static_cast<int>(len)) != 1) {
      ERR_pop_to_mark();
      errno = EIO;
      return false;
    }
    p += len;
    n -= len;
  }
  ERR_pop_to_mark();
  return true;
}

}  // namespace tav::expanded
