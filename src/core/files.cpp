// SPDX-License-Identifier: MIT
// Descriptors and files of the core interface.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "common/wipe.hpp"
#include "core/objects.hpp"
#include "core/options.hpp"
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

// The buffers of one descriptor or file call: the stack's, and in the block
// mode an area of ops::SequentialBytes (at most ops::kSequentialBytes) mapped
// as the call starts, for pieces the kernel runs at its full rate. A regular
// source (in_fd, from `offset`) that fits the stack's region needs none:
// mapping it doubled the time of a call on a few bytes. Without the area (no
// memory to be had) the call runs in the stack's alone, more slowly.
// RunTransfer overwrites what it stored before the area is unmapped.
class CallSpace {
public:
  CallSpace(const tav_keys& keys, bool expanded, int in_fd = -1, uint64_t offset = 0)
      : bytes_(expanded || FitsTheStack(in_fd, offset) ? 0 : ops::SequentialBytes(keys)),
        area_(bytes_ > 0 ? static_cast<uint8_t*>(MapArea(bytes_)) : nullptr) {}
  ~CallSpace() { UnmapArea(area_, bytes_); }
  CallSpace(const CallSpace&) = delete;
  CallSpace& operator=(const CallSpace&) = delete;

  ops::Buffers View() {
    ops::Buffers b = stack_.View();
    if (area_ != nullptr) {
      b.block = area_;
      b.block_bytes = bytes_;
    }
    return b;
  }

private:
  static bool FitsTheStack(int fd, uint64_t offset) {
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<uint64_t>(st.st_size) <= offset + sizeof stack_.region;
  }

  ops::StackSpace stack_;
  size_t bytes_;
  uint8_t* area_;
};

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
  CallSpace space(*keys, (flags & TAV_EXPANDED) != 0, in_fd,
                  static_cast<uint64_t>(std::max<off_t>(::lseek(in_fd, 0, SEEK_CUR), 0)));
  const int status = ops::RunTransfer(*keys, in_fd, out_fd, (flags & TAV_EXPANDED) != 0, decrypt, progress, context,
                                      space.View(), err);
  return static_cast<tav_status>(Report(error, status, err));
}

// The file operation with its options: the source named (source_fd < 0) or
// handed over open.
tav_status FileRun(const tav_keys* keys, const tav_options& o, int source_dirfd, const char* source, int source_fd,
                   uint64_t source_offset, int dest_dirfd, const char* destination, int* error) {
  if (o.expanded() && !keys->has_pad) return static_cast<tav_status>(Report(error, TAV_NO_KEYS, 0));
  const ops::FileJob job{.keys = keys,
                         .expanded = o.expanded(),
                         .decrypt = o.decrypt,
                         .source_dirfd = source_dirfd,
                         .source = source,
                         .source_fd = source_fd,
                         .source_offset = source_offset,
                         .workers = o.workers,
                         .dest_dirfd = dest_dirfd,
                         .destination = destination,
                         .policy = {.replace = o.replace,
                                    .clear_old = false,
                                    .source_mode = o.source_mode,
                                    .keep_times = o.keep_times,
                                    .durable = o.durable},
                         .progress = o.progress,
                         .progress_context = o.progress_context};
  CallSpace space(*keys, o.expanded(), source_fd, source_offset);
  int err = 0;
  const tav_status status = ops::RunFile(job, space.View(), err);
  return static_cast<tav_status>(Report(error, status, err));
}

tav_status FileOperation(const tav_keys* keys, int source_dirfd, const char* source, int dest_dirfd,
                         const char* destination, unsigned flags, tav_progress_fn progress, void* context, int* error,
                         bool decrypt) {
  if (keys == nullptr || source == nullptr || destination == nullptr || (flags & ~kFileFlags) != 0)
    return static_cast<tav_status>(Report(error, TAV_BAD_ARGUMENT, 0));
  tav_options o;
  o.decrypt = decrypt;
  o.mode = (flags & TAV_EXPANDED) != 0 ? 1 : 0;
  o.replace = (flags & TAV_REPLACE) != 0;
  o.source_mode = (flags & TAV_SOURCE_MODE) != 0;
  o.progress = progress;
  o.progress_context = context;
  return FileRun(keys, o, source_dirfd, source, -1, 0, dest_dirfd, destination, error);
}

