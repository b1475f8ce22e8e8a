// SPDX-License-Identifier: MIT
// Block and expanded file operations split among worker threads: the same
// output as one thread for range boundaries of every kind, errors in one
// worker's range reported like the single-threaded operation, and the
// engine's long skips that the workers rely on.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include <fcntl.h>

#include <functional>
#include <memory>

#include "common/fileio.hpp"
#include "common/workers.hpp"
#include "engine/cipher.hpp"
#include "keys/keyset.hpp"
#include "ops/transfer.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

using ops::Split;

struct Mode {
  const char* name;
  Kind kind;
  FileOp block;
};
const Mode kModes[] = {{"text", Kind::text, FileOpsOf(Kind::text, false).enc},
                       {"binary", Kind::binary, FileOpsOf(Kind::binary, false).enc}};

void GenerateBoth() {
  ResetFlags();
  ASSERT_EQ(TavGenTextKeys("split operations"), 0);
  ASSERT_EQ(TavGenBinaryKeys("split operations"), 0);
}

// The key set the operations above use.
const tav_keys& KeysOf(Kind kind) {
  static tav_keys* sets[2] = {};
  tav_keys*& k = sets[kind == Kind::text ? 0 : 1];
  if (k == nullptr) {
    EXPECT_EQ(tav_keys_new(&k, static_cast<tav_alphabet>(kind), "split operations", 16), TAV_OK);
  }
  return *k;
}

// Runs a block (expanded == false) or expanded transfer between two files
// with an explicit split; `opened` runs once both are open. A failure
// removes the destination.
int RunSplit(Kind kind, bool expanded, bool reverse, const char* source, const char* dest, const Split& split,
             const std::function<void(int in)>& opened = nullptr) {
  static auto space = std::make_unique<uint8_t[]>(ops::kRegionBytes + ops::kRegionSymbols + 4 * ops::kRandomWords);
  uint8_t* region = space.get();
  const int in = open(source, O_RDONLY | O_CLOEXEC);
  const int out = open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  EXPECT_TRUE(in >= 0 && out >= 0);
  if (opened) opened(in);
  ops::Job job;
  job.keys = &KeysOf(kind);
  job.expanded = expanded;
  job.decrypt = reverse;
  job.in = in;
  job.out = out;
  job.split = split;
  job.buffers = {region, ops::kRegionBytes, region, ops::kRegionBytes, region + ops::kRegionBytes,
                 ops::kRegionSymbols, reinterpret_cast<uint32_t*>(region + ops::kRegionBytes + ops::kRegionSymbols),
                 ops::kRandomWords};
  int status = ops::Transfer(job);
  close(in);
  if (close(out) != 0 && status == 0) status = TAV_BAD_DEST;
  if (status != 0) unlink(dest);
  return status;
}

Split Threads(int workers, uint64_t grain) { return Split{workers, 0, grain}; }

size_t ScheduleLength(const Schedule& schedule) {
  return std::accumulate(schedule.begin() + 1, schedule.end(), size_t{0},
                         [](size_t sum, int32_t dwell) { return sum + static_cast<size_t>(std::max(dwell, 1)); });
}

int ThreadsOfProcess() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

// A thread that was joined can still be listed for a moment (under an
// emulator, for longer): counts are taken once the list has settled.
int SettledThreads() {
  int n = ThreadsOfProcess();
  for (int same = 0, i = 0; same < 10 && i < 500; ++i) {
    usleep(10'000);
    const int now = ThreadsOfProcess();
    same = now == n ? same + 1 : 0;
    n = now;
  }
  return n;
}

TEST(SplitEngine, LongSkipsLandWhereShortStepsDo) {
  ScratchDir scratch;
  GenerateBoth();
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    const tav_keys& k = KeysOf(mode.kind);
    static engine::Cipher whole, steps;
    const uint64_t round = ScheduleLength(k.tables.schedule);
    // From the start, from inside a wheel order, and across many rounds.
    for (uint64_t lead : {uint64_t{0}, uint64_t{3}, round - 1}) {
      for (uint64_t far : {round, 7 * round + 5, 1000 * round + round / 2}) {
        engine::CipherStart(whole, k.tables, 0);
        engine::CipherStart(steps, k.tables, 0);
        engine::CipherSkip(whole, lead + far);
        // Pieces shorter than a round never take whole rounds at once.
        for (uint64_t left = lead + far; left > 0;) {
          const uint64_t n = std::min<uint64_t>(left, 150);
          engine::CipherSkip(steps, n);
          left -= n;
        }
        EXPECT_TRUE(whole.s.rot == steps.s.rot && whole.s.count == steps.s.count &&
                    whole.s.index == steps.s.index && whole.s.off == steps.s.off)
            << lead << " + " << far;
      }
    }
  }
}

