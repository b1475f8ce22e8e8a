// SPDX-License-Identifier: MIT
#include "ops/fileops.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/cipher.hpp"
#include "ops/ops.hpp"
#include "ops/padtable.hpp"
#include "tavsdk.h"

namespace tav::ops {

static int Refuse(int status, const char* message) {
  SetMessage(message);
  return status;
}

int OpenFileJob(Kind kind, const char* source, const char* destination, const char* pad_file, FileJob& job) {
  if (!PrepareKeys(kind)) return Refuse(kNoKeys, KeyMessage(kind));
  if (source == nullptr) return Refuse(kBadSource, TAV_MSG_BAD_SOURCE);
  if (destination == nullptr) return Refuse(kBadDest, TAV_MSG_BAD_DEST);

  job.destination = destination;
  job.source = io::OpenRead(source);
  struct stat src {};
  if (!job.source.ok() || ::fstat(job.source.get(), &src) != 0 || S_ISDIR(src.st_mode))
    return Refuse(kBadSource, TAV_MSG_BAD_SOURCE);

  // Clearing the destination would destroy the source when both name the same
  // file, by whatever path or link. A destination that exists but is not a
  // regular file (a device, a pipe) is never cleared and deleted either.
  struct stat dst {};
  if (::stat(destination, &dst) == 0 &&
      ((dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) || !S_ISREG(dst.st_mode)))
    return Refuse(kBadDest, TAV_MSG_BAD_DEST);

  if (pad_file != nullptr && !LoadPadTable(pad_file)) return Refuse(kNoKeys, KeyMessage(kind));

  // The established clearing: truncate, mark "@@@", delete, create anew.
  io::Fd old = io::OpenWrite(destination, O_CREAT | O_TRUNC);
  if (!old.ok()) return Refuse(kBadDest, TAV_MSG_BAD_DEST);
  // A failure here only weakens the overwrite; the new file is checked below.
  (void)io::WriteAll(old.get(), "@@@", 3);
  (void)old.Close();
  (void)::unlink(destination);
  job.dest = io::OpenWrite(destination, O_CREAT | O_TRUNC);
  if (!job.dest.ok()) return Refuse(kBadDest, TAV_MSG_BAD_DEST);

  engine::CipherInit(engine::cipher, kind);
  job.size = static_cast<int64_t>(src.st_size);
  return kDone;
}

int FinishFileJob(FileJob& job, int status) {
  (void)job.source.Close();  // read-only: nothing to lose
  if (status == kDone) {
    if (job.dest.Close()) return kDone;
    status = kBadDest;
  }
  // The name is released first; where the directory forbids that, the file at
  // least holds nothing of the incomplete output.
  if (::unlink(job.destination) != 0 && job.dest.ok() && ::ftruncate(job.dest.get(), 0) != 0) {
    // Nothing more to try; the status already reports the failure.
  }
  (void)job.dest.Close();
  return Refuse(status, status == kBadSource ? TAV_MSG_BAD_SOURCE : TAV_MSG_BAD_DEST);
}

}  // namespace tav::ops