// Into a descriptor of the caller's: written where it stands, never renamed.
tav_status FileRunFd(const tav_keys* keys, const tav_options& o, int source_fd, uint64_t source_offset, int dest_fd,
                     int* error) {
  struct stat src {}, dst {};
  int err = 0;
  if (const tav_status refused = ops::CheckSourceFd(source_fd, source_offset, src, err); refused != TAV_OK)
    return static_cast<tav_status>(Report(error, refused, err));
  const int flags = ::fcntl(dest_fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || (flags & O_PATH) != 0 || ::fstat(dest_fd, &dst) != 0)
    return static_cast<tav_status>(Report(error, TAV_BAD_DEST, EBADF));
  if (S_ISDIR(dst.st_mode)) return static_cast<tav_status>(Report(error, TAV_BAD_DEST, EISDIR));
  const bool regular = S_ISREG(src.st_mode), regular_out = S_ISREG(dst.st_mode);
  if (regular && regular_out && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino)
    return static_cast<tav_status>(Report(error, TAV_BAD_DEST, 0));
  if (o.expanded() && !keys->has_pad) return static_cast<tav_status>(Report(error, TAV_NO_KEYS, 0));
  const ops::TransferEnds ends{.writeback = o.durable && regular_out,
                               .in_offset = regular ? static_cast<int64_t>(source_offset) : -1,
                               .workers = o.workers};
  CallSpace space(*keys, o.expanded(), source_fd, source_offset);
  tav_status status = ops::RunTransfer(*keys, source_fd, dest_fd, o.expanded(), o.decrypt, o.progress,
                                       o.progress_context, space.View(), err, ends);
  const timespec times[2] = {src.st_atim, src.st_mtim};
  if (status == TAV_OK && regular_out &&
      ((o.source_mode && regular && ::fchmod(dest_fd, src.st_mode & 0777) != 0) ||
       (o.keep_times && regular && ::futimens(dest_fd, times) != 0) || (o.durable && ::fsync(dest_fd) != 0))) {
    err = errno;
    status = TAV_BAD_DEST;
  }
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

TAVSDK_API tav_status tav_file_run(const tav_keys* keys, const tav_options* options, int source_fd,
                                   uint64_t source_offset, int dest_dirfd, const char* destination, int* error) {
  if (keys == nullptr || options == nullptr || destination == nullptr)
    return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  if (source_fd < 0) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_SOURCE, EBADF));
  return tav::core::FileRun(keys, *options, -1, nullptr, source_fd, source_offset, dest_dirfd, destination, error);
}

TAVSDK_API tav_status tav_file_run_fd(const tav_keys* keys, const tav_options* options, int source_fd,
                                      uint64_t source_offset, int dest_fd, int* error) {
  if (keys == nullptr || options == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  if (source_fd < 0) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_SOURCE, EBADF));
  if (dest_fd < 0) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_DEST, EBADF));
  return tav::core::FileRunFd(keys, *options, source_fd, source_offset, dest_fd, error);
}

TAVSDK_API tav_status tav_wipe_fd(int fd, int dirfd, const char* name, int* error) {
  if (fd < 0) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  alignas(64) uint8_t wipe[size_t{64} << 10];
  int err = 0;
  const int status = tav::ops::WipeOpenFile(fd, dirfd, name, {wipe, sizeof wipe}, err);
  return static_cast<tav_status>(tav::core::Report(error, status, err));
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

// A new file for callers that write it themselves.
struct tav_newfile {
  tav::io::NewFile file;
  bool committed = false;
};

extern "C" {

TAVSDK_API tav_status tav_newfile_open(tav_newfile** file, int dirfd, const char* path, unsigned mode, int* error) {
  if (file == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  *file = nullptr;
  if (path == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  tav_newfile* made = tav::core::Make<tav_newfile>();
  if (made == nullptr) return static_cast<tav_status>(tav::core::Report(error, TAV_NO_MEMORY, ENOMEM));
  int err = 0;
  if (!made->file.Open(dirfd, path, static_cast<mode_t>(mode & 07777), err)) {
    tav::core::Destroy(made);
    return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_DEST, err));
  }
  *file = made;
  return static_cast<tav_status>(tav::core::Report(error, TAV_OK, 0));
}

TAVSDK_API int tav_newfile_fd(const tav_newfile* file) { return file == nullptr ? -1 : file->file.fd(); }

TAVSDK_API tav_status tav_newfile_commit(tav_newfile* file, int replace, int flush, int* error) {
  if (file == nullptr || file->committed) return static_cast<tav_status>(tav::core::Report(error, TAV_BAD_ARGUMENT, 0));
  int err = 0;
  if (!file->file.Commit(replace != 0, err, flush != 0)) {
    return static_cast<tav_status>(tav::core::Report(error, err == EEXIST && replace == 0 ? TAV_EXISTS : TAV_BAD_DEST, err));
  }
  file->committed = true;
  return static_cast<tav_status>(tav::core::Report(error, TAV_OK, 0));
}

TAVSDK_API void tav_newfile_free(tav_newfile* file) { tav::core::Destroy(file); }

}
