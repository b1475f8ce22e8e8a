// SPDX-License-Identifier: MIT
// Helpers shared by the tests: a private working directory per test, file
// access, the conformance data, and the table of the file operations (which
// the fuzz targets and the benchmark take from here too).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::test {

using Bytes = std::vector<uint8_t>;

// A file operation of the process-wide interface: source name, destination name.
using FileOp = int (*)(const char*, const char*);

struct NamedFileOp {
  const char* name;  // without the Tav prefix
  Kind kind;
  bool expanded;
  bool decrypts;
  FileOp run;
};

// All eight, by mode and alphabet: the one that encrypts, then its inverse.
inline constexpr NamedFileOp kFileOps[] = {
    {"TextFileEnc", Kind::text, false, false, TavTextFileEnc},
    {"TextFileDec", Kind::text, false, true, TavTextFileDec},
    {"BinaryFileEnc", Kind::binary, false, false, TavBinaryFileEnc},
    {"BinaryFileDec", Kind::binary, false, true, TavBinaryFileDec},
    {"TExpandFileEnc", Kind::text, true, false, TavTExpandFileEnc},
    {"TExpandFileDec", Kind::text, true, true, TavTExpandFileDec},
    {"BExpandFileEnc", Kind::binary, true, false, TavBExpandFileEnc},
    {"BExpandFileDec", Kind::binary, true, true, TavBExpandFileDec},
};

struct FileOpPair {
  FileOp enc;
  FileOp dec;
};

// The two operations of an alphabet in one mode.
constexpr FileOpPair FileOpsOf(Kind kind, bool expanded) {
  const NamedFileOp* first = &kFileOps[(expanded ? 4 : 0) + (kind == Kind::text ? 0 : 2)];
  return {first[0].run, first[1].run};
}

// Makes a fresh directory, switches the process into it (the key files are
// read and written in the current directory) and removes it afterwards.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
  std::string previous_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
Bytes FromHex(const std::string& hex);
Bytes RandomBytes(size_t n, uint32_t seed);

// Root ignores file modes; for its lifetime this acts as an ordinary user, so
// that a 0444 file really is read-only. The current directory is opened up to
// directory_mode so that the user can still work in it.
class Unprivileged {
public:
  explicit Unprivileged(unsigned directory_mode = 0755);
  ~Unprivileged();
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;

private:
  bool dropped_ = false;
};

// The conformance data folder: $TAVSDK_VECTORS_DIR when set, otherwise the
// copy the build was configured with. Tests that need it fail without it.
std::string VectorsDir();

// The pad table a pad key file gives (every entry -1 when it gives none).
PadTable PadFromFile(const std::string& path);

// The key set that the process-wide functions load for the alphabet now: the
// current directory's key files with the latest generation's master
// schedule. Valid until the next call.
const tav_keys& CurrentKeys(Kind kind);

// Resets the process-global library state the tests depend on: both key flags
// down, as in a fresh process.
void ResetFlags();

}  // namespace tav::test
