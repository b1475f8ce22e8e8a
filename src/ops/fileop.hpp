// SPDX-License-Identifier: MIT
// The one file operation under both interfaces: open the source, check the
// destination, write a new file beside it, run the transfer, give it the
// name. The callers differ only in the small policy below and in the
// buffers they lend.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "common/newfile.hpp"
#include "ops/transfer.hpp"
#include "tavsdk.h"

namespace tav::ops {

// The buffers of one call, sized by its caller: the process-wide functions
// keep a large static set, the core a smaller one on the caller's stack.
template <size_t kRegion, size_t kSymbols, size_t kWords>
struct Space {
  alignas(64) uint8_t region[kRegion];
  alignas(64) uint8_t symbols[kSymbols];
  alignas(64) uint32_t words[kWords];

  // Block mode reads into the region; no two uses overlap.
  Buffers View() { return {region, kRegion, region, kRegion, symbols, kSymbols, words, kWords}; }
};

// Large enough that the system calls cost little beside the cipher, small
// enough for any thread's stack.
using StackSpace = Space<size_t{128} << 10, size_t{8} << 10, 1024>;

struct FilePolicy {
  bool replace = false;      // an existing destination is replaced; else TAV_EXISTS
  bool clear_old = false;    // the replaced file is cut to "@@@" through its descriptor (process-wide rule)
  bool source_mode = false;  // the new file takes the source's permission bits
  bool keep_times = false;   // the new file takes the source's access and modification times
  bool durable = true;       // the new file is flushed before it takes its name
};

// How a transfer reads its input and shares its work.
struct TransferEnds {
  bool writeback = false;  // out is a new regular file that is flushed once complete
  int64_t in_offset = -1;  // at least 0: a regular input read positionally from there
  int workers = 0;         // at most this many threads (0: the library's default)
};

struct FileJob {
  const tav_keys* keys = nullptr;
  bool expanded = false;
  bool decrypt = false;
  int source_dirfd = -1;
  const char* source = nullptr;
  int source_fd = -1;          // at least 0: the source, opened by the caller (then `source` is unused)
  uint64_t source_offset = 0;  // where a regular source_fd is read from
  int workers = 0;
  int dest_dirfd = -1;
  const char* destination = nullptr;
  FilePolicy policy;
  tav_progress_fn progress = nullptr;
  void* progress_context = nullptr;
  // Set: the output is left complete here, unnamed and not flushed, for the
  // caller to flush with others and name (policy.durable then is unused).
  io::NewFile* unnamed = nullptr;
};

// Runs the transfer from descriptor in to out on `buffers`, which it wipes
// before returning. TAV_NO_KEYS for expanded mode without pad keys.
tav_status RunTransfer(const tav_keys& keys, int in, int out, bool expanded, bool decrypt, tav_progress_fn progress,
                       void* context, const Buffers& buffers, int& error, const TransferEnds& ends = {});

// Checks a source descriptor handed over by the caller: open for reading,
// not a directory; a regular file's `offset` within it, other kinds at 0.
// TAV_OK with `st` filled, else the refusal with `error` set.
tav_status CheckSourceFd(int fd, uint64_t offset, struct stat& st, int& error);

// The whole file operation; `error` receives the errno of what failed (0 when
// no system call did, EEXIST for a destination kept).
tav_status RunFile(const FileJob& job, const Buffers& buffers, int& error);

}  // namespace tav::ops
