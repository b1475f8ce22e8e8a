// SPDX-License-Identifier: MIT
// Every path of the production engine against the reference engine: both
// alphabets and directions, generated, hand-made and built-in stepping
// parameters, streams long enough for the master schedule to wrap, and streams
// split across calls or entered by skipping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <set>

#include <fcntl.h>

#include "engine/cipher.hpp"
#include "keys/keyset.hpp"
#include "legacy/state.hpp"
#include "reference/reference_engine.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

using engine::Path;

// What the CPU offers, asked independently of the library's own check.
bool CpuHas(Path path) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (path == Path::avx2) return __builtin_cpu_supports("avx2");
  if (path == Path::avx512) {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
  }
#elif defined(__aarch64__)
  if (path == Path::neon) return true;
#endif
  return path == Path::portable;
}

constexpr Path kAllPaths[] = {Path::portable, Path::avx2, Path::avx512, Path::neon};

std::vector<Path> Paths() {
  std::vector<Path> paths;
  for (Path path : kAllPaths) {
    if (engine::PathAvailable(path)) paths.push_back(path);
  }
  return paths;
}

const char* Name(Path path) {
  constexpr const char* kNames[] = {"portable", "avx2", "avx512", "neon"};
  return kNames[static_cast<int>(path)];
}

// The paths a test ran must be all that this CPU offers.
void ExpectEveryPathRan(const std::set<Path>& ran) {
  for (Path path : kAllPaths) {
    if (CpuHas(path)) {
      EXPECT_TRUE(ran.count(path)) << "the CPU has the " << Name(path) << " path but it did not run";
    }
  }
}

// Reports the first difference instead of dumping kilobytes.
testing::AssertionResult SameBytes(const Bytes& got, const Bytes& want) {
  if (got.size() != want.size())
    return testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i])
      return testing::AssertionFailure() << "first difference at byte " << i << " of " << got.size() << ": "
                                         << int(got[i]) << ", want " << int(want[i]);
  }
  return testing::AssertionSuccess();
}

std::string RandomPassphrase(uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(1 + rng() % 18, ' ');
  for (char& ch : s) ch = static_cast<char>(' ' + rng() % 95);
  return s;
}

void GenerateKeys(Kind kind, uint32_t seed) {
  const std::string passphrase = RandomPassphrase(seed);
  const int rc = kind == Kind::text ? TavGenTextKeys(passphrase.c_str()) : TavGenBinaryKeys(passphrase.c_str());
  ASSERT_EQ(rc, 0) << passphrase;
}

const char* Ext(Kind kind) { return kind == Kind::text ? "txt" : "bin"; }

// The keys of the current directory's key files, as an operation loads them,
// with the master schedule of the latest generation or one a test sets.
tav_keys keys;
Schedule schedule;

bool Load(Kind kind, bool latest_schedule = true) {
  if (latest_schedule) schedule = legacy::state.schedule;
  int error = 0;
  return keys::LoadCipher(keys, kind, AT_FDCWD, schedule, error) == keys::Loaded::ok;
}

// Symbols the master schedule takes to come back to its first entry.
// A dwell below 1 still lasts one symbol.
size_t ScheduleLength() {
  return std::accumulate(schedule.begin() + 1, schedule.end(), size_t{0},
                         [](size_t sum, int32_t dwell) { return sum + static_cast<size_t>(std::max(dwell, 1)); });
}

// Random data (in text mode about 40% of the bytes are outside the alphabet)
// and its encryption by the reference engine. Decryption is
// checked on that ciphertext: the reference engine undoes its own encryption,
// so the result must be the data again.
struct Stream {
  Kind kind;
  Bytes plain, encrypted;
  const Bytes& Input(bool decrypt) const { return decrypt ? encrypted : plain; }
  const Bytes& Expected(bool decrypt) const { return decrypt ? plain : encrypted; }
};

Stream MakeStream(Kind kind, size_t len, uint32_t seed) {
  Stream s{kind, RandomBytes(len, seed), {}};
  s.encrypted = s.plain;
  EXPECT_EQ(keys.files.kind, kind);
  reference::Prepare(keys);
  reference::Encrypt(s.encrypted.data(), s.encrypted.size());
  return s;
}

// A cipher at the start of a message, as an operation starts one.
engine::Cipher& Fresh(Kind kind) {
  static engine::Cipher c;
  EXPECT_EQ(keys.files.kind, kind);
  engine::CipherStart(c, keys.tables, 0);
  return c;
}

