// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "common/fileio.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"
#include "common/workers.hpp"
#include "engine/cipher.hpp"
#include "ops/fileops.hpp"
#include "ops/ops.hpp"
#include "ops/split.hpp"
#include "tavsdk.h"

namespace tav::ops {

namespace {

// Starting and joining a worker costs some 0.1 ms of CPU; one MiB takes 1.5 to
// 15 ms depending on the engine path. From 4 MiB on there are ranges enough
// to keep two or more workers busy on a machine whose CPUs are shared.
constexpr int64_t kParallelBytes = int64_t{4} << 20;

// One worker's cipher and buffer.
struct BlockSpace {
  engine::Cipher cipher;
  alignas(64) uint8_t data[kBlockBytes];
};
static_assert(sizeof(BlockSpace) <= workers::kSpaceBytes);

struct BlockWork {
  int source;
  int dest;
  bool decrypt;
  uint64_t bytes;  // split among the ranges
  uint64_t grain;
  Ranges ranges;
};

void Transform(engine::Cipher& c, bool decrypt, uint8_t* data, size_t len) {
  if (decrypt) {
    engine::CipherDecrypt(c, data, len);
  } else {
    engine::CipherEncrypt(c, data, len);
  }
}

// Each range is read, transformed and written at its own offset; the worker's
// cipher moves forward to the range's first symbol.
void BlockWorker(void* context, uint8_t* space) {
  auto& work = *static_cast<BlockWork*>(context);
  auto& own = *new (space) BlockSpace;
  own.cipher = engine::cipher;
  uint64_t position = 0;
  for (uint64_t range; work.ranges.Next(range);) {
    const uint64_t at = range * work.grain;
    const auto len = static_cast<size_t>(std::min(work.grain, work.bytes - at));
    const auto offset = static_cast<int64_t>(at);
    engine::CipherSkip(own.cipher, at - position);
    const int64_t got = io::PreadFull(work.source, own.data, len, offset);
    if (got < 0) {
      work.ranges.Fail(range, kBadSource);
      break;
    }
    Transform(own.cipher, work.decrypt, own.data, static_cast<size_t>(got));
    position = at + static_cast<uint64_t>(got);
    if (!io::PwriteAll(work.dest, own.data, static_cast<size_t>(got), offset)) {
      work.ranges.Fail(range, kBadDest);
      break;
    }
    if (static_cast<size_t>(got) < len) {
      work.ranges.Stop(range, offset + got);
      break;
    }
  }
  SecureZeroObject(own);
}

}  // namespace

Split BlockSplit() { return Split{workers::Count(), kParallelBytes, kBlockBytes}; }

int BlockData(FileJob& job, bool decrypt, const Split& split) {
  if (split.workers > 1 && job.size >= split.min_bytes && job.size > 0 && split.grain > 0 &&
      split.grain <= kBlockBytes) {
    // The size seen at the start is split; whatever follows it is read on
    // this thread afterwards.
    const auto bytes = static_cast<uint64_t>(job.size);
    const uint64_t ranges = (bytes + split.grain - 1) / split.grain;
    BlockWork work{job.source.get(), job.dest.get(), decrypt, bytes, split.grain, Ranges(ranges)};
    bool ended = false;
    const int status = RunSplit(work.ranges, ranges, split.workers, BlockWorker, &work, job.dest.get(), ended);
    if (status != kDone || ended) return status;
    engine::CipherSkip(engine::cipher, bytes);
    if (::lseek(job.source.get(), job.size, SEEK_SET) != job.size) return kBadSource;
    if (::lseek(job.dest.get(), job.size, SEEK_SET) != job.size) return kBadDest;
  }
  // Large enough that the per-call overhead of the engine and the system
  // calls vanishes.
  uint8_t* const block = scratch.block;
  int status = kDone;
  // To the end of the file, not to the size taken at the start.
  for (;;) {
    const int64_t got = io::ReadFull(job.source.get(), block, kBlockBytes);
    if (got < 0) {
      status = kBadSource;
      break;
    }
    const auto len = static_cast<size_t>(got);
    Transform(engine::cipher, decrypt, block, len);
    if (!io::WriteAll(job.dest.get(), block, len)) {
      status = kBadDest;
      break;
    }
    if (len < kBlockBytes) break;
  }
  SecureZeroObject(scratch.block);
  return status;
}

namespace {

int BlockFile(Kind kind, bool decrypt, const char* source, const char* destination) {
  FileJob job;
  if (const int refused = OpenFileJob(kind, source, destination, nullptr, job); refused != 0) return refused;
  return FinishFileJob(job, BlockData(job, decrypt, BlockSplit()));
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
