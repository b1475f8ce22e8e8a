// SPDX-License-Identifier: MIT
// Allocation and release of the core's objects, key material wiped first.
#include "core/objects.hpp"

#include <cstdlib>
#include <cstring>

#include "common/wipe.hpp"

namespace tav::core {

namespace {
constexpr size_t kAlign = 64;
size_t Rounded(size_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }
}  // namespace

void* Allocate(size_t bytes) {
  void* p = std::aligned_alloc(kAlign, Rounded(bytes));
  if (p != nullptr) std::memset(p, 0, Rounded(bytes));
  return p;
}

void Release(void* p, size_t bytes) {
  if (p == nullptr) return;
  SecureZero(p, Rounded(bytes));
  std::free(p);
}

}  // namespace tav::core
