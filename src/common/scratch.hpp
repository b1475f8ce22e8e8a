// SPDX-License-Identifier: MIT
// The library's one large working area. The operations that need a big
// buffer never run at the same time (the library serves one call at a time,
// and none of them calls another while its buffer is in use), so they share
// this storage instead of each reserving its own for the life of the process.
// Worker threads never touch it: they keep their buffers on their own stacks,
// and the calling thread uses worker_space like any of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/workers.hpp"
#include "engine/alphabet.hpp"

namespace tav {

// Block file operations: bytes moved per read, transform and write.
inline constexpr size_t kBlockBytes = size_t{1} << 20;

// Expanded files: an output region holds whole units (a unit is at most a few
// thousand bytes); the ciphertext bytes of one round are more units than a
// region holds at the smallest mean run that generated pad keys give.
inline constexpr size_t kRegionBytes = size_t{1} << 20;
inline constexpr size_t kRegionSymbols = size_t{1} << 16;
inline constexpr size_t kRandomWords = 4096;

// Scramblers: a chunk holds many blocks of any allowed size.
inline constexpr size_t kScrambleChunk = size_t{1} << 20;

// Wipe: many wipe blocks back to back, so that a pass needs few writes.
inline constexpr size_t kWipeBytes = size_t{8192} * 64;

union Scratch {
  alignas(64) uint8_t block[kBlockBytes];
  struct {
    alignas(64) uint8_t region[kRegionBytes + 4];  // + slack for the text filler writer
    alignas(64) uint8_t symbols[kRegionSymbols];
    alignas(64) uint32_t random_words[kRandomWords];
  } expanded;
  alignas(64) uint8_t chunk[kScrambleChunk];
  alignas(64) uint8_t wipe[kWipeBytes];
  uint8_t wheel_file[kWheels * kBinarySize];  // a whole wheel file, as read or as written
  alignas(64) uint8_t worker_space[workers::kSpaceBytes];  // the calling thread's, when work is split
};

extern Scratch scratch;

}  // namespace tav
