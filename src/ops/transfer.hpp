// SPDX-License-Identifier: MIT
// One engine for every data operation on descriptors: block or expanded,
// encrypting or decrypting, from an input descriptor to an output
// descriptor. The file operations of both interfaces, the descriptor calls
// and the tool all run through Transfer().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "expanded/layout.hpp"
#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::ops {

// Where the sequential parts of an operation keep their data. The process-
// wide functions lend their large static area; the core interface a smaller
// one on the caller's stack, and for the block mode an area it maps when the
// call starts (see SequentialBytes).
struct Buffers {
  uint8_t* block;  // block mode: bytes read, transformed and written at once
  size_t block_bytes;
  uint8_t* region;  // expanded mode: whole units written or read at once
  size_t region_bytes;
  uint8_t* symbols;  // expanded mode: ciphertext bytes of a region
  size_t symbol_count;
  uint32_t* random_words;  // text fillers: random words turned into symbols
  size_t word_count;
};

using expanded::Filler;

// How an operation may share its work among threads when both ends are
// regular files: at most `workers` threads, ranges of `grain` bytes (block
// mode) or units (expanded mode), and only from min_bytes of input on.
struct Split {
  int workers = 1;
  int64_t min_bytes = 0;
  uint64_t grain = 0;
};

// What the operations use: as many threads as the process may run on
// (TAVSDK_THREADS caps it).
Split DefaultSplit(bool expanded, bool decrypt);

// DefaultSplit with at most `workers` threads (0: as many as DefaultSplit).
Split SplitFor(bool expanded, bool decrypt, int workers);

// The input size from which an operation shares its work among threads.
int64_t SplitThreshold(bool expanded, bool decrypt);

struct Job {
  const tav_keys* keys = nullptr;
  bool expanded = false;
  bool decrypt = false;  // expanded: decode
  int in = -1;
  int out = -1;
  Filler filler;
  tav_progress_fn progress = nullptr;
  void* progress_context = nullptr;
  Buffers buffers{};
  Split split;  // DefaultSplit() unless a test asks for another
  bool writeback = false;  // out is a regular file that is flushed once complete
  // At least 0: `in` is a regular file read from this offset with positional
  // reads only, so that the caller's descriptor keeps its own offset.
  int64_t in_offset = -1;
  int error = 0;  // errno of the system call that failed, 0 for none
  // The bytes at the start of buffers.block that may have held text: all that
  // needs overwriting of an area the pages of which are only touched as used.
  size_t block_used = 0;
};

// Runs the job: reads `in` from its current offset (or in_offset) to its
// end, writes `out` from its current offset; both offsets end after what
// was read and written (a positional input's stays where it was). Returns TAV_OK, TAV_BAD_SOURCE (read error), TAV_BAD_DEST (write error),
// TAV_CANCELLED (the progress callback said stop), with job.error set. A
// regular input that ends before the size it had at the start ends the
// output there too.
tav_status Transfer(Job& job);

// The scratch sizes the process-wide functions and the core use.
inline constexpr size_t kBlockBytes = size_t{1} << 20;
// The most the core maps for the block mode's pieces on the caller's thread.
// A piece of 128 KiB left the AVX-512 kernel's round-apart lanes (64 rounds
// of the schedule, some 0.8 MB for typical keys, under 4 MiB for any) unused:
// it ran at half its rate.
inline constexpr size_t kSequentialBytes = size_t{4} << 20;
// Pieces no longer than they need be: each stays in the core's own cache
// between the read, the kernel and the write, and passes whole through a
// pipe of 1 MiB. Pieces of 0.8 MB and of 4 MiB measured alike on the machine's
// noise; fewer pieces than this save nothing.
inline constexpr size_t kPieceBytes = size_t{1} << 20;

// The block area the core maps for a call with these keys: the longest piece
// within kPieceBytes that the kernel runs at its full rate throughout, or
// one block of its lanes where that is longer (kSequentialBytes at most).
size_t SequentialBytes(const tav_keys& keys);
inline constexpr size_t kRegionBytes = size_t{1} << 20;
inline constexpr size_t kRegionSymbols = size_t{1} << 16;
inline constexpr size_t kRandomWords = 4096;

}  // namespace tav::ops
