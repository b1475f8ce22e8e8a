// SPDX-License-Identifier: MIT
// Block mode on a stream (a pipe, a socket), shared among worker threads.
#include <pthread.h>

#include <atomic>
#include <new>

#include "common/wipe.hpp"
#include "common/workers.hpp"
#include "ops/transfer_parts.hpp"

namespace tav::ops {
namespace {

// Block mode on a stream (a pipe, a socket): the threads take turns to read
// the next block, transform theirs side by side (the stepping depends only on
// the position), and take turns again to write them in the order read. Each
// block lives in its thread's working space.
struct StreamWork {
  Shared& sh;
  int in;
  int out;
  bool pipe;       // out is a pipe or socket
  uint64_t start;  // position of the first byte read
  size_t piece;    // bytes read at once: whole blocks of the kernel's lanes
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
    if (work.sh.Cancelled()) work.Fail(ticket, TAV_CANCELLED, 0);
    int64_t got = 0;
    const uint64_t at = work.read_at;
    if (ticket < work.stop.load()) {
      got = io::ReadFull(work.in, own.region, work.piece);
      if (got < 0) {
        work.Fail(ticket, TAV_BAD_SOURCE, errno);
      } else {
        work.read_at += static_cast<uint64_t>(got);
        work.ended = static_cast<size_t>(got) < work.piece;
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
      if (io::WriteAll(work.out, own.region, static_cast<size_t>(got), work.pipe)) {
        work.sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
      } else {
        work.Fail(ticket, TAV_BAD_DEST, errno);
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

}  // namespace

Covered RunStream(Shared& sh, uint64_t start, bool pipe, bool& ran) {
  const Job& job = sh.job;
  StreamWork work{sh, job.in, job.out, pipe, start, engine::FullRatePiece(job.keys->tables, kRegionBytes)};
  (void)engine::ActivePath();  // settled before any worker asks
  ran = workers::Run(job.split.workers, StreamWorker, &work, job.progress != nullptr ? WatchStream : nullptr) > 0;
  (void)pthread_mutex_destroy(&work.read_lock);
  (void)pthread_mutex_destroy(&work.write_lock);
  (void)pthread_cond_destroy(&work.turn);
  if (!ran) return {TAV_OK, 0, false, start};
  const uint64_t failure = work.failure.load();
  // All of the stream is done, or nothing more is to be.
  return {static_cast<tav_status>(failure >> 32), static_cast<int>(static_cast<uint32_t>(failure)), true, start};
}

}  // namespace tav::ops
