// SPDX-License-Identifier: MIT
// String and file operations of the process-wide functions.
#include <fcntl.h>

#include <cstring>

#include "common/wipe.hpp"
#include "engine/cipher.hpp"
#include "legacy/state.hpp"
#include "ops/fileop.hpp"
#include "tavsdk.h"

namespace tav::legacy {
namespace {

char* StringOperation(char* text, Kind kind, bool decrypt) {
  if (text == nullptr) return nullptr;
  if (!LoadKeys(kind)) {
    ClearKeys();
    text[0] = 0;
    return text;
  }
  // Longer input would not fit the result; it is refused rather than cut.
  const size_t len = strnlen(text, sizeof OutString);
  if (len == sizeof OutString) {
    ClearKeys();
    return text;
  }
  // The input may be OutString itself, or overlap it.
  std::memmove(OutString, text, len);
  OutString[len] = 0;
  engine::Cipher c;
  engine::CipherStart(c, state.keys.tables, 0);
  engine::CipherRun(c, reinterpret_cast<uint8_t*>(OutString), len, decrypt);
  SecureZeroObject(c.s);
  ClearKeys();
  return OutString;
}

int Refuse(int status, const char* message) {
  ClearKeys();
  SetMessage(message);
  return status;
}

// The checks of the process-wide functions come first; the rest is the core's
// file operation, which replaces the destination only when the new file is
// complete and then clears the old one.
int FileOperation(Kind kind, bool expanded, bool decrypt, const char* source, const char* destination) {
  if (!LoadKeys(kind)) return Refuse(TAV_NO_KEYS, KeyMessage(kind));
  if (source == nullptr) return Refuse(TAV_BAD_SOURCE, TAV_MSG_BAD_SOURCE);
  if (destination == nullptr) return Refuse(TAV_BAD_DEST, TAV_MSG_BAD_DEST);
  // Without its pad file the call fails with TAV_NO_KEYS, after the source
  // and destination checks.
  int error = 0;
  if (expanded) (void)keys::LoadPad(state.keys, AT_FDCWD, false, error);
  const ops::FileJob job{.keys = &state.keys,
                         .expanded = expanded,
                         .decrypt = decrypt,
                         .source_dirfd = AT_FDCWD,
                         .source = source,
                         .dest_dirfd = AT_FDCWD,
                         .destination = destination,
                         .policy = {.replace = true, .clear_old = true, .source_mode = false}};
  const tav_status status = ops::RunFile(job, state.scratch.transfer.View(), error);
  switch (status) {
    case TAV_OK: ClearKeys(); return TAV_OK;
    case TAV_NO_KEYS: return Refuse(status, KeyMessage(kind));
    case TAV_BAD_SOURCE: return Refuse(status, TAV_MSG_BAD_SOURCE);
    default: return Refuse(status, TAV_MSG_BAD_DEST);
  }
}

}  // namespace
}  // namespace tav::legacy

extern "C" {

TAVSDK_API char* TavTEnc(char* text) { return tav::legacy::StringOperation(text, tav::Kind::text, false); }
TAVSDK_API char* TavTDec(char* text) { return tav::legacy::StringOperation(text, tav::Kind::text, true); }
TAVSDK_API char* TavBEnc(char* text) { return tav::legacy::StringOperation(text, tav::Kind::binary, false); }
TAVSDK_API char* TavBDec(char* text) { return tav::legacy::StringOperation(text, tav::Kind::binary, true); }

TAVSDK_API int TavTextFileEnc(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::text, false, false, source, destination);
}
TAVSDK_API int TavTextFileDec(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::text, false, true, source, destination);
}
TAVSDK_API int TavBinaryFileEnc(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::binary, false, false, source, destination);
}
TAVSDK_API int TavBinaryFileDec(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::binary, false, true, source, destination);
}
TAVSDK_API int TavTExpandFileEnc(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::text, true, false, source, destination);
}
TAVSDK_API int TavTExpandFileDec(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::text, true, true, source, destination);
}
TAVSDK_API int TavBExpandFileEnc(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::binary, true, false, source, destination);
}
TAVSDK_API int TavBExpandFileDec(const char* source, const char* destination) {
  return tav::legacy::FileOperation(tav::Kind::binary, true, true, source, destination);
}

}
