// SPDX-License-Identifier: MIT
// The engine on its own and through the string operations, on the path this
// process runs (TAVSDK_CPU), next to the reference engine.
#include <fcntl.h>

#include <memory>

#include "bench_common.hpp"
#include "keys/keyset.hpp"

namespace bench {
namespace {

using benchmark::State;

void ProductionString(State& state, char* (*op)(char*), Kind kind) {
  StringLoop(state, op, kind == Kind::text ? g_text_string : g_binary_string);
}

void ReferenceString(State& state, Kind kind, bool decrypt) {
  const std::string& input = kind == Kind::text ? g_text_string : g_binary_string;
  ReferenceRun(state, kind, decrypt, reinterpret_cast<const uint8_t*>(input.data()), kStringSize);
}

void ProductionEngine(State& state, Kind kind, bool decrypt) {
  Bytes data = kind == Kind::text ? g_text_data : g_binary_data;
  auto c = std::make_unique<tav::engine::Cipher>();
  for (auto _ : state) {
    tav::engine::CipherStart(*c, KeysOf(kind).tables, 0);
    if (decrypt) {
      tav::engine::CipherDecrypt(*c, data.data(), data.size());
    } else {
      tav::engine::CipherEncrypt(*c, data.data(), data.size());
    }
    benchmark::ClobberMemory();
  }
  tav::engine::CipherWipe(*c);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// The fixed cost of every process-wide string and file operation before its
// first byte: loading the key files and building the tables. A key set made
// once saves it.
void EngineSetup(State& state, Kind kind) {
  auto keys = std::make_unique<tav_keys>();
  auto c = std::make_unique<tav::engine::Cipher>();
  const tav::Schedule& schedule = KeysOf(kind).tables.schedule;
  for (auto _ : state) {
    int error = 0;
    if (tav::keys::LoadCipher(*keys, kind, AT_FDCWD, schedule, error) != tav::keys::Loaded::ok) {
      state.SkipWithError("LoadCipher failed");
      break;
    }
    tav::engine::CipherStart(*c, keys->tables, 0);
    benchmark::ClobberMemory();
  }
  tav::engine::CipherWipe(*c);
  tav::keys::Wipe(*keys);
}

void ReferenceEngine(State& state, Kind kind, bool decrypt) {
  const Bytes& source = kind == Kind::text ? g_text_data : g_binary_data;
  ReferenceRun(state, kind, decrypt, source.data(), kReferenceEngineSize);
}

}  // namespace

void RegisterEngine() {
  using benchmark::kMicrosecond;
  using benchmark::kMillisecond;
  const std::string path = PathSuffix();

  struct StringOp {
    const char* name;
    char* (*op)(char*);
    Kind kind;
    bool decrypt;
  };
  for (const StringOp& o : {StringOp{"TavTEnc", TavTEnc, Kind::text, false}, StringOp{"TavTDec", TavTDec, Kind::text, true},
                            StringOp{"TavBEnc", TavBEnc, Kind::binary, false},
                            StringOp{"TavBDec", TavBDec, Kind::binary, true}}) {
    if (g_reference) {
      Add(std::string(o.name) + "/reference", [o](State& s) { ReferenceString(s, o.kind, o.decrypt); })
          ->Unit(kMicrosecond)->Iterations(20);
    }
    Add(o.name + path, [o](State& s) { ProductionString(s, o.op, o.kind); })
        ->Unit(kMicrosecond)->MinTime(0.3)->Repetitions(3);
  }

  for (Kind kind : {Kind::text, Kind::binary}) {
    Add(std::string("CipherSetup:") + KindName(kind), [=](State& s) { EngineSetup(s, kind); })
        ->Unit(kMicrosecond)->MinTime(0.3);
  }
  for (Kind kind : {Kind::text, Kind::binary}) {
    for (bool decrypt : {false, true}) {
      const std::string name = std::string("CipherTransform:") + KindName(kind) + (decrypt ? "-dec" : "-enc");
      if (g_reference) {
        Add(name + "/reference", [=](State& s) { ReferenceEngine(s, kind, decrypt); })
            ->Unit(kMillisecond)->Iterations(2);
      }
      Add(name + path, [=](State& s) { ProductionEngine(s, kind, decrypt); })
          ->Unit(kMillisecond)->MinTime(0.5)->Repetitions(3);
    }
  }
}

}  // namespace bench
