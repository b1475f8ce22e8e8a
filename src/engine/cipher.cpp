// SPDX-License-Identifier: MIT
#include "engine/cipher.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common/wipe.hpp"

namespace tav::engine {

void ChunkRow(const uint8_t* row, int n, uint8_t flip, uint8_t (*out)[16]) {
  uint8_t c[16][16] = {};
  for (int i = 0; i < n; ++i) c[i / 16][i % 16] = static_cast<uint8_t>(row[i] ^ flip);
  const int chunks = n > 160 ? 16 : 10;
  for (int j = 0; j < 16; ++j) {
    out[0][j] = c[0][j];
    for (int k = 1; k < 8; ++k) out[k][j] = static_cast<uint8_t>(c[k][j] ^ c[k - 1][j]);
    for (int k = 8; k < chunks; ++k) {
      const int m = k - 7;  // U[m]
      out[k][j] = static_cast<uint8_t>(c[m + 7][j] ^ (m + 8 < chunks ? c[m + 8][j] : 0));
    }
  }
  SecureZeroObject(c);
}

void BuildTables(Tables& t, Kind kind, const uint8_t* wheels, const std::array<int32_t, kWheels + 1>& directions,
                 const std::array<int32_t, kWheels + 1>& steps, const std::array<int32_t, 201>& schedule) {
  const int n = AlphabetSize(kind);
  t.kind = kind;
  t.n = n;
  t.to_index.fill(kNotInAlphabet);
  t.to_symbol.fill(0);
  for (int i = 0; i < n; ++i) {
    const uint8_t symbol = kind == Kind::text ? kTextAlphabet[i] : static_cast<uint8_t>(i);
    t.to_index[symbol] = static_cast<uint8_t>(i);
    t.to_symbol[i] = symbol;
  }
  for (int r = 0; r < kWheels; ++r) {
    const uint8_t* wheel = wheels + static_cast<size_t>(r * n);
    uint8_t* fwd = t.fwd[r];
    uint8_t* inv = t.inv[r];
    for (int i = 0; i < n; ++i) {
      fwd[i] = t.to_index[wheel[i]];
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
    const int32_t count = steps[p + 1];
    const int turn = count > 0 ? count % n : 0;
    t.delta[p] = static_cast<uint16_t>(directions[p + 1] > 0 ? (n - turn) % n : turn);
    for (int l = 0; l < 16; ++l) t.lane_step[p][l] = static_cast<uint16_t>(l * t.delta[p] % n);
  }
  t.schedule = schedule;
  // Built at every call of the process-wide functions: sums, not divisions.
  // A row repeats every n entries: the rest is copies.
  constexpr int kWidth = sizeof t.mult[0];
  for (int p = 0; p < kWheels; ++p) {
    int m = 0;
    for (int g = 0; g < n; ++g) {
      t.mult[p][g] = static_cast<uint8_t>(m);
      m += t.delta[p];
      if (m >= n) m -= n;
    }
    for (int g = n; g < kWidth; g += n) std::memcpy(t.mult[p] + g, t.mult[p], static_cast<size_t>(std::min(n, kWidth - g)));
    std::memcpy(t.mult[p + kWheels], t.mult[p], sizeof t.mult[0]);
  }
  for (int g = 0; g < 128; ++g) {
    for (int p = 0; p < 32; ++p) t.mult_by_symbol[g][p] = p < kWheels ? t.mult[p][g] : 0;
  }
  // Text values between steps have bit 7 flipped: encryption's lookups give
  // them, decryption's lookups give values the offset is taken from.
  const uint8_t flip = kind == Kind::text ? 0x80 : 0;
  for (int r = 0; r < kWheels; ++r) {
    ChunkRow(t.fwd[r], n, flip, t.chunked_rows[0][r]);
    ChunkRow(t.inv[r], n, flip, t.chunked_rows[1][r]);
  }
  ChunkRow(t.to_index.data(), 256, 0, t.chunked_to_index);
  ChunkRow(t.to_symbol.data(), kTextSize, 0, t.chunked_to_symbol);
  for (int rot = 0; rot < kWheels; ++rot) {
    for (int l = 0; l < 32; ++l) t.delta_by_wheel[rot][l] = 0;
    for (int p = 0; p < kWheels; ++p) t.delta_by_wheel[rot][(p + rot) % kWheels] = t.delta[p];
  }
  // Entry e runs max(schedule[e], 1) symbols with the order rotated e - 1
  // times: position p then holds wheel (p + e - 1) mod 20.
  // A run of len symbols turns the wheel at position p by mult[p][len mod n].
  std::array<uint16_t, kWheels> turn{};
  uint64_t at = 0;
  for (int e = 1; e <= 201; ++e) {
    t.entry_start[e] = at;
    t.entry_turn[e] = turn;
    if (e == 201) break;
    const auto len = static_cast<uint64_t>(std::max(schedule[e], 1));
    const auto g = static_cast<size_t>(len % static_cast<uint64_t>(n));
    for (uint32_t p = 0, r = static_cast<uint32_t>(e - 1) % kWheels; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
      const int sum = turn[r] + t.mult[p][g];
      turn[r] = static_cast<uint16_t>(sum >= n ? sum - n : sum);
    }
    at += len;
  }
  t.round_length = at;
}

void CipherStart(Cipher& c, const Tables& t, uint64_t position) {
  c.t = &t;
  Stepping& s = c.s;
  s = Stepping{};
  // 200 wheel orders bring the order back (200 is a multiple of 20) and turn
  // every wheel by the same amount each round.
  const uint64_t n = static_cast<uint64_t>(t.n);
  const uint64_t rounds = position / t.round_length;
  const uint64_t in_round = position % t.round_length;
  const auto after = std::upper_bound(t.entry_start.begin() + 1, t.entry_start.begin() + 201, in_round);
  const auto e = static_cast<int32_t>(after - t.entry_start.begin() - 1);
  const uint64_t into = in_round - t.entry_start[e];
  s.index = e;
  s.dwell = t.schedule[e];
  s.count = static_cast<int32_t>(into);
  s.rot = static_cast<uint32_t>(e - 1) % kWheels;
  // Every call of the core starts here: the reductions are by constants
  // (n is one of two), not sixty divisions.
  const auto mod = [binary = t.n == kBinarySize](uint32_t x) { return binary ? x & 0xFF : x % kTextSize; };
  const auto whole_rounds = static_cast<uint32_t>(rounds % n);
  const auto into_n = static_cast<uint32_t>(into % n);
  for (uint32_t p = 0, r = s.rot; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
    s.off[r] = static_cast<uint16_t>(
        mod(mod(whole_rounds * t.entry_turn[201][r]) + t.entry_turn[e][r] + mod(into_n * t.delta[p])));
  }
}

void Advance(const Cipher& c, Stepping& s, uint32_t len) {
  const uint64_t n = static_cast<uint64_t>(c.t->n);
  for (uint32_t p = 0; p < kWheels; ++p) {
    const uint32_t r = (p + s.rot) % kWheels;
    s.off[r] = static_cast<uint16_t>((s.off[r] + static_cast<uint64_t>(len) * c.t->delta[p]) % n);
  }
  CountSymbols(c, s, len);
}

// Skips up to `symbols` one wheel order at a time; stops early at the start
// of the schedule when whole rounds may follow.
static uint64_t SkipRuns(Cipher& c, uint64_t symbols, bool stop_at_round) {
  while (symbols > 0) {
    if (stop_at_round && c.s.index == 1 && c.s.count == 0 && c.s.dwell == c.t->schedule[1]) break;
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(symbols, RunLeft(c.s)));
    Advance(c, c.s, len);
    symbols -= len;
  }
  return symbols;
}

void CipherSkip(Cipher& c, uint64_t symbols) {
  // Workers skip to far positions of large files, so whole rounds of the
  // schedule are taken at once.
  symbols = SkipRuns(c, symbols, true);
  if (symbols == 0) return;
  const Tables& t = *c.t;
  if (symbols >= t.round_length) {
    const uint64_t rounds = symbols / t.round_length;
    const uint64_t n = static_cast<uint64_t>(t.n);
    // At the start of a round wheel r stands at position r - rot, and the
    // round turns it as it turns the wheel that starts at that position
    // with the order unrotated.
    for (uint32_t q = 0; q < kWheels; ++q) {
      const uint32_t r = (q + c.s.rot) % kWheels;
      c.s.off[r] = static_cast<uint16_t>((c.s.off[r] + rounds % n * t.entry_turn[201][q]) % n);
    }
    symbols -= rounds * t.round_length;
  }
  SkipRuns(c, symbols, false);
}

namespace {

using Transform = void (*)(Cipher&, uint8_t*, size_t, bool);

constexpr bool Never() { return false; }
constexpr bool Always() { return true; }

// A kernel: the TAVSDK_CPU value that names it, whether this CPU runs it, its
// transform, and the kernel it falls back to where the CPU lacks it. Every
// path has an entry in every build, so that a value naming another
// architecture's kernel falls back as one this CPU lacks.
struct Kernel {
  Path path;
  const char* name;  // null: not chosen by name
  bool (*supported)();
  Transform transform;
  Path fallback;
};

#if defined(__x86_64__)
constexpr Kernel kAvx512{Path::avx512, "avx512", Avx512Supported, Avx512Transform, Path::avx2};
constexpr Kernel kAvx2{Path::avx2, "avx2", Avx2Supported, Avx2Transform, Path::portable};
#else
constexpr Kernel kAvx512{Path::avx512, "avx512", Never, PortableTransform, Path::avx2};
constexpr Kernel kAvx2{Path::avx2, "avx2", Never, PortableTransform, Path::portable};
#endif
#if defined(__aarch64__)
constexpr Kernel kNeon{Path::neon, "neon", NeonSupported, NeonTransform, Path::portable};
#else
constexpr Kernel kNeon{Path::neon, "neon", Never, PortableTransform, Path::portable};
#endif
// A WebAssembly module has no environment: its one kernel is fixed when built.
#if defined(__wasm_simd128__)
constexpr Kernel kWasmSimd{Path::wasm_simd, nullptr, Always, WasmSimdTransform, Path::portable};
#else
constexpr Kernel kWasmSimd{Path::wasm_simd, nullptr, Never, PortableTransform, Path::portable};
#endif

// Best first.
constexpr Kernel kKernels[] = {
    kAvx512, kAvx2, kNeon, kWasmSimd, {Path::portable, "portable", Always, PortableTransform, Path::portable},
};

const Kernel& KernelOf(Path path) {
  for (const Kernel& kernel : kKernels) {
    if (kernel.path == path) return kernel;
  }
  return kKernels[std::size(kKernels) - 1];
}

}  // namespace

bool PathAvailable(Path path) { return KernelOf(path).supported(); }

Path BestPath() { return PathFor(nullptr); }

Path PathFor(const char* name) {
  // A named kernel falls back until one runs here; an unknown name gets the best.
  for (const Kernel& named : kKernels) {
    if (name == nullptr || named.name == nullptr || std::strcmp(name, named.name) != 0) continue;
    const Kernel* kernel = &named;
    while (!kernel->supported()) kernel = &KernelOf(kernel->fallback);
    return kernel->path;
  }
  for (const Kernel& kernel : kKernels) {
    if (kernel.supported()) return kernel.path;
  }
  return Path::portable;
}

Path ActivePath() {
  // Read once: the choice must not change under a running operation, and a
  // function-local static is initialised exactly once even with threads.
#if defined(__wasm__)
  // One kernel, chosen when the module was built; there is no environment.
  static const Path active = BestPath();
#else
  static const Path active = PathFor(std::getenv("TAVSDK_CPU"));
#endif
  return active;
}

void CipherTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt, Path path) {
  KernelOf(path).transform(c, data, len, decrypt);
}

