// SPDX-License-Identifier: MIT
// Throughput of the production engine next to the reference engine, for the
// string, block file and expanded file operations and key generation, and of
// the engine's paths on their own.
//
// The library reads and writes its key files in the current directory, so the
// program works in a private temporary directory that it removes at exit. The
// reference engine runs well under 1 MB/s; it is measured on smaller inputs with
// the same I/O around it (throughput does not depend on the size).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/fileio.hpp"
#include "engine/cipher.hpp"
#include "engine/setup.hpp"
#include "reference/reference_engine.hpp"
#include "tavsdk.h"

namespace {

using tav::Kind;
using tav::engine::Path;
using Bytes = std::vector<uint8_t>;
using FileOp = int (*)(const char*, const char*);

constexpr char kPassphrase[] = "bench passphrase";
constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;
constexpr size_t kStringSize = 8191;
constexpr size_t kFileSize = 64 * kMiB;
constexpr size_t kReferenceFileSize = 256 * kKiB;
constexpr size_t kEngineSize = 16 * kMiB;
constexpr size_t kReferenceEngineSize = 256 * kKiB;
constexpr size_t kExpandSize = 4 * kMiB;  // expands to roughly 85 to 200 MB
constexpr size_t kIoBlock = 64 * kKiB;
// The fastest getrandom chunk measured here: smaller chunks cost more system
// calls, and larger ones fall out of the cache between getrandom and write.
constexpr size_t kRandomChunk = 256 * kKiB;
// When the encoder has not produced a file yet, the baseline copies this
// multiple of kExpandSize, the middle of the expansion range.
constexpr size_t kTypicalExpansion = 34;

constexpr char kOut[] = "out.dat";

struct Names {
  const char* plain;      // kFileSize bytes
  const char* small;      // kReferenceFileSize bytes
  const char* expand;     // kExpandSize bytes
  const char* expanded;   // the last expanded encryption of `expand`
};
constexpr Names kTextFiles = {"plain.txt", "small.txt", "expand.txt", "expanded.txt"};
constexpr Names kBinaryFiles = {"plain.bin", "small.bin", "expand.bin", "expanded.bin"};
const Names& FilesOf(Kind kind) { return kind == Kind::text ? kTextFiles : kBinaryFiles; }

std::string g_dir;
std::string g_text_string;    // kStringSize text symbols
std::string g_binary_string;  // kStringSize bytes 1..255: the string operations stop at a 0 byte
Bytes g_text_data;            // kEngineSize text symbols
Bytes g_binary_data;          // kEngineSize bytes
int64_t g_expanded_size = 0;  // size of the last binary expanded file

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "tavsdk_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

// Deterministic content. Text data holds alphabet symbols only, so that every
// byte goes through the wheels rather than passing through unchanged.
Bytes MakeData(Kind kind, size_t n, uint64_t seed, bool nonzero = false) {
  Bytes data(n);
  uint64_t x = seed;
  for (uint8_t& b : data) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const uint32_t v = static_cast<uint32_t>(x >> 32);
    if (kind == Kind::text) {
      b = tav::kTextAlphabet[v % tav::kTextSize];
    } else {
      b = static_cast<uint8_t>(nonzero ? 1 + v % 255 : v);
    }
  }
  return data;
}

void WriteFile(const char* path, const Bytes& data) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || !tav::io::WriteAll(fd, data.data(), data.size()) || close(fd) != 0) Fail(path);
}

int64_t FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void SkipWithStatus(benchmark::State& state, int status) {
  const std::string message = "status " + std::to_string(status) + ": " + cmd;
  state.SkipWithError(message.c_str());
}

// Removes the output of one iteration outside the timed region and returns
// its size (-1 when there was none).
int64_t TakeOutput(benchmark::State& state) {
  state.PauseTiming();
  const int64_t written = FileSize(kOut);
  unlink(kOut);
  state.ResumeTiming();
  return written;
}

const char* PathName(Path path) {
  constexpr const char* kNames[] = {"portable", "avx2", "avx512", "neon"};
  return kNames[static_cast<int>(path)];
}

// ---- Setup and cleanup ------------------------------------------------------

void RemoveWorkDir() {
  if (g_dir.empty()) return;
  TavShutdown();  // overwrites and removes the key files
  if (DIR* dir = opendir(g_dir.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        unlinkat(dirfd(dir), entry->d_name, 0);
      }
    }
    closedir(dir);
  }
  if (chdir("/") != 0 || rmdir(g_dir.c_str()) != 0) {
    std::fprintf(stderr, "tavsdk_bench: could not remove %s\n", g_dir.c_str());
  }
  g_dir.clear();
}

