// SPDX-License-Identifier: MIT
// The scramblers: in-place reversal of a whole file, of equal blocks at its
// start, or of key-driven blocks. They use no cipher and no key flag.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "common/fileio.hpp"
#include "common/keyfiles.hpp"
#include "common/scratch.hpp"
#include "ops/ops.hpp"
#include "ops/padtable.hpp"
#include "tavsdk.h"

namespace tav::ops {
namespace {

constexpr int32_t kMaxBlockSize = 5000;
constexpr const char* kScratchName = "turnabot.dat";

// Every pass moves the file through this buffer, a chunk at a time. It holds
// many blocks of any allowed size, so a chunk always ends on a block boundary.
constexpr size_t kChunk = kScrambleChunk;
uint8_t* const chunk = scratch.chunk;

// Reverses every whole block of `size` bytes in data[0, len).
void ReverseBlocks(uint8_t* data, size_t len, size_t size) {
  for (size_t at = 0; at + size <= len; at += size) std::reverse(data + at, data + at + size);
}

// Reverses `count` blocks of `size` bytes from the start of the file.
bool ReverseFixedBlocks(int fd, int64_t count, int64_t size) {
  const int64_t total = count * size;
  const auto step = static_cast<int64_t>(kChunk / static_cast<size_t>(size)) * size;
  for (int64_t at = 0; at < total; at += step) {
    const auto len = static_cast<size_t>(std::min(step, total - at));
    if (io::PreadFull(fd, chunk, len, at) != static_cast<int64_t>(len)) return false;
    ReverseBlocks(chunk, len, static_cast<size_t>(size));
    if (!io::PwriteAll(fd, chunk, len, at)) return false;
  }
  return true;
}

// Writes the file's bytes in reverse order into the scratch file. The file is
// not written here.
bool ReverseIntoScratch(int fd, int scratch, int64_t length) {
  for (int64_t end = length; end > 0;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(end, kChunk));
    end -= static_cast<int64_t>(len);
    if (io::PreadFull(fd, chunk, len, end) != static_cast<int64_t>(len)) return false;
    std::reverse(chunk, chunk + len);
    if (!io::WriteAll(scratch, chunk, len)) return false;
  }
  return true;
}

// Copies the complete reversed copy back over the file, which keeps its length.
bool CopyBack(int scratch, int fd, int64_t length) {
  for (int64_t at = 0; at < length;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(length - at, kChunk));
    if (io::PreadFull(scratch, chunk, len, at) != static_cast<int64_t>(len)) return false;
    if (!io::PwriteAll(fd, chunk, len, at)) return false;
    at += static_cast<int64_t>(len);
  }
  return true;
}

// True when the scratch name is a link to the open file itself: replacing it
// would destroy the file.
bool IsScratchFile(int fd) {
  struct stat file {}, scratch {};
  return ::fstat(fd, &file) != 0 ||
         (::lstat(kScratchName, &scratch) == 0 && scratch.st_dev == file.st_dev && scratch.st_ino == file.st_ino);
}

int ReverseWholeFile(io::Fd& file, int64_t length) {
  if (IsScratchFile(file.get())) return kBadSource;
  io::FileId id;
  io::Fd scratch = io::CreateScratch(kScratchName, id);
  if (!scratch.ok()) return kBadSource;
  if (!ReverseIntoScratch(file.get(), scratch.get(), length)) {
    // The file is untouched; the partial copy is worth nothing.
    (void)scratch.Close();
    (void)io::RemoveIfSame(kScratchName, id, io::Step::scratch_remove);
    return kBadSource;
  }
  // Once the write-back has begun, the scratch file is the only complete copy
  // of the data until the file is whole again: it stays unless that succeeds.
  const bool copied = CopyBack(scratch.get(), file.get(), length) && file.Close();
  const bool kept = scratch.Close();
  if (!copied || !kept) return kBadSource;
  (void)io::RemoveIfSame(kScratchName, id, io::Step::scratch_remove);
  return kDone;
}

int ScrambleFile(const char* path, int count, int size) {
  io::Fd file;
  int64_t length = 0;
  if (!io::OpenForRewrite(path, file, length)) return kBadSource;
  if (count == 0 || size > kMaxBlockSize) return kBadArguments;
  // A negative size can never be a block length.
  if (size <= 0 && count != 1) return kBadArguments;
  if (int64_t{count} * size > length) return kPastEnd;
  if (!file.ok()) return kBadSource;  // readable, but not writable
  if (count == 1) return ReverseWholeFile(file, length);
  if (count > 0 && !ReverseFixedBlocks(file.get(), count, size)) return kBadSource;
  return file.Close() ? kDone : kBadSource;
}

// Reverses the pad-table blocks of the file, chunk by chunk. A block that
// crosses the end of a chunk starts the next one.
bool ReversePadBlocks(int fd, int64_t length) {
  int32_t index = 0;
  int64_t at = 0;
  for (;;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(length - at, kChunk));
    if (io::PreadFull(fd, chunk, len, at) != static_cast<int64_t>(len)) return false;
    size_t done = 0;
    bool last = false;
    for (;;) {
      const int32_t next = NextPadIndex(index);
      const auto block = static_cast<size_t>(pkey[next]);
      if (at + static_cast<int64_t>(done + block) > length) {
        last = true;
        break;
      }
      if (done + block > len) break;
      std::reverse(chunk + done, chunk + done + block);
      done += block;
      index = next;
    }
    if (done > 0 && !io::PwriteAll(fd, chunk, done, at)) return false;
    if (last) return true;
    at += static_cast<int64_t>(done);
  }
}

// Every block must move the pass forward and fit one chunk.
bool PadTableUsable() {
  return std::all_of(pkey.begin() + 1, pkey.end(), [](int32_t b) { return b >= 1 && b <= kMaxBlockSize; });
}

int XScrambleFile(const char* path) {
  io::Fd file;
  int64_t length = 0;
  if (!io::OpenForRewrite(path, file, length)) return kBadSource;
  if (!LoadPadTable(KeyFileName(KeyFile::scramble_pad, Kind::binary)) || !PadTableUsable()) return kNoKeys;
  if (!file.ok()) return kBadSource;  // readable, but not writable
  if (!ReversePadBlocks(file.get(), length)) return kBadSource;
  return file.Close() ? kDone : kBadSource;
}

}  // namespace
}  // namespace tav::ops

extern "C" {

TAVSDK_API int TavScrambleFile(const char* path, int count, int size) {
  return tav::ops::ScrambleFile(path, count, size);
}

TAVSDK_API int TavXScrambleFile(const char* path) { return tav::ops::XScrambleFile(path); }

}
