// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz targets: a private working directory (the key
// files land in the current directory), small file helpers and the check that
// turns a broken promise into a crash libFuzzer records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/alphabet.hpp"
#include "keys/padtable.hpp"

namespace tav::fuzz {

using Bytes = std::vector<uint8_t>;

// Reports the failed promise and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what, const char* file, int line);

#define FUZZ_CHECK(cond) \
  do {                                                    \
    if (!(cond)) ::tav::fuzz::Fail(#cond, __FILE__, __LINE__); \
  } while (0)

// Creates a fresh directory, switches into it for the life of the process and
// removes it with its files at a normal exit. A crash leaves it for a look.
// Relative corpus paths would then point into it, so they are refused.
void EnterPrivateDir(const char* target, int argc, char** argv);

// Generates the keys of both alphabets from a fixed passphrase (binary last,
// so k6.dat is the binary one).
void GenerateBothKeys();

bool Exists(const char* path);
// The whole file; a missing file aborts.
Bytes ReadFile(const char* path);
void WriteFile(const char* path, const uint8_t* data, size_t n);
inline void WriteFile(const char* path, const Bytes& data) { WriteFile(path, data.data(), data.size()); }
// Removes a file, link or empty directory; a missing name is fine.
void Remove(const char* path);

// Every byte value but 0, once: all text symbols and every byte outside the
// text alphabet, usable as a C string and as file content alike.
Bytes NonZeroBytes();

// The public operations of one alphabet.
struct Operations {
  Kind kind;
  int (*generate)(const char*);
  char* (*enc)(char*);
  char* (*dec)(char*);
  int (*file_enc)(const char*, const char*);
  int (*file_dec)(const char*, const char*);
  int (*expand_enc)(const char*, const char*);
  int (*expand_dec)(const char*, const char*);
  int* flag;
  const char* key_message;
};
const Operations& OperationsOf(Kind kind);

// The pad table of the alphabet's k5 (scramble false) or of k6.dat (true) in
// the current directory, as the operations build it; a file that gives none
// aborts.
const PadTable& PadOf(Kind kind, bool scramble);

// The bytes at the unit starts of an expanded file, with the pad table of the
// alphabet's k5 in the current directory.
Bytes UnitStarts(Kind kind, const Bytes& expanded);

}  // namespace tav::fuzz