void SetUp() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/tavsdk-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
  g_dir = pattern;
  std::atexit(RemoveWorkDir);
  if (chdir(g_dir.c_str()) != 0) Fail("chdir");

  if (TavGenTextKeys(kPassphrase) != 0 || TavGenBinaryKeys(kPassphrase) != 0) {
    std::fprintf(stderr, "tavsdk_bench: key generation failed\n");
    std::exit(1);
  }

  const Bytes text_string = MakeData(Kind::text, kStringSize, 1);
  const Bytes binary_string = MakeData(Kind::binary, kStringSize, 2, true);
  g_text_string.assign(text_string.begin(), text_string.end());
  g_binary_string.assign(binary_string.begin(), binary_string.end());
  g_text_data = MakeData(Kind::text, kEngineSize, 3);
  g_binary_data = MakeData(Kind::binary, kEngineSize, 4);

  // Written once and read back by every row, so they stay in the page cache.
  for (Kind kind : {Kind::text, Kind::binary}) {
    const Names& f = FilesOf(kind);
    const uint64_t seed = kind == Kind::text ? 5 : 6;
    WriteFile(f.plain, MakeData(kind, kFileSize, seed));
    WriteFile(f.small, MakeData(kind, kReferenceFileSize, seed + 10));
    WriteFile(f.expand, MakeData(kind, kExpandSize, seed + 20));
  }
}

// ---- Key generation ---------------------------------------------------------

