#include "engine/cipher.hpp"

#include <algorithm>
#include <cstring>

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

// Portable kernel: eight symbols of one wheel order side by side, so that the
// forty dependent lookups of each symbol overlap with those of the others.
// The per-lane offsets are computed eight at a time with the compiler's
// generic vectors (SSE2 on x86-64, plain code where there is no SIMD).
using Lanes16 = uint16_t __attribute__((vector_size(16)));

template <bool kText, bool kDecrypt>
static void PortableTransform(Cipher& c, uint8_t* data, size_t len) {
  // More lanes would not fit the registers: the lookups would wait on spills.
  constexpr uint32_t kLanes = 8;
  const uint32_t n = static_cast<uint32_t>(c.n);
  const auto n16 = static_cast<uint16_t>(n);
  Stepping& s = c.s;
  while (len > 0) {
    // One wheel order: its rows, and the eight lanes' offsets of each
    // position, which then move on by 8 * delta per chunk.
    const auto run = static_cast<uint32_t>(std::min<size_t>(len, RunLeft(s)));
    const uint8_t* rows[kWheels];
    Lanes16 off[kWheels];
    Lanes16 chunk_step[kWheels];
    uint32_t r = s.rot;
    for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
      rows[p] = kDecrypt ? c.inv[r] : c.fwd[r];
      Lanes16 step;
      std::memcpy(&step, c.lane_step[p].data(), sizeof step);
      // (off + l * delta) mod n for the eight lanes; both terms are below n.
      const Lanes16 o = step + s.off[r];
      off[p] = o >= n16 ? o - n16 : o;
      chunk_step[p] = Lanes16{} + c.lane_step[p][kLanes];
    }
    for (uint32_t done = 0; done < run; done += kLanes) {
      const uint32_t lanes = std::min(kLanes, run - done);
      uint8_t* chunk = data + done;
      // Decryption takes each lookup's result back by the offset: n - off.
      Lanes16 back[kDecrypt ? kWheels : 1];
      if constexpr (kDecrypt) {
        for (uint32_t p = 0; p < kWheels; ++p) back[p] = n16 - off[p];
      }
      uint32_t x[kLanes];
      for (uint32_t l = 0; l < kLanes; ++l) {
        const uint8_t b = l < lanes ? chunk[l] : 0;
        x[l] = kText ? c.to_index[b] : b;
      }
      for (int pass = 0; pass < 2; ++pass) {
        if constexpr (!kDecrypt) {
          for (uint32_t p = 0; p < kWheels; ++p)
            for (uint32_t l = 0; l < kLanes; ++l) x[l] = rows[p][x[l] + off[p][l]];
        } else {
          // x stays below 2n between steps; it is reduced once at the end.
          for (uint32_t p = kWheels; p-- > 0;)
            for (uint32_t l = 0; l < kLanes; ++l) x[l] = rows[p][x[l]] + back[p][l];
        }
      }
      // The input bytes are still in the buffer: nothing but x stays live
      // across the lookups.
      for (uint32_t l = 0; l < lanes; ++l) {
        uint32_t v = x[l];
        if (kDecrypt && v >= n) v -= n;
        if constexpr (kText) {
          // Branch-free: bytes outside the alphabet come in unpredictable mixes.
          const uint8_t b = chunk[l];
          const auto keep = static_cast<uint8_t>(-static_cast<int>(c.to_index[b] == kNotInAlphabet));
          chunk[l] = static_cast<uint8_t>((b & keep) | (c.to_symbol[v] & ~keep));
        } else {
          chunk[l] = static_cast<uint8_t>(v);
        }
      }
      if (done + kLanes < run) {
        for (uint32_t p = 0; p < kWheels; ++p) {
          const Lanes16 o = off[p] + chunk_step[p];
          off[p] = o >= n16 ? o - n16 : o;
        }
      } else {
        // Every wheel has turned `lanes` more times at its position.
        r = s.rot;
        for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
          const uint32_t next = off[p][0] + c.lane_step[p][lanes];
          s.off[r] = static_cast<uint16_t>(next >= n ? next - n : next);
        }
      }
    }
    CountSymbols(c, s, run);
    data += run;
    len -= run;
  }
}

bool PathAvailable(Path path) { return path == Path::portable || Avx512Supported(); }

Path BestPath() { return Avx512Supported() ? Path::avx512 : Path::portable; }

static bool pinned = false;
static Path pinned_path = Path::portable;

Path ActivePath() { return pinned ? pinned_path : BestPath(); }

void PinPath(Path path) {
  pinned = PathAvailable(path);
  pinned_path = path;
}

void UnpinPath() { pinned = false; }

void CipherTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt, Path path) {
  if (path == Path::avx512) {
    Avx512Transform(c, data, len, decrypt);
    return;
  }
  const bool text = c.kind == Kind::text;
  if (text && !decrypt) PortableTransform<true, false>(c, data, len);
  if (text && decrypt) PortableTransform<true, true>(c, data, len);
  if (!text && !decrypt) PortableTransform<false, false>(c, data, len);
  if (!text && decrypt) PortableTransform<false, true>(c, data, len);
}

void CipherEncrypt(Cipher& c, uint8_t* data, size_t len) { CipherTransform(c, data, len, false, ActivePath()); }

void CipherDecrypt(Cipher& c, uint8_t* data, size_t len) { CipherTransform(c, data, len, true, ActivePath()); }

void CipherWipe(Cipher& c) { SecureZeroObject(c); }

}  // namespace tav::engine
