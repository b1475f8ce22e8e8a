// SPDX-License-Identifier: MIT
#include "ops/fileops.hpp"

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
  struct stat src {};
  job.source = io::OpenSource(source, src);
  if (!job.source.ok()) return Refuse(kBadSource, TAV_MSG_BAD_SOURCE);

  // Clearing the destination would destroy the source when both name the same
  // file, by whatever path or link. A destination that exists but is not a
  // regular file (a device, a pipe) is never cleared and deleted either.
  io::OldDestination old;
  if (io::CheckDestination(destination, src, old) != io::Destination::ready)
    return Refuse(kBadDest, TAV_MSG_BAD_DEST);

  if (pad_file != nullptr && !LoadPadTable(pad_file)) return Refuse(kNoKeys, KeyMessage(kind));

  if (!io::ReplaceDestination(destination, old, job.dest, job.created)) return Refuse(kBadDest, TAV_MSG_BAD_DEST);

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
  // The name is released first, unless something else stands there by now;
  // where it cannot be, the file at least holds nothing of the incomplete
  // output.
  if (!io::RemoveIfSame(job.destination, job.created, io::Step::destination_remove) && job.dest.ok() &&
      ::ftruncate(job.dest.get(), 0) != 0) {
    // Nothing more to try; the status already reports the failure.
  }
  (void)job.dest.Close();
  return Refuse(status, status == kBadSource ? TAV_MSG_BAD_SOURCE : TAV_MSG_BAD_DEST);
}

}  // namespace tav::ops
