// Shared pieces of the data operations.
#pragma once

#include "engine/alphabet.hpp"

namespace tav::ops {

// Copies one of the fixed messages into cmd.
void SetMessage(const char* text);

// The "Missing System data." message of an alphabet.
const char* KeyMessage(Kind kind);

// True when the keys of the alphabet were generated in this process and the
// wheel file loads; the cipher state is then prepared (PrepareCipher).
bool PrepareKeys(Kind kind);

}  // namespace tav::ops