// Range boundaries inside a wheel order, at the end of one, at the end of a
// schedule round; a last range of one byte; more workers than ranges.
TEST(SplitFiles, BlockOutputIsTheSameForEverySplit) {
  ScratchDir scratch;
  GenerateBoth();
  for (const Mode& mode : kModes) {
    const Schedule& schedule = KeysOf(mode.kind).tables.schedule;
    const uint64_t inside = static_cast<uint64_t>(schedule[1]) + static_cast<uint64_t>(schedule[2]) / 2;
    const uint64_t dwell_end = static_cast<uint64_t>(schedule[1]) + static_cast<uint64_t>(schedule[2]);
    for (uint64_t grain : {inside, dwell_end, uint64_t{ScheduleLength(schedule)}, uint64_t{4096}}) {
      const Bytes plain = RandomBytes(3 * grain + 1, static_cast<uint32_t>(grain));
      WriteFile("plain", plain);
      for (bool decrypt : {false, true}) {
        ASSERT_EQ(RunSplit(mode.kind, false, decrypt, "plain", "one", Threads(1, grain)), 0);
        const Bytes want = ReadFile("one");
        for (int workers : {2, 3, 7}) {
          SCOPED_TRACE(std::string(mode.name) + (decrypt ? " dec" : " enc") + " grain " + std::to_string(grain) +
                       " workers " + std::to_string(workers));
          ASSERT_EQ(RunSplit(mode.kind, false, decrypt, "plain", "split", Threads(workers, grain)), 0);
          EXPECT_TRUE(ReadFile("split") == want);
        }
      }
    }
  }
}

// Ranges that end at a pad-table round, cross one, or hold a single unit;
// expanded files cut inside a unit, at a unit start and at a round's end.
TEST(SplitFiles, ExpandedFilesDecodeTheSameForEverySplit) {
  ScratchDir scratch;
  GenerateBoth();
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    const Bytes plain = RandomBytes(2 * kPadEntries + 1, 77);
    WriteFile("plain", plain);
    ASSERT_EQ(RunSplit(mode.kind, true, false, "plain", "expanded", Threads(1, 1)), 0);
    const Bytes expanded = ReadFile("expanded");
    const int64_t round = KeysOf(mode.kind).pad_round_bytes;
    for (uint64_t grain : {uint64_t{kPadEntries}, uint64_t{7777}, uint64_t{333}}) {
      for (int workers : {2, 3}) {
        SCOPED_TRACE("grain " + std::to_string(grain) + " workers " + std::to_string(workers));
        const Split split = Threads(workers, grain);
        ASSERT_EQ(RunSplit(mode.kind, true, false, "plain", "split", split), 0);
        ASSERT_EQ(RunSplit(mode.kind, true, true, "split", "back", Threads(1, 1)), 0);
        EXPECT_TRUE(ReadFile("back") == plain) << "split encoding";
        EXPECT_EQ(ReadFile("split").size(), expanded.size());
        for (int64_t cut : {int64_t(expanded.size()), round, round + 1, round - 1, int64_t(expanded.size()) - 1}) {
          WriteFile("cut", Bytes(expanded.begin(), expanded.begin() + cut));
          ASSERT_EQ(RunSplit(mode.kind, true, true, "cut", "one", Threads(1, 1)), 0);
          ASSERT_EQ(RunSplit(mode.kind, true, true, "cut", "back", split), 0);
          EXPECT_TRUE(ReadFile("back") == ReadFile("one")) << "cut at " << cut;
        }
      }
    }
  }
}

// Through the public operations: every TAVSDK_THREADS value gives the same
// output, and no thread outlives the call.
TEST(SplitFiles, WorkerCountFromTheEnvironment) {
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", RandomBytes((size_t{4} << 20) + 4097, 5));
  unsetenv("TAVSDK_THREADS");
  // Counted after a first split call: a sanitizer's runtime starts a thread
  // of its own once the process has more than one.
  ASSERT_EQ(TavBinaryFileEnc("plain", "all"), 0);
  const int threads = SettledThreads();
  for (const Mode& mode : kModes) {
    ASSERT_EQ(mode.block("plain", "all"), 0);
    const Bytes want = ReadFile("all");
    for (const char* value : {"1", "2", "3", "64", "0", "-2", "x", ""}) {
      SCOPED_TRACE(std::string(mode.name) + " TAVSDK_THREADS=" + value);
      setenv("TAVSDK_THREADS", value, 1);
      ASSERT_EQ(mode.block("plain", "out"), 0);
      EXPECT_TRUE(ReadFile("out") == want);
      EXPECT_EQ(SettledThreads(), threads);
    }
  }
  unsetenv("TAVSDK_THREADS");
}

