// SPDX-License-Identifier: MIT
// The scramblers and the wipe, for both interfaces: the process-wide
// functions give the current directory and their static buffer, the core
// interface a directory descriptor and a buffer on the caller's stack.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keys/padtable.hpp"
#include "tavsdk.h"

namespace tav::ops {

// The working buffer of a scrambler pass; it holds many blocks of any allowed
// size (5000 bytes at most), so a chunk always ends on a block boundary.
struct Chunk {
  uint8_t* data;
  size_t bytes;
};

// Where the whole-file reversal keeps its complete reversed copy while it
// writes the file back: `base` followed by `suffix`, in the directory dirfd.
// An exclusive copy never takes a name that exists (TAV_EXISTS); otherwise
// whatever file stands at the name is replaced.
struct CopyPlace {
  int dirfd;
  const char* base;
  const char* suffix;
  bool exclusive;
};

// Reverses the whole file (count 1, through the copy) or `count` blocks of
// `size` bytes at its start. Statuses of TavScrambleFile; a failed write-back
// of the whole-file reversal keeps the copy and returns TAV_COPY_KEPT; a copy
// name that does not fit is TAV_BAD_SOURCE (ENAMETOOLONG). `error`
// receives the errno of a failed system call.
tav_status ScrambleFile(int dirfd, const char* path, int count, int size, CopyPlace copy, Chunk chunk, int& error);

// Reverses the blocks whose lengths the pad table gives. `table` null: no
// usable k6.dat (TAV_NO_KEYS once the file has been opened).
tav_status XScrambleFile(int dirfd, const char* path, const PadTable* table, Chunk chunk, int& error);

// Overwrites the file 21 times, flushing each pass, and removes it. The file
// is opened without following a link; `wipe` holds whole 8192-byte blocks.
tav_status WipeFile(int dirfd, const char* path, Chunk wipe, int& error);

// The same through a descriptor the caller opened for writing; then `name`
// (may be null) is removed only if it still leads to that file (ESTALE when
// it does not).
tav_status WipeOpenFile(int fd, int dirfd, const char* name, Chunk wipe, int& error);

}  // namespace tav::ops
