// SPDX-License-Identifier: MIT
// Argument checks and destination handling shared by the block and expanded
// file operations.
#pragma once

#include <cstdint>

#include "common/fileio.hpp"
#include "engine/alphabet.hpp"

namespace tav::ops {

// The two open files of one file operation.
struct FileJob {
  const char* destination = nullptr;
  io::Fd source;
  io::Fd dest;
  io::FileId created;  // the destination file this job made
  // The source's size at the start: a hint only. Reads go to the end of the
  // file, which may differ (procfs files report 0, files may grow).
  int64_t size = 0;
};

// Runs the checks of a two-path file operation in their fixed order, loads the
// pad table from pad_file when it is not null, clears and recreates the
// destination and initialises engine::cipher. Returns 0 with `job` ready, or
// the failing status with its message in cmd and no file touched (beyond the
// cleared old destination when the name changed under the call).
int OpenFileJob(Kind kind, const char* source, const char* destination, const char* pad_file, FileJob& job);

// Ends a job begun by OpenFileJob. With status 0 the destination must close
// cleanly, otherwise the status becomes 3. A failing status (2 read, 3 write)
// removes the incomplete destination, if its name still refers to it, and
// sets the message. Returns the status.
int FinishFileJob(FileJob& job, int status);

}  // namespace tav::ops
