// SPDX-License-Identifier: MIT
// The scramblers: in-place reversal of a whole file, of equal blocks at its
// start, or of key-driven blocks; and the wipe. They use no cipher.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/fileio.hpp"
#include "ops/scramble.hpp"
#include "ops/transfer.hpp"

namespace tav::ops {
namespace {

constexpr int32_t kMaxBlockSize = 5000;

// Reverses every whole block of `size` bytes in data[0, len).
void ReverseBlocks(uint8_t* data, size_t len, size_t size) {
  for (size_t at = 0; at + size <= len; at += size) std::reverse(data + at, data + at + size);
}

// Reverses `count` blocks of `size` bytes from the start of the file.
bool ReverseFixedBlocks(int fd, int64_t count, int64_t size, Chunk chunk) {
  const int64_t total = count * size;
  const auto step = static_cast<int64_t>(chunk.bytes / static_cast<size_t>(size)) * size;
  for (int64_t at = 0; at < total; at += step) {
    const auto len = static_cast<size_t>(std::min(step, total - at));
    if (io::PreadFull(fd, chunk.data, len, at) != static_cast<int64_t>(len)) return false;
    ReverseBlocks(chunk.data, len, static_cast<size_t>(size));
    if (!io::PwriteAll(fd, chunk.data, len, at)) return false;
  }
  return true;
}

// Writes the file's bytes in reverse order into the copy. The file is not
// written here.
bool ReverseIntoCopy(int fd, int copy, int64_t length, Chunk chunk) {
  for (int64_t end = length; end > 0;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(end, static_cast<int64_t>(chunk.bytes)));
    end -= static_cast<int64_t>(len);
    if (io::PreadFull(fd, chunk.data, len, end) != static_cast<int64_t>(len)) return false;
    std::reverse(chunk.data, chunk.data + len);
    if (!io::WriteAll(copy, chunk.data, len)) return false;
  }
  // The copy must survive a crash during the write-back.
  return ::fsync(copy) == 0;
}

// Copies the complete reversed copy back over the file, which keeps its length.
bool CopyBack(int copy, int fd, int64_t length, Chunk chunk) {
  for (int64_t at = 0; at < length;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(length - at, static_cast<int64_t>(chunk.bytes)));
    if (io::PreadFull(copy, chunk.data, len, at) != static_cast<int64_t>(len)) return false;
    if (!io::PwriteAll(fd, chunk.data, len, at)) return false;
    at += static_cast<int64_t>(len);
  }
  return ::fsync(fd) == 0;
}

// True when the copy's name is a link to the open file itself: replacing it
// would destroy the file.
bool IsCopyName(int fd, int dirfd, const char* name) {
  struct stat file {}, copy {};
  return ::fstat(fd, &file) != 0 || (::fstatat(dirfd, name, &copy, AT_SYMLINK_NOFOLLOW) == 0 &&
                                     copy.st_dev == file.st_dev && copy.st_ino == file.st_ino);
}

tav_status Fail(tav_status status, int& error) {
  error = errno;
  return status;
}

tav_status ReverseWholeFile(io::Fd& file, int64_t length, CopyPlace place, Chunk chunk, int& error) {
  char name[NAME_MAX + 1];
  if (std::snprintf(name, sizeof name, "%s%s", place.base, place.suffix) >= static_cast<int>(sizeof name)) {
    error = ENAMETOOLONG;
    return TAV_BAD_SOURCE;
  }
  if (!place.exclusive && IsCopyName(file.get(), place.dirfd, name)) {
    error = 0;
    return TAV_BAD_SOURCE;
  }
  io::FileId id;
  io::Fd copy = io::CreateScratch(place.dirfd, name, !place.exclusive, id);
  if (!copy.ok()) return Fail(errno == EEXIST && place.exclusive ? TAV_EXISTS : TAV_BAD_SOURCE, error);
  if (!ReverseIntoCopy(file.get(), copy.get(), length, chunk)) {
    // The file is untouched; the partial copy is worth nothing.
    const tav_status status = Fail(TAV_BAD_SOURCE, error);
    (void)copy.Close();
    (void)io::RemoveIfSame(place.dirfd, name, id, io::Step::scratch_remove);
    return status;
  }
  // Once the write-back has begun, the copy is the only complete copy of the
  // data until the file is whole again: it stays unless that succeeds.
  const bool copied = CopyBack(copy.get(), file.get(), length, chunk) && file.Close();
  if (!copied) return Fail(TAV_COPY_KEPT, error);
  (void)copy.Close();
  (void)io::RemoveIfSame(place.dirfd, name, id, io::Step::scratch_remove);
  return TAV_OK;
}

// Reverses the pad-table blocks of the file, chunk by chunk. A block that
// crosses the end of a chunk starts the next one.
bool ReversePadBlocks(int fd, int64_t length, const PadTable& pad, Chunk chunk) {
  int32_t index = 0;
  int64_t at = 0;
  for (;;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(length - at, static_cast<int64_t>(chunk.bytes)));
    if (io::PreadFull(fd, chunk.data, len, at) != static_cast<int64_t>(len)) return false;
    size_t done = 0;
    bool last = false;
    for (;;) {
      const int32_t next = NextPadIndex(index);
      const auto block = static_cast<size_t>(pad[next]);
      if (at + static_cast<int64_t>(done + block) > length) {
        last = true;
        break;
      }
      if (done + block > len) break;
      std::reverse(chunk.data + done, chunk.data + done + block);
      done += block;
      index = next;
    }
    if (done > 0 && !io::PwriteAll(fd, chunk.data, done, at)) return false;
    if (last) return true;
    at += static_cast<int64_t>(done);
  }
}

}  // namespace

