// SPDX-License-Identifier: MIT
#include "engine/cipher.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

#include "common/wipe.hpp"
#include "engine/setup.hpp"

namespace tav::engine {

Cipher cipher;

void CipherInit(Cipher& c, Kind kind) {
  const int n = AlphabetSize(kind);
  c.kind = kind;
  c.n = n;
  c.to_index.fill(kNotInAlphabet);
  c.to_symbol.fill(0);
  for (int i = 0; i < n; ++i) {
    c.to_index[TA[i]] = static_cast<uint8_t>(i);
    c.to_symbol[i] = TA[i];
  }
  for (int r = 0; r < kWheels; ++r) {
    const Wheel& wheel = w[r + 1];
    uint8_t* fwd = c.fwd[r];
    uint8_t* inv = c.inv[r];
    for (int i = 0; i < n; ++i) {
      fwd[i] = c.to_index[wheel[i]];
      inv[fwd[i]] = static_cast<uint8_t>(i);
    }
    // Repeat the rows up to 512 entries: entry i equals entry i - n.
    for (int i = n; i < 512; i += n) {
      std::memcpy(fwd + i, fwd, static_cast<size_t>(std::min(n, 512 - i)));
      std::memcpy(inv + i, inv, static_cast<size_t>(std::min(n, 512 - i)));
    }
  }
  for (int p = 0; p < kWheels; ++p) {
    // A wheel turned down t times reads entry i from entry i + t; up subtracts.
    const int32_t steps = sh[p + 1];
    const int t = steps > 0 ? steps % n : 0;
    c.delta[p] = static_cast<uint16_t>(sd[p + 1] > 0 ? (n - t) % n : t);
    for (int l = 0; l < 16; ++l) c.lane_step[p][l] = static_cast<uint16_t>(l * c.delta[p] % n);
  }
  c.schedule = msterkey.data();
  c.s = Stepping{};
  c.s.count = mstrshiftcount;
  c.s.index = mstrindex;
  c.s.dwell = mstrshift;
}

void Advance(const Cipher& c, Stepping& s, uint32_t len) {
  const uint64_t n = static_cast<uint64_t>(c.n);
  for (uint32_t p = 0; p < kWheels; ++p) {
    const uint32_t r = (p + s.rot) % kWheels;
    s.off[r] = static_cast<uint16_t>((s.off[r] + static_cast<uint64_t>(len) * c.delta[p]) % n);
  }
  CountSymbols(c, s, len);
}

// Skips up to `symbols` one wheel order at a time; stops early at the start
// of the schedule when whole rounds may follow.
static uint64_t SkipRuns(Cipher& c, uint64_t symbols, bool stop_at_round) {
  while (symbols > 0) {
    if (stop_at_round && c.s.index == 1 && c.s.count == 0 && c.s.dwell == c.schedule[1]) break;
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(symbols, RunLeft(c.s)));
    Advance(c, c.s, len);
    symbols -= len;
  }
  return symbols;
}

void CipherSkip(Cipher& c, uint64_t symbols) {
  // Workers skip to far positions of large files, so whole rounds of the
  // schedule are taken at once: 200 wheel orders bring the order back (200 is
  // a multiple of 20), and turn each wheel by the same amount every round.
  symbols = SkipRuns(c, symbols, true);
  if (symbols == 0) return;
  uint64_t round = 0;
  std::array<uint64_t, kWheels> turns{};  // turns[q]: of the wheel at position q when the round starts
  for (int32_t i = 1; i <= 200; ++i) {
    const auto len = static_cast<uint64_t>(std::max(c.schedule[i], 1));
    round += len;
    // Entry i runs with the order rotated i - 1 times: position p then holds
    // the wheel that started at position (p + i - 1) mod 20.
    for (uint32_t p = 0; p < kWheels; ++p) turns[(p + static_cast<uint32_t>(i) - 1) % kWheels] += len * c.delta[p];
  }
  if (symbols >= round) {
    const uint64_t rounds = symbols / round;
    const uint64_t n = static_cast<uint64_t>(c.n);
    for (uint32_t q = 0; q < kWheels; ++q) {
      const uint32_t r = (q + c.s.rot) % kWheels;
      c.s.off[r] = static_cast<uint16_t>((c.s.off[r] + rounds % n * (turns[q] % n)) % n);
    }
    symbols -= rounds * round;
  }
  SkipRuns(c, symbols, false);
}

bool PathAvailable(Path path) {
  switch (path) {
    case Path::portable: return true;
#if defined(__x86_64__)
    case Path::avx2: return Avx2Supported();
    case Path::avx512: return Avx512Supported();
#endif
#if defined(__aarch64__)
    case Path::neon: return NeonSupported();
#endif
    default: return false;
  }
}

Path BestPath() { return PathFor(nullptr); }

Path PathFor(const char* name) {
  const auto is = [name](const char* value) { return name != nullptr && std::strcmp(name, value) == 0; };
  // Each path falls back to the ones after it; an unknown name gets the best.
  static constexpr Path kFromAvx512[] = {Path::avx512, Path::avx2, Path::portable};
  static constexpr Path kFromNeon[] = {Path::neon, Path::portable};
  static constexpr Path kBest[] = {Path::avx512, Path::avx2, Path::neon, Path::portable};
  std::span<const Path> order = kBest;
  if (is("portable")) order = std::span<const Path>(kFromAvx512).subspan(2);
  if (is("avx2")) order = std::span<const Path>(kFromAvx512).subspan(1);
  if (is("avx512")) order = kFromAvx512;
  if (is("neon")) order = kFromNeon;
  for (Path path : order) {
    if (PathAvailable(path)) return path;
  }
  return Path::portable;
}

Path ActivePath() {
  // Read once: the choice must not change under a running operation, and a
  // function-local static is initialised exactly once even with threads.
  static const Path active = PathFor(std::getenv("TAVSDK_CPU"));
  return active;
}

void CipherTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt, Path path) {
  switch (path) {
#if defined(__x86_64__)
    case Path::avx2: Avx2Transform(c, data, len, decrypt); return;
    case Path::avx512: Avx512Transform(c, data, len, decrypt); return;
#endif
#if defined(__aarch64__)
    case Path::neon: NeonTransform(c, data, len, decrypt); return;
#endif
    default: PortableTransform(c, data, len, decrypt); return;
  }
}

void CipherEncrypt(Cipher& c, uint8_t* data, size_t len) { CipherTransform(c, data, len, false, ActivePath()); }

void CipherDecrypt(Cipher& c, uint8_t* data, size_t len) { CipherTransform(c, data, len, true, ActivePath()); }

void CipherWipe(Cipher& c) { SecureZeroObject(c); }

}  // namespace tav::engine
