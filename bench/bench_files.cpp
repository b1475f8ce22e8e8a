// SPDX-License-Identifier: MIT
// Block and expanded file operations on the path this process runs
// (TAVSDK_CPU), per worker count (TAVSDK_THREADS, read at every call).
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "bench_common.hpp"
#include "common/fileio.hpp"
#include "reference/reference_engine.hpp"
#include "support.hpp"

namespace bench {
namespace {

using benchmark::State;

constexpr size_t kIoBlock = 64 * kKiB;
// The fastest getrandom chunk measured here: smaller chunks cost more system
// calls, and larger ones fall out of the cache between getrandom and write.
constexpr size_t kRandomChunk = 256 * kKiB;
// When the encoder has not produced a file yet, the baseline copies this
// multiple of kExpandSize, the middle of the expansion range.
constexpr size_t kTypicalExpansion = 34;

// Decryption reads the plain file: any stream of alphabet symbols decrypts at
// the same speed, and the rows then do not depend on the encryption working.
void ProductionFile(State& state, FileOp op, const char* source, int workers) {
  const Workers set(workers);
  const int64_t size = FileSize(source);
  for (auto _ : state) {
    const int status = op(source, kOut);
    const int64_t written = TakeOutput(state);
    if (status != 0) {
      SkipWithStatus(state, status);
      break;
    }
    if (written != size) {
      state.SkipWithError("destination size differs from the source");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * size);
}

// The reference engine with the I/O of a block file operation around it.
bool ReferenceFileRun(Kind kind, bool decrypt, const char* source, const char* destination) {
  tav::reference::Prepare(KeysOf(kind));
  const int in = open(source, O_RDONLY | O_CLOEXEC);
  const int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = in >= 0 && out >= 0;
  static uint8_t buffer[kIoBlock];
  while (ok) {
    const int64_t got = tav::io::ReadFull(in, buffer, sizeof buffer);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (decrypt) {
      tav::reference::Decrypt(buffer, static_cast<size_t>(got));
    } else {
      tav::reference::Encrypt(buffer, static_cast<size_t>(got));
    }
    ok = tav::io::WriteAll(out, buffer, static_cast<size_t>(got));
  }
  if (in >= 0) close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  return ok;
}

void ReferenceFile(State& state, Kind kind, bool decrypt) {
  const char* source = FilesOf(kind).small;
  for (auto _ : state) {
    const bool ok = ReferenceFileRun(kind, decrypt, source, kOut);
    TakeOutput(state);
    if (!ok) {
      state.SkipWithError("reference file run failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kReferenceFileSize));
}

// Rates of expanded files count expanded bytes (the encoder's output, the
// decoder's input); the counter "plain" gives the rate in plain bytes.
void ExpandEncode(State& state, FileOp op, Kind kind, int workers) {
  const Workers set(workers);
  const Names& f = FilesOf(kind);
  int64_t expanded = 0;
  for (auto _ : state) {
    const int status = op(f.expand, kOut);
    state.PauseTiming();
    const int64_t written = FileSize(kOut);
    // Kept for the decoder row. Unlinking first avoids a rename over an
    // existing file, which some file systems answer with an early flush.
    unlink(f.expanded);
    if (status != 0 || rename(kOut, f.expanded) != 0) unlink(kOut);
    state.ResumeTiming();
    if (status != 0) {
      SkipWithStatus(state, status);
      break;
    }
    if (written < static_cast<int64_t>(2 * kExpandSize)) {
      state.SkipWithError("expanded file is too short");
      break;
    }
    expanded += written;
    if (kind == Kind::binary) g_expanded_size = written;
  }
  state.SetBytesProcessed(expanded);
  state.counters["plain"] = benchmark::Counter(static_cast<double>(state.iterations() * kExpandSize),
                                               benchmark::Counter::kIsRate);
}

void ExpandDecode(State& state, FileOp decode, FileOp encode, Kind kind, int workers) {
  const Workers set(workers);
  const Names& f = FilesOf(kind);
  if (FileSize(f.expanded) < 0) {
    const int status = encode(f.expand, f.expanded);
    if (status != 0) {
      SkipWithStatus(state, status);
      return;
    }
  }
  const int64_t size = FileSize(f.expanded);
  for (auto _ : state) {
    const int status = decode(f.expanded, kOut);
    const int64_t written = TakeOutput(state);
    if (status != 0) {
      SkipWithStatus(state, status);
      break;
    }
    if (written != static_cast<int64_t>(kExpandSize)) {
      state.SkipWithError("decoded file size differs from the plain file");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * size);
  state.counters["plain"] = benchmark::Counter(static_cast<double>(state.iterations() * kExpandSize),
                                               benchmark::Counter::kIsRate);
}

// What the expanded encoder is measured against: the same number of bytes as
// its binary output, taken from getrandom and written to a file.
void GetrandomCopy(State& state) {
  const size_t total = g_expanded_size > 0 ? static_cast<size_t>(g_expanded_size) : kTypicalExpansion * kExpandSize;
  static uint8_t buffer[kRandomChunk];
  for (auto _ : state) {
    const int fd = open(kOut, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (size_t left = total; ok && left > 0;) {
      const size_t want = left < sizeof buffer ? left : sizeof buffer;
      size_t have = 0;
      while (ok && have < want) {
        const ssize_t got = getrandom(buffer + have, want - have, 0);
        if (got < 0 && errno == EINTR) continue;
        ok = got > 0;
        if (ok) have += static_cast<size_t>(got);
      }
      ok = ok && tav::io::WriteAll(fd, buffer, want);
      left -= want;
    }
    if (fd >= 0 && close(fd) != 0) ok = false;
    TakeOutput(state);
    if (!ok) {
      state.SkipWithError("getrandom or write failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}

}  // namespace

void RegisterFiles() {
  using benchmark::kMillisecond;
  const std::string path = PathSuffix();
  constexpr int kWorkerCounts[] = {1, 2, 0};

  for (const tav::test::NamedFileOp& o : tav::test::kFileOps) {
    if (o.expanded) continue;
    const std::string name = std::string("Tav") + o.name;
    if (g_reference) {
      Add(name + "/reference", [o](State& s) { ReferenceFile(s, o.kind, o.decrypts); })
          ->Unit(kMillisecond)->Iterations(2);
    }
    for (int workers : kWorkerCounts) {
      Add(name + path + WorkersName(workers),
          [o, workers](State& s) { ProductionFile(s, o.run, FilesOf(o.kind).plain, workers); })
          ->Unit(kMillisecond)->Iterations(3)->Repetitions(3);
    }
  }

  for (const Kind kind : {Kind::text, Kind::binary}) {
    const tav::test::FileOpPair ops = tav::test::FileOpsOf(kind, true);
    const std::string name = kind == Kind::text ? "TavTExpandFile" : "TavBExpandFile";
    for (int workers : kWorkerCounts) {
      Add(name + "Enc" + path + WorkersName(workers),
          [ops, kind, workers](State& s) { ExpandEncode(s, ops.enc, kind, workers); })
          ->Unit(kMillisecond)->Iterations(3);
      Add(name + "Dec" + path + WorkersName(workers),
          [ops, kind, workers](State& s) { ExpandDecode(s, ops.dec, ops.enc, kind, workers); })
          ->Unit(kMillisecond)->Iterations(3);
    }
  }
  Add("getrandom-copy/baseline", GetrandomCopy)->Unit(kMillisecond)->Iterations(3);
}

}  // namespace bench
