// SPDX-License-Identifier: MIT
// Destruction: wiping a file in place, destroying the key files and the key
// material held in memory.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/fileio.hpp"
#include "common/keyfiles.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"
#include "engine/cipher.hpp"
#include "engine/setup.hpp"
#include "keygen/keygen.hpp"
#include "ops/ops.hpp"
#include "ops/padtable.hpp"
#include "tavsdk.h"

namespace tav::ops {
namespace {

constexpr int kWipePasses = 21;
constexpr size_t kWipeBlock = 8192;
constexpr int kKeyFileCopies = 20;
static_assert(kWipeBytes % kWipeBlock == 0);
uint8_t* const wipe = scratch.wipe;

// One pass: `bytes` of wipe pattern from offset 0, then to the device.
bool WipePass(int fd, int64_t bytes) {
  for (int64_t at = 0; at < bytes;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(bytes - at, kWipeBytes));
    if (!io::PwriteAll(fd, wipe, len, at)) return false;
    at += static_cast<int64_t>(len);
  }
  return ::fsync(fd) == 0;
}

int KillFile(const char* path) {
  int64_t length = 0;
  io::FileId id;
  // Read and write, without truncating: the overwrite must land on the
  // blocks that hold the data. Never through a symbolic link: a wipe destroys
  // only the file the caller named directly.
  io::Fd file = io::OpenToWipe(path, length, id);
  if (!file.ok()) {
    SetMessage(TAV_MSG_BAD_SOURCE);
    return kBadSource;
  }
  std::memset(wipe, '`', kWipeBytes);
  const int64_t bytes = (length / static_cast<int64_t>(kWipeBlock) + 1) * static_cast<int64_t>(kWipeBlock);
  for (int pass = 0; pass < kWipePasses; ++pass) {
    if (!WipePass(file.get(), bytes)) {
      SetMessage(TAV_MSG_BAD_SOURCE);
      return kBadSource;
    }
  }
  if (!file.Close() || !io::RemoveIfSame(path, id, io::Step::wipe_remove)) {
    SetMessage(TAV_MSG_BAD_SOURCE);
    return kBadSource;
  }
  return kDone;
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

void ClearKeyMaterial() {
  SecureZeroObject(k);
  SecureZeroObject(p);
  SecureZeroObject(numstr);
  SecureZeroObject(w);
  SecureZeroObject(sd);
  SecureZeroObject(sh);
  SecureZeroObject(sm);
  SecureZeroObject(PF);
  SecureZeroObject(msterkey);
  SecureZeroObject(mstrshift);
  SecureZeroObject(mstrshiftcount);
  SecureZeroObject(mstrindex);
  SecureZeroObject(pkey);
  engine::CipherWipe(engine::cipher);
}

int Shutdown() {
  // Built here as well: shutdown may be the first call of the process.
  tsd.fill('@');
  tsd[kTextSize] = 0;
  bsd.fill('@');
  bsd[kBinarySize] = 0;
  for (size_t i = 0; i < kKeyFileNames.size(); ++i) {
    const bool text = IsTextKeyFile(i);
    DestroyKeyFile(kKeyFileNames[i], text ? tsd.data() : bsd.data(),
                   static_cast<size_t>(text ? kTextSize : kBinarySize));
  }
  ClearKeyMaterial();
  TextSys = 0;
  BinSys = 0;
  return kDone;
}

}  // namespace
}  // namespace tav::ops

extern "C" {

TAVSDK_API int TavKillFile(const char* path) { return tav::ops::KillFile(path); }

TAVSDK_API int TavShutdown(void) { return tav::ops::Shutdown(); }

TAVSDK_API int KillTheFile(const char* path) {
  if (path == nullptr || std::remove(path) != 0) return tav::ops::kBadSource;
  return tav::ops::kDone;
}

TAVSDK_API void UpdateDecFile(void) {}

}
