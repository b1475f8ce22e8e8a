// SPDX-License-Identifier: MIT
// Transfer(): which strategy runs which part of a job (the range split over
// workers, the shared stream, the rest on this thread), and how large a job
// must be to be shared.
#include "ops/transfer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "common/workers.hpp"
#include "ops/transfer_parts.hpp"

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
constexpr int64_t kBackgroundFlushBytes = int64_t{128} << 20;

bool IsRegular(int fd, struct stat& st) { return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

Ends Probe(const Job& job) {
  Ends e;
  e.in_base = job.in_offset >= 0 ? job.in_offset : ::lseek(job.in, 0, SEEK_CUR);
  e.out_base = ::lseek(job.out, 0, SEEK_CUR);
  struct stat in_st {}, out_st {};
  e.in_regular = IsRegular(job.in, in_st) && e.in_base >= 0;
  e.out_regular = IsRegular(job.out, out_st) && e.out_base >= 0;
  // Only a pipe or a socket raises SIGPIPE; an fstat that failed says nothing.
  e.out_pipe = out_st.st_mode == 0 || S_ISFIFO(out_st.st_mode) || S_ISSOCK(out_st.st_mode);
  if (e.in_regular) e.in_size = std::max<int64_t>(0, in_st.st_size - e.in_base);
  return e;
}

// Ranges go to workers only between regular files large enough, and never to
// an output in append mode: positional writes ignore its offset.
bool Splits(const Job& job, const Ends& e) {
  const int out_flags = ::fcntl(job.out, F_GETFL);
  return job.split.workers > 1 && e.in_regular && e.out_regular && out_flags >= 0 && (out_flags & O_APPEND) == 0 &&
         e.in_size > 0 && e.in_size >= job.split.min_bytes && job.split.grain > 0;
}

// The rest, to the end of the input whatever its size at the start, on this
// thread from where `from` ended.
Covered RunSequential(Shared& sh, const Ends& ends, const Covered& from) {
  const Job& job = sh.job;
  const tav_keys& keys = *job.keys;
  const Buffers& b = job.buffers;
  const Port in{job.in, job.in_offset >= 0, ends.in_base};
  const Port out{job.out, false, ends.out_base, job.writeback && ends.out_regular, ends.out_pipe};
  const uint64_t units = from.units;
  engine::Cipher c;
  engine::CipherStart(c, keys.tables, units);
  Outcome o;
  if (!job.expanded) {
    o = BlockRun(sh, c, in, out, b.block, b.block_bytes, static_cast<int64_t>(units), INT64_MAX, true);
  } else if (job.decrypt) {
    o = DecodeRun(sh, c, b, in, out, units, expanded::UnitStart(keys, units), from.in_at, INT64_MAX, true);
  } else {
    o = EncodeRun(sh, c, b, in, out, units, UINT64_MAX, from.out_at, true);
  }
  engine::CipherWipe(c);
  return {o.status, o.status == TAV_OK ? 0 : o.error, true};
}

}  // namespace

size_t SequentialBytes(const tav_keys& keys) {
  const size_t room = std::clamp(engine::FullRateLength(keys.tables), kPieceBytes, kSequentialBytes);
  return engine::FullRatePiece(keys.tables, room);
}

Split DefaultSplit(bool expanded, bool decrypt) { return SplitFor(expanded, decrypt, 0); }

int64_t SplitThreshold(bool expanded, bool decrypt) {
  return !expanded ? kParallelBlockBytes : decrypt ? kParallelDecodeBytes : kParallelEncodeBytes;
}

Split SplitFor(bool expanded, bool decrypt, int workers) {
  const int count = workers > 0 ? std::min(workers, workers::kMaxWorkers) : workers::Count();
  return Split{count, SplitThreshold(expanded, decrypt), !expanded ? uint64_t{kBlockBytes} : uint64_t{kRegionSymbols}};
}

tav_status Transfer(Job& job) {
  Shared sh{job};
  job.error = 0;
  const Ends ends = Probe(job);
  if (ends.in_size >= 0) sh.total = static_cast<uint64_t>(ends.in_size);
  // A large output that is flushed once complete is flushed while it is
  // written too, so that the final flush waits for its last pieces only: one
  // thread starts asynchronous flushes between its pieces, the caller's
  // thread of a split flushes while it waits for the workers. On a virtual
  // disk (AMD EPYC VM, ext4 on virtio), where that flush took about as long
  // as writing the file, a 256 MiB file with one worker took 0.28-0.32 s
  // instead of 0.37-0.46 and with two 0.27-0.28 instead of 0.33-0.36; 128 MiB
  // 0.18-0.19 s instead of 0.20 with either. 64 MiB was slower so: a flush in
  // flight at the end held up the last writes.
  io::BackgroundFlush flush(job.out);
  if (job.writeback && ends.out_regular && ends.in_size >= kBackgroundFlushBytes) sh.flush = &flush;
  Covered done;
  bool ran = false;
  if (Splits(job, ends)) done = RunSplit(sh, ends, ran);
  // A stream in block mode is shared among threads as it is read.
  if (!ran && !(ends.in_regular && ends.out_regular) && !job.expanded && job.split.workers > 1 && job.in_offset < 0)
    done = RunStream(sh, done.units, ends.out_pipe, ran);
  if (done.status == TAV_OK && !done.ended) done = RunSequential(sh, ends, done);
  if (const int error = flush.Finish(); error != 0 && done.status == TAV_OK) done = {TAV_BAD_DEST, error};
  job.error = done.error;
  if (done.status == TAV_OK) sh.Report(true);
  if (done.status == TAV_OK && sh.Cancelled()) return TAV_CANCELLED;
  return done.status;
}

}  // namespace tav::ops