bool SameState(const engine::Stepping& a, const engine::Stepping& b) {
  return a.rot == b.rot && a.count == b.count && a.index == b.index && a.dwell == b.dwell && a.off == b.off;
}

// Transforms in calls of the given sizes, cycling through them and through
// the given paths, so that each call continues where another path stopped.
Bytes InPieces(const Stream& s, bool decrypt, const std::vector<size_t>& sizes, const std::vector<Path>& paths) {
  engine::Cipher& c = Fresh(s.kind);
  Bytes data = s.Input(decrypt);
  size_t done = 0;
  for (size_t i = 0; done < data.size(); ++i) {
    const size_t n = std::min(sizes[i % sizes.size()], data.size() - done);
    engine::CipherTransform(c, data.data() + done, n, decrypt, paths[i % paths.size()]);
    done += n;
  }
  return data;
}

// Runs every check on every path; returns the paths that ran.
std::set<Path> CheckStream(const Stream& s) {
  std::set<Path> ran;
  const std::vector<size_t> awkward = {1, 63, 64, 65, 1000, 255, 256, 257, 2, 191, 193, 4097};
  for (bool decrypt : {false, true}) {
    const Bytes& input = s.Input(decrypt);
    const Bytes& want = s.Expected(decrypt);
    engine::Stepping end_state;
    for (Path path : Paths()) {
      SCOPED_TRACE(std::string(Name(path)) + (decrypt ? " decrypt" : " encrypt"));
      ran.insert(path);

      engine::Cipher& c = Fresh(s.kind);
      Bytes data = input;
      engine::CipherTransform(c, data.data(), data.size(), decrypt, path);
      EXPECT_TRUE(SameBytes(data, want));
      if (path == Path::portable) end_state = c.s;
      EXPECT_TRUE(SameState(c.s, end_state)) << "the stream ends in another state than on the portable path";

      // A short stream is the start of a long one.
      for (size_t len : {size_t{0}, size_t{1}, size_t{2}, size_t{63}, size_t{64}, size_t{65}, size_t{127},
                         size_t{129}, size_t{255}, size_t{256}, size_t{257}, size_t{1000}, size_t{4097}}) {
        len = std::min(len, input.size());
        engine::Cipher& fresh = Fresh(s.kind);
        Bytes prefix(input.begin(), input.begin() + static_cast<ptrdiff_t>(len));
        engine::CipherTransform(fresh, prefix.data(), prefix.size(), decrypt, path);
        EXPECT_TRUE(SameBytes(prefix, Bytes(want.begin(), want.begin() + static_cast<ptrdiff_t>(len)))) << len;
      }

      EXPECT_TRUE(SameBytes(InPieces(s, decrypt, awkward, {path}), want)) << "in pieces";

      // Skipping n symbols, or starting at symbol n, and transforming m
      // equals the tail of n + m.
      const size_t round = ScheduleLength();
      for (size_t n : {size_t{1}, size_t{64}, size_t{777}, round - 3, round, round + 70}) {
        if (n >= input.size()) continue;
        const size_t m = std::min<size_t>(1500, input.size() - n);
        const Bytes want_tail(want.begin() + static_cast<ptrdiff_t>(n), want.begin() + static_cast<ptrdiff_t>(n + m));
        for (bool seek : {false, true}) {
          engine::Cipher& c = Fresh(s.kind);
          if (seek) {
            engine::CipherStart(c, keys.tables, n);
          } else {
            engine::CipherSkip(c, n);
          }
          Bytes tail(input.begin() + static_cast<ptrdiff_t>(n), input.begin() + static_cast<ptrdiff_t>(n + m));
          engine::CipherTransform(c, tail.data(), tail.size(), decrypt, path);
          EXPECT_TRUE(SameBytes(tail, want_tail)) << (seek ? "start at " : "skip ") << n;
        }
      }
    }
    if (Paths().size() > 1) {
      EXPECT_TRUE(SameBytes(InPieces(s, decrypt, awkward, Paths()), want)) << "paths alternating";
    }
  }
  return ran;
}

// Past a full round of the schedule, at an odd length.
size_t WrappingLength(uint32_t seed) { return ScheduleLength() + schedule[1] + 501 + 2 * (seed % 50); }

