// SPDX-License-Identifier: MIT
// Scramblers, the wipe, and the destruction of the key files and of the key
// material held in memory, for the process-wide functions.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "common/fileio.hpp"
#include "common/wipe.hpp"
#include "keygen/keyfiles.hpp"
#include "legacy/state.hpp"
#include "ops/scramble.hpp"
#include "tavsdk.h"

namespace tav::legacy {
namespace {

constexpr int kKeyFileCopies = 20;
constexpr const char* kCopyName = "turnabot.dat";

ops::Chunk ScrambleChunk() { return {state.scratch.chunk, sizeof state.scratch.chunk}; }

int ScrambleFile(const char* path, int count, int size) {
  int error = 0;
  const int status = ops::ScrambleFile(AT_FDCWD, path, count, size, {AT_FDCWD, kCopyName, "", false}, ScrambleChunk(), error);
  // This interface has one status for every I/O failure; the copy is kept.
  return status == TAV_COPY_KEPT ? TAV_BAD_SOURCE : status;
}

int XScrambleFile(const char* path) {
  int error = 0;
  state.keys.files.kind = Kind::binary;
  const bool usable = keys::LoadPad(state.keys, AT_FDCWD, true, error) == keys::Loaded::ok &&
                      keys::ScramblePadUsable(state.keys);
  const int status =
      ops::XScrambleFile(AT_FDCWD, path, usable ? &state.keys.scramble_pad : nullptr, ScrambleChunk(), error);
  ClearKeys();
  return status;
}

int KillFile(const char* path) {
  int error = 0;
  const int status = ops::WipeFile(AT_FDCWD, path, {state.scratch.wipe, sizeof state.scratch.wipe}, error);
  if (status != TAV_OK) SetMessage(TAV_MSG_BAD_SOURCE);
  return status;
}

// Overwrites an existing key file in place with copies of the fill string
// (at least 20, and as many as cover the whole file), flushes it and deletes
// it. Anything else at the name (a symbolic link, a FIFO, a file that does not
// open for writing) is deleted as a name, without writing.
void DestroyKeyFile(const char* name, const char* fill, size_t len) {
  int64_t length = 0;
  bool missing = false;
  io::Fd file = io::OpenKeyFileToDestroy(name, length, missing);
  if (missing) return;
  if (file.ok()) {
    bool written = true;
    int64_t at = 0;
    for (int copy = 0; written && (copy < kKeyFileCopies || at < length); ++copy) {
      written = io::PwriteAll(file.get(), fill, len, at);
      at += static_cast<int64_t>(len);
    }
    ::fsync(file.get());
  }
  file.Close();
  ::unlink(name);
}

int Shutdown() {
  char fill[kBinarySize];
  for (char& c : fill) c = '@';
  for (size_t i = 0; i < kKeyFileNames.size(); ++i) {
    DestroyKeyFile(kKeyFileNames[i], fill, static_cast<size_t>(IsTextKeyFile(i) ? kTextSize : kBinarySize));
  }
  SecureZeroObject(state.schedule);
  SecureZeroObject(state.keys);
  TextSys = 0;
  BinSys = 0;
  return TAV_OK;
}

}  // namespace
}  // namespace tav::legacy

extern "C" {

TAVSDK_API int TavScrambleFile(const char* path, int count, int size) {
  return tav::legacy::ScrambleFile(path, count, size);
}

TAVSDK_API int TavXScrambleFile(const char* path) { return tav::legacy::XScrambleFile(path); }

TAVSDK_API int TavKillFile(const char* path) { return tav::legacy::KillFile(path); }

TAVSDK_API int TavShutdown(void) { return tav::legacy::Shutdown(); }

TAVSDK_API int KillTheFile(const char* path) {
  if (path == nullptr || std::remove(path) != 0) return TAV_BAD_SOURCE;
  return TAV_OK;
}

TAVSDK_API void UpdateDecFile(void) {}

}
