// SPDX-License-Identifier: MIT
// The random source of the expanded fillers when the caller names none.
#pragma once

#include <cstddef>

namespace tav::expanded {

// Fills n bytes from the system's random source. False (errno set) when it
// fails.
bool SystemRandom(void* buf, size_t n);

}  // namespace tav::expanded
