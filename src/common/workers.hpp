// SPDX-License-Identifier: MIT
// Worker threads within one call. A call that splits its work runs the same
// body on up to count threads, and returns only when all of them have
// finished: the library never leaves a thread behind. Each worker has a
// working space on its own stack; the caller's thread watches them, and
// reports progress.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav::workers {

// Working space of every participant, and the most threads one call runs.
inline constexpr size_t kSpaceBytes = size_t{1216} * 1024;
inline constexpr int kMaxWorkers = 64;

// How many threads a call may use: the CPUs this process may run on, capped
// by TAVSDK_THREADS (a positive decimal number; 1 turns threading off,
// anything else is ignored). Read at every call.
int Count();

using Body = void (*)(void* context, uint8_t* space);
using Monitor = void (*)(void* context);

// Runs body(context, space) on up to `count` new threads, every signal
// blocked in them, each with kSpaceBytes of working space on its own stack.
// Meanwhile the calling thread calls monitor(context) (if not null) every
// `interval_ms` (under a second), until every thread has finished. Returns
// the number of threads that ran: 0 when none could be started, and the
// caller must then do the work itself. The body must share out its work so
// that any number of participants finishes it.
int Run(int count, Body body, void* context, Monitor monitor, int interval_ms = 100);

}  // namespace tav::workers