std::array<uint16_t, kWheels> RoundTurns(const Cipher& c, uint8_t* multiples, uint32_t lanes) {
  const Tables& t = *c.t;
  const auto n = static_cast<uint32_t>(t.n);
  // Wheel r turns over a round as the wheel at its position at the start of
  // the schedule does in the tables' round, which starts unrotated.
  const uint32_t rot0 = (c.s.rot + kWheels - static_cast<uint32_t>(c.s.index - 1) % kWheels) % kWheels;
  std::array<uint16_t, kWheels> turn{};
  for (uint32_t q = 0; q < kWheels; ++q) turn[(q + rot0) % kWheels] = t.entry_turn[201][q];
  for (uint32_t r = 0; r < kWheels; ++r) {
    for (uint32_t l = 0, m = 0; l < lanes; ++l, m = m + turn[r] >= n ? m + turn[r] - n : m + turn[r]) {
      multiples[r * lanes + l] = static_cast<uint8_t>(m);
    }
  }
  return turn;
}

void SkipRounds(Cipher& c, const std::array<uint16_t, kWheels>& turn, uint32_t rounds) {
  const auto n = static_cast<uint32_t>(c.t->n);
  for (uint32_t r = 0; r < kWheels; ++r) c.s.off[r] = static_cast<uint16_t>((c.s.off[r] + rounds * turn[r]) % n);
}

size_t FullRateLength(const Tables& t) {
  // The round-apart stretches of the vector kernels: one block of rounds per lane.
  const Path path = ActivePath();
  const size_t lanes = path == Path::avx512 ? 64 : path == Path::avx2 ? 32 : path == Path::wasm_simd ? 16 : 0;
  return lanes * static_cast<size_t>(t.round_length);
}

size_t FullRatePiece(const Tables& t, size_t room) {
  const size_t block = FullRateLength(t);
  return block == 0 || block > room ? room : room / block * block;
}

void CipherEncrypt(Cipher& c, uint8_t* data, size_t len) { CipherTransform(c, data, len, false, ActivePath()); }

void CipherDecrypt(Cipher& c, uint8_t* data, size_t len) { CipherTransform(c, data, len, true, ActivePath()); }

void CipherWipe(Cipher& c) { SecureZeroObject(c); }

}  // namespace tav::engine
