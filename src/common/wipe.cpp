// SPDX-License-Identifier: MIT
// Clearing memory the compiler may not skip.
#include "common/wipe.hpp"

#include <string.h>

namespace tav {

void SecureZero(void* p, size_t n) { explicit_bzero(p, n); }

}  // namespace tav
