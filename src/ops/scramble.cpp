// The scramblers: in-place reversal of a whole file, of equal blocks at its
// start, or of key-driven blocks. They use no cipher and no key flag.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "common/fileio.hpp"
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

// Writes the file's bytes in reverse order into the scratch file, then copies
// them back over the file. The file is only written once the reversed copy is
// complete, and keeps its length throughout.
bool ReverseThroughScratch(int fd, int scratch, int64_t length) {
  for (int64_t end = length; end > 0;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(end, kChunk));
    end -= static_cast<int64_t>(len);
    if (io::PreadFull(fd, chunk, len, end) != static_cast<int64_t>(len)) return false;
    std::reverse(chunk, chunk + len);
    if (!io::WriteAll(scratch, chunk, len)) return false;
  }
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
  // A fresh scratch file: never write the reversed copy into an inode that
  // someone else may hold open or linked (or that a symbolic link points to).
  if (::unlink(kScratchName) != 0 && errno != ENOENT) return kBadSource;
  io::Fd scratch = io::Open(kScratchName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (!scratch.ok()) return kBadSource;
  const bool reversed = ReverseThroughScratch(file.get(), scratch.get(), length);
  scratch.Close();
  ::unlink(kScratchName);
  return reversed && file.Close() ? kDone : kBadSource;
}

int ScrambleFile(const char* path, int count, int size) {
  int64_t length = 0;
  if (!io::OpenRegular(path, O_RDONLY, length).ok()) return kBadSource;
  if (count == 0 || size > kMaxBlockSize) return kBadArguments;
  // A negative size can never be a block length.
  if (size <= 0 && count != 1) return kBadArguments;
  if (int64_t{count} * size > length) return kPastEnd;

  io::Fd file = io::OpenReadWrite(path);
  if (!file.ok()) return kBadSource;
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
  int64_t length = 0;
  if (!io::OpenRegular(path, O_RDONLY, length).ok()) return kBadSource;
  if (!LoadPadTable("k6.dat") || !PadTableUsable()) return kNoKeys;
  io::Fd file = io::OpenReadWrite(path);
  if (!file.ok()) return kBadSource;
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
