// SPDX-License-Identifier: MIT
// encrypt and decrypt: files, standard input and output, and strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "passphrase.hpp"
#include "tavsdk.h"

namespace tavtool {

inline constexpr const char* kUsageCipher =
    "tav encrypt|decrypt [--text|--binary] [--block|--expanded] [-f] [-c|-o OUT] [passphrase options] [FILE...]\n"
    "       tav encrypt|decrypt -r [--output-dir OUT] [-T N] [--fail-fast] [--resume] [--wipe-source] [...] DIR...\n"
    "       tav encrypt|decrypt --string [--text|--binary] [--hex] [passphrase options] [TEXT]";

inline constexpr std::string_view kSuffix = ".tav";
inline constexpr std::string_view kExpandedSuffix = ".tavx";

// The suffix of the mode that the name `source` ends in, or "" for none.
std::string_view ModeSuffix(std::string_view source);

struct CipherOptions {
  bool encrypt = true;
  bool text = false;
  bool binary = false;
  bool expanded = false;
  bool block = false;  // --block: decrypt ignores the .tavx suffix
  bool string = false;
  bool hex = false;
  bool quiet = false;
  bool progress = false;
  bool force = false;
  bool to_stdout = false;
  std::string output;  // -o, empty when not given
  bool recursive = false;     // -r: the inputs are folders
  std::string output_dir;     // --output-dir: mirror the folders there
  unsigned threads = 0;       // -T: files at once; 0 the CPU count
  bool fail_fast = false;
  bool wipe_source = false;
  bool resume = false;        // -r: complete outputs already there count as done
  PassphraseSource passphrase;
  std::vector<std::string> args;
};

// Prints the message and the usage; returns kUsageError.
int UsageError(const std::string& message, const char* usage);

// Reads the passphrase and derives the key set of `alphabet` from it; 0, or
// the exit status after a message.
int MakeKeys(const PassphraseSource& source, bool confirm, tav_alphabet alphabet, tav_keys** keys);

int RunFiles(const CipherOptions& options);
// -r: every regular file below the named folders (tree.cpp).
int RunTree(const CipherOptions& options);
int RunString(const CipherOptions& options);

}  // namespace tavtool
