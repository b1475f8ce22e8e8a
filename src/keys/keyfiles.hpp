// SPDX-License-Identifier: MIT
// The contents of the key files of one alphabet, as key generation writes
// them or as they were read from a directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/keyfiles.hpp"
#include "engine/alphabet.hpp"

namespace tav {

// A key file's bytes; `present` is false when there was no such file.
template <size_t N>
struct FileImage {
  std::array<uint8_t, N> bytes{};
  size_t size = 0;
  bool present = false;
};

// Sizes as key generation writes them.
inline constexpr size_t kSchemeBytes = 100;  // k3: 20 direction letters, 20 little-endian values
inline constexpr size_t kFieldBytes = 2 * kWheels;  // k4, k5, k6.dat: 20 two-digit fields
inline constexpr char kMarker[] = "202";  // k2: written, never read

struct KeyFiles {
  Kind kind = Kind::binary;
  std::array<uint8_t, kWheels * kBinarySize> wheels{};  // k1: 20 records of n bytes
  FileImage<kSchemeBytes> scheme;                        // k3
  FileImage<kFieldBytes> steps;                          // k4
  FileImage<kFieldBytes> pad;                            // k5
  FileImage<kFieldBytes> scramble_pad;                   // k6.dat
};

}  // namespace tav
