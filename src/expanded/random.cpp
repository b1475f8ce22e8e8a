// SPDX-License-Identifier: MIT
// Fillers from the kernel's random source, in builds without OpenSSL's
// libcrypto (random_libcrypto.cpp).
#include "expanded/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace tav::expanded {

bool SystemRandom(void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    const ssize_t got = ::getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace tav::expanded
