// SPDX-License-Identifier: MIT
// Key generation, with the key files removed before each call (as for the
// first generation in a directory) and overwriting existing ones; next to it
// a key set made in memory, the derivation alone and the writing alone.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "bench_common.hpp"
#include "keygen/keygen.hpp"

namespace bench {
namespace {

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

void KeysNew(benchmark::State& state, Kind kind) {
  for (auto _ : state) {
    tav_keys* keys = nullptr;
    const tav_status status =
        tav_keys_new(&keys, static_cast<tav_alphabet>(kind), kPassphrase, sizeof kPassphrase - 1);
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      break;
    }
    tav_keys_free(keys);
  }
}

// The key files' contents and the master schedule, without the tables a key
// set builds from them.
void DeriveOnly(benchmark::State& state, Kind kind) {
  auto files = std::make_unique<tav::KeyFiles>();
  tav::Schedule schedule{};
  for (auto _ : state) {
    if (!tav::DeriveKeys(kind, reinterpret_cast<const uint8_t*>(kPassphrase), sizeof kPassphrase - 1, *files,
                         schedule)) {
      state.SkipWithError("DeriveKeys failed");
      break;
    }
    benchmark::ClobberMemory();
  }
}

void KeysSave(benchmark::State& state, Kind kind) {
  for (auto _ : state) {
    int error = 0;
    const tav_status status = tav_keys_save(&KeysOf(kind), AT_FDCWD, &error);
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      break;
    }
  }
}

}  // namespace

void RegisterKeygen() {
  for (bool fresh : {true, false}) {
    const std::string variant = fresh ? "/fresh" : "/overwrite";
    Add("TavGenTextKeys" + variant, [=](benchmark::State& s) { KeyGeneration(s, TavGenTextKeys, Kind::text, fresh); })
        ->Unit(benchmark::kMicrosecond)->MinTime(0.3);
    Add("TavGenBinaryKeys" + variant,
        [=](benchmark::State& s) { KeyGeneration(s, TavGenBinaryKeys, Kind::binary, fresh); })
        ->Unit(benchmark::kMicrosecond)->MinTime(0.3);
  }
  for (Kind kind : {Kind::text, Kind::binary}) {
    const std::string alphabet = KindName(kind);
    const std::string generate = (kind == Kind::text ? "TavGenTextKeys" : "TavGenBinaryKeys") + std::string("/overwrite");
    Add("tav_keys_new:" + alphabet, [=](benchmark::State& s) { KeysNew(s, kind); })
        ->Unit(benchmark::kMicrosecond)->MinTime(0.3)->Repetitions(3);
    Add("DeriveKeys:" + alphabet, [=](benchmark::State& s) { DeriveOnly(s, kind); })
        ->Unit(benchmark::kMicrosecond)->MinTime(0.3)->Repetitions(3);
    Add("tav_keys_save:" + alphabet, [=](benchmark::State& s) { KeysSave(s, kind); })
        ->Unit(benchmark::kMicrosecond)->MinTime(0.3)->Repetitions(3);
    Compare("tav_keys_new:" + alphabet, generate);
    Compare("DeriveKeys:" + alphabet, generate);
  }
}

}  // namespace bench
