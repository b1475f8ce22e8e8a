// SPDX-License-Identifier: MIT
// Descriptors and files of the core interface.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "common/wipe.hpp"
#include "keys/keyset.hpp"
#include "ops/scramble.hpp"
#include "ops/transfer.hpp"
#include "tavsdk.h"

namespace tav::core {
namespace {

constexpr unsigned kFileFlags = TAV_EXPANDED | TAV_REPLACE | TAV_SOURCE_MODE;

// The buffers of a call, on the caller's stack: large enough that the system
// calls cost little beside the cipher, small enough for any thread's stack.
struct StackBuffers {
  alignas(64) uint8_t region[size_t{128} << 10];
  alignas(64) uint8_t symbols[size_t{8} << 10];
  alignas(64) uint32_t words[1024];

  ops::Buffers View() {
    return {region, sizeof region, region, sizeof region, symbols, sizeof symbols, words, sizeof words / sizeof words[0]};
  }
};

int Report(int* error, int status, int value) {
  if (error != nullptr) *error = value;
  return status;
}

// Runs the transfer from in to out.
int RunTransfer(const tav_keys& keys, int in, int out, unsigned flags, bool decrypt, tav_progress_fn progress,
                void* context, int& error) {
  const bool expanded = (flags & TAV_EXPANDED) != 0;
  if (expanded && !keys.has_pad) return ops::kNoKeys;
  StackBuffers buffers;
  ops::Job job;
  job.keys = &keys;
  job.expanded = expanded;
  job.decrypt = decrypt;
  job.in = in;
  job.out = out;
  job.progress = progress;
  job.progress_context = context;
  job.split = ops::DefaultSplit(expanded, decrypt);
  job.buffers = buffers.View();
  const int status = ops::Transfer(job);
  error = job.error;
  SecureZeroObject(buffers);
  return status;
}

// One regular file on both ends would be read while it is overwritten or
// grown by its own output: the data would be lost.
bool SameFile(int in_fd, int out_fd) {
  struct stat in {}, out {};
  return ::fstat(in_fd, &in) == 0 && ::fstat(out_fd, &out) == 0 && S_ISREG(in.st_mode) &&
         in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

tav_status FdOperation(const tav_keys* keys, int in_fd, int out_fd, unsigned flags, tav_progress_fn progress,
                       void* context, int* error, bool decrypt) {
  if (keys == nullptr || (flags & ~unsigned{TAV_EXPANDED}) != 0 || in_fd < 0 || out_fd < 0 || SameFile(in_fd, out_fd))
    return static_cast<tav_status>(Report(error, TAV_BAD_ARGUMENT, 0));
  int err = 0;
  const int status = RunTransfer(*keys, in_fd, out_fd, flags, decrypt, progress, context, err);
  return static_cast<tav_status>(Report(error, status, err));
}

// What stands at the destination's name, looked at without opening it: the
// output never goes through the name, it only takes it at the end.
int CheckDestination(int dirfd, const char* path, const struct stat& source, bool replace, int& error) {
  struct stat st {};
  if (::fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return errno == ENOENT ? ops::kDone : ops::kBadDest;
  }
  if (S_ISLNK(st.st_mode)) {
    struct stat target {};
    // A link that leads nowhere or to a regular file is replaced as a name;
    // one that leads to a device, a FIFO or a socket is refused: the caller
    // surely meant to write there, which a file operation never does.
    if (::fstatat(dirfd, path, &target, 0) == 0) {
      if (target.st_dev == source.st_dev && target.st_ino == source.st_ino) return ops::kBadDest;
      if (!S_ISREG(target.st_mode)) return ops::kBadDest;
    }
  } else if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
    return ops::kBadDest;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : 0;
    return ops::kBadDest;
  }
  error = EEXIST;
  return replace ? ops::kDone : ops::kExists;
}

tav_status FileOperation(const tav_keys* keys, int source_dirfd, const char* source, int dest_dirfd,
                         const char* destination, unsigned flags, tav_progress_fn progress, void* context, int* error,
                         bool decrypt) {
  if (keys == nullptr || source == nullptr || destination == nullptr || (flags & ~kFileFlags) != 0)
    return static_cast<tav_status>(Report(error, TAV_BAD_ARGUMENT, 0));
  if ((flags & TAV_EXPANDED) != 0 && !keys->has_pad) return static_cast<tav_status>(Report(error, TAV_NO_KEYS, 0));
  struct stat src {};
  io::Fd in = io::OpenSource(source_dirfd, source, src);
  if (!in.ok()) return static_cast<tav_status>(Report(error, TAV_BAD_SOURCE, errno));
  int err = 0;
  const bool replace = (flags & TAV_REPLACE) != 0;
  if (const int refused = CheckDestination(dest_dirfd, destination, src, replace, err); refused != ops::kDone)
    return static_cast<tav_status>(Report(error, refused, refused == ops::kExists ? EEXIST : err));
  io::NewFile out;
  if (!out.Open(dest_dirfd, destination, 0666, err)) return static_cast<tav_status>(Report(error, TAV_BAD_DEST, err));
  if ((flags & TAV_SOURCE_MODE) != 0 && ::fchmod(out.fd(), src.st_mode & 0777) != 0)
    return static_cast<tav_status>(Report(error, TAV_BAD_DEST, errno));
  int status = RunTransfer(*keys, in.get(), out.fd(), flags, decrypt, progress, context, err);
  if (status == ops::kDone && !out.Commit(replace, err)) status = err == EEXIST && !replace ? ops::kExists : ops::kBadDest;
  return static_cast<tav_status>(Report(error, status, status == ops::kDone ? 0 : err));
}

}  // namespace
}  // namespace tav::core