TEST(Engine, GeneratedKeys) {
  std::set<Path> ran;
  for (Kind kind : {Kind::text, Kind::binary}) {
    for (uint32_t seed : {11u, 12u}) {
      SCOPED_TRACE(std::string(Ext(kind)) + " passphrase " + RandomPassphrase(seed));
      ScratchDir scratch;
      ASSERT_NO_FATAL_FAILURE(GenerateKeys(kind, seed));
      ASSERT_TRUE(Load(kind));
      ran.merge(CheckStream(MakeStream(kind, WrappingLength(seed), seed)));
    }
  }
  ExpectEveryPathRan(ran);
}

// One call over many rounds of the schedule, so that a kernel splitting a
// call into stretches reaches each stretch's start across whole rounds.
TEST(Engine, CallsAcrossManyRounds) {
  std::set<Path> ran;
  for (Kind kind : {Kind::text, Kind::binary}) {
    SCOPED_TRACE(Ext(kind));
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(GenerateKeys(kind, 15));
    ASSERT_TRUE(Load(kind));
    ran.merge(CheckStream(MakeStream(kind, 19 * ScheduleLength() + 5, 15)));
  }
  ExpectEveryPathRan(ran);
}

// Step-count files as a person might write them: every count from 1 to 7,
// counts beyond the writer's range, and fields that are not plain numbers.
TEST(Engine, HandMadeStepCounts) {
  struct Case {
    Kind kind;
    const char* k4;  // 20 fields of 2 characters
    int32_t largest;
  };
  const Case cases[] = {
      {Kind::text, "0102030405060701020304050607010203040506", 7},
      {Kind::binary, "07060504030201070605040302010706050403fe", 7},
      {Kind::text, "99 3-4+5\n100x 9q7 1 2 3 4 5 6 7 8 9 0 1", 99},
      {Kind::binary, "99-1\n\n0102 +2-03  05060708091 2 3 4 5 6", 99},
  };
  std::set<Path> ran;
  uint32_t seed = 20;
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(Ext(k.kind)) + " k4 \"" + k.k4 + "\"");
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(GenerateKeys(k.kind, ++seed));
    WriteFile(std::string("k4.") + Ext(k.kind), std::string(k.k4));
    ASSERT_TRUE(Load(k.kind));
    const auto sh = keys::StepCounts(keys.files.steps);
    ASSERT_EQ(*std::max_element(sh.begin() + 1, sh.end()), k.largest);
    // Large counts make the reference engine slow: a shorter stream, still
    // across dozens of wheel orders.
    ran.merge(CheckStream(MakeStream(k.kind, 3001 + seed, seed)));
  }
  ExpectEveryPathRan(ran);
}

// Without k3 and k4 the built-in directions and step counts apply; some
// wheels then never turn.
TEST(Engine, BuiltInSteppingWithoutSchemeFiles) {
  std::set<Path> ran;
  uint32_t seed = 30;
  for (Kind kind : {Kind::text, Kind::binary}) {
    SCOPED_TRACE(Ext(kind));
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(GenerateKeys(kind, ++seed));
    ASSERT_EQ(std::remove((std::string("k3.") + Ext(kind)).c_str()), 0);
    ASSERT_EQ(std::remove((std::string("k4.") + Ext(kind)).c_str()), 0);
    ASSERT_TRUE(Load(kind));
    ASSERT_EQ(keys::StepCounts(keys.files.steps), keys::kDefaultSteps);
    ran.merge(CheckStream(MakeStream(kind, WrappingLength(seed), seed)));
  }
  ExpectEveryPathRan(ran);
}

// Dwells far shorter than key generation makes: the wheel order rotates after
// almost every symbol, up to once per lane of a vector. Then dwells just
// around the vector widths (32 and 64 lanes) and the widest group (384
// symbols), so that rotations fall on either side of every group boundary,
// and long ones.
TEST(Engine, ShortDwellsAndDwellsAroundVectorWidths) {
  std::set<Path> ran;
  uint32_t seed = 40;
  for (Kind kind : {Kind::text, Kind::binary}) {
    SCOPED_TRACE(Ext(kind));
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(GenerateKeys(kind, ++seed));
    std::mt19937 rng(seed);
    for (int i = 1; i <= 200; ++i) schedule[i] = i <= 100 ? static_cast<int32_t>(rng() % 4) : 1 + static_cast<int32_t>(rng() % 70);
    ASSERT_TRUE(Load(kind, false));
    ran.merge(CheckStream(MakeStream(kind, ScheduleLength() + 1234, seed)));

    constexpr int32_t kDwells[] = {1, 2, 31, 32, 33, 63, 64, 65, 300, 383, 384, 385};
    for (int i = 1; i <= 200; ++i) schedule[i] = kDwells[rng() % std::size(kDwells)];
    ASSERT_TRUE(Load(kind, false));
    ran.merge(CheckStream(MakeStream(kind, ScheduleLength() + 777, seed)));
  }
  ExpectEveryPathRan(ran);
}

