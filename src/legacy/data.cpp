// SPDX-License-Identifier: MIT
// String and file operations of the process-wide functions.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "common/wipe.hpp"
#include "engine/cipher.hpp"
#include "legacy/state.hpp"
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

// The checks in their fixed order, then the core's transfer into a new file
// that replaces the destination only when it is complete.
int FileOperation(Kind kind, bool expanded, bool decrypt, const char* source, const char* destination) {
  if (!LoadKeys(kind)) return Refuse(ops::kNoKeys, KeyMessage(kind));
  if (source == nullptr) return Refuse(ops::kBadSource, TAV_MSG_BAD_SOURCE);
  if (destination == nullptr) return Refuse(ops::kBadDest, TAV_MSG_BAD_DEST);

  struct stat src {};
  io::Fd in = io::OpenSource(AT_FDCWD, source, src);
  if (!in.ok()) return Refuse(ops::kBadSource, TAV_MSG_BAD_SOURCE);

  // Replacing the destination would destroy the source when both name the
  // same file, by whatever path or link. A destination that exists but is not
  // a regular file (a device, a pipe, a link to one) is never replaced either.
  io::OldDestination old;
  if (io::CheckDestination(AT_FDCWD, destination, src, old) != io::Destination::ready)
    return Refuse(ops::kBadDest, TAV_MSG_BAD_DEST);

  int error = 0;
  if (expanded && keys::LoadPad(state.keys, AT_FDCWD, false, error) != keys::Loaded::ok)
    return Refuse(ops::kNoKeys, KeyMessage(kind));

  io::NewFile out;
  if (!out.Open(AT_FDCWD, destination, 0666, error)) return Refuse(ops::kBadDest, TAV_MSG_BAD_DEST);

  auto& scratch = state.scratch;
  ops::Job job;
  job.keys = &state.keys;
  job.expanded = expanded;
  job.decrypt = decrypt;
  job.in = in.get();
  job.out = out.fd();
  job.split = ops::DefaultSplit(expanded, decrypt);
  job.buffers = expanded ? ops::Buffers{nullptr, 0, scratch.expanded.region, ops::kRegionBytes,
                                        scratch.expanded.symbols, ops::kRegionSymbols,
                                        scratch.expanded.random_words, ops::kRandomWords}
                         : ops::Buffers{scratch.block, ops::kBlockBytes, nullptr, 0, nullptr, 0, nullptr, 0};
  int status = ops::Transfer(job);
  if (expanded) {
    SecureZeroObject(scratch.expanded.symbols);
  } else {
    SecureZeroObject(scratch.block);
  }
  if (status == ops::kDone && !out.Commit(true, error)) status = ops::kBadDest;
  if (status != ops::kDone) return Refuse(status, status == ops::kBadSource ? TAV_MSG_BAD_SOURCE : TAV_MSG_BAD_DEST);
  io::ClearOldDestination(old);
  ClearKeys();
  return ops::kDone;
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
