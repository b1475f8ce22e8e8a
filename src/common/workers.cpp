// SPDX-License-Identifier: MIT
#include "common/workers.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace tav::workers {

int Count() {
  cpu_set_t set;
  // More CPUs than a cpu_set_t holds is not worth a dynamic set: use the cap.
  int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : kMaxWorkers;
  if (const char* limit = std::getenv("TAVSDK_THREADS"); limit != nullptr && *limit != 0) {
    long value = 0;
    const char* c = limit;
    for (; *c >= '0' && *c <= '9' && value <= kMaxWorkers; ++c) value = value * 10 + (*c - '0');
    if (*c == 0 && value >= 1 && value < count) count = static_cast<int>(value);
  }
  if (count > kMaxWorkers) count = kMaxWorkers;
  return count < 1 ? 1 : count;
}

namespace {

// The working space plus what the body and the C library need besides.
constexpr size_t kStackBytes = kSpaceBytes + size_t{512} * 1024;

struct Start {
  Body body;
  void* context;
};

void* WorkerMain(void* arg) {
  const Start& start = *static_cast<const Start*>(arg);
  alignas(64) uint8_t space[kSpaceBytes];
  start.body(start.context, space);
  return nullptr;
}

}  // namespace

int Run(int count, Body body, void* context, Monitor monitor, int interval_ms) {
  // Cancelling the caller midway would leave the workers running on its
  // stack's data: the call finishes first.
  int cancel_state = 0;
  (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  const Start start{body, context};
  pthread_t threads[kMaxWorkers];
  int started = 0;
  pthread_attr_t attr;
  if (count > 0 && pthread_attr_init(&attr) == 0) {
    if (pthread_attr_setstacksize(&attr, kStackBytes) == 0) {
      // Threads inherit the creator's mask: block everything while creating
      // them, so that the application's handlers run on its own threads only.
      sigset_t all, saved;
      sigfillset(&all);
      if (pthread_sigmask(SIG_SETMASK, &all, &saved) == 0) {
        while (started < count && started < kMaxWorkers &&
               pthread_create(&threads[started], &attr, WorkerMain, const_cast<Start*>(&start)) == 0)
          ++started;
        (void)pthread_sigmask(SIG_SETMASK, &saved, nullptr);
      }
    }
    (void)pthread_attr_destroy(&attr);
  }
  for (int i = 0; i < started; ++i) {
    if (monitor == nullptr) {
      (void)pthread_join(threads[i], nullptr);
      continue;
    }
    for (;;) {
      timespec deadline{};
      (void)clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_nsec += static_cast<long>(interval_ms) * 1'000'000;
      if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
      }
      if (pthread_timedjoin_np(threads[i], nullptr, &deadline) != ETIMEDOUT) break;
      monitor(context);
    }
  }
  (void)pthread_setcancelstate(cancel_state, nullptr);
  return started;
}

}  // namespace tav::workers
