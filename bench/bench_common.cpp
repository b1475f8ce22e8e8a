// SPDX-License-Identifier: MIT
#include "bench_common.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fileio.hpp"
#include "reference/reference_engine.hpp"

namespace bench {

namespace {

constexpr Names kTextFiles = {"plain.txt", "small.txt", "expand.txt", "expanded.txt"};
constexpr Names kBinaryFiles = {"plain.bin", "small.bin", "expand.bin", "expanded.bin"};

std::string g_dir;
tav_keys* g_text_keys = nullptr;
tav_keys* g_binary_keys = nullptr;
std::vector<Comparison> g_comparisons;

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

}  // namespace

std::string g_text_string;
std::string g_binary_string;
Bytes g_text_data;
Bytes g_binary_data;
int64_t g_expanded_size = 0;
bool g_reference = true;

const Names& FilesOf(Kind kind) { return kind == Kind::text ? kTextFiles : kBinaryFiles; }

const tav_keys& KeysOf(Kind kind) { return *(kind == Kind::text ? g_text_keys : g_binary_keys); }

void Compare(const std::string& row, const std::string& base) { g_comparisons.push_back({row, base}); }

const std::vector<Comparison>& Comparisons() { return g_comparisons; }

std::string PathSuffix() { return std::string("/") + PathName(tav::engine::ActivePath()); }

Workers::Workers(int count) {
  if (count > 0) {
    setenv("TAVSDK_THREADS", std::to_string(count).c_str(), 1);
  } else {
    unsetenv("TAVSDK_THREADS");
  }
}

Workers::~Workers() { unsetenv("TAVSDK_THREADS"); }

std::string WorkersName(int workers) {
  if (workers > 0) return "/threads:" + std::to_string(workers);
  cpu_set_t set;
  const int all = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  return "/threads:all(" + std::to_string(all) + ")";
}

void Fail(const char* what) {
  std::fprintf(stderr, "tavsdk_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

int64_t FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void StringLoop(benchmark::State& state, char* (*op)(char*), std::string input) {
  for (auto _ : state) {
    char* result = op(input.data());
    if (result != OutString) {
      state.SkipWithError("string operation failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void SkipWithStatus(benchmark::State& state, int status) {
  const std::string message = "status " + std::to_string(status) + ": " + cmd;
  state.SkipWithError(message.c_str());
}

void SkipWithCoreStatus(benchmark::State& state, tav_status status) {
  const std::string message = "status " + std::to_string(status) + ": " + tav_strerror(status);
  state.SkipWithError(message.c_str());
}

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

const char* KindName(Kind kind) { return kind == Kind::text ? "text" : "binary"; }

void ReferenceRun(benchmark::State& state, Kind kind, bool decrypt, const uint8_t* source, size_t size) {
  Bytes data(source, source + size);
  for (auto _ : state) {
    tav::reference::Prepare(KeysOf(kind));
    if (decrypt) {
      tav::reference::Decrypt(data.data(), data.size());
    } else {
      tav::reference::Encrypt(data.data(), data.size());
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

const std::string& WorkDir() { return g_dir; }

void RemoveWorkDir() {
  if (g_dir.empty()) return;
  TavShutdown();  // overwrites and removes the key files
  tav_keys_free(g_text_keys);
  tav_keys_free(g_binary_keys);
  g_text_keys = g_binary_keys = nullptr;
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
  if (tav_keys_new(&g_text_keys, TAV_TEXT, kPassphrase, sizeof kPassphrase - 1) != TAV_OK ||
      tav_keys_new(&g_binary_keys, TAV_BINARY, kPassphrase, sizeof kPassphrase - 1) != TAV_OK) {
    std::fprintf(stderr, "tavsdk_bench: tav_keys_new failed\n");
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

}  // namespace bench
