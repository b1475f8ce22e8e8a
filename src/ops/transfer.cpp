// SPDX-License-Identifier: MIT
// Block mode: the output is the input transformed byte for byte. Expanded
// mode: unit s of the output is the s-th ciphertext byte followed by pad[i]
// random filler symbols, i running 1..20000 and round again.
#include "ops/transfer.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include "common/fileio.hpp"
#include "common/wipe.hpp"
#include "common/workers.hpp"
#include "engine/cipher.hpp"

namespace tav::ops {

namespace {

// Block mode: starting and joining a worker costs some 0.1 ms of CPU; one MiB
// takes 1.5 to 15 ms depending on the engine path. From 4 MiB on there are
// ranges enough to keep two or more workers busy on a machine whose CPUs are
// shared. Expanded encoding costs mostly the random fillers, some 25 to 50
// output bytes per input byte: 256 KiB take tens of ms. The decoder only picks
// the unit starts out of the file at several GB/s, so it needs a far larger
// input to win more than a thread costs.
constexpr int64_t kParallelBlockBytes = int64_t{4} << 20;
constexpr int64_t kParallelEncodeBytes = int64_t{256} << 10;
constexpr int64_t kParallelDecodeBytes = int64_t{32} << 20;

using expanded::PadIndexAfter;
using expanded::UnitStart;

// ---- Ports -------------------------------------------------------------------

// Reads n bytes at `offset` from the job's start on: at that offset for a
// split over regular files, in sequence otherwise.
struct Port {
  int fd;
  bool positional;
  int64_t base;
};

int64_t ReadAt(const Port& port, void* buf, size_t n, int64_t offset) {
  return port.positional ? io::PreadFull(port.fd, buf, n, port.base + offset) : io::ReadFull(port.fd, buf, n);
}

bool WriteAt(const Port& port, const void* buf, size_t n, int64_t offset) {
  return port.positional ? io::PwriteAll(port.fd, buf, n, port.base + offset) : io::WriteAll(port.fd, buf, n);
}

// ---- Progress and cancelling -----------------------------------------------

uint64_t NowNs() {
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
};

// How far a run went.
struct Outcome {
  int status = kDone;
  int error = 0;
  bool ended = false;   // the input ended before the run did
  int64_t in_end = 0;   // input offset after what was read
  int64_t out_end = 0;  // output offset after what was written
};

Outcome Failed(int status, int64_t in_end, int64_t out_end) { return {status, errno, false, in_end, out_end}; }

// ---- Block mode ----------------------------------------------------------

// Bytes [from, to) of the input into the same offsets of the output, with c
// standing at symbol `from`. The input may end sooner.
Outcome BlockRun(Shared& sh, engine::Cipher& c, const Port& in, const Port& out, uint8_t* block, size_t block_bytes,
                 int64_t from, int64_t to, bool caller) {
  for (int64_t at = from; at < to;) {
    if (sh.Cancelled()) return {kCancelled, 0, false, at, at};
    const auto len = static_cast<size_t>(std::min<int64_t>(to - at, static_cast<int64_t>(block_bytes)));
    const int64_t got = ReadAt(in, block, len, at);
    if (got < 0) return Failed(kBadSource, at, at);
    engine::CipherRun(c, block, static_cast<size_t>(got), sh.job.decrypt);
    if (!WriteAt(out, block, static_cast<size_t>(got), at)) return Failed(kBadDest, at, at);
    at += got;
    sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    if (caller) sh.Report(false);
    if (static_cast<size_t>(got) < len) return {kDone, 0, true, at, at};
  }
  return {kDone, 0, false, to, to};
}

// ---- Expanded mode -------------------------------------------------------

// Encodes up to `count` input bytes from unit `first` on with c, which stands
// at symbol `first`; their units are written from out_at on.
Outcome EncodeRun(Shared& sh, engine::Cipher& c, const Buffers& b, const Port& in, const Port& out, uint64_t first,
                  uint64_t count, int64_t out_at, bool caller) {
  const tav_keys& keys = *sh.job.keys;
  const Kind kind = keys.tables.kind;
  const size_t max_units = std::min(b.symbol_count, b.region_bytes / static_cast<size_t>(keys.pad_max_unit));
  int32_t pad = PadIndexAfter(first);  // pad index of the last unit written
  auto in_at = static_cast<int64_t>(first);
  for (uint64_t left = count; left > 0;) {
    if (sh.Cancelled()) return {kCancelled, 0, false, in_at, out_at};
    // As many units as fit the region whole.
    size_t units = static_cast<size_t>(std::min<uint64_t>(left, max_units));
    const int64_t got = ReadAt(in, b.symbols, units, in_at);
    if (got < 0) return Failed(kBadSource, in_at, out_at);
    const bool ended = static_cast<size_t>(got) < units;
    units = static_cast<size_t>(got);
    const auto bytes = static_cast<int64_t>(expanded::UnitsBytes(keys, static_cast<uint64_t>(in_at), units));
    engine::CipherEncrypt(c, b.symbols, units);
    if (!expanded::FillFillers(kind, sh.job.filler, b.region, static_cast<size_t>(bytes), b.random_words,
                               b.word_count))
      return Failed(kBadSource, in_at, out_at);
    (void)expanded::Place(keys, pad, b.symbols, units, b.region);
    if (!WriteAt(out, b.region, static_cast<size_t>(bytes), out_at)) return Failed(kBadDest, in_at, out_at);
    out_at += bytes;
    in_at += got;
    left -= units;
    sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    if (caller) sh.Report(false);
    if (ended) return {kDone, 0, true, in_at, out_at};
  }
  return {kDone, 0, false, in_at, out_at};
}

// Reads bytes [from, to) of the expanded input and decodes the units that
// start there, unit `first` at offset `next`, with c standing at symbol
// `first`. Only the unit starts matter; a unit whose run the input cuts short
// still counts. The input may end sooner.
Outcome DecodeRun(Shared& sh, engine::Cipher& c, const Buffers& b, const Port& in, const Port& out, uint64_t first,
                  int64_t next, int64_t from, int64_t to, bool caller) {
  const tav_keys& keys = *sh.job.keys;
  expanded::Picker picker{PadIndexAfter(first), static_cast<uint64_t>(next - from)};
  auto out_at = static_cast<int64_t>(first);
  size_t gathered = 0;
  const auto flush = [&] {
    engine::CipherDecrypt(c, b.symbols, gathered);
    const bool written = WriteAt(out, b.symbols, gathered, out_at);
    out_at += static_cast<int64_t>(gathered);
    gathered = 0;
    return written;
  };
  for (int64_t offset = from; offset < to;) {
    if (sh.Cancelled()) return {kCancelled, 0, false, offset, out_at};
    const int64_t rest = to - offset;
    const size_t len = rest < static_cast<int64_t>(b.region_bytes) ? static_cast<size_t>(rest) : b.region_bytes;
    const int64_t got = ReadAt(in, b.region, len, offset);
    if (got < 0) return Failed(kBadSource, offset, out_at);
    const int64_t end = offset + got;
    for (size_t used = 0, consumed = 0; used < static_cast<size_t>(got); used += consumed) {
      gathered += expanded::Pick(keys, picker, b.region + used, static_cast<size_t>(got) - used,
                                 b.symbols + gathered, b.symbol_count - gathered, consumed);
      if (gathered == b.symbol_count && !flush()) return Failed(kBadDest, end, out_at);
    }
    sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    if (caller) sh.Report(false);
    offset = end;
    if (static_cast<size_t>(got) < len) {
      if (gathered > 0 && !flush()) return Failed(kBadDest, end, out_at);
      return {kDone, 0, true, end, out_at};
    }
  }
  if (gathered > 0 && !flush()) return Failed(kBadDest, to, out_at);
  return {kDone, 0, false, to, out_at};
}

// ---- Sharing the work among threads --------------------------------------

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
    if (status != kDone) errors_[range % kErrorSlots].store(error, std::memory_order_relaxed);
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
    Fail(range, kDone, 0);
  }