tav_status ScrambleFile(int dirfd, const char* path, int count, int size, CopyPlace copy, Chunk chunk, int& error) {
  error = 0;
  io::Fd file;
  int64_t length = 0;
  if (!io::OpenForRewrite(dirfd, path, file, length)) return Fail(TAV_BAD_SOURCE, error);
  if (count == 0 || size > kMaxBlockSize) return TAV_BAD_BLOCKS;
  // A negative size can never be a block length.
  if (size <= 0 && count != 1) return TAV_BAD_BLOCKS;
  if (int64_t{count} * size > length) return TAV_PAST_END;
  if (!file.ok()) {
    error = EACCES;  // readable, but not writable
    return TAV_BAD_SOURCE;
  }
  if (count == 1) return ReverseWholeFile(file, length, copy, chunk, error);
  if (count > 0 && !ReverseFixedBlocks(file.get(), count, size, chunk)) return Fail(TAV_BAD_SOURCE, error);
  return file.Close() ? TAV_OK : Fail(TAV_BAD_SOURCE, error);
}

tav_status XScrambleFile(int dirfd, const char* path, const PadTable* table, Chunk chunk, int& error) {
  error = 0;
  io::Fd file;
  int64_t length = 0;
  if (!io::OpenForRewrite(dirfd, path, file, length)) return Fail(TAV_BAD_SOURCE, error);
  if (table == nullptr) return TAV_NO_KEYS;
  if (!file.ok()) {
    error = EACCES;
    return TAV_BAD_SOURCE;
  }
  if (!ReversePadBlocks(file.get(), length, *table, chunk)) return Fail(TAV_BAD_SOURCE, error);
  return file.Close() ? TAV_OK : Fail(TAV_BAD_SOURCE, error);
}

namespace {

constexpr int kWipePasses = 21;
constexpr size_t kWipeBlock = 8192;

// Running out of room past the file's own bytes is no reason to stop: those
// bytes are overwritten already.
bool NoRoom(int e) { return e == ENOSPC || e == EDQUOT || e == EFBIG; }

// One pass: `bytes` of wipe pattern from offset 0, then to the device. The
// file's own `length` bytes must be written.
bool WipePass(int fd, int64_t length, int64_t bytes, Chunk wipe) {
  for (int64_t at = 0; at < bytes;) {
    const auto len = static_cast<size_t>(std::min<int64_t>(bytes - at, static_cast<int64_t>(wipe.bytes)));
    if (!io::PwriteAll(fd, wipe.data, len, at)) {
      if (!(NoRoom(errno) && at + static_cast<int64_t>(len) > length)) return false;
      // The pattern up to the end of the file, if this chunk held it.
      if (at < length && !io::PwriteAll(fd, wipe.data, static_cast<size_t>(length - at), at)) return false;
      break;
    }
    at += static_cast<int64_t>(len);
  }
  return ::fsync(fd) == 0;
}

}  // namespace

namespace {

bool Overwrite(int fd, int64_t length, Chunk wipe) {
  std::memset(wipe.data, '`', wipe.bytes);
  const int64_t bytes = (length / static_cast<int64_t>(kWipeBlock) + 1) * static_cast<int64_t>(kWipeBlock);
  for (int pass = 0; pass < kWipePasses; ++pass) {
    if (!WipePass(fd, length, bytes, wipe)) return false;
  }
  return true;
}

}  // namespace

tav_status WipeFile(int dirfd, const char* path, Chunk wipe, int& error) {
  error = 0;
  int64_t length = 0;
  io::FileId id;
  // Read and write, without truncating: the overwrite must land on the
  // blocks that hold the data. Never through a symbolic link: a wipe destroys
  // only the file the caller named directly.
  io::Fd file = io::OpenToWipe(dirfd, path, length, id);
  if (!file.ok()) return Fail(TAV_BAD_SOURCE, error);
  if (!Overwrite(file.get(), length, wipe)) return Fail(TAV_BAD_SOURCE, error);
  if (!file.Close()) return Fail(TAV_BAD_SOURCE, error);
  if (!io::RemoveIfSame(dirfd, path, id, io::Step::wipe_remove)) return Fail(TAV_BAD_SOURCE, error);
  return TAV_OK;
}

tav_status WipeOpenFile(int fd, int dirfd, const char* name, Chunk wipe, int& error) {
  error = 0;
  struct stat st {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || (flags & O_PATH) != 0 || ::fstat(fd, &st) != 0) {
    error = EBADF;
    return TAV_BAD_SOURCE;
  }
  if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
    return TAV_BAD_SOURCE;
  }
  if (!Overwrite(fd, static_cast<int64_t>(st.st_size), wipe)) return Fail(TAV_BAD_SOURCE, error);
  if (name == nullptr) return TAV_OK;
  const io::FileId id{st.st_dev, st.st_ino};
  errno = 0;
  if (io::RemoveIfSame(dirfd, name, id, io::Step::wipe_remove)) return TAV_OK;
  error = errno == 0 || errno == ENOENT ? ESTALE : errno;
  return TAV_BAD_SOURCE;
}

}  // namespace tav::ops
