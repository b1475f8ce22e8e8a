// SPDX-License-Identifier: MIT
// Sharing the data of one block or expanded file operation among worker
// threads: the work is cut into ranges that any worker may take, in file
// order, and the first failure in file order decides the status. A source
// that ends early ends the output there, as a single thread would.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "common/scratch.hpp"
#include "common/workers.hpp"
#include "engine/cipher.hpp"
#include "ops/fileops.hpp"
#include "ops/ops.hpp"

namespace tav::ops {

// How an operation splits its data: at most `workers` threads, ranges of
// `grain` bytes (block files) or units (expanded files), and only when the
// source has at least min_bytes.
struct Split {
  int workers = 1;
  int64_t min_bytes = 0;
  uint64_t grain = 0;
};

// What the public operations use.
Split BlockSplit();
Split ExpandedSplit(bool decode);

// The data part of an operation on a job opened by OpenFileJob; returns the
// status for FinishFileJob.
int BlockData(FileJob& job, bool decrypt, const Split& split);
int ExpandedData(Kind kind, bool decode, FileJob& job, const Split& split);

// Ranges 0 .. count-1, dealt in order. Once a range has failed, ranges after
// it are no longer dealt; ranges before it still run, as they may fail first.
class Ranges {
public:
  explicit Ranges(uint64_t count) : count_(count) {}

  bool Next(uint64_t& range) {
    range = next_.fetch_add(1, std::memory_order_relaxed);
    return range < count_ && Key(range, 0) < failed_.load(std::memory_order_relaxed);
  }

  void Fail(uint64_t range, int status) {
    const uint64_t key = Key(range, status);
    uint64_t seen = failed_.load(std::memory_order_relaxed);
    while (key < seen && !failed_.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
  }

  // The source ended inside `range` (it shrank since it was opened): ranges
  // after it hold nothing, and the output ends at out_end.
  void Stop(uint64_t range, int64_t out_end) {
    int64_t seen = out_end_.load(std::memory_order_relaxed);
    while (out_end < seen && !out_end_.compare_exchange_weak(seen, out_end, std::memory_order_relaxed)) {
    }
    Fail(range, kDone);
  }

  // After the workers have been joined: whether the first range to fail or
  // stop stopped, and where the output then ends.
  bool Stopped() const { return failed_.load(std::memory_order_relaxed) != kNone && Status() == kDone; }
  int64_t OutEnd() const { return out_end_.load(std::memory_order_relaxed); }

  // The status of the first failed range, or kDone. Read after the workers
  // have been joined.
  int Status() const {
    const uint64_t key = failed_.load(std::memory_order_relaxed);
    return key == kNone ? kDone : static_cast<int>(key & 7);
  }

private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  static uint64_t Key(uint64_t range, int status) { return range << 3 | static_cast<uint64_t>(status); }

  const uint64_t count_;
  std::atomic<uint64_t> next_{0};
  std::atomic<uint64_t> failed_{kNone};
  std::atomic<int64_t> out_end_{INT64_MAX};
};

// Runs body on up to `workers` threads (never more than `count` ranges), then
// settles the ranges: the status of the first failing one; or, when the
// source ended inside the split, the destination cut where it ended and
// `ended` set (nothing follows); otherwise kDone, and the caller goes on
// after the split.
inline int RunSplit(Ranges& ranges, uint64_t count, int workers, workers::Body body, void* work, int dest,
                    bool& ended) {
  (void)engine::ActivePath();  // settled before any worker asks
  workers::Run(static_cast<int>(std::min<uint64_t>(count, static_cast<uint64_t>(workers))), body, work,
               scratch.worker_space);
  ended = false;
  if (const int status = ranges.Status(); status != kDone) return status;
  if (!ranges.Stopped()) return kDone;
  // Ranges after the point where the source ended may have been written.
  ended = true;
  return ::ftruncate(dest, ranges.OutEnd()) == 0 ? kDone : kBadDest;
}

}  // namespace tav::ops
