// Destruction: wiping a file in place, destroying the key files and the key
// material held in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/fileio.hpp"
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
  // Read and write, without truncating: the overwrite must land on the
  // blocks that hold the data.
  io::Fd file = io::OpenRegular(path, O_RDWR, length);
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
  if (!file.Close() || ::unlink(path) != 0) {
    SetMessage(TAV_MSG_BAD_SOURCE);
    return kBadSource;
  }
  return kDone;
}

// Overwrites an existing key file in place with copies of the fill string
// (at least 20, and as many as cover the whole file), flushes it and deletes
// it. A file that does not open for writing is deleted all the same.
void DestroyKeyFile(const char* name, const char* fill, size_t len) {
  io::Fd file = io::Open(name, O_WRONLY | O_NONBLOCK);
  if (!file.ok() && errno == ENOENT) return;
  struct stat st {};
  if (file.ok() && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    bool written = true;
    int64_t at = 0;
    for (int copy = 0; written && (copy < kKeyFileCopies || at < st.st_size); ++copy) {
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
  constexpr const char* kKeyFiles[] = {"k1.txt", "k1.bin", "k2.txt", "k2.bin", "k3.txt", "k3.bin",
                                       "k4.txt", "k4.bin", "k5.txt", "k5.bin", "k6.dat"};
  for (const char* name : kKeyFiles) {
    const bool text = std::strstr(name, ".txt") != nullptr;
    DestroyKeyFile(name, text ? tsd.data() : bsd.data(), static_cast<size_t>(text ? kTextSize : kBinarySize));
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
