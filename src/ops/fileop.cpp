// SPDX-License-Identifier: MIT
// The one file operation and its destination check.
#include "ops/fileop.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "common/wipe.hpp"

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
                       void* context, const Buffers& buffers, int& error, bool writeback) {
  if (expanded && !keys.has_pad) return TAV_NO_KEYS;
  Job job;
  job.keys = &keys;
  job.expanded = expanded;
  job.decrypt = decrypt;
  job.in = in;
  job.out = out;
  job.progress = progress;
  job.progress_context = context;
  job.split = DefaultSplit(expanded, decrypt);
  job.buffers = buffers;
  job.writeback = writeback;
  const tav_status status = Transfer(job);
  error = job.error;
  // Both texts pass through the region and the symbols.
  SecureZero(buffers.region, buffers.region_bytes);
  SecureZero(buffers.symbols, buffers.symbol_count);
  SecureZero(buffers.random_words, buffers.word_count * sizeof buffers.random_words[0]);
  return status;
}

tav_status RunFile(const FileJob& job, const Buffers& buffers, int& error) {
  error = 0;
  struct stat src {};
  io::Fd in = io::OpenSource(job.source_dirfd, job.source, src);
  if (!in.ok()) {
    error = errno;
    return TAV_BAD_SOURCE;
  }
  io::Fd old;
  if (const tav_status refused = CheckDestination(job.dest_dirfd, job.destination, src, job.policy, old, error);
      refused != TAV_OK)
    return refused;
  error = 0;
  if (job.expanded && !job.keys->has_pad) return TAV_NO_KEYS;
  io::NewFile out;
  if (!out.Open(job.dest_dirfd, job.destination, 0666, error)) return TAV_BAD_DEST;
  if (job.policy.source_mode && ::fchmod(out.fd(), src.st_mode & 0777) != 0) {
    error = errno;
    return TAV_BAD_DEST;
  }
  tav_status status = RunTransfer(*job.keys, in.get(), out.fd(), job.expanded, job.decrypt, job.progress,
                                  job.progress_context, buffers, error, true);
  if (status == TAV_OK && !out.Commit(job.policy.replace, error))
    status = error == EEXIST && !job.policy.replace ? TAV_EXISTS : TAV_BAD_DEST;
  if (status != TAV_OK) return status;
  error = 0;
  ClearOld(old);
  return TAV_OK;
}

}  // namespace tav::ops
