#include <cstdint>

#include "common/fileio.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"
#include "engine/cipher.hpp"
#include "ops/fileops.hpp"
#include "ops/ops.hpp"
#include "tavsdk.h"

namespace tav::ops {
namespace {

int BlockFile(Kind kind, bool decrypt, const char* source, const char* destination) {
  FileJob job;
  if (const int refused = OpenFileJob(kind, source, destination, nullptr, job); refused != 0) return refused;
  // Large enough that the per-call overhead of the engine and the system
  // calls vanishes.
  uint8_t* const block = scratch.block;
  int status = kDone;
  for (int64_t left = job.size; left > 0;) {
    const size_t want = left < static_cast<int64_t>(kBlockBytes) ? static_cast<size_t>(left) : kBlockBytes;
    if (io::ReadFull(job.source.get(), block, want) != static_cast<int64_t>(want)) {
      status = kBadSource;
      break;
    }
    if (decrypt) {
      engine::CipherDecrypt(engine::cipher, block, want);
    } else {
      engine::CipherEncrypt(engine::cipher, block, want);
    }
    if (!io::WriteAll(job.dest.get(), block, want)) {
      status = kBadDest;
      break;
    }
    left -= static_cast<int64_t>(want);
  }
  SecureZeroObject(scratch.block);
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
