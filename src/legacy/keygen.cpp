// SPDX-License-Identifier: MIT
// Key generation of the process-wide functions: the keys are derived in
// memory, written to the current directory, and the master schedule kept.
#include <fcntl.h>

#include <cstring>

#include "legacy/state.hpp"
#include "tavsdk.h"

namespace tav::legacy {
namespace {

int GenerateKeys(Kind kind, const char* passphrase) {
  // Bytes after the 18th never count; 64 is plenty to see that.
  const size_t len = passphrase == nullptr ? 0 : strnlen(passphrase, 64);
  if (!keys::Derive(state.keys, kind, reinterpret_cast<const uint8_t*>(passphrase), len)) return 1;
  int error = 0;
  const bool written = keys::Save(state.keys, AT_FDCWD, error);
  // A failed write may leave a mix of old and new key files: nothing may be
  // encrypted with them until a generation succeeds.
  if (written) state.schedule = state.keys.tables.schedule;
  ClearKeys();
  (kind == Kind::text ? TextSys : BinSys) = written ? 1 : 0;
  return written ? 0 : 2;
}

}  // namespace
}  // namespace tav::legacy

extern "C" {

TAVSDK_API int TavGenTextKeys(const char* passphrase) {
  return tav::legacy::GenerateKeys(tav::Kind::text, passphrase);
}

TAVSDK_API int TavGenBinaryKeys(const char* passphrase) {
  return tav::legacy::GenerateKeys(tav::Kind::binary, passphrase);
}

}
