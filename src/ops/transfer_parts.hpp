// SPDX-License-Identifier: MIT
// The pieces the strategies of Transfer() share: the ends of a job, its
// progress and cancelling, and the runs that transform one stretch of it.
#pragma once

#include <fcntl.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "common/fileio.hpp"
#include "engine/cipher.hpp"
#include "ops/transfer.hpp"

namespace tav::ops {

// Reads n bytes at `offset` from the job's start on: at that offset for a
// split over regular files, in sequence otherwise.
struct Port {
  int fd;
  bool positional;
  int64_t base;
  bool writeback = false;  // an output that is flushed at the end: see WriteAt
  bool pipe = true;        // a pipe or socket, whose reader may go away: see io::WriteLoop
};

inline int64_t ReadAt(const Port& port, void* buf, size_t n, int64_t offset) {
  return port.positional ? io::PreadFull(port.fd, buf, n, port.base + offset) : io::ReadFull(port.fd, buf, n);
}

// Writing an output that is flushed to the disk once complete starts each
// piece's writing-back as it is written: the final flush then waits for the
// last blocks only, instead of the whole file after the work is done, which
// did not shrink with more workers. A hint: a failure shows in the final
// flush.
inline bool WriteAt(const Port& port, const void* buf, size_t n, int64_t offset) {
  const bool written =
      port.positional ? io::PwriteAll(port.fd, buf, n, port.base + offset) : io::WriteAll(port.fd, buf, n, port.pipe);
  if (written && port.writeback)
    (void)::sync_file_range(port.fd, port.base + offset, static_cast<int64_t>(n), SYNC_FILE_RANGE_WRITE);
  return written;
}

// ---- Progress and cancelling -----------------------------------------------

inline uint64_t NowNs() {
  timespec t{};
  (void)clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
}

constexpr uint64_t kProgressNs = 100'000'000;

// What the threads of one job share.
struct Shared {
  Job& job;
  uint64_t total = TAV_SIZE_UNKNOWN;
  std::atomic<uint64_t> done{0};
  std::atomic<bool> cancelled{false};
  uint64_t last_report = 0;
  uint64_t last_done = UINT64_MAX;
  io::BackgroundFlush* flush = nullptr;  // see Transfer()

  // On the caller's thread only. The final report (now) is not repeated when
  // the last one already said as much.
  void Report(bool now) {
    if (job.progress == nullptr || cancelled.load(std::memory_order_relaxed)) return;
    const uint64_t t = NowNs();
    const uint64_t d = done.load(std::memory_order_relaxed);
    if (now ? d == last_done : t - last_report < kProgressNs) return;
    last_report = t;
    last_done = d;
    if (job.progress(job.progress_context, d, total) != 0) cancelled.store(true, std::memory_order_relaxed);
  }
  bool Cancelled() const { return cancelled.load(std::memory_order_relaxed); }
  // After each piece; only the caller's thread acts.
  void Tick(bool caller) {
    if (!caller) return;
    if (flush != nullptr) flush->Written(done.load(std::memory_order_relaxed));
    Report(false);
  }
};

// How far a run went.
struct Outcome {
  tav_status status = TAV_OK;
  int error = 0;
  bool ended = false;   // the input ended before the run did
  int64_t in_end = 0;   // input offset after what was read
  int64_t out_end = 0;  // output offset after what was written
};

inline Outcome Failed(tav_status status, int64_t in_end, int64_t out_end) {
  return {status, errno, false, in_end, out_end};
}

// What a strategy covered before the next one takes over.
struct Covered {
  tav_status status = TAV_OK;
  int error = 0;
  bool ended = false;  // the input ended, or the strategy did all of it
  uint64_t units = 0;  // units (block mode: bytes) done from the start on
  int64_t in_at = 0;   // input offset, from the job's start, after them
  int64_t out_at = 0;  // output offset, likewise
};

// The ends of a job as found at its start.
struct Ends {
  int64_t in_base = 0;   // offsets of both descriptors at the start
  int64_t out_base = 0;
  bool in_regular = false;
  bool out_regular = false;
  bool out_pipe = true;  // a pipe or socket (or unknown)
  int64_t in_size = -1;  // bytes of a regular input from in_base on
};

// One worker's cipher and buffers.
struct WorkerSpace {
  engine::Cipher cipher;
  alignas(64) uint8_t region[kRegionBytes];
  alignas(64) uint8_t symbols[kRegionSymbols];
  alignas(64) uint32_t random_words[kRandomWords];
};

// Bytes [from, to) of the input into the same offsets of the output, with c
// standing at symbol `from`. The input may end sooner.
Outcome BlockRun(Shared& sh, engine::Cipher& c, const Port& in, const Port& out, uint8_t* block, size_t block_bytes,
                 int64_t from, int64_t to, bool caller);

// Encodes up to `count` input bytes from unit `first` on with c, which stands
// at symbol `first`; their units are written from out_at on.
Outcome EncodeRun(Shared& sh, engine::Cipher& c, const Buffers& b, const Port& in, const Port& out, uint64_t first,
                  uint64_t count, int64_t out_at, bool caller);

// Reads bytes [from, to) of the expanded input and decodes the units that
// start there, unit `first` at offset `next`, with c standing at symbol
// `first`. Only the unit starts matter; a unit whose run the input cuts short
// still counts. The input may end sooner.
Outcome DecodeRun(Shared& sh, engine::Cipher& c, const Buffers& b, const Port& in, const Port& out, uint64_t first,
                  int64_t next, int64_t from, int64_t to, bool caller);

// Ranges of grain units of a job whose both ends are regular files, split
// among workers with positional reads and writes. `ran` false: no worker
// could start and nothing was done.
Covered RunSplit(Shared& sh, const Ends& ends, bool& ran);

// Block mode on a stream, shared among workers as it is read from unit
// `start` on; `pipe`: the output is a pipe or socket. `ran` as above.
Covered RunStream(Shared& sh, uint64_t start, bool pipe, bool& ran);

}  // namespace tav::ops
