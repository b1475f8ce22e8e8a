// SPDX-License-Identifier: MIT
// Allocation and release of the core's objects, key material wiped first.
#include "core/objects.hpp"

#include <sys/mman.h>

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

#ifndef __EMSCRIPTEN__  // the WebAssembly build has no descriptor calls
void* MapArea(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // Only a hint: the area still works where the kernel lacks it.
  (void)::madvise(p, bytes, MADV_DONTDUMP);
  return p;
}

void UnmapArea(void* p, size_t bytes) {
  if (p != nullptr) (void)::munmap(p, bytes);
}
#endif

void Release(void* p, size_t bytes) {
  if (p == nullptr) return;
  SecureZero(p, Rounded(bytes));
  std::free(p);
}

}  // namespace tav::core
