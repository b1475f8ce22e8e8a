// SPDX-License-Identifier: MIT
// Key generation, with the key files removed before each call (as for the
// first generation in a directory) and overwriting existing ones.
#include <unistd.h>

#include "bench_common.hpp"
#include "tavsdk.h"

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
}

}  // namespace bench
