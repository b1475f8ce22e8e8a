// SPDX-License-Identifier: MIT
// Clearing of key material and passphrase copies.
#pragma once

#include <cstddef>

namespace tav {

// Clears memory in a way the compiler may not elide, for key material and
// passphrase copies that must not outlive their use.
void SecureZero(void* p, size_t n);

template <class T>
void SecureZeroObject(T& object) {
  SecureZero(&object, sizeof(object));
}

}  // namespace tav
