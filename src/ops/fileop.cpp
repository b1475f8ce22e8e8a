// SPDX-License-Identifier: MIT
// The one file operation and its destination check.
#include "ops/fileop.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "common/wipe.hpp"
#include "engine/cipher.hpp"

namespace tav::ops {
namespace {

// Looks at what stands at the destination's name, changing nothing: the
// output never goes through the name, it only takes it at the end. A missing
// name, a regular file other than the source and a link that leads to a
// regular file or nowhere (replaced as a name) may be replaced; the source
// itself (by whatever path or link) and anything that is not a regular file
// (a device, a FIFO, a link to one: the caller surely meant to write there)
// never are. Under clear_old the old file is held open for writing in `old`.
tav_status CheckDestination(int dirfd, const char* path, const struct stat& source, const FilePolicy& policy,
                            io::Fd& old, int& error) {
  const io::FileId src{source.st_dev, source.st_ino};
  bool link = false;
  struct stat st {};
  old = io::OpenNoFollow(dirfd, path, policy.clear_old ? O_WRONLY : O_PATH);
  if (!old.ok()) {
    error = errno;
    if (errno == ENOENT) return TAV_OK;
    // O_WRONLY meets a symbolic link as ELOOP; anything else (a directory, a
    // FIFO without reader, no permission) is refused.
    if (errno != ELOOP) return TAV_BAD_DEST;
    link = true;
  } else if (::fstat(old.get(), &st) != 0) {
    error = errno;
    return TAV_BAD_DEST;
  } else {
    link = S_ISLNK(st.st_mode);
  }
  error = 0;
  if (link) {
    if (policy.clear_old) old = io::Fd();
    struct stat target {};
    if (::fstatat(dirfd, path, &target, 0) == 0 && (src.Is(target) || !S_ISREG(target.st_mode))) return TAV_BAD_DEST;
  } else if (src.Is(st)) {
    return TAV_BAD_DEST;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : 0;
    return TAV_BAD_DEST;
  }
  if (!policy.clear_old) old = io::Fd();
  error = EEXIST;
  return policy.replace ? TAV_OK : TAV_EXISTS;
}

// The established clearing of a replaced destination: whoever still holds the
// old file sees "@@@". A failed write only weakens the overwrite.
void ClearOld(io::Fd& old) {
  if (!old.ok()) return;
  if (::ftruncate(old.get(), 0) != 0) {
  }
  (void)io::PwriteAll(old.get(), "@@@", 3, 0);
  (void)old.Close();
}

}  // namespace

tav_status RunTransfer(const tav_keys& keys, int in, int out, bool expanded, bool decrypt, tav_progress_fn progress,
                       void* context, const Buffers& buffers, int& error, const TransferEnds& ends) {
  if (expanded && !keys.has_pad) return TAV_NO_KEYS;
  Job job;
  job.keys = &keys;
  job.expanded = expanded;
  job.decrypt = decrypt;
  job.in = in;
  job.out = out;
  job.progress = progress;
  job.progress_context = context;
  job.split = SplitFor(expanded, decrypt, ends.workers);
  // Ranges of whole blocks of the kernel's lanes, as the pieces in them.
  if (!expanded) job.split.grain = engine::FullRatePiece(keys.tables, job.split.grain);
  job.buffers = buffers;
  job.writeback = ends.writeback;
  job.in_offset = ends.in_offset;
  const tav_status status = Transfer(job);
  error = job.error;
  // Both texts pass through the block, the region and the symbols.
  if (buffers.block != buffers.region) SecureZero(buffers.block, std::min(job.block_used, buffers.block_bytes));
  SecureZero(buffers.region, buffers.region_bytes);
  SecureZero(buffers.symbols, buffers.symbol_count);
  SecureZero(buffers.random_words, buffers.word_count * sizeof buffers.random_words[0]);
  return status;
}

tav_status CheckSourceFd(int fd, uint64_t offset, struct stat& st, int& error) {
  error = 0;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY || (flags & O_PATH) != 0 || ::fstat(fd, &st) != 0) {
    error = EBADF;
    return TAV_BAD_SOURCE;
  }
  if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
    return TAV_BAD_SOURCE;
  }
  if (S_ISREG(st.st_mode) ? offset > static_cast<uint64_t>(st.st_size) : offset != 0) return TAV_BAD_ARGUMENT;
  return TAV_OK;
}

tav_status RunFile(const FileJob& job, const Buffers& buffers, int& error) {
  error = 0;
  struct stat src {};
  io::Fd opened;
  int in = job.source_fd;
  if (in >= 0) {
    if (const tav_status refused = CheckSourceFd(in, job.source_offset, src, error); refused != TAV_OK) return refused;
  } else {
    opened = io::OpenSource(job.source_dirfd, job.source, src);
    if (!opened.ok()) {
      error = errno;
      return TAV_BAD_SOURCE;
    }
    in = opened.get();
  }
  const bool regular = S_ISREG(src.st_mode);
  io::Fd old;
  if (const tav_status refused = CheckDestination(job.dest_dirfd, job.destination, src, job.policy, old, error);
      refused != TAV_OK)
    return refused;
  error = 0;
  if (job.expanded && !job.keys->has_pad) return TAV_NO_KEYS;
  io::NewFile own;
  io::NewFile& out = job.unnamed != nullptr ? *job.unnamed : own;
  if (!out.Open(job.dest_dirfd, job.destination, 0666, error)) return TAV_BAD_DEST;
  // A pipe's mode and times are no file's to pass on.
  if (job.policy.source_mode && regular && ::fchmod(out.fd(), src.st_mode & 0777) != 0) {
    error = errno;
    return TAV_BAD_DEST;
  }
  const TransferEnds ends{.writeback = job.policy.durable && job.unnamed == nullptr,
                          .in_offset = job.source_fd >= 0 && regular ? static_cast<int64_t>(job.source_offset) : -1,
                          .workers = job.workers};
  tav_status status = RunTransfer(*job.keys, in, out.fd(), job.expanded, job.decrypt, job.progress,
                                  job.progress_context, buffers, error, ends);
  const timespec times[2] = {src.st_atim, src.st_mtim};
  if (status == TAV_OK && job.policy.keep_times && regular && ::futimens(out.fd(), times) != 0) {
    error = errno;
    status = TAV_BAD_DEST;
  }
  if (job.unnamed != nullptr) {
    if (status != TAV_OK) out.Discard();
    return status;
  }
  if (status == TAV_OK && !out.Commit(job.policy.replace, error, job.policy.durable))
    status = error == EEXIST && !job.policy.replace ? TAV_EXISTS : TAV_BAD_DEST;
  if (status != TAV_OK) return status;
  error = 0;
  ClearOld(old);
  return TAV_OK;
}

}  // namespace tav::ops
