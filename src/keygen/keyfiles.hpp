// SPDX-License-Identifier: MIT
// The key files: their fixed names in the current directory, which every part
// of the library takes from here, and the contents of those of one alphabet,
// as key generation writes them or as they were read from a directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/alphabet.hpp"

namespace tav {

// k1 wheels, k2 marker, k3 scheme, k4 step counts, k5 pad keys of each
// alphabet, and the pad keys of the variable-block scrambler.
enum class KeyFile : size_t { wheels = 0, marker = 1, scheme = 2, steps = 3, pad = 4, scramble_pad = 5 };

// In the order in which shutdown destroys them: the text file before the
// binary one for k1..k5, then k6.dat.
inline constexpr std::array<const char*, 11> kKeyFileNames = {
    "k1.txt", "k1.bin", "k2.txt", "k2.bin", "k3.txt", "k3.bin",
    "k4.txt", "k4.bin", "k5.txt", "k5.bin", "k6.dat",
};

// The name of a key file of an alphabet (k6.dat belongs to both).
inline constexpr const char* KeyFileName(KeyFile file, Kind kind) {
  const auto at = static_cast<size_t>(file);
  if (file == KeyFile::scramble_pad) return kKeyFileNames[2 * at];
  return kKeyFileNames[2 * at + (kind == Kind::text ? 0 : 1)];
}

// True for the names of the text alphabet, which take the 151-byte overwrite
// string; the others take the 256-byte one.
inline constexpr bool IsTextKeyFile(size_t index) { return index < 10 && index % 2 == 0; }

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