std::atomic<int> g_handled_elsewhere{0};
pid_t g_caller = 0;

void CountElsewhere(int) {
  if (gettid() != g_caller) g_handled_elsewhere.fetch_add(1);
}

// The application's signal handlers never run on a worker: a signal sent to a
// worker thread while it runs stays blocked there.
TEST(SplitFiles, WorkersTakeNoSignals) {
  if (workers::Count() < 2) GTEST_SKIP() << "one CPU: no workers";
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", RandomBytes(size_t{16} << 20, 8));
  struct sigaction action {}, saved {};
  action.sa_handler = CountElsewhere;
  action.sa_flags = SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  g_caller = gettid();
  g_handled_elsewhere = 0;
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    const pid_t self = gettid();
    while (!done) {
      if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(dir)) {
          const pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
          if (tid > 0 && tid != g_caller && tid != self && tgkill(getpid(), tid, SIGUSR1) == 0) sent.fetch_add(1);
        }
        closedir(dir);
      }
    }
  });
  // On a busy machine the sender may need a few calls to catch a worker.
  for (int i = 0; i < 30 && (i < 3 || sent == 0); ++i) EXPECT_EQ(TavBinaryFileEnc("plain", "out"), 0);
  done = true;
  sender.join();
  sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_GT(sent.load(), 0) << "no worker seen";
  EXPECT_EQ(g_handled_elsewhere.load(), 0);
}

// In a child: a file-size limit cuts the destination, the source shrinks
// after the job has opened it, or every read of the source fails.
struct Fault {
  bool expanded;
  int64_t write_limit;  // bytes the destination may reach, 0 for none
  int64_t read_limit;   // bytes left of the source, 0 for all
  bool read_error;
  int want;
};

int source_fd = -1;
int FailSourceReads(io::Step step, int fd) { return step == io::Step::read && fd == source_fd ? EIO : 0; }

// Exit code: status | 32 when the destination is gone (failure) or holds the
// encryption of what was left of the source (success).
void ExpectFault(const Fault& f) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    if (f.read_limit > 0) {
      // What a single thread makes of the shrunk source.
      if (truncate("plain", f.read_limit) != 0) _exit(102);
      if (RunSplit(Kind::binary, f.expanded, false, "plain", "one", Threads(1, 1)) != 0) _exit(104);
      WriteFile("plain", RandomBytes(1 << 20, 6));
    }
    const rlimit limit{static_cast<rlim_t>(f.write_limit), static_cast<rlim_t>(f.write_limit)};
    if (f.write_limit > 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(100);
    const int status = RunSplit(Kind::binary, f.expanded, false, "plain", "out", Threads(3, f.expanded ? 5000 : 65536),
                                [&](int in) {
                                  if (f.read_limit > 0 && truncate("plain", f.read_limit) != 0) _exit(102);
                                  source_fd = in;
                                  if (f.read_error) io::step_hook = FailSourceReads;
                                });
    io::step_hook = nullptr;
    bool output = access("out", F_OK) != 0;
    if (status == 0) output = f.read_limit == 0 || (f.expanded ? ReadFile("out").size() == ReadFile("one").size()
                                                               : ReadFile("out") == ReadFile("one"));
    _exit(status | (output ? 32 : 0));
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  const int code = WEXITSTATUS(wstatus);
  EXPECT_EQ(code & 15, f.want);
  EXPECT_TRUE(code & 32) << "destination";
}

// The first event in file order decides: a write error before the point where
// the source ended fails the call, one after it is never reached.
TEST(SplitFiles, FirstFaultInFileOrderDecides) {
  ScratchDir scratch;
  GenerateBoth();
  for (bool expanded : {false, true}) {
    SCOPED_TRACE(expanded ? "expanded" : "block");
    // Expanded output is some 25 to 50 times the source.
    const int64_t scale = expanded ? 25 : 1;
    const Fault faults[] = {
        {expanded, 300000 * scale, 0, false, 3},
        {expanded, 0, 300000, false, 0},
        {expanded, 300000 * scale, 700000, false, 3},
        {expanded, 700000 * (expanded ? 60 : 1), 300000, false, 0},
        {expanded, 0, 0, true, 2},
    };
    for (const Fault& f : faults) {
      SCOPED_TRACE("write limit " + std::to_string(f.write_limit) + " read limit " + std::to_string(f.read_limit) +
                   (f.read_error ? " read error" : ""));
      WriteFile("plain", RandomBytes(1 << 20, 6));
      ExpectFault(f);
    }
  }
}

}  // namespace
}  // namespace tav::test