// Calls of many schedule rounds (short dwells make a round short) at odd
// starting positions, whole and in pieces: every path gives the portable
// path's bytes and end state.
TEST(Engine, BlocksOfSixtyFourRounds) {
  std::set<Path> ran;
  uint32_t seed = 60;
  const auto c = std::make_unique<engine::Cipher>();
  for (Kind kind : {Kind::text, Kind::binary}) {
    SCOPED_TRACE(Ext(kind));
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(GenerateKeys(kind, ++seed));
    std::mt19937 rng(seed);
    for (int i = 1; i <= 200; ++i) schedule[i] = static_cast<int32_t>(rng() % 21);
    ASSERT_TRUE(Load(kind, false));
    const size_t round = ScheduleLength(), block = 64 * round;
    const Bytes input = RandomBytes(3 * block + 4321, seed);
    for (bool decrypt : {false, true}) {
      for (size_t start : {size_t{0}, size_t{777}, 5 * round + 13}) {
        engine::CipherStart(*c, keys.tables, start);
        Bytes want = input;
        engine::CipherTransform(*c, want.data(), want.size(), decrypt, Path::portable);
        const engine::Stepping want_end = c->s;
        for (Path path : Paths()) {
          ran.insert(path);
          for (const std::vector<size_t>& pieces : {std::vector<size_t>{input.size()}, {block + 7, 1000, 2 * block - 1}}) {
            SCOPED_TRACE(std::string(Name(path)) + (decrypt ? " decrypt at " : " encrypt at ") + std::to_string(start) +
                         " in " + std::to_string(pieces.size()));
            engine::CipherStart(*c, keys.tables, start);
            Bytes data = input;
            for (size_t done = 0, i = 0; done < data.size(); ++i) {
              const size_t n = std::min(pieces[i % pieces.size()], data.size() - done);
              engine::CipherTransform(*c, data.data() + done, n, decrypt, path);
              done += n;
            }
            EXPECT_TRUE(SameBytes(data, want));
            EXPECT_TRUE(SameState(c->s, want_end));
          }
        }
      }
    }
  }
  ExpectEveryPathRan(ran);
}

// Each path where the CPU has it; TAVSDK_CPU names one, falling back to the
// best available below it, and anything else means the best.
TEST(Engine, PathSelection) {
  for (Path path : kAllPaths) EXPECT_EQ(engine::PathAvailable(path), CpuHas(path)) << Name(path);
  Path best = Path::portable;
  for (Path path : {Path::neon, Path::avx2, Path::avx512}) {
    if (CpuHas(path)) best = path;
  }
  EXPECT_EQ(engine::BestPath(), best);
  EXPECT_EQ(engine::PathFor(nullptr), best);
  EXPECT_EQ(engine::PathFor(""), best);
  EXPECT_EQ(engine::PathFor("AVX2"), best);
  for (Path path : kAllPaths) {
    const Path chosen = engine::PathFor(Name(path));
    if (CpuHas(path)) {
      EXPECT_EQ(chosen, path) << Name(path);
    } else {
      EXPECT_TRUE(CpuHas(chosen)) << Name(path);
      EXPECT_TRUE(chosen == Path::portable || (path == Path::avx512 && chosen == Path::avx2)) << Name(path);
    }
  }
  // ctest runs the file tests once per TAVSDK_CPU value: each run must take
  // the path it names.
  const char* env = std::getenv("TAVSDK_CPU");
  Path named = best;
  for (Path path : kAllPaths) {
    if (env != nullptr && std::string(env) == Name(path) && CpuHas(path)) named = path;
  }
  EXPECT_EQ(engine::ActivePath(), named) << (env ? env : "TAVSDK_CPU unset");
}

}  // namespace
}  // namespace tav::test
