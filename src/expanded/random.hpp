// SPDX-License-Identifier: MIT
// The random source of the expanded fillers when the caller names none.
#pragma once

#include <cstddef>

namespace tav::expanded {

// Fills n bytes from a cryptographically secure generator seeded by the
// system: OpenSSL's RAND_bytes where the build found libcrypto, else
// getrandom; crypto.getRandomValues in WebAssembly. Safe across fork and
// threads. False (errno set) when it fails.
bool SystemRandom(void* buf, size_t n);

}  // namespace tav::expanded
