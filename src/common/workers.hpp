// SPDX-License-Identifier: MIT
// Worker threads within one call. A call that splits its work runs the same
// body on the caller's thread and on up to count - 1 more threads, and
// returns only when all of them have finished: the library never leaves a
// thread behind. Each worker has a working space on its own stack; the
// caller's thread brings its own (the shared scratch area).
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

// Runs body(context, space) on the caller's thread with caller_space and on
// up to count - 1 new threads, every signal blocked in them. A thread that
// cannot be started means one worker fewer; the body must share out its work
// so that any number of participants finishes it.
void Run(int count, Body body, void* context, uint8_t* caller_space);

}  // namespace tav::workers