extern "C" {

TAVSDK_API tav_status tav_fd_encrypt(const tav_keys* keys, int in_fd, int out_fd, unsigned flags,
                                     tav_progress_fn progress, void* context, int* error) {
  return tav::core::FdOperation(keys, in_fd, out_fd, flags, progress, context, error, false);
}

TAVSDK_API tav_status tav_fd_decrypt(const tav_keys* keys, int in_fd, int out_fd, unsigned flags,
                                     tav_progress_fn progress, void* context, int* error) {
  return tav::core::FdOperation(keys, in_fd, out_fd, flags, progress, context, error, true);
}

TAVSDK_API tav_status tav_file_encrypt_at(const tav_keys* keys, int source_dirfd, const char* source,
                                          int dest_dirfd, const char* destination, unsigned flags,
                                          tav_progress_fn progress, void* context, int* error) {
  return tav::core::FileOperation(keys, source_dirfd, source, dest_dirfd, destination, flags, progress, context,
                                  error, false);
}

TAVSDK_API tav_status tav_file_decrypt_at(const tav_keys* keys, int source_dirfd, const char* source,
                                          int dest_dirfd, const char* destination, unsigned flags,
                                          tav_progress_fn progress, void* context, int* error) {
  return tav::core::FileOperation(keys, source_dirfd, source, dest_dirfd, destination, flags, progress, context,
                                  error, true);
}

TAVSDK_API tav_status tav_scramble_at(int dirfd, const char* path, int count, int size, int* error) {
  if (path == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  // The reversed copy goes beside the file, under the file's name, and never
  // over a name that exists: that may be anyone's file.
  char dir[PATH_MAX];
  const char* base = tav::io::SplitPath(path, dir);
  if (base == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_SOURCE, ENOENT));
  tav::io::Fd dir_fd(::openat(dirfd, dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd.ok()) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_SOURCE, errno));
  alignas(64) uint8_t chunk[size_t{128} << 10];
  int err = 0;
  const int status = tav::ops::ScrambleFile(dir_fd.get(), base, count, size, {dir_fd.get(), base, ".reversed", true},
                                            {chunk, sizeof chunk}, err);
  return static_cast<tav_status>(tav::core::Report(error, status, err));
}

TAVSDK_API tav_status tav_xscramble_at(const tav_keys* keys, int dirfd, const char* path, int* error) {
  if (keys == nullptr || path == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  alignas(64) uint8_t chunk[size_t{128} << 10];
  int err = 0;
  const int status = tav::ops::XScrambleFile(dirfd, path, tav::keys::ScramblePadUsable(*keys) ? &keys->scramble_pad : nullptr,
                                             {chunk, sizeof chunk}, err);
  return static_cast<tav_status>(tav::core::Report(error, status, err));
}

TAVSDK_API tav_status tav_wipe_at(int dirfd, const char* path, int* error) {
  if (path == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  alignas(64) uint8_t wipe[size_t{64} << 10];
  int err = 0;
  const int status = tav::ops::WipeFile(dirfd, path, {wipe, sizeof wipe}, err);
  return static_cast<tav_status>(tav::core::Report(error, status, err));
}

}
