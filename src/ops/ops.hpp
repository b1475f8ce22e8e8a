// SPDX-License-Identifier: MIT
// Shared pieces of the data operations.
#pragma once

#include "engine/alphabet.hpp"
#include "tavsdk.h"

namespace tav::ops {

// Status codes of the file operations, the scramblers and the wipe.
enum Status : int {
  kDone = 0,
  kNoKeys = 1,        // no usable keys (flag down, damaged wheel or pad key file)
  kBadSource = 2,     // source (or the file to scramble or wipe) missing, unusable, or a read error
  kBadDest = 3,       // destination missing, unusable, the source itself, or a write error
  kBadArguments = 4,  // block count or size out of range
  kPastEnd = 5,       // the blocks reach past the end of the file
};
// Callers compare with the public names.
static_assert(kDone == TAV_OK && kNoKeys == TAV_NO_KEYS && kBadSource == TAV_BAD_SOURCE &&
              kBadDest == TAV_BAD_DEST && kBadArguments == TAV_BAD_BLOCKS && kPastEnd == TAV_PAST_END);

// Copies one of the fixed messages into cmd.
void SetMessage(const char* text);

// The "Missing System data." message of an alphabet.
const char* KeyMessage(Kind kind);

// True when the keys of the alphabet were generated in this process and the
// wheel file loads; the cipher state is then prepared (PrepareCipher).
bool PrepareKeys(Kind kind);

}  // namespace tav::ops
