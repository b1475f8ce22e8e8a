// SPDX-License-Identifier: MIT
// Where the passphrase comes from: a file, a descriptor, the environment, or a
// prompt on the terminal. Never the command line, which every user can read
// in the process list.
#pragma once

#include <string>

#include "console.hpp"

namespace tavtool {

struct PassphraseSource {
  std::string file;  // --passphrase-file, or empty
  int fd = -1;       // --passphrase-fd, or -1
};

// Fills `passphrase` and returns 0, or prints why on stderr and returns
// kUsageError. `confirm` asks twice at a prompt (for new ciphertext or keys).
// A passphrase with a 0 byte is refused; one longer than the part the keys
// use draws a warning, as does a passphrase file that others may read.
int ReadPassphrase(const PassphraseSource& source, bool confirm, std::string& passphrase);

// Overwrites the passphrase's bytes before the string lets go of them.
void ClearPassphrase(std::string& passphrase);

}  // namespace tavtool
