// SPDX-License-Identifier: MIT
// Shared parts of the benchmark program: the work directory, the generated
// inputs, and small helpers for the rows.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/alphabet.hpp"
#include "engine/cipher.hpp"
#include "tavsdk.h"

namespace bench {

using tav::Kind;
using tav::engine::Path;
using Bytes = std::vector<uint8_t>;
using FileOp = int (*)(const char*, const char*);

inline constexpr char kPassphrase[] = "bench passphrase";
inline constexpr size_t kKiB = 1024;
inline constexpr size_t kMiB = 1024 * kKiB;
inline constexpr size_t kStringSize = 8191;
inline constexpr size_t kFileSize = 64 * kMiB;
inline constexpr size_t kReferenceFileSize = 256 * kKiB;
inline constexpr size_t kEngineSize = 16 * kMiB;
inline constexpr size_t kReferenceEngineSize = 256 * kKiB;
inline constexpr size_t kExpandSize = 4 * kMiB;  // expands to roughly 85 to 200 MB
inline constexpr char kOut[] = "out.dat";

struct Names {
  const char* plain;     // kFileSize bytes
  const char* small;     // kReferenceFileSize bytes
  const char* expand;    // kExpandSize bytes
  const char* expanded;  // the last expanded encryption of `expand`
};
const Names& FilesOf(Kind kind);

// Inputs made once at start-up.
extern std::string g_text_string;    // kStringSize text symbols
extern std::string g_binary_string;  // kStringSize bytes 1..255: the string operations stop at a 0 byte
extern Bytes g_text_data;            // kEngineSize text symbols
extern Bytes g_binary_data;          // kEngineSize bytes
extern int64_t g_expanded_size;      // size of the last binary expanded file
extern bool g_reference;             // register the reference engine's rows

// Key sets from kPassphrase, the same keys the key files in the work
// directory hold.
const tav_keys& KeysOf(Kind kind);

[[noreturn]] void Fail(const char* what);

// Creates the private work directory, generates keys and writes the inputs.
void SetUp();
void RemoveWorkDir();
const std::string& WorkDir();

int64_t FileSize(const char* path);
// A failed process-wide call (status and cmd) or core call (its status).
void SkipWithStatus(benchmark::State& state, int status);

// A process-wide string operation on `input`, over and over; the input is left
// alone when the operation succeeds.
void StringLoop(benchmark::State& state, char* (*op)(char*), std::string input);
void SkipWithCoreStatus(benchmark::State& state, tav_status status);

// Removes the output of one iteration outside the timed region and returns
// its size (-1 when there was none).
int64_t TakeOutput(benchmark::State& state);

const char* PathName(Path path);
const char* KindName(Kind kind);

// The reference engine over the first `size` bytes of `source`, set up afresh
// from the key set for every run, as each operation sets up its cipher.
void ReferenceRun(benchmark::State& state, Kind kind, bool decrypt, const uint8_t* source, size_t size);

template <class Fn>
benchmark::internal::Benchmark* Add(const std::string& name, Fn&& fn) {
  return benchmark::RegisterBenchmark(name.c_str(), std::forward<Fn>(fn))->UseRealTime();
}

// Two rows that do the same work, compared in the summary: how many times
// faster `row` is than `base`.
void Compare(const std::string& row, const std::string& base);
struct Comparison {
  std::string row, base;
};
const std::vector<Comparison>& Comparisons();

// "/" and the engine path this process runs.
std::string PathSuffix();

// Sets TAVSDK_THREADS for the rows of one worker count; 0 means all CPUs.
class Workers {
public:
  explicit Workers(int count);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
};
// "/threads:N", or "/threads:all(N)" for 0.
std::string WorkersName(int workers);

// Each subject registers its rows.
void RegisterKeygen();
void RegisterEngine();
void RegisterFiles();
void RegisterCore();

}  // namespace bench
