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
#include "ops/fileop.hpp"
#include "ops/transfer.hpp"
#include "tavsdk.h"

namespace tav::core {
namespace {

constexpr unsigned kFileFlags = TAV_EXPANDED | TAV_REPLACE | TAV_SOURCE_MODE;

int Report(int* error, int status, int value) {
  if (error != nullptr) *error = value;
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
  ops::StackSpace space;
  const int status = ops::RunTransfer(*keys, in_fd, out_fd, (flags & TAV_EXPANDED) != 0, decrypt, progress, context,
                                      space.View(), err);
  return static_cast<tav_status>(Report(error, status, err));
}

tav_status FileOperation(const tav_keys* keys, int source_dirfd, const char* source, int dest_dirfd,
                         const char* destination, unsigned flags, tav_progress_fn progress, void* context, int* error,
                         bool decrypt) {
  if (keys == nullptr || source == nullptr || destination == nullptr || (flags & ~kFileFlags) != 0)
    return static_cast<tav_status>(Report(error, TAV_BAD_ARGUMENT, 0));
  if ((flags & TAV_EXPANDED) != 0 && !keys->has_pad) return static_cast<tav_status>(Report(error, TAV_NO_KEYS, 0));
  const ops::FileJob job{.keys = keys,
                         .expanded = (flags & TAV_EXPANDED) != 0,
                         .decrypt = decrypt,
                         .source_dirfd = source_dirfd,
                         .source = source,
                         .dest_dirfd = dest_dirfd,
                         .destination = destination,
                         .policy = {.replace = (flags & TAV_REPLACE) != 0,
                                    .clear_old = false,
                                    .source_mode = (flags & TAV_SOURCE_MODE) != 0},
                         .progress = progress,
                         .progress_context = context};
  ops::StackSpace space;
  int err = 0;
  const tav_status status = ops::RunFile(job, space.View(), err);
  return static_cast<tav_status>(Report(error, status, err));
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