// With `fresh`, the alphabet's key files are removed before each call, as for
// the first generation in a directory. Otherwise each call replaces existing
// files, which some file systems flush to disk on close after a truncation.
void KeyGeneration(benchmark::State& state, int (*generate)(const char*), Kind kind, bool fresh) {
  const char* const text_files[] = {"k1.txt", "k2.txt", "k3.txt", "k4.txt", "k5.txt", "k6.dat"};
  const char* const binary_files[] = {"k1.bin", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat"};
  for (auto _ : state) {
    if (fresh) {
      state.PauseTiming();
      for (const char* name : kind == Kind::text ? text_files : binary_files) unlink(name);
      state.ResumeTiming();
    }
    const int status = generate(kPassphrase);
    if (status != 0) {
      SkipWithStatus(state, status);
      break;
    }
  }
}

// ---- String operations ------------------------------------------------------

void ProductionString(benchmark::State& state, char* (*op)(char*), Kind kind) {
  // The operations copy the input and leave it alone when they succeed.
  std::string input = kind == Kind::text ? g_text_string : g_binary_string;
  for (auto _ : state) {
    char* result = op(input.data());
    if (result != OutString) {
      state.SkipWithError("string operation failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStringSize));
}

// The reference engine over the first `size` bytes of `source`, set up afresh
// for every run as each operation does.
void ReferenceRun(benchmark::State& state, Kind kind, bool decrypt, const uint8_t* source, size_t size) {
  Bytes data(source, source + size);
  for (auto _ : state) {
    if (!tav::PrepareCipher(kind)) {
      state.SkipWithError("PrepareCipher failed");
      break;
    }
    if (decrypt) {
      tav::reference::Decrypt(data.data(), data.size());
    } else {
      tav::reference::Encrypt(data.data(), data.size());
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void ReferenceString(benchmark::State& state, Kind kind, bool decrypt) {
  const std::string& input = kind == Kind::text ? g_text_string : g_binary_string;
  ReferenceRun(state, kind, decrypt, reinterpret_cast<const uint8_t*>(input.data()), kStringSize);
}

// ---- Engine paths -----------------------------------------------------------

void ProductionEngine(benchmark::State& state, Kind kind, bool decrypt, Path path) {
  if (!tav::engine::PathAvailable(path)) {
    state.SkipWithError((std::string(PathName(path)) + " path not available on this CPU").c_str());
    return;
  }
  Bytes data = kind == Kind::text ? g_text_data : g_binary_data;
  auto c = std::make_unique<tav::engine::Cipher>();
  for (auto _ : state) {
    if (!tav::PrepareCipher(kind)) {
      state.SkipWithError("PrepareCipher failed");
      break;
    }
    tav::engine::CipherInit(*c, kind);
    tav::engine::CipherTransform(*c, data.data(), data.size(), decrypt, path);
    benchmark::ClobberMemory();
  }
  tav::engine::CipherWipe(*c);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// The fixed cost of every string and file operation before its first byte:
// loading the key files and building the tables.
void EngineSetup(benchmark::State& state, Kind kind) {
  auto c = std::make_unique<tav::engine::Cipher>();
  for (auto _ : state) {
    if (!tav::PrepareCipher(kind)) {
      state.SkipWithError("PrepareCipher failed");
      break;
    }
    tav::engine::CipherInit(*c, kind);
    benchmark::ClobberMemory();
  }
  tav::engine::CipherWipe(*c);
}

void ReferenceEngine(benchmark::State& state, Kind kind, bool decrypt) {
  const Bytes& source = kind == Kind::text ? g_text_data : g_binary_data;
  ReferenceRun(state, kind, decrypt, source.data(), kReferenceEngineSize);
}

// ---- Block files --------------------------------------------------------------

// Decryption reads the plain file: any stream of alphabet symbols decrypts at
// the same speed, and the rows then do not depend on the encryption working.
void ProductionFile(benchmark::State& state, FileOp op, const char* source) {
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
  if (!tav::PrepareCipher(kind)) return false;
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

void ReferenceFile(benchmark::State& state, Kind kind, bool decrypt) {
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

// ---- Expanded files -----------------------------------------------------------
// Rates count expanded bytes (the encoder's output, the decoder's input); the
// counter "plain" gives the rate in plain bytes.

void ExpandEncode(benchmark::State& state, FileOp op, Kind kind) {
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

void ExpandDecode(benchmark::State& state, FileOp decode, FileOp encode, Kind kind) {
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
void GetrandomCopy(benchmark::State& state) {
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

// ---- Registration -------------------------------------------------------------

template <class Fn>
benchmark::internal::Benchmark* Add(const std::string& name, Fn&& fn) {
  return benchmark::RegisterBenchmark(name.c_str(), std::forward<Fn>(fn))->UseRealTime();
}

void RegisterAll() {
  using benchmark::kMicrosecond;
  using benchmark::kMillisecond;
  using benchmark::State;

  for (bool fresh : {true, false}) {
    const std::string variant = fresh ? "/production" : "/overwrite";
    Add("TavGenTextKeys" + variant, [=](State& s) { KeyGeneration(s, TavGenTextKeys, Kind::text, fresh); })
        ->Unit(kMicrosecond)->MinTime(0.3);
    Add("TavGenBinaryKeys" + variant, [=](State& s) { KeyGeneration(s, TavGenBinaryKeys, Kind::binary, fresh); })
        ->Unit(kMicrosecond)->MinTime(0.3);
  }

  struct StringOp {
    const char* name;
    char* (*op)(char*);
    Kind kind;
    bool decrypt;
  };
  for (const StringOp& o : {StringOp{"TavTEnc", TavTEnc, Kind::text, false}, StringOp{"TavTDec", TavTDec, Kind::text, true},
                            StringOp{"TavBEnc", TavBEnc, Kind::binary, false},
                            StringOp{"TavBDec", TavBDec, Kind::binary, true}}) {
    Add(std::string(o.name) + "/reference", [o](State& s) { ReferenceString(s, o.kind, o.decrypt); })
        ->Unit(kMicrosecond)->Iterations(20);
    Add(std::string(o.name) + "/production", [o](State& s) { ProductionString(s, o.op, o.kind); })
        ->Unit(kMicrosecond)->MinTime(0.3);
  }

  for (Kind kind : {Kind::text, Kind::binary}) {
    Add(std::string("CipherSetup:") + (kind == Kind::text ? "text" : "binary") + "/production",
        [=](State& s) { EngineSetup(s, kind); })
        ->Unit(kMicrosecond)->MinTime(0.3);
  }
  for (Kind kind : {Kind::text, Kind::binary}) {
    for (bool decrypt : {false, true}) {
      const std::string name = std::string("CipherTransform:") + (kind == Kind::text ? "text" : "binary") +
                               (decrypt ? "-dec" : "-enc");
      Add(name + "/reference", [=](State& s) { ReferenceEngine(s, kind, decrypt); })
          ->Unit(kMillisecond)->Iterations(2);
      for (Path path : {Path::portable, Path::avx2, Path::avx512, Path::neon}) {
        if (!tav::engine::PathAvailable(path)) continue;
        Add(name + "/" + PathName(path), [=](State& s) { ProductionEngine(s, kind, decrypt, path); })
            ->Unit(kMillisecond)->MinTime(0.5)->Repetitions(3);
      }
    }
  }

  struct FileRow {
    const char* name;
    FileOp op;
    Kind kind;
    bool decrypt;
  };
  for (const FileRow& o : {FileRow{"TavTextFileEnc", TavTextFileEnc, Kind::text, false},
                           FileRow{"TavTextFileDec", TavTextFileDec, Kind::text, true},
                           FileRow{"TavBinaryFileEnc", TavBinaryFileEnc, Kind::binary, false},
                           FileRow{"TavBinaryFileDec", TavBinaryFileDec, Kind::binary, true}}) {
    Add(std::string(o.name) + "/reference", [o](State& s) { ReferenceFile(s, o.kind, o.decrypt); })
        ->Unit(kMillisecond)->Iterations(2);
    Add(std::string(o.name) + "/production", [o](State& s) { ProductionFile(s, o.op, FilesOf(o.kind).plain); })
        ->Unit(kMillisecond)->Iterations(5)->Repetitions(3);
  }

  Add("TavTExpandFileEnc/production", [](State& s) { ExpandEncode(s, TavTExpandFileEnc, Kind::text); })
      ->Unit(kMillisecond)->Iterations(3);
  Add("TavTExpandFileDec/production",
      [](State& s) { ExpandDecode(s, TavTExpandFileDec, TavTExpandFileEnc, Kind::text); })
      ->Unit(kMillisecond)->Iterations(3);
  Add("TavBExpandFileEnc/production", [](State& s) { ExpandEncode(s, TavBExpandFileEnc, Kind::binary); })
      ->Unit(kMillisecond)->Iterations(3);
  Add("TavBExpandFileDec/production",
      [](State& s) { ExpandDecode(s, TavBExpandFileDec, TavBExpandFileEnc, Kind::binary); })
      ->Unit(kMillisecond)->Iterations(3);
  Add("getrandom-copy/baseline", GetrandomCopy)->Unit(kMillisecond)->Iterations(3);
}

// ---- Summary ------------------------------------------------------------------

struct Result {
  double rate = 0;     // bytes per second, 0 when not reported
  double seconds = 0;  // real time per iteration
};

// The console output, plus a record of every successful row for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
  using ConsoleReporter::ConsoleReporter;
  std::map<std::string, Result> results;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // Repeated rows keep their best repetition: on a virtual machine the
      // slow ones measure the neighbours, not the code.
      Result& r = results[run.run_name.function_name];
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) r.rate = std::max(r.rate, rate->second.value);
      const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      r.seconds = r.seconds == 0 ? seconds : std::min(r.seconds, seconds);
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

const Result* Find(const std::map<std::string, Result>& results, const std::string& row) {
  const auto it = results.find(row);
  return it == results.end() ? nullptr : &it->second;
}

void Check(bool ok, const std::string& what) { std::printf("  [%s] %s\n", ok ? " ok " : "MISS", what.c_str()); }

void PrintSummary(const std::map<std::string, Result>& results) {
  constexpr double kMB = 1e6;
  std::printf("\nSummary (MB/s = 10^6 bytes/s; production rows use the %s path)\n",
              PathName(tav::engine::ActivePath()));
  std::printf("%-40s %14s %15s %10s\n", "operation", "reference MB/s", "production MB/s", "speed-up");
  const char* ops[] = {"TavTEnc", "TavTDec", "TavBEnc", "TavBDec",
                       "CipherTransform:text-enc", "CipherTransform:text-dec",
                       "CipherTransform:binary-enc", "CipherTransform:binary-dec",
                       "TavTextFileEnc", "TavTextFileDec", "TavBinaryFileEnc", "TavBinaryFileDec"};
  for (const char* op : ops) {
    const Result* reference = Find(results, std::string(op) + "/reference");
    for (const char* variant : {"production", "portable", "avx512"}) {
      const Result* production = Find(results, std::string(op) + "/" + variant);
      if (production == nullptr) continue;
      const std::string label = std::string(op) + (std::strcmp(variant, "production") == 0 ? "" : std::string(" [") + variant + "]");
      if (reference != nullptr && reference->rate > 0) {
        std::printf("%-40s %14.2f %15.1f %9.0fx\n", label.c_str(), reference->rate / kMB, production->rate / kMB,
                    production->rate / reference->rate);
      } else {
        std::printf("%-40s %14s %15.1f %10s\n", label.c_str(), "-", production->rate / kMB, "-");
      }
    }
  }

  std::printf("\nTime per call\n");
  for (const char* row : {"TavTEnc/production", "TavTDec/production", "TavBEnc/production", "TavBDec/production",
                          "CipherSetup:text/production", "CipherSetup:binary/production",
                          "TavGenTextKeys/production", "TavGenBinaryKeys/production", "TavGenTextKeys/overwrite",
                          "TavGenBinaryKeys/overwrite"}) {
    if (const Result* r = Find(results, row)) std::printf("  %-28s %10.1f us\n", row, r->seconds * 1e6);
  }

  std::printf("\nExpanded files (expanded bytes per second)\n");
  const Result* baseline = Find(results, "getrandom-copy/baseline");
  if (baseline != nullptr) std::printf("  %-20s %10.1f MB/s\n", "getrandom copy", baseline->rate / kMB);
  for (const char* op : {"TavTExpandFileEnc", "TavTExpandFileDec", "TavBExpandFileEnc", "TavBExpandFileDec"}) {
    if (const Result* r = Find(results, std::string(op) + "/production")) {
      std::printf("  %-20s %10.1f MB/s\n", op, r->rate / kMB);
    }
  }

  std::printf("\nTargets\n");
  if (const Result* r = Find(results, "TavTEnc/production")) {
    Check(r->seconds < 50e-6, "TavTEnc on 8191 bytes under 50 us");
  }
  for (const char* op : {"TavGenTextKeys", "TavGenBinaryKeys"}) {
    if (const Result* r = Find(results, std::string(op) + "/production")) Check(r->seconds < 1e-3, std::string(op) + " under 1 ms");
  }
  for (const char* op : {"TavTextFileEnc", "TavTextFileDec", "TavBinaryFileEnc", "TavBinaryFileDec"}) {
    const Result* reference = Find(results, std::string(op) + "/reference");
    const Result* production = Find(results, std::string(op) + "/production");
    if (reference != nullptr && production != nullptr && reference->rate > 0) {
      Check(production->rate >= 100 * reference->rate, std::string(op) + " at least 100x the reference");
    }
  }
  for (const char* op : {"CipherTransform:binary-enc", "CipherTransform:binary-dec"}) {
    if (const Result* r = Find(results, std::string(op) + "/avx512")) {
      Check(r->rate >= 500 * kMB, std::string(op) + " avx512 at least 500 MB/s");
    }
  }
  for (const char* op : {"CipherTransform:text-enc", "CipherTransform:text-dec", "CipherTransform:binary-enc",
                         "CipherTransform:binary-dec"}) {
    if (const Result* r = Find(results, std::string(op) + "/portable")) {
      Check(r->rate >= 50 * kMB, std::string(op) + " portable at least 50 MB/s");
    }
  }
  const bool simd = tav::engine::ActivePath() == Path::avx512;
  for (const char* op : {"TavBinaryFileEnc", "TavBinaryFileDec"}) {
    if (const Result* r = Find(results, std::string(op) + "/production")) {
      Check(r->rate >= (simd ? 500 : 50) * kMB, std::string(op) + (simd ? " at least 500 MB/s" : " at least 50 MB/s (portable)"));
    }
  }
  for (const char* op : {"TavTextFileEnc", "TavTextFileDec", "TavBinaryFileEnc", "TavBinaryFileDec"}) {
    if (const Result* r = Find(results, std::string(op) + "/portable")) {
      Check(r->rate >= 50 * kMB, std::string(op) + " on the portable path at least 50 MB/s");
    }
  }
  for (const char* op : {"TavTExpandFileEnc", "TavBExpandFileEnc"}) {
    const Result* r = Find(results, std::string(op) + "/production");
    if (r != nullptr && baseline != nullptr) {
      Check(r->rate >= 0.5 * baseline->rate, std::string(op) + " output at least half the getrandom copy rate");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SetUp();
  RegisterAll();
  benchmark::AddCustomContext("production path", PathName(tav::engine::ActivePath()));
  benchmark::AddCustomContext("work directory", g_dir);

  const auto options = isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                             : benchmark::ConsoleReporter::OO_Tabular;
  SummaryReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter.results);
  benchmark::Shutdown();
  RemoveWorkDir();
  return 0;
}
