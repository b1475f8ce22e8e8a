// SPDX-License-Identifier: MIT
// Ranges of a job between regular files, split among worker threads.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "common/wipe.hpp"
#include "common/workers.hpp"
#include "expanded/layout.hpp"
#include "ops/transfer_parts.hpp"

namespace tav::ops {
namespace {

// Flushes of a large output while the workers write it: at 20 ms apart a
// 256 MiB file took 0.27-0.28 s instead of 0.33-0.36, at 50 ms 0.29-0.34.
constexpr int kFlushMs = 20;

using expanded::UnitStart;

static_assert(sizeof(WorkerSpace) <= workers::kSpaceBytes);

// Ranges 0 .. count-1, dealt in order. Once a range has failed, ranges after
// it are no longer dealt; ranges before it still run, as they may fail first.
class Ranges {
public:
  explicit Ranges(uint64_t count) : count_(count) {}

  bool Next(uint64_t& range) {
    range = next_.fetch_add(1, std::memory_order_relaxed);
    return range < count_ && Key(range, 0) < failed_.load(std::memory_order_relaxed);
  }

  void Fail(uint64_t range, int status, int error) {
    const uint64_t key = Key(range, status);
    uint64_t seen = failed_.load(std::memory_order_relaxed);
    while (key < seen && !failed_.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
    // The errno goes with the first failing range; ranges only fail once.
    if (status != TAV_OK) errors_[range % kErrorSlots].store(error, std::memory_order_relaxed);
  }

  // The input ended inside `range`: ranges after it hold nothing, and the
  // output ends at out_end.
  void Stop(uint64_t range, int64_t in_end, int64_t out_end) {
    int64_t seen = out_end_.load(std::memory_order_relaxed);
    while (out_end < seen && !out_end_.compare_exchange_weak(seen, out_end, std::memory_order_relaxed)) {
    }
    seen = in_end_.load(std::memory_order_relaxed);
    while (in_end < seen && !in_end_.compare_exchange_weak(seen, in_end, std::memory_order_relaxed)) {
    }
    Fail(range, TAV_OK, 0);
  }

  // After the workers have been joined.
  bool Stopped() const { return failed_.load(std::memory_order_relaxed) != kNone && Status() == TAV_OK; }
  int64_t InEnd() const { return in_end_.load(std::memory_order_relaxed); }
  int64_t OutEnd() const { return out_end_.load(std::memory_order_relaxed); }
  tav_status Status() const {
    const uint64_t key = failed_.load(std::memory_order_relaxed);
    return key == kNone ? TAV_OK : static_cast<tav_status>(key & 15);
  }
  int Error() const {
    const uint64_t key = failed_.load(std::memory_order_relaxed);
    return key == kNone ? 0 : errors_[(key >> 4) % kErrorSlots].load(std::memory_order_relaxed);
  }

private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  static constexpr size_t kErrorSlots = 64;
  static uint64_t Key(uint64_t range, int status) { return range << 4 | static_cast<uint64_t>(status); }

  const uint64_t count_;
  std::atomic<uint64_t> next_{0};
  std::atomic<uint64_t> failed_{kNone};
  std::atomic<int64_t> in_end_{INT64_MAX};
  std::atomic<int64_t> out_end_{INT64_MAX};
  std::atomic<int> errors_[kErrorSlots] = {};
};

struct SplitWork {
  Shared& sh;
  Port in;
  Port out;
  uint64_t units;       // block mode: bytes; split among the ranges
  int64_t bytes;        // expanded decoding: the input bytes that hold those units
  uint64_t grain;
  Ranges ranges;
};

void SplitWorker(void* context, uint8_t* space) {
  auto& work = *static_cast<SplitWork*>(context);
  const Job& job = work.sh.job;
  const tav_keys& keys = *job.keys;
  auto& own = *new (space) WorkerSpace;
  const Buffers b{own.region, kRegionBytes, own.region, kRegionBytes, own.symbols, kRegionSymbols,
                  own.random_words, kRandomWords};
  for (uint64_t range; work.ranges.Next(range);) {
    if (work.sh.Cancelled()) {
      work.ranges.Fail(range, TAV_CANCELLED, 0);
      break;
    }
    const uint64_t first = range * work.grain;
    const uint64_t last = std::min(first + work.grain, work.units);
    engine::CipherStart(own.cipher, keys.tables, first);
    Outcome o;
    if (!job.expanded) {
      o = BlockRun(work.sh, own.cipher, work.in, work.out, own.region, kRegionBytes, static_cast<int64_t>(first),
                   static_cast<int64_t>(last), false);
    } else if (job.decrypt) {
      const int64_t from = UnitStart(keys, first);
      const int64_t to = last == work.units ? work.bytes : UnitStart(keys, last);
      o = DecodeRun(work.sh, own.cipher, b, work.in, work.out, first, from, from, to, false);
    } else {
      o = EncodeRun(work.sh, own.cipher, b, work.in, work.out, first, last - first, UnitStart(keys, first), false);
    }
    if (o.status != TAV_OK) {
      work.ranges.Fail(range, o.status, o.error);
      break;
    }
    if (o.ended) {
      work.ranges.Stop(range, o.in_end, o.out_end);
      break;
    }
  }
  SecureZeroObject(own);
}

// The caller's thread, which only waits for the workers, flushes what they
// wrote meanwhile (see Transfer()).
void Watch(void* context) {
  Shared& sh = static_cast<SplitWork*>(context)->sh;
  sh.Report(false);
  if (sh.flush != nullptr) sh.flush->Now();
}

}  // namespace

Covered RunSplit(Shared& sh, const Ends& ends, bool& ran) {
  const Job& job = sh.job;
  const tav_keys& keys = *job.keys;
  const int64_t bytes = ends.in_size;
  // What the split covers, in units (block mode: bytes): in expanded
  // decoding the units that start before the end of the input.
  const uint64_t units =
      job.expanded && job.decrypt ? expanded::UnitsWithin(keys, bytes) : static_cast<uint64_t>(bytes);
  const uint64_t ranges = (units + job.split.grain - 1) / job.split.grain;
  SplitWork work{sh, {job.in, true, ends.in_base}, {job.out, true, ends.out_base, job.writeback}, units, bytes, job.split.grain,
                 Ranges(ranges)};
  (void)engine::ActivePath();  // settled before any worker asks
  ran = workers::Run(static_cast<int>(std::min<uint64_t>(ranges, static_cast<uint64_t>(job.split.workers))),
                     SplitWorker, &work, job.progress != nullptr || sh.flush != nullptr ? Watch : nullptr,
                     sh.flush != nullptr ? kFlushMs : 100) > 0;
  Covered c;
  if (!ran) return c;
  c.status = work.ranges.Status();
  c.error = work.ranges.Error();
  c.units = units;
  if (c.status == TAV_OK && sh.Cancelled()) c.status = TAV_CANCELLED;
  if (c.status != TAV_OK) return c;
  if (work.ranges.Stopped()) {
    // Ranges after the point where the input ended may have been written.
    c.ended = true;
    c.in_at = work.ranges.InEnd();
    c.out_at = work.ranges.OutEnd();
    if (::ftruncate(job.out, ends.out_base + c.out_at) != 0) return {TAV_BAD_DEST, errno};
  } else {
    c.in_at = bytes;
    c.out_at = job.expanded && !job.decrypt ? UnitStart(keys, units) : static_cast<int64_t>(units);
  }
  // Both descriptors end after what was read and written, as the calls on
  // this thread leave them.
  if ((job.in_offset < 0 && ::lseek(job.in, ends.in_base + c.in_at, SEEK_SET) < 0) ||
      ::lseek(job.out, ends.out_base + c.out_at, SEEK_SET) < 0)
    return {TAV_BAD_DEST, errno};
  return c;
}

}  // namespace tav::ops
