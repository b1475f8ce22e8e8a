// SPDX-License-Identifier: MIT
// Where the passphrase comes from: a file, the environment, or a prompt on the
// terminal. Never the command line, which every user can read in the process list.
#pragma once

#include <string>

namespace tavtool {

inline constexpr int kUsageError = 64;

// Fills `passphrase` and returns 0, or prints why on stderr and returns
// kUsageError. `confirm` asks twice at a prompt (for new ciphertext or keys).
int ReadPassphrase(const std::string& file, bool confirm, std::string& passphrase);

// Overwrites the passphrase's bytes before the string lets go of them.
void ClearPassphrase(std::string& passphrase);

}  // namespace tavtool
