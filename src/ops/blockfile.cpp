// SPDX-License-Identifier: MIT
#include <cstdint>

#include "common/fileio.hpp"
#include "common/wipe.hpp"
#include "engine/cipher.hpp"
#include "ops/fileops.hpp"
#include "ops/ops.hpp"
#include "tavsdk.h"

namespace tav::ops {
namespace {

// Large enough that the per-call overhead of the engine and the system calls
// vanishes; static because the library never touches the heap.
constexpr size_t kBlockBytes = size_t{1} << 20;
alignas(64) uint8_t block[kBlockBytes];

int BlockFile(Kind kind, bool decrypt, const char* source, const char* destination) {
  FileJob job;
  if (const int refused = OpenFileJob(kind, source, destination, nullptr, job); refused != 0) return refused;
  int status = kDone;
  // To the end of the file, not to the size taken at the start.
  for (;;) {
    const int64_t got = io::ReadFull(job.source.get(), block, kBlockBytes);
    if (got < 0) {
      status = kBadSource;
      break;
    }
    const auto len = static_cast<size_t>(got);
    if (decrypt) {
      engine::CipherDecrypt(engine::cipher, block, len);
    } else {
      engine::CipherEncrypt(engine::cipher, block, len);
    }
    if (!io::WriteAll(job.dest.get(), block, len)) {
      status = kBadDest;
      break;
    }
    if (len < kBlockBytes) break;
  }
  SecureZeroObject(block);
  return FinishFileJob(job, status);
}

}  // namespace
}  // namespace tav::ops

extern "C" {

TAVSDK_API int TavTextFileEnc(const char* source, const char* destination) {
  return tav::ops::BlockFile(tav::Kind::text, false, source, destination);
}
TAVSDK_API int TavTextFileDec(const char* source, const char* destination) {
  return tav::ops::BlockFile(tav::Kind::text, true, source, destination);
}
TAVSDK_API int TavBinaryFileEnc(const char* source, const char* destination) {
  return tav::ops::BlockFile(tav::Kind::binary, false, source, destination);
}
TAVSDK_API int TavBinaryFileDec(const char* source, const char* destination) {
  return tav::ops::BlockFile(tav::Kind::binary, true, source, destination);
}

}
