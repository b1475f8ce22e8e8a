// SPDX-License-Identifier: MIT
// Fillers in the WebAssembly build: the host's cryptographic random source
// (crypto.getRandomValues), imported from the JavaScript side.
#include <cerrno>
#include <cstdint>

#include "expanded/random.hpp"

// Fills n bytes; 0 on success, an errno value when the host has no source.
extern "C" __attribute__((import_module("env"), import_name("tav_random"))) int TavHostRandom(void* buf, size_t n);

namespace tav::expanded {

bool SystemRandom(void* buf, size_t n) {
  const int rc = TavHostRandom(buf, n);
  if (rc != 0) errno = rc;
  return rc == 0;
}

}  // namespace tav::expanded
