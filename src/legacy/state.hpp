// SPDX-License-Identifier: MIT
// The process-wide functions (Tav...): a thin layer over the core that keeps
// their behaviour. Each call loads the key files of the current directory
// into the key set below and runs the core on it. Besides the four exported
// variables (cmd, OutString, TextSys, BinSys), this struct is all the state
// they keep; it is static, so they allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/alphabet.hpp"
#include "keys/keyset.hpp"
#include "ops/fileop.hpp"

namespace tav::legacy {

// Wipe passes write many 8192-byte wipe blocks at once.
inline constexpr size_t kWipeBytes = size_t{8192} * 64;

struct State {
  // Between calls: the master key schedule of the latest key generation,
  // which no key file holds.
  Schedule schedule{};
  // The running call's key set, loaded from the key files and cleared again
  // before the call returns.
  tav_keys keys;
  // The running call's buffers; no two of its uses overlap.
  union Scratch {
    ops::Space<ops::kRegionBytes, ops::kRegionSymbols, ops::kRandomWords> transfer;  // file operations
    alignas(64) uint8_t chunk[size_t{1} << 20];  // scramblers
    alignas(64) uint8_t wipe[kWipeBytes];
  } scratch;
};

extern State state;

// Copies one of the fixed messages into cmd.
void SetMessage(const char* text);

// The "Missing System data." message of an alphabet.
const char* KeyMessage(Kind kind);

// True when the keys of the alphabet were generated in this process and its
// wheel, scheme and step-count files load into state.keys.
bool LoadKeys(Kind kind);

// Clears what a call loaded into state.keys.
void ClearKeys();

}  // namespace tav::legacy