  // After the workers have been joined.
  bool Stopped() const { return failed_.load(std::memory_order_relaxed) != kNone && Status() == kDone; }
  int64_t InEnd() const { return in_end_.load(std::memory_order_relaxed); }
  int64_t OutEnd() const { return out_end_.load(std::memory_order_relaxed); }
  int Status() const {
    const uint64_t key = failed_.load(std::memory_order_relaxed);
    return key == kNone ? kDone : static_cast<int>(key & 15);
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

// One worker's cipher and buffers.
struct WorkerSpace {
  engine::Cipher cipher;
  alignas(64) uint8_t region[kRegionBytes];
  alignas(64) uint8_t symbols[kRegionSymbols];
  alignas(64) uint32_t random_words[kRandomWords];
};
static_assert(sizeof(WorkerSpace) <= workers::kSpaceBytes);

void SplitWorker(void* context, uint8_t* space) {
  auto& work = *static_cast<SplitWork*>(context);
  const Job& job = work.sh.job;
  const tav_keys& keys = *job.keys;
  auto& own = *new (space) WorkerSpace;
  const Buffers b{own.region, kRegionBytes, own.region, kRegionBytes, own.symbols, kRegionSymbols,
                  own.random_words, kRandomWords};
  for (uint64_t range; work.ranges.Next(range);) {
    if (work.sh.Cancelled()) {
      work.ranges.Fail(range, kCancelled, 0);
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
    if (o.status != kDone) {
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

void Watch(void* context) { static_cast<SplitWork*>(context)->sh.Report(false); }

// ---- Streams among threads -----------------------------------------------

// Block mode on a stream (a pipe, a socket): the threads take turns to read
// the next block, transform theirs side by side (the stepping depends only on
// the position), and take turns again to write them in the order read. Each
// block lives in its thread's working space.
struct StreamWork {
  Shared& sh;
  int in;
  int out;
  uint64_t start;  // position of the first byte read
  pthread_mutex_t read_lock = PTHREAD_MUTEX_INITIALIZER;   // tickets, read_at, ended
  pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;  // written
  pthread_cond_t turn = PTHREAD_COND_INITIALIZER;
  uint64_t tickets = 0;  // blocks read so far
  uint64_t read_at = 0;  // position of the next block
  bool ended = false;
  uint64_t written = 0;  // blocks written (or passed over) so far
  std::atomic<uint64_t> stop{UINT64_MAX};  // the first block not to be written
  std::atomic<uint64_t> failure{0};        // status << 32 | errno of the first failure

  void Fail(uint64_t ticket, int status, int error) {
    uint64_t seen = stop.load();
    while (ticket < seen && !stop.compare_exchange_weak(seen, ticket)) {
    }
    uint64_t none = 0;
    (void)failure.compare_exchange_strong(none, static_cast<uint64_t>(status) << 32 | static_cast<uint32_t>(error));
  }
};

void StreamWorker(void* context, uint8_t* space) {
  auto& work = *static_cast<StreamWork*>(context);
  const tav_keys& keys = *work.sh.job.keys;
  auto& own = *new (space) WorkerSpace;
  for (;;) {
    pthread_mutex_lock(&work.read_lock);
    if (work.ended || work.tickets >= work.stop.load()) {
      pthread_mutex_unlock(&work.read_lock);
      break;
    }
    // Every ticket taken must pass its turn on, whatever becomes of it.
    const uint64_t ticket = work.tickets++;
    if (work.sh.Cancelled()) work.Fail(ticket, kCancelled, 0);
    int64_t got = 0;
    const uint64_t at = work.read_at;
    if (ticket < work.stop.load()) {
      got = io::ReadFull(work.in, own.region, kRegionBytes);
      if (got < 0) {
        work.Fail(ticket, kBadSource, errno);
      } else {
        work.read_at += static_cast<uint64_t>(got);
        work.ended = static_cast<size_t>(got) < kRegionBytes;
      }
    }
    pthread_mutex_unlock(&work.read_lock);
    if (got > 0) {
      engine::CipherStart(own.cipher, keys.tables, work.start + at);
      engine::CipherRun(own.cipher, own.region, static_cast<size_t>(got), work.sh.job.decrypt);
    }
    pthread_mutex_lock(&work.write_lock);
    while (work.written != ticket) pthread_cond_wait(&work.turn, &work.write_lock);
    pthread_mutex_unlock(&work.write_lock);
    // Only this thread writes now: the others wait for their turn.
    if (ticket < work.stop.load() && got > 0) {
      if (io::WriteAll(work.out, own.region, static_cast<size_t>(got))) {
        work.sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
      } else {
        work.Fail(ticket, kBadDest, errno);
      }
    }
    pthread_mutex_lock(&work.write_lock);
    ++work.written;
    pthread_cond_broadcast(&work.turn);
    pthread_mutex_unlock(&work.write_lock);
  }
  SecureZeroObject(own);
}

void WatchStream(void* context) { static_cast<StreamWork*>(context)->sh.Report(false); }

bool IsRegular(int fd, struct stat& st) { return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

}  // namespace

Split DefaultSplit(bool expanded, bool decrypt) {
  if (!expanded) return Split{workers::Count(), kParallelBlockBytes, kBlockBytes};
  return Split{workers::Count(), decrypt ? kParallelDecodeBytes : kParallelEncodeBytes, kRegionSymbols};
}

int Transfer(Job& job) {
  const tav_keys& keys = *job.keys;
  Shared sh{job};
  job.error = 0;
  const int64_t in_base = ::lseek(job.in, 0, SEEK_CUR);
  const int64_t out_base = ::lseek(job.out, 0, SEEK_CUR);
  struct stat in_st {}, out_st {};
  const bool in_regular = IsRegular(job.in, in_st) && in_base >= 0;
  const bool out_regular = IsRegular(job.out, out_st) && out_base >= 0;
  const int64_t in_size = in_regular ? std::max<int64_t>(0, in_st.st_size - in_base) : -1;
  if (in_size >= 0) sh.total = static_cast<uint64_t>(in_size);
  // Positional writes ignore the offset of a descriptor in append mode.
  const int out_flags = ::fcntl(job.out, F_GETFL);
  const bool splits = job.split.workers > 1 && in_regular && out_regular && out_flags >= 0 &&
                      (out_flags & O_APPEND) == 0 && in_size > 0 && in_size >= job.split.min_bytes &&
                      job.split.grain > 0;
  engine::Cipher c;
  const Buffers& b = job.buffers;
  // What the split covers, in units (block mode: bytes) and input bytes.
  uint64_t units = 0;
  int64_t in_at = 0;
  int64_t out_at = 0;
  int status = kDone;
  bool ended = false;
  if (splits) {
    const Port in{job.in, true, in_base};
    const Port out{job.out, true, out_base};
    const int64_t bytes = in_size;
    if (job.expanded && job.decrypt) {
      // The units that start before the end of the input.
      units = expanded::UnitsWithin(keys, bytes);
    } else {
      units = static_cast<uint64_t>(bytes);
    }
    const uint64_t ranges = (units + job.split.grain - 1) / job.split.grain;
    SplitWork work{sh, in, out, units, bytes, job.split.grain, Ranges(ranges)};
    (void)engine::ActivePath();  // settled before any worker asks
    const int ran = workers::Run(static_cast<int>(std::min<uint64_t>(ranges, static_cast<uint64_t>(job.split.workers))),
                                 SplitWorker, &work, job.progress != nullptr ? Watch : nullptr);
    if (ran > 0) {
      status = work.ranges.Status();
      job.error = work.ranges.Error();
      if (status == kDone && sh.Cancelled()) status = kCancelled;
      if (status == kDone && work.ranges.Stopped()) {
        // Ranges after the point where the input ended may have been written.
        ended = true;
        in_at = work.ranges.InEnd();
        out_at = work.ranges.OutEnd();
        if (::ftruncate(job.out, out_base + out_at) != 0) {
          status = kBadDest;
          job.error = errno;
        }
      } else if (status == kDone) {
        in_at = bytes;
        out_at = job.expanded && !job.decrypt ? UnitStart(keys, units) : static_cast<int64_t>(units);
      }
      // Both descriptors end after what was read and written, as the calls
      // on this thread leave them.
      if (status == kDone &&
          (::lseek(job.in, in_base + in_at, SEEK_SET) < 0 || ::lseek(job.out, out_base + out_at, SEEK_SET) < 0)) {
        status = kBadDest;
        job.error = errno;
      }
    } else {
      units = 0;  // no thread could start: all of it on this thread
    }
  }
  // A stream in block mode is shared among threads as it is read.
  if (status == kDone && !ended && !(in_regular && out_regular) && !job.expanded && job.split.workers > 1) {
    StreamWork work{sh, job.in, job.out, units};
    (void)engine::ActivePath();
    const int ran =
        workers::Run(job.split.workers, StreamWorker, &work, job.progress != nullptr ? WatchStream : nullptr);
    (void)pthread_mutex_destroy(&work.read_lock);
    (void)pthread_mutex_destroy(&work.write_lock);
    (void)pthread_cond_destroy(&work.turn);
    if (ran > 0) {
      const uint64_t failure = work.failure.load();
      status = static_cast<int>(failure >> 32);
      job.error = static_cast<int>(static_cast<uint32_t>(failure));
      ended = true;
    }
  }
  if (status == kDone && !ended) {
    // The rest, to the end of the input whatever its size at the start,
    // follows on this thread from where the split ended.
    const Port in{job.in, false, 0};
    const Port out{job.out, false, 0};
    engine::CipherStart(c, keys.tables, units);
    Outcome o;
    if (!job.expanded) {
      o = BlockRun(sh, c, in, out, b.block, b.block_bytes, static_cast<int64_t>(units), INT64_MAX, true);
    } else if (job.decrypt) {
      const int64_t next = UnitStart(keys, units);
      o = DecodeRun(sh, c, b, in, out, units, next, in_at, INT64_MAX, true);
    } else {
      o = EncodeRun(sh, c, b, in, out, units, UINT64_MAX, out_at, true);
    }
    status = o.status;
    if (status != kDone) job.error = o.error;
  }
  engine::CipherWipe(c);
  if (status == kDone) sh.Report(true);
  if (status == kDone && sh.Cancelled()) status = kCancelled;
  return status;
}

}  // namespace tav::ops
