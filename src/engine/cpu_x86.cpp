// SPDX-License-Identifier: MIT
// Which vector kernels this x86-64 CPU and its operating system can run. This
// file is built for any x86-64 CPU; the kernels' own files are not, so no code
// of theirs runs before these checks said yes.
#include "engine/cipher.hpp"

#if defined(__x86_64__)

#include <cpuid.h>

#include <cstdint>

namespace tav::engine {
namespace {

// XCR0: the register state the operating system saves; 0 when it says nothing.
uint32_t SavedState() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) return 0;
  uint32_t lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return lo;
}

bool CpuHasAvx2() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_AVX) == 0) return false;
  // XMM and YMM state: XCR0 bits 1 and 2.
  if ((SavedState() & 0x6u) != 0x6u) return false;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2) != 0;
}

bool CpuHasAvx512Vbmi() {
  // The opmask and all ZMM state as well: XCR0 bits 1, 2, 5, 6, 7.
  if ((SavedState() & 0xE6u) != 0xE6u) return false;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0 && (ecx & bit_AVX512VBMI) != 0;
}

}  // namespace

// CPUID is slow under a hypervisor: each question is asked once.
bool Avx2Supported() {
  static const bool supported = CpuHasAvx2();
  return supported;
}

bool Avx512Supported() {
  static const bool supported = CpuHasAvx512Vbmi();
  return supported;
}

}  // namespace tav::engine

#endif
